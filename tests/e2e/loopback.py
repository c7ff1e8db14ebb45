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
import unittest
from pathlib import Path

from expected import Sandbox
from harness import PYTHON, SOURCE_DIR
from servers import ServerProcess

COLLECTOR = SOURCE_DIR / "tools" / "collector.py"
CLONE_NEWNET = 0x40000000


def enter_private_network():
    """Raises SkipTest when the namespace cannot be made."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        raise unittest.SkipTest("cannot make a private network namespace: %s"
                                % os.strerror(ctypes.get_errno()))
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
    for name in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)


class Collector(ServerProcess):
    """The collector on a port of the private loopback (80 unless told),
    with its storage; what it prints goes to a file beside the storage."""

    name = "collector"

    def __init__(self, storage: Path, *options, port=80):
        self.storage = storage
        output = storage.with_name(storage.name + ".out")
        output.unlink(missing_ok=True)
        super().__init__([PYTHON, COLLECTOR, "--port", port, "--storage", storage,
                          "--keep-bodies", *options], output)
        self.start()

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
