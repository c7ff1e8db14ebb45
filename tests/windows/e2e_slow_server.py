"""End-to-end test of the Windows exit against servers that never answer:
one trickles the head of an answer a byte a second and never ends it, one
accepts the request and says nothing. The launcher's exit must end within
the product's shipping deadline, keep the log that got no answer, and ship
it on the next run."""

import itertools
import re
import socket
import subprocess
import threading
import time
import unittest

from wine_harness import (DEFAULT_TIMEOUT, SOURCE_DIR, Collector, WineSandbox, WineTestCase,
                          enter_test_network, stub)

SHIPPING_LIMITS = SOURCE_DIR / "launcher" / "util.h"


def shipping_limit_seconds(field: str) -> float:
    """A default of the launcher's UploadSettings, in seconds."""
    match = re.search(r"\b%s\s*=\s*(\d+)\s*;" % field, SHIPPING_LIMITS.read_text())
    if match is None:
        raise AssertionError("%s is not defined in %s" % (field, SHIPPING_LIMITS))
    return int(match.group(1)) / 1000


# One log to ship: the request deadline bounds the exit, or the sweep's
# budget if that is shorter.
EXIT_DEADLINE = min(shipping_limit_seconds("request_deadline_ms"),
                    shipping_limit_seconds("sweep_budget_ms"))
TRICKLE = b"HTTP/1.1 200 OK\r\nX-Padding: "  # then one padding byte after another


def setUpModule():
    enter_test_network()


class StallingServer:
    """Port 80 of one loopback address. It reads every request to its end
    and never completes an answer: when trickling, it sends the head of a
    200 answer a byte a second (an answer counted by mistake would delete
    the log); when silent, it sends nothing."""

    PACE = 1.0  # seconds between two bytes of the trickle

    def __init__(self, address: str, trickle: bool):
        self.trickle = trickle
        self.requests = []  # the bytes each connection sent
        self._stopped = threading.Event()
        self._listener = socket.create_server((address, 80))
        self._listener.settimeout(self.PACE)  # so that the accept loop sees stop()
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def stop(self) -> None:
        self._stopped.set()
        for thread in self._threads:
            thread.join(timeout=10)

    def _accept(self) -> None:
        with self._listener:
            while not self._stopped.is_set():
                try:
                    connection, _ = self._listener.accept()
                except socket.timeout:
                    continue
                except OSError:
                    return
                self._serve_in_thread(connection)

    def _serve_in_thread(self, connection: socket.socket) -> None:
        received = bytearray()
        self.requests.append(received)
        thread = threading.Thread(target=self._serve, args=(connection, received), daemon=True)
        self._threads.append(thread)
        thread.start()

    def _serve(self, connection: socket.socket, received: bytearray) -> None:
        connection.settimeout(self.PACE)
        with connection:
            for sent in itertools.count():
                if self._stopped.is_set():
                    return
                if self.trickle:
                    byte = TRICKLE[sent:sent + 1] or b"a"
                    try:
                        connection.sendall(byte)
                    except OSError:
                        return
                try:
                    data = connection.recv(65536)
                except socket.timeout:
                    continue
                except OSError:
                    return
                if not data:
                    return  # the client gave up
                received += data


def content_length(request: bytes) -> int:
    match = re.search(rb"\r\nContent-Length: (\d+)\r\n", request, re.IGNORECASE)
    return int(match.group(1)) if match else -1


def body_of(request: bytes) -> bytes:
    return request.partition(b"\r\n\r\n")[2]


class SlowServerTest(WineTestCase):

    def setUp(self):
        self.sandbox = WineSandbox.for_test(self)

    def run_together(self, apps: list, timeout: float) -> list:
        """Runs the applications at once; their exit codes, once all have
        ended within timeout seconds."""
        processes = [self.sandbox.start(app) for app in apps]
        deadline = time.monotonic() + timeout
        codes = []
        try:
            for app, process in zip(apps, processes):
                try:
                    process.communicate(timeout=max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    self.fail("%s did not end within %.0f s" % (app.executable.name, timeout))
                codes.append(process.returncode)
        finally:
            for process in processes:
                if process.poll() is None:
                    process.kill()
                    process.communicate()
        return codes

    def test_an_answer_that_never_comes_ends_the_exit_at_the_deadline_and_keeps_the_log(self):
        # The two servers run at once, so that both cost one deadline.
        cases = {"trickling": ("127.0.0.6", True, 4), "silent": ("127.0.0.7", False, 5)}
        servers, apps = {}, {}
        for name, (address, trickle, status) in cases.items():
            servers[name] = StallingServer(address, trickle)
            self.addCleanup(servers[name].stop)
            apps[name] = self.sandbox.make_app(config={"__logging_host": address}, boot_source=(
                "import stub\nstub.log('run against a %s server')\nstub.crt_exit(%d)\n"
                % (name, status)))

        codes = self.run_together(list(apps.values()), EXIT_DEADLINE + DEFAULT_TIMEOUT)
        kept = {}
        for (name, (_, _, status)), code in zip(cases.items(), codes):
            with self.subTest(server=name):
                self.assertEqual(code, status)
                servers[name].stop()
                # The whole request arrived: the launcher waited for an answer.
                self.assertEqual(len(servers[name].requests), 1)
                request = bytes(servers[name].requests[0])
                self.assertTrue(request.startswith(b"POST /upload_logs/v5/ "), request[:100])
                self.assertEqual(len(body_of(request)), content_length(request))
                logs = self.sandbox.read_logs(apps[name])
                self.assertEqual(len(logs), 1, "no answer keeps the log")
                self.assertIn("run against a %s server" % name, logs[0].lines)
                self.assertEqual(logs[0].lines[-1], stub("Closing log"))
                kept[name] = logs[0].text

        # The next runs, against a collector that answers, ship what was kept.
        collectors = {name: Collector(address, self.sandbox.root / ("collected-" + name))
                      for name, (address, _, _) in cases.items()}
        for collector in collectors.values():
            self.addCleanup(collector.stop)
        self.assertEqual(self.run_together(list(apps.values()), DEFAULT_TIMEOUT),
                         [status for _, _, status in cases.values()])
        for name, collector in collectors.items():
            with self.subTest(server=name):
                self.assertIn(kept[name], collector.logs())
                self.assertEqual(self.sandbox.read_logs(apps[name]), [])


if __name__ == "__main__":
    unittest.main()
