"""The reference log collector on port 80 of a private loopback, for the
end-to-end tests of log shipping.

enter_private_network() moves the whole test process into a network
namespace of its own (it needs root, as CI has), so port 80 is free there
and no request can leave the machine. Every launcher and collector the test
starts afterwards lives in that namespace.
"""

import ctypes
import json
import os
import subprocess
import time
import unittest
from pathlib import Path

from expected import Sandbox
from harness import PYTHON, SOURCE_DIR

COLLECTOR = SOURCE_DIR / "tools" / "collector.py"
CLONE_NEWNET = 0x40000000
START_DEADLINE = 20
STOP_DEADLINE = 10


def enter_private_network():
    """Raises SkipTest when the namespace cannot be made."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise unittest.SkipTest("cannot make a private network namespace: %s"
                                % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)


class Collector:
    """The collector on a port of the private loopback (80 unless told),
    with its storage; what it prints goes to a file beside the storage, so
    it can never block on a full pipe."""

    def __init__(self, storage: Path, *options, port=80):
        self.storage = storage
        self.output = storage.with_name(storage.name + ".out")
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen(
                [PYTHON, str(COLLECTOR), "--port", str(port), "--storage", str(storage),
                 "--keep-bodies", *options],
                stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.port = self._wait_for_port()

    def _wait_for_port(self) -> int:
        deadline = time.monotonic() + START_DEADLINE
        while time.monotonic() < deadline:
            for line in self.output.read_text(errors="replace").splitlines(keepends=True):
                if line.startswith("listening on ") and line.endswith("\n"):
                    return int(line.rsplit(":", 1)[1])
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise AssertionError("collector did not start: %r"
                             % self.output.read_text(errors="replace"))

    def stop(self):
        """SIGTERM, then SIGKILL when it has not ended within its deadline."""
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=STOP_DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("collector did not stop on SIGTERM")

    def uploads(self) -> list:
        """Every stored log, as its record with the log and raw body."""
        uploads = []
        for record_file in sorted(self.storage.glob("*.json")):
            record = json.loads(record_file.read_text(encoding="utf-8"))
            record["log"] = (self.storage / record["file"]).read_bytes()
            record["body"] = (self.storage / record["body_file"]).read_bytes()
            uploads.append(record)
        return uploads

    def logs(self) -> list:
        return sorted(upload["log"] for upload in self.uploads())

    def requests(self) -> list:
        """The line printed for every request answered, stored or not."""
        return [line for line in self.output.read_text(errors="replace").splitlines()
                if " -> " in line]


class CollectorTestCase(unittest.TestCase):
    """A sandbox and the collectors a test starts, all gone with the test."""

    def setUp(self):
        self.sandbox = Sandbox.for_test(self)
        self.collectors = []

    def start_collector(self, *options) -> Collector:
        storage = self.sandbox.root / ("collected%d" % len(self.collectors))
        collector = Collector(storage, *options)
        self.collectors.append(collector)
        self.addCleanup(collector.stop)
        return collector
