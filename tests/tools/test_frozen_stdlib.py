"""A frozen application that uses much of the standard library, extension
modules and their shared libraries among it, prints what python3.11 prints
when it runs the same main module from source: from an output folder run
from another working directory, and with the build machine's Python and the
system copies of the carried libraries hidden."""

import ssl
import subprocess
import unittest

import frozen

APP_SOURCE = '''\
"""Uses sqlite3, ssl, ctypes, decimal, asyncio, bz2, lzma, zoneinfo, hashlib,
uuid, child processes and late imports; prints one line for each."""
import asyncio
import bz2
import concurrent.futures
import ctypes
import decimal
import hashlib
import importlib
import lzma
import multiprocessing
import os
import sqlite3
import ssl
import sys
import urllib.request
import uuid
import zoneinfo
from datetime import datetime


def square(number):
    return number * number


def data_folder():
    base = os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share")
    folder = os.path.join(base, "stdlib-app")
    os.makedirs(folder, exist_ok=True)
    return folder


def check_sqlite():
    path = os.path.join(data_folder(), "notes.sqlite3")
    with sqlite3.connect(path) as db:
        db.execute("create table notes (id integer primary key, text text)")
        db.executemany("insert into notes (text) values (?)", [("one",), ("two",), ("drei",)])
    db.close()
    db = sqlite3.connect(path)
    print("sqlite", db.execute("select id, text from notes order by id").fetchall())
    db.close()


def check_https(port, cafile):
    context = ssl.create_default_context(cafile=cafile)
    url = "https://localhost:%d/greeting" % port
    with urllib.request.urlopen(url, context=context, timeout=30) as response:
        print("https", response.status, response.read().decode())


def check_ctypes():
    if sys.platform == "win32":
        libc, clock = ctypes.cdll.msvcrt, ctypes.windll.kernel32.GetTickCount()
    else:
        libc = ctypes.CDLL("libc.so.6")
        clock = libc.time(None)
    print("ctypes strlen", libc.strlen(b"frozen application"), "clock", clock != 0)


def check_decimal():
    decimal.getcontext().prec = 30
    print("decimal", decimal.Decimal(1) / decimal.Decimal(7), "C" if "_decimal" in sys.modules else "Python")


async def echo_once():
    async def echo(reader, writer):
        writer.write(await reader.readline())
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"ping over loopback\\n")
    line = await reader.readline()
    writer.close()
    server.close()
    await server.wait_closed()
    return line.decode().strip()


def check_compression():
    data = "frozen ".encode() * 4096
    print("bz2", bz2.decompress(bz2.compress(data)) == data, len(bz2.compress(data)) < len(data))
    print("lzma", lzma.decompress(lzma.compress(data)) == data, len(lzma.compress(data)) < len(data))


def check_zoneinfo():
    paris = zoneinfo.ZoneInfo("Europe/Paris")
    print("zoneinfo", datetime(2026, 7, 1, 12, tzinfo=paris).utcoffset(),
          datetime(2026, 1, 1, 12, tzinfo=paris).tzname())


def check_hashes():
    print("sha3", hashlib.sha3_256(b"frozen").hexdigest())
    print("sha256", hashlib.sha256(b"frozen").hexdigest())


def check_uuid():
    print("uuid", uuid.uuid5(uuid.NAMESPACE_DNS, "example.org"), uuid.uuid4().version)


def check_imports_after_chdir():
    os.chdir("/")
    print("loaded before", [name in sys.modules for name in ("colorsys", "json", "xml.dom.minidom")])
    import colorsys
    import json
    minidom = importlib.import_module("xml.dom.minidom")
    print("after chdir", colorsys.rgb_to_hsv(1.0, 0.0, 0.0), json.dumps({"a": [1, 2]}),
          minidom.parseString("<a><b/></a>").documentElement.firstChild.tagName)


def check_child_processes():
    spawn = multiprocessing.get_context("spawn")
    with spawn.Pool(2) as pool:
        print("spawn pool", pool.map(square, range(6)))
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as executor:
        print("process pool", list(executor.map(square, range(6))))


def main():
    port, cafile = int(sys.argv[1]), sys.argv[2]
    check_sqlite()
    check_https(port, cafile)
    check_ctypes()
    check_decimal()
    print("asyncio", asyncio.run(echo_once()))
    check_compression()
    check_zoneinfo()
    check_hashes()
    check_uuid()
    check_imports_after_chdir()
    check_child_processes()
    print("done")


if __name__ == "__main__":
    multiprocessing.freeze_support()
    main()
'''


def https_server(folder):
    """An HTTPS server on loopback with a self-signed certificate for
    localhost that the test makes; returns it and the certificate's file."""
    cert, key = folder / "localhost.pem", folder / "localhost.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                    "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return frozen.LoopbackServer(lambda path: b"hello over TLS", context=context), cert


class StdlibApplicationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        frozen.require_programs("openssl")
        cls.workspace = frozen.Workspace.for_test(cls)
        cls.server, cert = https_server(cls.workspace.root)
        cls.addClassCleanup(cls.server.close)
        cls.args = [cls.server.port, cert]
        cls.source = cls.workspace.write_app("stdlib", {"stdlib_app.py": APP_SOURCE})
        cls.app = cls.workspace.freeze(cls.source, "stdlib_app", "stdlib app")
        cls.expected = cls.workspace.run_from_source(cls.source, "stdlib_app", cls.args)

    def assert_same_output_as_from_source(self, run):
        self.assertEqual(self.expected.exit_code, 0, self.expected.describe())
        self.assertEqual((run.exit_code, run.stdout), (0, self.expected.stdout), run.describe())

    def test_the_frozen_application_prints_what_it_prints_from_source(self):
        run = self.workspace.run(self.app, self.args)
        self.assert_same_output_as_from_source(run)
        self.assertIn("decimal 0.142857142857142857142857142857 C", run.stdout)

    def test_every_child_process_runs_the_child_and_writes_its_own_log(self):
        run = self.workspace.run(self.app, self.args)
        self.assert_same_output_as_from_source(run)
        # The application itself, two pool workers, at least one executor
        # worker and the resource tracker; none of them fails.
        self.assertGreaterEqual(len(run.logs), 5, run.describe())
        for log in run.logs:
            self.assertNotIn("Traceback", log, run.describe())

    def test_the_application_runs_without_the_build_machine_s_python(self):
        frozen.require_mount_namespace()
        run = self.workspace.run(self.app, self.args, hidden=True)
        self.assert_same_output_as_from_source(run)


if __name__ == "__main__":
    unittest.main()
