"""Log shipping end to end: the launcher posts its logs at exit to the log
collector (tools/collector.py) on port 80 of a private loopback (see
loopback.py)."""

import struct
import subprocess
import time
import unittest
from pathlib import Path

import lzo

from loopback import CollectorTestCase, enter_private_network

UPLOAD_PATH = "/upload_logs/v5/"
# WinINet's receive time-out, which the launcher keeps.
RECEIVE_TIMEOUT = 30

OLD_LOGS = {
    "2020-01-01_00.00.00.000001.log": b"META:stub:version = 1.0.0.0\nan old run\n",
    "2020-01-02_00.00.00.000002.log": b"another old run\n",
}


def setUpModule():
    enter_private_network()


def script(*lines: str) -> str:
    return "import stub\n" + "".join(line + "\n" for line in lines)


class LogShippingTest(CollectorTestCase):

    def make_app(self, *script_lines, **kwargs):
        # Every run's log differs from every other's: the collector keeps
        # one copy of a content it has seen.
        return self.sandbox.make_app(boot_source=script('stub.log("run of the test")',
                                                        "import time",
                                                        'stub.log("at %d" % time.time_ns())',
                                                        *script_lines), **kwargs)

    def put_old_logs(self, app, logs=None) -> Path:
        folder = self.sandbox.log_dir(app)
        folder.mkdir(parents=True, exist_ok=True)
        for name, content in (OLD_LOGS if logs is None else logs).items():
            (folder / name).write_bytes(content)
        return folder

    def files_in(self, folder: Path) -> list:
        return sorted(path.name for path in folder.iterdir())

    def run_app(self, app, **kwargs):
        run = self.sandbox.run(app, **kwargs)
        self.assertEqual(run.exit_code, 0, run.stderr)
        return run

    # ---- default flags ----------------------------------------------------------

    def test_every_log_is_posted_once_then_deleted(self):
        collector = self.start_collector()
        app = self.make_app()
        folder = self.put_old_logs(app)
        run = self.run_app(app)

        self.assertEqual(run.logs, [])
        self.assertEqual(self.files_in(folder), [])
        uploads = collector.uploads()
        self.assertEqual(len(uploads), 3)
        own = [u["log"] for u in uploads if b"run of the test" in u["log"]]
        self.assertEqual(len(own), 1)
        self.assertTrue(own[0].endswith(b"STUB:stub:Closing log\n"), own[0][-200:])
        self.assertEqual(sorted(u["log"] for u in uploads if u["log"] not in own),
                         sorted(OLD_LOGS.values()))
        for upload in uploads:
            self.assert_request_is_the_launchers(upload)

    def assert_request_is_the_launchers(self, upload):
        self.assertEqual(upload["request_line"], "POST %s HTTP/1.1" % UPLOAD_PATH)
        self.assertEqual(upload["agent"], "agent")
        headers = upload["headers"]
        self.assertIn(["Content-Type", "application/octet-stream"], headers)
        self.assertIn(["Content-Length", str(len(upload["body"]))], headers)
        self.assertNotIn("Expect", [name for name, _ in headers])
        body, log = upload["body"], upload["log"]
        self.assertEqual(body[:5], b"\xf0" + struct.pack(">I", len(log)))
        self.assertEqual(lzo.decompress(body), log)
        self.assertEqual(body, lzo.compress(log, 1))

    def test_empty_log_is_the_eight_byte_frame(self):
        collector = self.start_collector()
        app = self.make_app()
        folder = self.put_old_logs(app, {"2020-01-01_00.00.00.000000.log": b""})
        self.run_app(app)
        bodies = [u["body"] for u in collector.uploads()]
        self.assertIn(bytes.fromhex("f000000000110000"), bodies)
        self.assertEqual(len(bodies), 2)
        self.assertEqual(self.files_in(folder), [])

    def test_subfolder_named_like_a_log_is_left_alone(self):
        collector = self.start_collector()
        app = self.make_app()
        folder = self.put_old_logs(app)
        (folder / "x.log").mkdir()
        (folder / "x.log" / "inner.log").write_bytes(b"inside\n")
        self.run_app(app)
        self.assertEqual(self.files_in(folder), ["x.log"])
        self.assertEqual(self.files_in(folder / "x.log"), ["inner.log"])
        self.assertEqual(len(collector.uploads()), 3)

    # ---- failed uploads -----------------------------------------------------------

    def test_unreachable_server_keeps_everything_for_the_next_run(self):
        app = self.make_app()
        folder = self.put_old_logs(app)
        first = self.run_app(app)
        self.assertEqual(len(first.logs), 3)

        collector = self.start_collector()
        self.run_app(app)
        self.assertEqual(self.files_in(folder), [])
        logs = collector.logs()
        self.assertEqual(len(logs), 4)
        self.assertEqual(len([log for log in logs if b"run of the test" in log]), 2)
        own_first = [log.data for log in first.logs if b"run of the test" in log.data]
        self.assertIn(own_first[0], logs)

    def test_answers_that_keep_the_logs_and_answers_that_end_them(self):
        # A redirect, "try again later" and a server error keep every log for
        # the next run; a refusal (404) ends them as a 200 does.
        app = self.make_app()
        folder = self.put_old_logs(app)
        for runs, status in enumerate((302, 408, 429, 500), start=1):
            answering = self.start_collector("--status", str(status))
            self.run_app(app)
            self.assertEqual(len(answering.requests()), 2 + runs, status)
            self.assertEqual(len(self.files_in(folder)), 2 + runs, status)
            answering.stop()

        not_found = self.start_collector("--status", "404")
        self.run_app(app)
        self.assertEqual(len(not_found.requests()), 7)
        self.assertEqual(not_found.uploads(), [])
        self.assertEqual(self.files_in(folder), [])

    def test_a_crashed_run_leaves_the_python_stacks_and_the_next_run_ships_it(self):
        # faulthandler's own test helper reads through a null pointer in C.
        app = self.make_app(
            "import faulthandler, threading",
            "def idle_worker():", "    threading.Event().wait()",
            "def render_chart():", "    faulthandler._read_null()",
            "def on_click():", "    render_chart()",
            "if stub.get_argv()[1:] == ['--crash']:",
            "    threading.Thread(target=idle_worker, daemon=True).start()",
            "    on_click()")
        crashed = self.sandbox.run(app, ["--crash"])
        self.assertLess(crashed.exit_code, 0, "not ended by its signal")
        self.assertEqual(crashed.stderr, "")
        log = crashed.single_log().text
        self.assertIn("Fatal Python error: Segmentation fault", log)
        self.assertRegex(log, r'File "boot\.py", line \d+ in render_chart\n'
                              r'  File "boot\.py", line \d+ in on_click\n')
        self.assertRegex(log, r'File "boot\.py", line \d+ in idle_worker\n')
        self.assertNotIn("Closing log", log)

        collector = self.start_collector()
        self.run_app(app)
        self.assertIn(crashed.single_log().data, collector.logs())

    def test_server_slower_than_the_time_out_keeps_the_logs(self):
        self.start_collector("--delay", str(RECEIVE_TIMEOUT + 30))
        app = self.make_app()
        started = time.monotonic()
        run = self.run_app(app, timeout=RECEIVE_TIMEOUT * 3)
        self.assertLess(time.monotonic() - started, RECEIVE_TIMEOUT + 15)
        self.assertEqual(len(run.logs), 1)

    # ---- the flags ------------------------------------------------------------------

    def test_upload_off_and_keep_off_deletes_all_without_a_request(self):
        collector = self.start_collector()
        app = self.make_app("stub.set_upload_logs(0)")
        folder = self.put_old_logs(app)
        self.run_app(app)
        self.assertEqual(self.files_in(folder), [])
        self.assertEqual(collector.uploads(), [])

    def test_keep_on_posts_every_log_of_every_run_and_deletes_none(self):
        collector = self.start_collector()
        app = self.make_app("stub.set_keep_logs(1)")
        folder = self.put_old_logs(app)
        self.run_app(app)
        self.assertEqual(len(self.files_in(folder)), 3)
        self.run_app(app)
        self.assertEqual(len(self.files_in(folder)), 4)
        self.assertEqual(len(collector.requests()), 3 + 4)
        # The logs posted again are known to the collector and stored once.
        self.assertEqual(len(collector.uploads()), 4)

    def test_upload_off_and_keep_on_touches_nothing(self):
        collector = self.start_collector()
        app = self.make_app("stub.set_upload_logs(0)", "stub.set_keep_logs(1)")
        folder = self.put_old_logs(app)
        self.run_app(app)
        self.assertEqual(len(self.files_in(folder)), 3)
        self.assertEqual(collector.uploads(), [])

    # ---- two launchers at once ---------------------------------------------------

    def test_log_of_a_launcher_still_running_is_neither_sent_nor_deleted(self):
        collector = self.start_collector()
        go_on = self.sandbox.root / "go-on"
        waiting = self.make_app(
            'stub.log("still running")',
            "import os, time",
            "deadline = time.monotonic() + 60",
            "while not os.path.exists(%r) and time.monotonic() < deadline:" % str(go_on),
            "    time.sleep(0.05)")
        finishing = self.make_app()
        folder = self.put_old_logs(finishing)

        env = self.sandbox.environment()
        running = subprocess.Popen([str(waiting.executable)], cwd=self.sandbox.work_dir, env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            busy = self.wait_for_log_containing(folder, b"still running")
            self.run_app(finishing)
            self.assertEqual(self.files_in(folder), [busy.name])
            self.assertEqual(len(collector.uploads()), 3)
            self.assertNotIn(b"still running", b"".join(collector.logs()))
        finally:
            go_on.touch()
            self.assertEqual(running.wait(timeout=60), 0)

        self.assertEqual(self.files_in(folder), [])
        last = collector.uploads()[-1]["log"]
        self.assertIn(b"still running", last)

    def wait_for_log_containing(self, folder: Path, text: bytes) -> Path:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for path in folder.glob("*.log"):
                if text in path.read_bytes():
                    return path
            time.sleep(0.05)
        raise AssertionError("no log in %s came to hold %r" % (folder, text))


if __name__ == "__main__":
    unittest.main()
