"""An application under Wine that uses the interpreter's extension modules
(sqlite3, ssl, ctypes, decimal, asyncio over sockets), made by the build
tool's Windows output: the standard library it imports in lib.dll, the .pyd
files it reaches beside the launcher."""

import re
import subprocess
import unittest

from wine_harness import (NORMAL_END, WineSandbox, WineTestCase, enter_test_network,
                          startup_lines, windows_path)

BOOT = "import importlib, stub\nimportlib.import_module(stub.get_main_module()).main()\n"

APPLICATION = r'''
import asyncio, ctypes, decimal, os, socket, sqlite3, ssl, threading
import stub


def database():
    connection = sqlite3.connect(os.path.join(os.getcwd(), "shop.db"))
    connection.execute("create table if not exists items (name text, price text)")
    connection.executemany("insert into items values (?, ?)", [("tea", "2.10"), ("cake", "3.35")])
    connection.commit()
    total = sum(decimal.Decimal(price) for (price,) in connection.execute("select price from items"))
    connection.close()
    return "sqlite %s total %s" % (sqlite3.sqlite_version, total)


def native_call():
    same = ctypes.windll.kernel32.GetCurrentProcessId() == os.getpid()
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int)(lambda x: x * 2)
    return "ctypes pid matches %s, callback %d" % (same, callback(21))


def precise():
    decimal.getcontext().prec = 30
    return "decimal %s" % (decimal.Decimal(1) / decimal.Decimal(7))


def tls_round_trip(certificate):
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(certificate)
    client_context = ssl.create_default_context(cafile=certificate)
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def serve():
        connection, _ = listener.accept()
        with server_context.wrap_socket(connection, server_side=True) as tls:
            tls.sendall(tls.recv(5).upper())

    thread = threading.Thread(target=serve)
    thread.start()
    with client_context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=30),
                                    server_hostname="localhost") as tls:
        tls.sendall(b"hello")
        answer = tls.recv(5)
        version = tls.version()
    thread.join(30)
    listener.close()
    return "tls %s %s" % (answer.decode(), version in ("TLSv1.2", "TLSv1.3"))


async def echo_once():
    async def handle(reader, writer):
        writer.write((await reader.readline()).upper())
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.write(b"ping\n")
    answer = await reader.readline()
    writer.close()
    server.close()
    await server.wait_closed()
    return "asyncio %s %s" % (answer.decode().strip(), type(asyncio.get_running_loop()).__name__)


def main():
    for line in (database(), native_call(), precise(),
                 tls_round_trip(os.path.join(os.getcwd(), "tls.pem")), asyncio.run(echo_once())):
        stub.log(line)
'''


def setUpModule():
    enter_test_network()


class ApplicationTest(WineTestCase):

    def test_an_application_of_sqlite3_ssl_ctypes_decimal_and_asyncio(self):
        sandbox = WineSandbox.for_test(self)
        app_dir = sandbox.write_app_dir({"shop/__init__.py": "", "shop/main.py": APPLICATION})
        app = sandbox.make_app(boot_source=BOOT, app_dir=app_dir,
                               config={"__main_script": "shop.main"})
        placed = sorted(path.name for path in app.folder.glob("*.pyd"))
        self.assertLessEqual({"_ssl.pyd", "_socket.pyd", "_sqlite3.pyd", "_ctypes.pyd",
                              "_decimal.pyd", "_overlapped.pyd", "select.pyd"}, set(placed))
        self.assertNotIn("_msi.pyd", placed)
        # a self-signed certificate for localhost, made by the build machine's openssl
        key, certificate = app.folder / "key.pem", app.folder / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", str(key), "-out", str(certificate), "-days", "2",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"],
                       check=True, capture_output=True)
        (app.folder / "tls.pem").write_bytes(key.read_bytes() + certificate.read_bytes())
        run = sandbox.run(app, timeout=180)
        self.assertEqual(run.exit_code, 0, run.single_log().text if run.logs else run.stderr)
        self.assertLines(run.single_log().lines, startup_lines(app) + [
            re.compile(r"sqlite 3\.\d+\.\d+ total 5\.45"),
            "ctypes pid matches True, callback 42",
            "decimal 0.142857142857142857142857142857",
            "tls HELLO True",
            "asyncio PING ProactorEventLoop",
        ] + NORMAL_END)
        self.assertTrue((app.folder / "shop.db").is_file(), windows_path(app.folder))


if __name__ == "__main__":
    unittest.main()
