"""End-to-end tests of the end of a run: the exit clean-up after a normal
end, an error, a system exit and stub.crt_exit; the capture of the
interpreter's standard error into the log; and launchers that run at once or
start without standard descriptors."""

import ast
import datetime
import resource
import subprocess
import time
import unittest

from expected import (ERROR_END_HEAD, ERROR_END_TAIL, NORMAL_END, LauncherTestCase, Sandbox,
                      clear_logs, log_name_time, run_command, startup_lines, stub)

CLEAN_EXIT_END = [stub("Cleaning up"), stub("A python error was not set"), stub("Finalizing"),
                  stub("Closing log")]


def traceback_lines(line: int, error: str) -> list:
    return ["Traceback (most recent call last):",
            '  File "boot.py", line %d, in <module>' % line, error]


def ten_megabytes() -> str:
    """10 MiB of numbered lines, also built by the scripts below."""
    return "".join("%09d\n" % i for i in range(1048576))


TEN_MEGABYTES_SOURCE = "''.join('%09d\\n' % i for i in range(1048576))"


class CrtExitTest(LauncherTestCase):

    def test_crt_exit_ends_the_process_with_its_status_after_the_clean_up(self):
        sandbox = Sandbox.for_test(self)
        for status, log_to_memory in ((3, "false"), (0, "true")):
            with self.subTest(status=status, log_to_memory=log_to_memory):
                app = sandbox.make_app(name="exit%d" % status,
                                   config={"__log_to_memory": log_to_memory}, boot_source=(
                    "import stub, sys\n"
                    "stub.log('before the exit')\n"
                    "sys.stderr.write('waiting in the pipe\\n')\n"
                    "stub.crt_exit(%d)\n"
                    "stub.log('after the exit')\n" % status))
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, status)
                self.assertEqual((run.stdout, run.stderr), ("", ""))
                self.assertLines(run.single_log().lines,
                             startup_lines(app) + ["before the exit"] + CLEAN_EXIT_END[:2]
                             + [stub("Contents of python stderr:"), "waiting in the pipe"]
                             + CLEAN_EXIT_END[2:])

    def test_crt_exit_during_the_clean_up_loses_no_log(self):
        # An exit handler of the application runs while the interpreter is
        # finalized, inside the launcher's own clean-up.
        sandbox = Sandbox.for_test(self)
        for log_to_memory in ("false", "true"):
            with self.subTest(log_to_memory=log_to_memory):
                app = sandbox.make_app(config={"__log_to_memory": log_to_memory}, boot_source=(
                    "import atexit, stub\n"
                    "atexit.register(lambda: (stub.log('exit handler'), stub.crt_exit(4)))\n"))
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertGreaterEqual(run.exit_code, 0, "ended by a signal")
                self.assertLines(run.single_log().lines, startup_lines(app) + [
                    stub("EvalCode exited normally"), stub("Cleaning up"),
                    stub("A python error was not set"), stub("Finalizing"), "exit handler",
                    stub("Closing log")])

    def test_crt_exit_from_another_thread(self):
        # The main thread sleeps past the exit, or joins the exiting thread;
        # the exit happens once, on that thread, with its status.
        sandbox = Sandbox.for_test(self)
        for start, wait in (("_thread.start_new_thread(stub.crt_exit, (3,))", "time.sleep(3)"),
                            ("threading.Thread(target=stub.crt_exit, args=(3,)).start()",
                             "time.sleep(3)"),
                            ("worker = threading.Thread(target=stub.crt_exit, args=(3,))\n"
                             "worker.start()", "worker.join()")):
            with self.subTest(start=start, wait=wait):
                app = sandbox.make_app(boot_source=(
                    "import _thread, stub, threading, time\n"
                    "stub.log('main thread waits')\n"
                    "%s\n%s\n"
                    "stub.log('main thread went on')\n" % (start, wait)))
                clear_logs(sandbox, app)
                run = sandbox.run(app, timeout=30)
                self.assertEqual(run.exit_code, 3)
                self.assertLines(run.single_log().lines,
                                 startup_lines(app) + ["main thread waits"] + CLEAN_EXIT_END)


class ScriptErrorTest(LauncherTestCase):
    """An error that ends the boot script, a system exit included, is printed
    into the log at exit; the process always ends with 1."""

    CASES = {
        "RuntimeError('failure')": "RuntimeError: failure",
        "SystemExit(0)": "SystemExit: 0",
        "SystemExit(5)": "SystemExit: 5",
        "SystemExit('goodbye')": "SystemExit: goodbye",
    }

    def test_the_traceback_follows_the_evaluation(self):
        sandbox = Sandbox.for_test(self)
        for raised, last_line in self.CASES.items():
            with self.subTest(raised):
                app = sandbox.make_app(name="raises", boot_source=(
                    "import stub\nstub.log('before the error')\nraise %s\n" % raised))
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                self.assertEqual((run.stdout, run.stderr), ("", ""))
                self.assertLines(run.single_log().lines,
                             startup_lines(app) + ["before the error"] + ERROR_END_HEAD
                             + traceback_lines(3, last_line) + ERROR_END_TAIL)

    def test_a_non_ascii_error_text_reaches_the_log_in_utf8(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source="raise RuntimeError('Fehlschlag ✓')\n")
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 1)
        self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD
                         + traceback_lines(1, "RuntimeError: Fehlschlag ✓") + ERROR_END_TAIL)


class StderrCaptureTest(LauncherTestCase):

    def capture_run(self, source: str, timeout=60):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source=source)
        started = time.monotonic()
        run = sandbox.run(app, timeout=timeout)
        return app, run, time.monotonic() - started

    def test_output_of_several_reads_joins_seamlessly(self):
        pattern = "".join("%04d %s\n" % (i, "abcdefghij" * 9) for i in range(50))
        app, run, _ = self.capture_run(
            "import os, sys\n"
            "os.write(2, b'written to descriptor 2\\n')\n"
            "sys.stderr.write(%r)\n"
            "raise ValueError('after the output')\n" % pattern)
        self.assertEqual(run.exit_code, 1)
        self.assertGreater(len(pattern), 4 * 1023)
        expected_end = ("STUB:stub:Contents of python stderr:\n"
                        "written to descriptor 2\n" + pattern
                        + "\n".join(traceback_lines(4, "ValueError: after the output")) + "\n"
                        "STUB:stub:Finalizing\nSTUB:stub:Closing log\n").encode()
        self.assertTrue(run.single_log().data.endswith(expected_end))

    def test_ten_megabytes_of_output_neither_hang_nor_get_lost(self):
        app, run, seconds = self.capture_run(
            "import sys\nsys.stderr.write(%s)\nraise ValueError('after ten megabytes')\n"
            % TEN_MEGABYTES_SOURCE, timeout=120)
        self.assertEqual(run.exit_code, 1)
        data = run.single_log().data
        expected_end = ("STUB:stub:Contents of python stderr:\n" + ten_megabytes()
                        + "\n".join(traceback_lines(3, "ValueError: after ten megabytes")) + "\n"
                        "STUB:stub:Finalizing\nSTUB:stub:Closing log\n").encode()
        self.assertTrue(data.endswith(expected_end),
                        "log of %d bytes after %.1f s does not end with the output" %
                        (len(data), seconds))

    def test_ten_megabytes_of_output_without_an_error_do_not_hang(self):
        app, run, _ = self.capture_run(
            "import sys\nsys.stderr.write(%s)\n" % TEN_MEGABYTES_SOURCE, timeout=120)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.stderr, "")
        self.assertTrue(run.single_log().data.endswith((
            "STUB:stub:A python error was not set\nSTUB:stub:Contents of python stderr:\n"
            + ten_megabytes() + "STUB:stub:Finalizing\nSTUB:stub:Closing log\n").encode()))

    def test_output_without_a_final_line_feed_runs_into_the_next_line(self):
        app, run, _ = self.capture_run(
            "import sys\n"
            "def report(*exc_info):\n"
            "    sys.stderr.write('hook output without line end')\n"
            "    sys.stderr.flush()\n"
            "sys.excepthook = report\n"
            "raise ValueError('reported by the hook')\n")
        self.assertEqual(run.exit_code, 1)
        self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD + [
            "hook output without line endSTUB:stub:Finalizing", stub("Closing log")])

    def test_output_still_buffered_in_the_interpreter_reaches_the_log(self):
        # Text written without a line end waits in the interpreter's own
        # buffer of sys.stderr; the drain at exit must not leave it behind.
        app, run, _ = self.capture_run(
            "import sys\n"
            "def report(*exc_info):\n"
            "    sys.stderr.write('unflushed hook output')\n"
            "sys.excepthook = report\n"
            "raise ValueError('reported by the hook')\n")
        self.assertEqual(run.exit_code, 1)
        self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD + [
            "unflushed hook outputSTUB:stub:Finalizing", stub("Closing log")])

    def test_a_zero_byte_is_kept(self):
        app, run, _ = self.capture_run(
            "import sys\nsys.stderr.write('before\\0after\\n')\nraise ValueError('zero')\n")
        self.assertEqual(run.exit_code, 1)
        self.assertIn(b"STUB:stub:Contents of python stderr:\nbefore\x00after\nTraceback",
                      run.single_log().data)

    def test_output_reaches_the_log_whether_or_not_an_error_ends_the_run(self):
        # Output written while the interpreter is finalized follows it.
        source = ("import atexit, os, sys\n"
                  "atexit.register(lambda: print('at exit', file=sys.stderr))\n"
                  "print('why it ends', file=sys.stderr)\nos.write(2, b'raw note\\n')\n")
        app, run, _ = self.capture_run(source + "sys.exit(1)\n")
        self.assertEqual(run.exit_code, 1)
        self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD + [
            "why it ends", "raw note", "Traceback (most recent call last):",
            '  File "boot.py", line 5, in <module>', "SystemExit: 1", stub("Finalizing"),
            "at exit", stub("Closing log")])
        app, run, _ = self.capture_run(source)
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (0, "", ""))
        self.assertLines(run.single_log().lines, startup_lines(app) + NORMAL_END[:-2] + [
            stub("Contents of python stderr:"), "why it ends", "raw note", stub("Finalizing"),
            "at exit", stub("Closing log")])

    def test_a_child_that_outlives_the_run_still_writes_to_standard_error(self):
        # A child process inherits the capture as its standard error. Its
        # output after the run has ended reaches no log, but the write must
        # neither fail nor end the child (a shell run by subprocess has
        # SIGPIPE at its default, which ends a writer to an unread pipe).
        sandbox = Sandbox.for_test(self)
        status_file = sandbox.root / "late-write-status"
        app = sandbox.make_app(boot_source=(
            "import subprocess\n"
            "subprocess.Popen(['/bin/sh', '-c', 'sleep 1; echo late >&2; echo $? > %s'],\n"
            "                 stdout=subprocess.DEVNULL)\n" % status_file))
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        deadline = time.monotonic() + 30
        while not status_file.is_file() or not status_file.read_text().endswith("\n"):
            self.assertLess(time.monotonic(), deadline, "the child never wrote its status")
            time.sleep(0.05)
        self.assertEqual(status_file.read_text(), "0\n")


FD_PROBE_SCRIPT = """\
import os, stub
pipe = os.readlink("/proc/self/fd/2")
names = os.listdir("/proc/self/fd")
open_fds = []
for name in names:
    try:
        target = os.readlink("/proc/self/fd/" + name)
    except OSError:
        continue  # the listing's own descriptor, closed by now
    if target != pipe or name == "2":
        open_fds.append(int(name))
stub.log(repr(sorted(open_fds)))
"""


class CaptureFailureTest(LauncherTestCase):

    def test_a_failed_capture_is_logged_and_the_script_still_runs(self):
        # With one descriptor left below the limit when the capture starts,
        # the capture (two descriptors) cannot be made. A probe run finds how
        # many descriptors the launcher holds at that point.
        sandbox = Sandbox.for_test(self)
        if b"__ubsan_handle" in sandbox.launcher.read_bytes():
            # The sanitizer's own checks open pipes, which the limit forbids.
            self.skipTest("the launcher is built with sanitizers")
        probe_app = sandbox.make_app(boot_source=FD_PROBE_SCRIPT)
        probe = sandbox.run(probe_app)
        open_fds = ast.literal_eval(probe.single_log().lines[len(startup_lines(probe_app))])
        limit = len(open_fds) + 1
        if max(open_fds) >= limit - 1:
            self.skipTest("descriptors in use are not contiguous: %s" % open_fds)
        clear_logs(sandbox, probe_app)

        app = sandbox.make_app(boot_source=(
            "import stub, sys\nstub.log('the script runs')\n"
            "sys.stderr.write('not captured\\n')\nraise ValueError('no capture')\n"))
        run = run_command(sandbox, app, [app.executable], preexec_fn=lambda: resource.setrlimit(
            resource.RLIMIT_NOFILE, (limit, limit)))
        self.assertEqual(run.exit_code, 1)
        expected = startup_lines(app)
        expected[-1:-1] = [stub("Failed to create named pipe"), stub("Redirection failed")]
        self.assertLines(run.single_log().lines, expected + [
            "the script runs", stub("EvalCode exited abnormally"), stub("Cleaning up"),
            stub("No stack trace available, since stderr redirection was a failure"),
            stub("Finalizing"), stub("Closing log")])
        # The script's own output goes where standard error went before; the
        # pending error is not printed anywhere, not even while finalizing.
        self.assertEqual(run.stderr, "not captured\n")


CONCURRENT_SCRIPT = """\
import os, stub, time
stub.set_keep_logs(1)
stub.log("process %d" % os.getpid())
time.sleep(0.3)
for line in range(200):
    stub.log("process %d line %d" % (os.getpid(), line))
"""


class ConcurrentRunTest(LauncherTestCase):

    def expected_lines(self, app, pid):
        return (startup_lines(app) + [stub("Setting keep_logs flag to true"), "process %d" % pid]
                + ["process %d line %d" % (pid, line) for line in range(200)] + NORMAL_END)

    def test_two_launchers_at_once_write_two_whole_logs(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source=CONCURRENT_SCRIPT)
        processes = [subprocess.Popen([str(app.executable)], cwd=sandbox.work_dir,
                                  env=sandbox.environment(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(2)]
        for process in processes:
            stdout, stderr = process.communicate(timeout=60)
            self.assertEqual((process.returncode, stdout, stderr), (0, b"", b""))
        logs = sandbox.read_logs(app)
        self.assertEqual(len(logs), 2, [log.name for log in logs])
        by_pid = {int(log.lines[len(startup_lines(app)) + 1].split()[1]): log for log in logs}
        self.assertEqual(sorted(by_pid), sorted(process.pid for process in processes))
        for pid, log in by_pid.items():
            self.assertLines(log.lines, self.expected_lines(app, pid))

    def test_a_log_of_the_same_name_is_left_alone(self):
        # Names are taken for the coming 900 ms, so that the run starts in a
        # millisecond whose log already exists.
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source=(
            "import stub\nstub.set_upload_logs(0)\nstub.set_keep_logs(1)\n"
            "stub.log('the new run')\n"))
        folder = sandbox.log_dir(app)
        folder.mkdir(parents=True)
        first = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(milliseconds=20)
        taken = {}
        for step in range(900):
            moment = first + datetime.timedelta(milliseconds=step)
            name = moment.strftime("%Y-%m-%d_%H.%M.%S.") + "%06d.log" % (moment.microsecond // 1000)
            taken[name] = ("an earlier run %d\n" % step).encode()
            (folder / name).write_bytes(taken[name])
        window_end = first + datetime.timedelta(milliseconds=900)
        started = datetime.datetime.now(datetime.timezone.utc)
        if started > window_end - datetime.timedelta(milliseconds=200):
            self.skipTest("making the files took too long")
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        new = [log for log in run.logs if log.name not in taken]
        self.assertEqual(len(new), 1, [log.name for log in new])
        self.assertGreaterEqual(log_name_time(new[0].name), window_end.replace(
            microsecond=window_end.microsecond // 1000 * 1000))
        self.assertEqual(new[0].lines[-len(NORMAL_END) - 1:], ["the new run"] + NORMAL_END)
        for log in run.logs:
            if log.name in taken:
                self.assertEqual(log.data, taken[log.name], log.name)

    def test_a_memory_log_does_not_overwrite_a_file_made_during_the_run(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(config={"__log_to_memory": "true"}, boot_source=(
            "import os, stub\nstub.set_upload_logs(0)\nstub.set_keep_logs(1)\n"
            "path = stub.get_log_path()\n"
            "os.makedirs(os.path.dirname(path))\n"
            "with open(path, 'w') as other:\n"
            "    other.write('written by someone else\\n')\n"
            "stub.log('made ' + os.path.basename(path))\n"))
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(len(run.logs), 2, [log.name for log in run.logs])
        other, own = sorted(run.logs, key=lambda log: log.data.startswith(b"META:"))
        self.assertEqual(other.data, b"written by someone else\n")
        self.assertIn("made " + other.name, own.lines)
        self.assertEqual(own.lines[-len(NORMAL_END):], NORMAL_END)


class ClosedDescriptorsTest(LauncherTestCase):

    def test_a_launcher_started_without_standard_descriptors_still_logs(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source=(
            "import sys\n"
            "print('to standard output')\n"
            "sys.stderr.write('to standard error\\n')\n"
            "raise ValueError('closed descriptors')\n"))
        run = run_command(sandbox, app,
                      ["/bin/sh", "-c", 'exec "$0" 0<&- 1>&- 2>&-', app.executable])
        self.assertEqual((run.exit_code, run.stdout, run.stderr), (1, "", ""))
        self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD
                         + ["to standard error"]
                         + traceback_lines(4, "ValueError: closed descriptors") + ERROR_END_TAIL)


if __name__ == "__main__":
    unittest.main()
