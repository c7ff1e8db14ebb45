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

from expected import Sandbox
from harness import launcher_binary
from loopback import Collector, CollectorTestCase, enter_private_network


STDLIB_EXTENSIONS = Path("/usr/lib/python3.11/lib-dynload")
CLOSING_LOG = b"STUB:stub:Closing log\n"


def setUpModule():
    enter_private_network()


def built_with_sanitizers() -> bool:
    """AddressSanitizer's shadow memory would swamp every memory figure."""
    return b"libasan.so" in launcher_binary().read_bytes()


class ReliabilityTestCase(CollectorTestCase):

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
        if not built_with_sanitizers():
            self.assertLess(peak_kib, 48 * 1024)


class BoundedCaptureTest(ReliabilityTestCase):

    def test_long_standard_error_keeps_memory_bounded_and_reaches_the_log(self):
        collector = self.start_collector()
        app = self.make_application(
            "import sys\n"
            "for block in range(2000):\n"
            "    sys.stderr.write(''.join('%09d\\n' % (block * 1000 + i) for i in range(1000)))\n"
            "raise RuntimeError('after 20 MB of warnings')\n")
        exit_code, peak_kib = run_measured(self.sandbox, app)
        self.assertEqual(exit_code, 1)
        logs = collector.logs()
        self.assertEqual(len(logs), 1)
        log = logs[0]
        head = b"STUB:stub:Contents of python stderr:\n"
        start = log.index(head) + len(head)
        expected = b"".join(b"%09d\n" % i for i in range(2000 * 1000))
        self.assertEqual(log[start:start + len(expected)], expected)
        self.assertIn(b"RuntimeError: after 20 MB of warnings", log[start + len(expected):])
        # 20 MB went through; the capture kept at most a few MiB of it (a
        # run that writes nothing to standard error peaks near 10 MiB).
        if not built_with_sanitizers():
            self.assertLess(peak_kib, 32 * 1024)


class HostileFolderTest(ReliabilityTestCase):

    def test_links_in_the_logs_folder_are_left_alone(self):
        collector = self.start_collector()
        app = self.sandbox.make_app(boot_source=script('stub.log("own run")'))
        folder = self.sandbox.log_dir(app)
        folder.mkdir(parents=True)
        outside = self.sandbox.root / "outside"
        outside.mkdir()
        (outside / "secret.log").write_bytes(b"someone else's file\n")
        (outside / "other").write_bytes(b"another file\n")
        (folder / "x.log").symlink_to(outside / "secret.log")
        os.link(outside / "other", folder / "y.log")
        run = self.sandbox.run(app)
        self.assertEqual(run.exit_code, 0, run.stderr)
        self.assertEqual(self.files_in(folder), ["x.log", "y.log"])
        self.assertEqual(self.files_in(outside), ["other", "secret.log"])
        logs = collector.logs()
        self.assertEqual(len(logs), 1)
        self.assertIn(b"own run", logs[0])

    def test_logs_folder_that_is_a_link_is_not_swept(self):
        collector = self.start_collector()
        app = self.sandbox.make_app(boot_source=script('stub.log("own run")'))
        folder = self.sandbox.log_dir(app)
        folder.parent.mkdir(parents=True)
        elsewhere = self.sandbox.root / "elsewhere"
        elsewhere.mkdir(mode=0o700)
        (elsewhere / "2020-01-01_00.00.00.000001.log").write_bytes(b"not this run's\n")
        folder.symlink_to(elsewhere)
        run = self.sandbox.run(app)
        self.assertEqual(run.exit_code, 0, run.stderr)
        # The run's own log went there through the link; nothing is sent or
        # deleted from it.
        self.assertEqual(len(self.files_in(elsewhere)), 2)
        self.assertEqual(collector.requests(), [])

    def test_missing_data_home_is_made_and_the_log_shipped(self):
        collector = self.start_collector()
        app = self.sandbox.make_app(boot_source=script('stub.log("first run ever")'))
        data_home = self.sandbox.root / "fresh" / "share"
        run = self.sandbox.run(app, env={"XDG_DATA_HOME": str(data_home)})
        self.assertEqual(run.exit_code, 0, run.stderr)
        self.assertEqual(data_home.stat().st_mode & 0o777, 0o700)
        logs = collector.logs()
        self.assertEqual(len(logs), 1)
        self.assertIn(b"first run ever", logs[0])

    def test_names_that_are_not_utf8_are_shipped_and_deleted(self):
        collector = self.start_collector()
        app = self.sandbox.make_app(boot_source=script(
            "import os",
            "stub.log(b'log path ' + os.fsencode(stub.get_log_path()))"))
        data_home = os.fsencode(self.sandbox.root) + b"/data-\xff\xfe"
        folder = (data_home + b"/" + app.strings["__company"].encode() + b"/"
                  + app.strings["__product"].encode() + b"/logs")
        os.makedirs(folder, mode=0o700)
        with open(folder + b"/old-\xe9.log", "wb") as old:
            old.write(b"an old run with a latin-1 name\n")
        run = self.sandbox.run(app, env={"XDG_DATA_HOME": os.fsdecode(data_home)})
        self.assertEqual(run.exit_code, 0, run.stderr)
        self.assertEqual(os.listdir(folder), [])
        logs = collector.logs()
        self.assertEqual(len(logs), 2)
        own = [log for log in logs if b"log path " in log][0]
        self.assertIn(b"log path " + folder + b"/", own)


class FullDiskTest(ReliabilityTestCase):

    def test_log_cut_by_a_full_disk_says_so_and_keeps_the_exit_status(self):
        collector = self.start_collector()
        data_home = self.sandbox.root / "small"
        data_home.mkdir()
        app = self.sandbox.make_app(boot_source=script(
            "import os",
            "filler = %r" % str(data_home / "filler"),
            "out = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)",
            "try:",
            "    while os.write(out, b'f' * 4096) > 0:",
            "        pass",
            "except OSError:",
            "    pass",
            "os.close(out)",
            "for i in range(100):",
            "    stub.log('lost line %03d ' % i + 'x' * 80)",
            "os.remove(filler)",
            "stub.log('space again')",
            "stub.crt_exit(3)"))
        command = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs -o size=1m,mode=0700 tmpfs "$1" && shift && exec "$@"',
                   "sh", str(data_home), str(app.executable)]
        result = subprocess.run(command, cwd=self.sandbox.work_dir,
                                env=self.sandbox.environment({"XDG_DATA_HOME": str(data_home)}),
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        if result.returncode != 3 and b"mount" in result.stderr:
            self.skipTest("cannot mount a tmpfs: %s" % result.stderr.decode(errors="replace"))
        self.assertEqual(result.returncode, 3, result.stderr)
        logs = collector.logs()
        self.assertEqual(len(logs), 1)
        log = logs[0]
        # The line the disk cut ends where the next one begins.
        self.assertIn(b"space again\nSTUB:stub:Cleaning up\n", log)
        self.assertNotIn(b"lost line 099", log)
        self.assertRegex(log, rb"\nSTUB:stub:The log lacks [1-9][0-9]* bytes that could not be "
                              rb"written\n\Z")


def script(*lines: str) -> str:
    return "import stub\n" + "".join(line + "\n" for line in lines)


def rss_anon_kib(pid):
    """The process's anonymous resident memory (not the page cache's pages
    of files it maps), or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def run_measured(sandbox, app, args=()):
    """Runs the application as the harness does; its exit code and the peak
    of its anonymous resident memory in KiB, sampled every few milliseconds."""
    process = subprocess.Popen([str(app.executable), *map(str, args)], cwd=sandbox.work_dir,
                               env=sandbox.environment(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        peak = max(peak, rss_anon_kib(process.pid) or 0)
        try:
            return process.wait(timeout=0.005), peak
        except subprocess.TimeoutExpired:
            pass
    process.kill()
    process.wait()
    raise AssertionError("%s did not end within 120 s" % app.executable.name)


if __name__ == "__main__":
    unittest.main()
