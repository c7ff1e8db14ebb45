"""An application of cryptography (Fernet) and lxml (XPath), built with the
defaults only, prints what python3.11 prints: cryptography's bindings import
_cffi_backend from C, which no source names. From an output folder moved to
a path with blanks and non-ASCII letters, with the build machine's Python
and packages hidden."""

import unittest

import frozen

APP_SOURCE = '''\
import base64

from cryptography.fernet import Fernet
from lxml import etree

fernet = Fernet(base64.urlsafe_b64encode(bytes(range(32))))
token = fernet._encrypt_from_parts(b"frozen secret", 1700000000, bytes(16))
print("fernet", token.decode("ascii"), fernet.decrypt(token))
print("fernet round trip", fernet.decrypt(fernet.encrypt(b"another")))
document = etree.fromstring("<list><item n='1'>one</item><item n='2'>two</item></list>")
print("xpath", document.xpath("//item[@n='2']/text()"), document.xpath("count(//item)"))
'''


class CryptographyAndXmlApplicationTest(unittest.TestCase):
    def test_output_equals_python_s(self):
        frozen.require_modules("cryptography.fernet", "lxml.etree")
        workspace = frozen.Workspace.for_test(self)
        source = workspace.write_app("crypto", {"cryptoapp.py": APP_SOURCE})
        built = workspace.freeze(source, "cryptoapp", "cryptoapp", "--path", frozen.DIST_PACKAGES)
        report = (built.folder / "build-report.txt").read_text(encoding="utf-8")
        self.assertRegex(report, r"_cffi_backend, found in cryptography\.hazmat\.bindings\._openssl")
        app = built.moved_to(workspace.root / "moved" / "Prögram Fïles ✓" / "crypto app")
        expected = workspace.run_from_source(source, "cryptoapp")
        self.assertEqual(expected.exit_code, 0, expected.describe())
        self.assertIn("xpath ['two'] 2.0", expected.stdout)
        frozen.require_mount_namespace()
        run = workspace.run(app, hidden=True)
        self.assertEqual((run.exit_code, run.stdout), (0, expected.stdout), run.describe())


if __name__ == "__main__":
    unittest.main()
