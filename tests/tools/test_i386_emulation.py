"""32-bit x86 programs on this machine (tools/i386-emulation/): whatever runs
them, natively or through the registered emulation, mmap's MAP_FIXED_NOREPLACE
maps exactly where asked or fails with EEXIST and leaves the mapping in the
way alone (the contract the 32-bit Wine loader reserves its address space
with)."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

I386_LIBC = Path("/lib/i386-linux-gnu/libc.so.6")

# Built without the 32-bit development files (an x86-64 machine has none):
# the entry point calls libc.so.6 directly and ends with _exit.
PROBE_SOURCE = r"""
extern void *mmap(void *, unsigned long, int, int, int, long);
extern int munmap(void *, unsigned long);
extern int *__errno_location(void);
extern void _exit(int);
#define FAILED ((char *)-1)
#define ANONYMOUS_PRIVATE 0x22
#define FIXED_NOREPLACE 0x100000
#define BLOCK 0x10000

__attribute__((force_align_arg_pointer)) void _start(void)
{
    char *base = mmap(0, 4 * BLOCK, 0, ANONYMOUS_PRIVATE, -1, 0), *p;
    if (base == FAILED || munmap(base + 2 * BLOCK, 2 * BLOCK) != 0) _exit(10);
    p = mmap(base + BLOCK, 2 * BLOCK, 0, ANONYMOUS_PRIVATE | FIXED_NOREPLACE, -1, 0);
    if (p != FAILED) _exit(11);
    if (*__errno_location() != 17) _exit(12);
    p = mmap(base + 2 * BLOCK, 2 * BLOCK, 0, ANONYMOUS_PRIVATE | FIXED_NOREPLACE, -1, 0);
    if (p != base + 2 * BLOCK) _exit(13);
    if (munmap(base + BLOCK, BLOCK) != 0) _exit(14);
    p = mmap(base + BLOCK, BLOCK, 0, ANONYMOUS_PRIVATE | FIXED_NOREPLACE, -1, 0);
    if (p != base + BLOCK) _exit(15);
    _exit(0);
}
"""


class NoReplaceMappingTest(unittest.TestCase):

    def build_probe(self) -> Path:
        if not I386_LIBC.exists() or not shutil.which("gcc"):
            self.skipTest("no 32-bit C library (libc6:i386) or no gcc")
        folder = Path(tempfile.mkdtemp(prefix="i386-probe-"))
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        (folder / "probe.c").write_text(PROBE_SOURCE)
        subprocess.run(["gcc", "-m32", "-O1", "-nostdlib", "-fno-pie", "-no-pie",
                        "-Wl,--dynamic-linker=/lib/ld-linux.so.2", "-o", str(folder / "probe"),
                        str(folder / "probe.c"), str(I386_LIBC)], check=True)
        return folder / "probe"

    def test_a_taken_range_is_refused_a_free_one_is_mapped_exactly(self):
        probe = self.build_probe()
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        try:
            result = subprocess.run([str(probe)], env=env, timeout=60)
        except OSError as e:
            self.skipTest("32-bit programs do not run here: %s" % e)
        self.assertEqual(result.returncode, 0, "failed check %d of the probe" % result.returncode)


if __name__ == "__main__":
    unittest.main()
