"""Reliability end to end: the real launcher and the reference collector
under faults, hostile log folders and load. Every run happens in a private
network namespace (see loopback.py), the collector on its port 80."""

import concurrent.futures
import os
import random
import shutil
import signal
import subprocess
import time
import unittest
from pathlib import Path

from harness import Sandbox
from loopback import Collector, enter_private_network


STDLIB_EXTENSIONS = Path("/usr/lib/python3.11/lib-dynload")
CLOSING_LOG = b"STUB:stub:Closing log\n"


def setUpModule():
    enter_private_network()


class ReliabilityTestCase(unittest.TestCase):
    """A sandbox and collectors that go with the test."""

    def setUp(self):
        self.sandbox = Sandbox.for_test(self)
        self.collectors = []

    def tearDown(self):
        for collector in self.collectors:
            collector.stop()

    def start_collector(self, *options) -> Collector:
        storage = self.sandbox.root / ("collected%d" % len(self.collectors))
        collector = Collector(storage, *options)
        self.collectors.append(collector)
        return collector

    def make_application(self, source: str, **kwargs):
        """An application whose main module is source, frozen with the
        standard-library modules it imports and the interpreter's extension
        modules beside it."""
        folder = self.sandbox.root / ("source%d" % len(list(self.sandbox.root.glob("source*"))))
        folder.mkdir()
        (folder / "appmain.py").write_text(source, encoding="utf-8")
        config = dict(kwargs.pop("config", {}), __main_script="appmain")
        app = self.sandbox.make_app(boot_source="import appmain\n", app_dir=folder,
                                    main_module="appmain", config=config, **kwargs)
        for extension in STDLIB_EXTENSIONS.glob("*.so"):
            shutil.copy(extension, app.folder)
        return app

    def files_in(self, folder: Path) -> list:
        return sorted(path.name for path in folder.iterdir()) if folder.is_dir() else []


class CollectorStopTest(unittest.TestCase):

    def test_collector_stops_on_sigterm_at_any_moment_of_its_wait(self):
        # A handler that takes a lock the interrupted wait holds would hang
        # the collector (and the test suite with it) now and then: 200 stops,
        # each at another moment, the odd one with a second signal on its
        # heels; four lanes of 50 in a row at a time.
        sandbox = Sandbox.for_test(self)

        def lane(number):
            chance = random.Random(number)
            storage = sandbox.root / ("collected%d" % number)
            for attempt in range(50):
                collector = Collector(storage, port=0)
                time.sleep(chance.uniform(0, 0.03))
                collector.process.send_signal(signal.SIGTERM)
                # A second signal that lands when the interpreter is already
                # shutting down may end the process itself.
                allowed = (0,)
                if attempt % 5 == 0:
                    time.sleep(chance.uniform(0, 0.005))
                    if collector.process.poll() is None:
                        collector.process.send_signal(signal.SIGINT)
                        allowed = (0, -signal.SIGINT)
                try:
                    status = collector.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    collector.process.kill()
                    collector.process.wait()
                    return "lane %d, attempt %d: hung on its stop" % (number, attempt)
                if status not in allowed:
                    return "lane %d, attempt %d: exit status %d" % (number, attempt, status)
            return None

        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            failures = [failure for failure in pool.map(lane, range(4)) if failure]
        self.assertEqual(failures, [])


class LateCrashTest(ReliabilityTestCase):

    def test_application_that_used_ssl_exits_with_its_status_and_ships_its_log(self):
        # OpenSSL registers its clean-up with the runtime when the ssl module
        # is imported; the launcher's clean-up must still run first.
        collector = self.start_collector()
        for status in (0, 3):
            with self.subTest(status=status):
                app = self.make_application(
                    "import ssl, stub\n"
                    "ssl.create_default_context()\n"
                    "stub.log('context made, ending with %d')\n"
                    "if %d:\n"
                    "    stub.crt_exit(%d)\n" % (status, status, status))
                run = self.sandbox.run(app)
                self.assertEqual(run.exit_code, status, run.stderr)
                self.assertEqual(run.logs, [])
                shipped = [log for log in collector.logs()
                           if b"context made, ending with %d" % status in log]
                self.assertEqual(len(shipped), 1)
                self.assertTrue(shipped[0].endswith(CLOSING_LOG), shipped[0][-300:])

    def test_daemon_thread_writing_to_stderr_does_not_abort_the_exit(self):
        collector = self.start_collector()
        writer = (
            "import stub, sys, threading, time\n"
            "def chatter():\n"
            "    while True:\n"
            "        sys.stderr.write('a warning from a daemon thread\\n')\n"
            "threading.Thread(target=chatter, daemon=True).start()\n"
            "time.sleep(0.05)\n"
            "stub.log('run %d' % time.time_ns())\n")
        for ending, status in (("", 0), ("raise SystemExit(4)\n", 1)):
            app = self.make_application(writer + ending)
            for attempt in range(10):
                with self.subTest(ending=ending, attempt=attempt):
                    run = self.sandbox.run(app)
                    self.assertEqual(run.exit_code, status, run.stderr)
                    self.assertEqual(run.logs, [])
        logs = collector.logs()
        self.assertEqual(len(logs), 20)
        for log in logs:
            self.assertTrue(log.endswith(CLOSING_LOG), log[-300:])
        # With an error pending, the captured output comes first, then the
        # traceback (which the daemon thread may still interleave with).
        failed = [log for log in logs if b"Traceback (most recent call last):" in log]
        self.assertEqual(len(failed), 10)
        for log in failed:
            self.assertIn(b"STUB:stub:Contents of python stderr:\na warning from a daemon thread\n",
                          log)


class BoundedExitTest(ReliabilityTestCase):

    def test_server_that_sends_its_answer_slowly_does_not_hold_the_exit(self):
        # 200 at once, then the body one byte every two seconds: the answer
        # is in once its headers are, and the run ends.
        collector = self.start_collector("--trickle-body", "2")
        app = self.sandbox.make_app(boot_source=script('stub.log("slowly answered")'))
        started = time.monotonic()
        run = self.sandbox.run(app, timeout=60)
        self.assertEqual(run.exit_code, 0, run.stderr)
        self.assertLess(time.monotonic() - started, 20)
        self.assertEqual(run.logs, [])
        self.assertEqual(len(collector.logs()), 1)

    def test_log_too_large_to_frame_is_refused_without_reading_it(self):
        collector = self.start_collector()
        app = self.sandbox.make_app(boot_source=script('stub.log("beside a huge log")'))
        folder = self.sandbox.log_dir(app)
        folder.mkdir(parents=True)
        huge = folder / "2020-01-01_00.00.00.000001.log"
        with open(huge, "wb") as out:
            out.truncate(0xF1000000)  # 3.77 GiB, sparse
        exit_code, peak_kib = run_measured(self.sandbox, app)
        self.assertEqual(exit_code, 0)
        self.assertEqual(self.files_in(folder), [huge.name])
        self.assertEqual(len(collector.logs()), 1)
        self.assertLess(peak_kib, 64 * 1024)


def script(*lines: str) -> str:
    return "import stub\n" + "".join(line + "\n" for line in lines)


def run_measured(sandbox, app, args=()):
    """Runs the application as the harness does; its exit code and its peak
    resident memory in KiB."""
    process = subprocess.Popen([str(app.executable), *map(str, args)], cwd=sandbox.work_dir,
                               env=sandbox.environment(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            process.returncode = os.waitstatus_to_exitcode(status)
            return process.returncode, usage.ru_maxrss
        time.sleep(0.02)
    process.kill()
    process.wait()
    raise AssertionError("%s did not end within 120 s" % app.executable.name)


if __name__ == "__main__":
    unittest.main()
