"""--with-source: the application's own sources travel in lib.dll, so that
its tracebacks, in the log too, show their code lines and inspect.getsource
works for its code."""

import unittest

import frozen

MAIN_SOURCE = '''\
import inspect
import traceback

from tools import parse


def main():
    try:
        parse("x")
    except ValueError:
        print(traceback.format_exc().splitlines()[-3].strip())
    print(inspect.getsource(parse).splitlines()[0])
    parse("uncaught")


if __name__ == "__main__":
    main()
'''

TOOLS_SOURCE = '''\
def parse(text):
    raise ValueError("cannot parse %r" % text)  # the failing line
'''


class SourceTest(unittest.TestCase):
    def test_tracebacks_and_getsource_show_the_application_s_code(self):
        workspace = frozen.Workspace.for_test(self)
        source = workspace.write_app("with-source", {"main.py": MAIN_SOURCE,
                                                     "tools/__init__.py": TOOLS_SOURCE})
        app = workspace.freeze(source, "main", "with-source", "--with-source")
        run = workspace.run(app)
        self.assertEqual(run.exit_code, 1, run.describe())
        self.assertEqual(run.stdout.splitlines(), [
            'raise ValueError("cannot parse %r" % text)  # the failing line',
            "def parse(text):"], run.describe())
        self.assertIn('    parse("uncaught")\n', run.logs[0], run.describe())


if __name__ == "__main__":
    unittest.main()
