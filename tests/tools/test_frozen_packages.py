"""Applications built on Debian's python3-* packages, frozen with --path:
requests against a loopback server, jinja2 with markupsafe's C speedups,
yaml with its C loader, PIL opening and resizing a PNG. Each runs from its
output folder after the folder has been moved to a path with blanks and
non-ASCII letters, from another working directory, and prints what python3.11
prints for the same main module run from source; and runs again with the
build machine's Python and the packages hidden."""

import json
import unittest

import frozen

REQUESTS_APP = '''\
import sys

import requests

response = requests.get("http://127.0.0.1:%s/answer" % sys.argv[1], timeout=30)
print("requests", response.status_code, response.headers["Content-Type"], response.json())
'''

JINJA_APP = '''\
import jinja2
import markupsafe

environment = jinja2.Environment(autoescape=True)
template = environment.from_string("<p>{{ who }} says {{ what }}</p>")
print("jinja2", template.render(who="Tom & Jerry", what="<hello>"))
print("markupsafe escape from", markupsafe.escape.__module__)
'''

YAML_APP = '''\
import yaml

document = yaml.load("name: frozen\\nitems: [1, 2.5, yes]\\n", Loader=yaml.CLoader)
print("yaml", sorted(document.items()), yaml.__with_libyaml__)
print("yaml dump", yaml.dump(document, Dumper=yaml.CDumper, sort_keys=True).split())
'''

PIL_APP = '''\
import os

from PIL import Image

here = os.path.dirname(os.path.abspath(__file__))
with Image.open(os.path.join(here, "picture.png")) as picture:
    print("PIL opened", picture.format, picture.size, picture.mode)
    small = picture.resize((4, 2))
    print("PIL resized", small.size, small.getpixel((0, 0)), small.getpixel((3, 1)))
'''


def two_colour_png() -> bytes:
    """A 16x8 PNG: the left half red, the right half blue (made with PIL)."""
    import io
    from PIL import Image
    picture = Image.new("RGB", (16, 8), (255, 0, 0))
    picture.paste((0, 0, 255), (8, 0, 16, 8))
    buffer = io.BytesIO()
    picture.save(buffer, "PNG")
    return buffer.getvalue()


def json_answer(path) -> bytes:
    return json.dumps({"answer": 42, "path": path}).encode()


class PackageApplicationTest(unittest.TestCase):
    """One application per package: its main module and the data files
    beside it, frozen with --path pointing at Debian's packages."""

    @classmethod
    def setUpClass(cls):
        frozen.require_modules("requests", "jinja2", "markupsafe._speedups", "yaml", "PIL.Image")
        cls.workspace = frozen.Workspace.for_test(cls)
        cls.server = frozen.LoopbackServer(json_answer, "application/json")
        cls.addClassCleanup(cls.server.close)
        cls.apps = {}
        cls.sources = {}
        png = two_colour_png()
        cases = {
            "requests_app": (REQUESTS_APP, {}),
            "jinja_app": (JINJA_APP, {}),
            "yaml_app": (YAML_APP, {}),
            "pil_app": (PIL_APP, {"picture.png": png}),
        }
        for name, (source, files) in cases.items():
            folder = cls.workspace.write_app(name, {name + ".py": source, **files})
            built = cls.workspace.freeze(folder, name, name, "--path", frozen.DIST_PACKAGES)
            moved = cls.workspace.root / "moved" / "Prögram Fïles ✓" / (name + " folder")
            cls.apps[name] = built.moved_to(moved)
            cls.sources[name] = folder

    def args(self, name):
        return [self.server.port] if name == "requests_app" else []

    def check(self, name, hidden=False, expect=()):
        expected = self.workspace.run_from_source(self.sources[name], name, self.args(name))
        self.assertEqual(expected.exit_code, 0, expected.describe())
        run = self.workspace.run(self.apps[name], self.args(name), hidden=hidden)
        self.assertEqual((run.exit_code, run.stdout), (0, expected.stdout), run.describe())
        for text in expect:
            self.assertIn(text, run.stdout)
        return run

    def test_requests(self):
        self.check("requests_app", expect=["requests 200 application/json {'answer': 42"])

    def test_jinja2_with_markupsafe_s_speedups(self):
        self.check("jinja_app", expect=["Tom &amp; Jerry says &lt;hello&gt;",
                                        "escape from markupsafe._speedups"])

    def test_yaml_with_its_c_loader(self):
        self.check("yaml_app", expect=["yaml [('items', [1, 2.5, True]), ('name', 'frozen')] True"])

    def test_pil_opens_and_resizes_a_png(self):
        self.check("pil_app", expect=["PIL resized (4, 2) (255, 0, 0) (0, 0, 255)"])

    def test_every_application_runs_without_the_build_machine_s_python_and_packages(self):
        frozen.require_mount_namespace()
        for name in self.apps:
            with self.subTest(name):
                self.check(name, hidden=True)


if __name__ == "__main__":
    unittest.main()
