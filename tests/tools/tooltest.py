"""What the tests of the build tool share: the tool run as a command, a
stand-in for the launcher's native module, and a test case with a private
folder. A copy of /bin/true stands in for the launcher: these tests look only
at the tool's outputs."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402
from harness import PYTHON, mkapp  # noqa: E402

MKAPP = harness.SOURCE_DIR / "tools" / "mkapp.py"
KEY = bytes.fromhex("3f8a12c47b05e961a2d84e9017bb6c23")

# Runs a boot script's code object with a stand-in for the launcher's native
# module, from the folder of lib.dll, with the launcher's module search path.
STUB_RUNNER = textwrap.dedent("""\
    import marshal, sys, types
    code = marshal.loads(sys.stdin.buffer.read())
    sys.path[:] = ["lib.dll", "."]
    stub = types.ModuleType("stub")
    stub.log = lambda text: print("log:", text, flush=True)
    stub.get_main_module = lambda: sys.argv[1]
    stub.get_archive_name = lambda: "lib.dll"
    stub.get_argv = lambda: ["app"] + sys.argv[2:]
    stub.set_upload_logs = lambda flag: print("upload_logs:", flag, flush=True)
    stub.set_keep_logs = lambda flag: print("keep_logs:", flag, flush=True)
    def crt_exit(status):
        print("crt_exit:", status, flush=True)
        import posix
        posix._exit(status)
    stub.crt_exit = crt_exit
    sys.modules["stub"] = stub
    exec(code, {"__name__": "__main__"})
""")


def run_mkapp(*args, cwd=None):
    return subprocess.run([PYTHON, str(MKAPP)] + [a if isinstance(a, bytes) else str(a)
                                                 for a in args],
                          cwd=cwd, capture_output=True, text=True, errors="replace")


def resources_by_key(image):
    return {(r.type, r.name): r for r in mkapp.parse_res(image)}


def version_info(image):
    return mkapp.find_version_info(mkapp.parse_res(image))


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        harness.require_windres()
        self.dir = Path(tempfile.mkdtemp(prefix="mkapp-test-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.launcher = self.dir / "launcher"
        shutil.copyfile("/bin/true", self.launcher)
        os.chmod(self.launcher, 0o751)
        self.out = self.dir / "out"

    def write(self, name, data):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(data, str):
            data = data.encode("utf-8")
        path.write_bytes(data)
        return path

    def build(self, *args):
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app", *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return (self.out / "app").read_bytes()

    def image_of(self, *args):
        return mkapp.split_executable(self.build(*args))[1]

    def assert_clean_failure(self, result, status):
        self.assertEqual(result.returncode, status, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("mkapp: error: "), lines[0])
        leftovers = list(self.out.iterdir()) if self.out.exists() else []
        self.assertEqual(leftovers, [], "output written by a failed build")
        return lines[0]


