"""Helper processes that are Python: a frozen application that starts
`sys.executable -c` and `sys.executable -u -m pkg.helper` children and talks
to them over pipes gets two interpreters, not two more applications; a user
who types the same arguments still gets the application."""

import unittest

import frozen

MAIN_SOURCE = '''\
import os
import subprocess
import sys

CODE = """
import os, signal, sys
line = sys.stdin.readline()
print("c", sys.argv[1:], line.strip().upper(), os.path.basename(os.getcwd()))
signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1])  # no other thread takes it
os.kill(os.getpid(), signal.SIGUSR1)
print("pending", signal.sigpending() == {signal.SIGUSR1})
print("to stderr", file=sys.stderr)
sys.exit(3)
"""


def record_start():
    with open(os.path.join(os.environ["XDG_DATA_HOME"], "starts"), "a") as stream:
        stream.write("%r\\n" % sys.argv[1:])


def main():
    record_start()
    if sys.argv[1] == "-c":
        print("the application, with", sys.argv[1:])
        return
    work = sys.argv[1]
    child = subprocess.run([sys.executable, "-c", CODE, "x"], input="hello\\n", cwd=work,
                           capture_output=True, text=True, timeout=60)
    print("c exit", child.returncode, child.stdout.strip(), child.stderr.strip())
    helper = subprocess.Popen([sys.executable, "-u", "-m", "pkg.helper", "twice"], cwd=work,
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    for word in ("ping", "pong"):
        helper.stdin.write(word + "\\n")
        helper.stdin.flush()
        print("m", helper.stdout.readline().strip())  # answered without a flush: -u
    helper.stdin.close()
    print("m exit", helper.wait(timeout=60))
    with open(os.path.join(os.environ["XDG_DATA_HOME"], "starts")) as stream:
        print("starts", stream.read().splitlines())


if __name__ == "__main__":
    main()
'''

HELPER_SOURCE = '''\
import os
import sys

for line in sys.stdin:
    print(sys.argv[1:], line.strip(), os.path.basename(os.getcwd()), __name__)
'''


class HelperProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = frozen.Workspace.for_test(cls)
        cls.source = cls.workspace.write_app("helpers", {
            "main.py": MAIN_SOURCE, "pkg/__init__.py": "", "pkg/helper.py": HELPER_SOURCE})
        cls.work = cls.workspace.root / "work folder"
        cls.work.mkdir()
        built = cls.workspace.freeze(cls.source, "main", "helpers",
                                     "--path", frozen.DIST_PACKAGES)
        cls.app = built.moved_to(cls.workspace.root / "moved a\u00efb" / "helpers")
        cls.expected = cls.workspace.run_from_source(
            cls.source, "main", [cls.work], env={"PYTHONPATH": str(cls.source)})

    def test_children_run_as_the_interpreter_runs_them(self):
        self.assertEqual(self.expected.exit_code, 0, self.expected.describe())
        self.assertIn("c exit 3 c ['x'] HELLO work folder\npending True to stderr",
                      self.expected.stdout)
        run = self.workspace.run(self.app, [self.work])
        self.assertEqual((run.exit_code, run.stdout), (0, self.expected.stdout), run.describe())
        # The application and its two children, each with a log of its own.
        self.assertEqual(len(run.logs), 3, run.describe())

    def test_the_interpreter_s_arguments_typed_by_a_user_start_the_application(self):
        run = self.workspace.run(self.app, ["-c", "print(1)"])
        self.assertEqual((run.exit_code, run.stdout),
                         (0, "the application, with ['-c', 'print(1)']\n"), run.describe())

    def test_children_run_without_the_build_machine_s_python(self):
        frozen.require_mount_namespace()
        run = self.workspace.run(self.app, [self.work], hidden=True)
        self.assertEqual((run.exit_code, run.stdout), (0, self.expected.stdout), run.describe())


if __name__ == "__main__":
    unittest.main()
