"""A server that a test starts in a process of its own: the reference
collector, the log-collection service. What it prints goes to a file, never
a pipe that could fill; it prints "listening on HOST:PORT" once it listens.
No other test module is imported here, so that the service's tests can use
it without the launcher's harness."""

import signal
import subprocess
import time
from pathlib import Path

START_DEADLINE = 30
STOP_DEADLINE = 15


class ServerProcess:
    """command, its output appended to the file output; start() runs it
    (again, after stop() or kill()) and waits until it listens."""

    name = "server"

    def __init__(self, command: list, output: Path, cwd=None):
        self.command = [str(part) for part in command]
        self.output = Path(output)
        self.cwd = cwd
        self.process = None
        self.port = None

    def start(self) -> None:
        earlier = len(self._announcements())
        with open(self.output, "ab") as out:
            self.process = subprocess.Popen(self.command, cwd=self.cwd, stdout=out,
                                            stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.port = self._wait_for_port(earlier)

    def _announcements(self) -> list:
        if not self.output.exists():
            return []
        return [line for line in self.output.read_text(errors="replace").splitlines(True)
                if line.startswith("listening on ") and line.endswith("\n")]

    def _wait_for_port(self, earlier: int) -> int:
        deadline = time.monotonic() + START_DEADLINE
        while time.monotonic() < deadline:
            announcements = self._announcements()
            if len(announcements) > earlier:
                return int(announcements[-1].rsplit(":", 1)[1])
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.kill()
        raise AssertionError("%s did not start: %s"
                             % (self.name, self.output.read_text(errors="replace")))

    def stop(self) -> None:
        """SIGTERM; SIGKILL and a failure when it has not ended within
        STOP_DEADLINE."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=STOP_DEADLINE)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("%s did not stop on SIGTERM" % self.name)

    def kill(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
