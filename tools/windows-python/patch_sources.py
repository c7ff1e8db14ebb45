"""Edits CPython's 3.11 source tree so that MinGW-w64 (GCC, msvcrt.dll) builds
it against PC/pyconfig.h, which was written for Microsoft's compiler.

    patch_sources.py SOURCE_TREE

Every edit replaces one exact passage that must occur exactly once. When a new
Debian revision moves or changes a passage, the build stops here with the file
and the passage, instead of producing an interpreter that misbehaves later.
Running it again on an edited tree is a no-op.
"""
import pathlib
import sys

PYCONFIG_ADDITIONS = '''#ifdef _WIN64
#define MS_WIN64
#define COMPILER "[GCC " __VERSION__ " 64 bit (AMD64, MinGW-w64)]"
#define PYD_PLATFORM_TAG "win_amd64"
#else
#define COMPILER "[GCC " __VERSION__ " 32 bit (MinGW-w64)]"
#define PYD_PLATFORM_TAG "win32"
#endif
#define PY_SUPPORT_TIER 0
#define Py_WINVER 0x0602 /* _WIN32_WINNT_WIN8 */
#define Py_NTDDI NTDDI_WIN8
#if defined(Py_BUILD_CORE) || defined(Py_BUILD_CORE_BUILTIN) || defined(Py_BUILD_CORE_MODULE)
#ifndef NTDDI_VERSION
#define NTDDI_VERSION Py_NTDDI
#endif
#ifndef WINVER
#define WINVER Py_WINVER
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT Py_WINVER
#endif
#endif
/* msvcrt.dll's struct lconv may lack the _W_* wide fields that the Universal
   runtime has (Wine's msvcrt.dll has none): read the narrow fields instead */
#if !defined(_UCRT)
#define _Py_LCONV_NARROW 1
#endif
'''

# (file, passage, replacement, why)
EDITS = [
    ("PC/pyconfig.h", '#define COMPILER "[gcc]"\n', PYCONFIG_ADDITIONS,
     "what the Microsoft compiler's section defines and the GCC section lacks"),
    ("PC/pyconfig.h",
     "#       if defined(_MSC_VER) && _MSC_VER >= 1400\n#       define SIZEOF_TIME_T 8\n#       else",
     "#       if defined(_MSC_VER) && _MSC_VER >= 1400\n#       define SIZEOF_TIME_T 8\n"
     "#       elif defined(__MINGW32__) && !defined(_USE_32BIT_TIME_T)\n#       define SIZEOF_TIME_T 8\n#       else",
     "64-bit time_t (dates after 2038), as MinGW's headers give it with __MINGW_USE_VC2005_COMPAT"),
    ("Modules/posixmodule.c", "#else\n#  ifdef _MSC_VER\n     /* Microsoft compiler */",
     "#else\n#  if defined(_MSC_VER) || defined(__MINGW32__)\n     /* Microsoft compiler */",
     "spawnv, execv, pipe, system: msvcrt.dll has them whatever the compiler"),
    ("Modules/posixmodule.c", "#ifdef _MSC_VER\n#  ifdef HAVE_DIRECT_H",
     "#if defined(_MSC_VER) || defined(__MINGW32__)\n#  ifdef HAVE_DIRECT_H",
     "the runtime's headers, as with the Microsoft compiler"),
    ("Python/dynload_win.c", "static int\n_Py_CheckPython3(void)", "int\n_Py_CheckPython3(void)",
     "declared non-static in pylifecycle.h; GCC rejects the clash"),
    ("Include/fileobject.h", "#ifdef _MSC_VER\n    /* On Windows, any socket fd",
     "#ifdef MS_WINDOWS\n    /* On Windows, any socket fd",
     "select() takes any socket on Windows"),
    ("Modules/timemodule.c", "#if defined(_MSC_VER) || (defined(__sun)",
     "#if defined(MS_WINDOWS) || (defined(__sun)",
     "the runtime's strftime rejects years outside 1..9999"),
    ("Modules/timemodule.c",
     "#if defined _MSC_VER && _MSC_VER >= 1400 && defined(__STDC_SECURE_LIB__)\n        errno = 0;",
     "#if defined(MS_WINDOWS)\n        errno = 0;",
     "the runtime's strftime reports a bad format through errno"),
    ("Modules/timemodule.c",
     "#if defined _MSC_VER && _MSC_VER >= 1400 && defined(__STDC_SECURE_LIB__)\n        /* VisualStudio .NET 2005",
     "#if defined(MS_WINDOWS)\n        /* VisualStudio .NET 2005",
     "the same, second half"),
    ("Python/pylifecycle.c", "#if defined(_MSC_VER) && _MSC_VER >= 1400\n    switch (sig) {",
     "#if defined(MS_WINDOWS)\n    switch (sig) {",
     "signal(): only the signals the runtime knows, or it aborts"),
    ("Modules/socketmodule.c", "issue29515 */\n#ifdef MS_WINDOWS\n",
     "issue29515 */\n#if defined(MS_WINDOWS) && !defined(__MINGW32__)\n",
     "MinGW's winsock2.h defines the IPPROTO_* names as macros"),
    ("Modules/socketmodule.c",
     "#elif defined(_MSC_VER) && _MSC_VER>1201\n  /* Do not include addrinfo.h",
     "#elif (defined(_MSC_VER) && _MSC_VER>1201) || defined(__MINGW32__)\n  /* Do not include addrinfo.h",
     "MinGW's ws2tcpip.h has addrinfo"),
    ("Modules/_ssl.c", "#ifdef _MSC_VER\n\nstatic PyObject*", "#ifdef MS_WINDOWS\n\nstatic PyObject*",
     "the certificate store functions that ssl.py imports on win32"),
    ("Modules/clinic/_ssl.c.h",
     "#if defined(_MSC_VER)\n\nPyDoc_STRVAR(_ssl_enum_certificates__doc__",
     "#if defined(MS_WINDOWS)\n\nPyDoc_STRVAR(_ssl_enum_certificates__doc__",
     "the same, argument parsing"),
    ("Modules/clinic/_ssl.c.h", "#if defined(_MSC_VER)\n\nPyDoc_STRVAR(_ssl_enum_crls__doc__",
     "#if defined(MS_WINDOWS)\n\nPyDoc_STRVAR(_ssl_enum_crls__doc__",
     "the same, for the revocation lists"),
    ("Modules/_localemodule.c",
     "locale_decode_monetary(PyObject *dict, struct lconv *lc)\n{\n#ifndef MS_WINDOWS",
     "locale_decode_monetary(PyObject *dict, struct lconv *lc)\n{\n#if !defined(MS_WINDOWS) || defined(_Py_LCONV_NARROW)",
     "localeconv() crashes on the missing wide fields"),
    ("Modules/_localemodule.c", "done:\n#ifndef MS_WINDOWS\n    if (loc != NULL) {",
     "done:\n#if !defined(MS_WINDOWS) || defined(_Py_LCONV_NARROW)\n    if (loc != NULL) {",
     "the same, its clean-up"),
    ("Python/fileutils.c", "    assert(thousands_sep != NULL);\n\n#ifndef MS_WINDOWS",
     "    assert(thousands_sep != NULL);\n\n#if !defined(MS_WINDOWS) || defined(_Py_LCONV_NARROW)",
     "number formatting reads the same fields"),
    ("Python/fileutils.c", "done:\n#ifndef MS_WINDOWS\n    if (loc != NULL) {",
     "done:\n#if !defined(MS_WINDOWS) || defined(_Py_LCONV_NARROW)\n    if (loc != NULL) {",
     "the same, its clean-up"),
]


class EditFailed(Exception):
    pass


def apply_edit(text, passage, replacement):
    """The text with the passage replaced; unchanged when already edited."""
    if replacement in text and passage not in text:
        return text
    count = text.count(passage)
    if count != 1:
        raise EditFailed(f"expected the passage once, found it {count} times")
    return text.replace(passage, replacement)


def apply_edits(root, edits=EDITS):
    texts = {}
    for rel, passage, replacement, why in edits:
        path = root / rel
        if rel not in texts:
            texts[rel] = path.read_text(encoding="utf-8", errors="surrogateescape")
        try:
            texts[rel] = apply_edit(texts[rel], passage, replacement)
        except EditFailed as e:
            raise EditFailed(f"{rel} ({why}): {e}:\n{passage}") from None
    # Written only when every edit matched: a failed run leaves the tree as it was.
    for rel, text in texts.items():
        path = root / rel
        if path.read_text(encoding="utf-8", errors="surrogateescape") != text:
            path.write_text(text, encoding="utf-8", errors="surrogateescape")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: patch_sources.py SOURCE_TREE")
    try:
        apply_edits(pathlib.Path(sys.argv[1]))
    except (EditFailed, OSError) as e:
        sys.exit(f"patch_sources.py: the source changed, the edit no longer applies: {e}")
    print(f"patch_sources.py: {len(EDITS)} edits in place")


if __name__ == "__main__":
    main()
