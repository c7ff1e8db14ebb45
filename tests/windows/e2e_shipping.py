"""End-to-end tests of log shipping under Wine, through WinINet: the sweep of
the log folder at exit against the reference collector on port 80, a server
that fails with 5xx, no server at all, and a server slower than WinINet's
receive time-out."""

import unittest

from wine_harness import (Collector, WineSandbox, WineTestCase, enter_test_network,
                          startup_lines, NORMAL_END)

RECEIVE_TIMEOUT = 30  # WinINet's default, in seconds


def setUpModule():
    enter_test_network()


class ShippingTest(WineTestCase):

    def setUp(self):
        self.sandbox = WineSandbox.for_test(self)

    def start_collector(self, address="127.0.0.1", *options) -> Collector:
        collector = Collector(address, self.sandbox.root / ("collected-" + address), *options)
        self.addCleanup(collector.stop)
        return collector

    def make_app(self, host="127.0.0.1", script="import stub\nstub.log('run of the test')\n"):
        return self.sandbox.make_app(config={"__logging_host": host}, boot_source=script)

    def put_old_logs(self, app, count=2):
        folder = self.sandbox.log_dir(app)
        folder.mkdir(parents=True, exist_ok=True)
        for number in range(count):
            (folder / ("2020-01-0%d_00.00.00.000000.log" % (number + 1))).write_bytes(
                b"old log %d\n" % number)
        return folder

    def files_in(self, folder):
        return sorted(path.name for path in folder.iterdir())

    def test_every_log_is_posted_once_then_deleted(self):
        collector = self.start_collector()
        app = self.make_app()
        folder = self.put_old_logs(app)
        run = self.sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(self.files_in(folder), [])
        received = collector.logs()
        self.assertEqual(sorted(log for log in received if log.startswith("old log")),
                         ["old log 0\n", "old log 1\n"])
        own = collector.logs_of(app.product)
        self.assertEqual(len(own), 1)
        self.assertLines(own[0].split("\n")[:-1],
                         startup_lines(app) + ["run of the test"] + NORMAL_END)
        self.assertEqual(collector.requests(), [("POST", "/upload_logs/v5/", 200)] * 3)

    def test_answers_that_keep_the_logs_and_answers_that_end_them(self):
        app = self.make_app("127.0.0.3")
        folder = self.put_old_logs(app)
        for runs, status in enumerate((302, 408, 429, 500), start=1):
            answering = self.start_collector("127.0.0.3", "--status", str(status))
            self.sandbox.run(app)
            self.assertEqual(len(answering.requests()), 2 + runs, status)
            self.assertEqual(len(self.files_in(folder)), 2 + runs, status)
            answering.stop()

        not_found = self.start_collector("127.0.0.3", "--status", "404")
        self.sandbox.run(app)
        self.assertEqual(len(not_found.requests()), 7)
        self.assertEqual(self.files_in(folder), [])

    def test_a_crashed_run_leaves_the_python_stack_and_the_next_run_ships_it(self):
        # An unhandled exception (a read through a null pointer in C), and
        # a fatal signal (abort); the interpreter's fault handler heads each
        # in its own words.
        app = self.make_app("127.0.0.5", script=(
            "import faulthandler, os, stub\n"
            "def render_chart():\n"
            "    faulthandler._read_null() if '--null' in stub.get_argv() else os.abort()\n"
            "def on_click():\n    render_chart()\n"
            "if stub.get_argv()[1:]:\n    on_click()\n"))
        logs = []
        # Under user-mode emulation of a 32-bit processor the null read
        # arrives as another exception code (an illegal instruction).
        for argument, head in (("--null", "Windows fatal exception: "),
                               ("--abort", "Fatal Python error: Aborted")):
            crashed = self.sandbox.run(app, [argument])
            # The exit status is Wine's: its crash handling (winedbg) ended
            # such a run with 0 once on a loaded machine. What the team
            # reads is the log.
            self.assertNotEqual(crashed.exit_code, 1)
            logs.append(crashed.logs[-1].text)
            self.assertIn(head, logs[-1])
            self.assertRegex(logs[-1], r'File "boot\.py", line \d+ in render_chart\r?\n'
                                       r'  File "boot\.py", line \d+ in on_click\r?\n')
            self.assertNotIn("Closing log", logs[-1])

        collector = self.start_collector("127.0.0.5")
        self.sandbox.run(app)
        for log in logs:
            self.assertIn(log, collector.logs())

    def test_no_server_keeps_everything_for_the_next_run(self):
        app = self.make_app("127.0.0.9")
        folder = self.put_old_logs(app)
        first = self.sandbox.run(app)
        self.assertEqual(first.exit_code, 0)
        self.assertEqual(len(self.files_in(folder)), 3)

        collector = self.start_collector("127.0.0.9")
        self.sandbox.run(app)
        self.assertEqual(self.files_in(folder), [])
        # both runs' logs and the two old ones; the two runs wrote the same
        # lines, which the collector stores once
        self.assertEqual(collector.requests(), [("POST", "/upload_logs/v5/", 200)] * 4)
        self.assertEqual(len(collector.logs_of(app.product)), 1)
        self.assertEqual(len(collector.logs()), 3)

    def test_server_slower_than_the_time_out_keeps_the_log(self):
        self.start_collector("127.0.0.4", "--delay", str(RECEIVE_TIMEOUT + 60))
        app = self.make_app("127.0.0.4")
        run = self.sandbox.run(app, timeout=RECEIVE_TIMEOUT * 4)
        self.assertEqual(run.exit_code, 0)
        # Given up at the time-out: had the launcher waited for the answer
        # (200, a minute later), the log would be gone.
        self.assertEqual(len(run.logs), 1)

    def test_flags_upload_off_and_keep_off_delete_without_a_request(self):
        collector = self.start_collector()
        app = self.make_app(script="import stub\nstub.set_upload_logs(0)\n")
        folder = self.put_old_logs(app)
        self.sandbox.run(app)
        self.assertEqual(self.files_in(folder), [])
        self.assertEqual(collector.requests(), [])

    def test_keep_on_posts_every_log_and_deletes_none(self):
        collector = self.start_collector()
        app = self.make_app(script="import stub\nstub.set_keep_logs(1)\n")
        folder = self.put_old_logs(app, count=1)
        self.sandbox.run(app)
        self.sandbox.run(app)
        self.assertEqual(len(self.files_in(folder)), 3)
        self.assertEqual(len(collector.requests()), 2 + 3)


if __name__ == "__main__":
    unittest.main()
