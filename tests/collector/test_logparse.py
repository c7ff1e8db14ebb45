"""Reading logs: outcomes, and signatures that group by cause only."""

import unittest

from fixtures import sample_log
from collector import logparse


def parse(log: bytes):
    return logparse.parse(log.decode())


def failure(exception, *frames):
    return (exception, list(frames))


class SignatureTest(unittest.TestCase):

    def test_what_varies_between_machines_does_not_split_a_group(self):
        windows = parse(sample_log(1, failure=failure(
            "KeyError: 'price'",
            ("C:\\Users\\alice\\AppData\\Local\\Temp\\_x1\\lib.dll\\boot.py", "<module>"),
            ("C:\\Users\\alice\\AppData\\Local\\Temp\\_x1\\lib.dll\\shop\\cart.py", "total"),
            ("C:\\Users\\alice\\AppData\\Local\\Temp\\_x1\\lib.dll\\json\\decoder.py", "decode"))))
        linux = parse(sample_log(2, version="2.0", failure=failure(
            "KeyError: 'quantity'", ("/home/bob/app/lib.dll/boot.py", "<module>"),
            ("/home/bob/app/lib.dll/shop/cart.py", "total"),
            ("/usr/lib/python3.11/json/decoder.py", "decode"))))
        self.assertEqual(windows.signature, "KeyError < shop.cart.total < boot.<module>")
        self.assertEqual(linux.signature, windows.signature)
        self.assertEqual(logparse.short_id(linux.product, linux.signature),
                         logparse.short_id(windows.product, windows.signature))

    def test_another_type_or_innermost_function_is_another_group(self):
        base = ("boot.py", "<module>"), ("app/jobs.py", "run")
        signatures = {parse(sample_log(1, failure=failure(exception, *frames))).signature
                      for exception, frames in [
                          ("ValueError: x", base), ("TypeError: x", base),
                          ("ValueError: x", base + (("app/jobs.py", "step"),))]}
        self.assertEqual(len(signatures), 3)

    def test_outcomes(self):
        normal = parse(sample_log(1))
        self.assertEqual((normal.outcome, normal.signature), (logparse.NORMAL, ""))
        self.assertEqual((normal.product, normal.version, normal.system),
                         ("Mendrix", "1.0.0.0", "10.0 32-bit"))

        cut = sample_log(1).split(b"STUB:stub:Finalizing")[0]
        self.assertEqual(parse(cut).outcome, logparse.CUT_SHORT)

        startup = parse(b"META:stub:version = 3.1\nSTUB:stub:Setting working directory to: /x\n"
                        b"Traceback\nStubException: FindResource failed 1813  (C:\\src\\util.cpp:123)\n"
                        b"STUB:stub:Closing log\n")
        self.assertEqual((startup.outcome, startup.exception, startup.message, startup.signature),
                         (logparse.STARTUP_FAILURE, "StubException", "FindResource failed 1813",
                          "StubException: FindResource failed 1813 in util.cpp"))

        # Output without a line end glues the launcher's next line to it.
        glued = parse(sample_log(1, failure=failure("OSError: disk", ("boot.py", "<module>")))
                      .replace(b"OSError: disk\nSTUB:stub:Finalizing",
                               b"OSError: diskSTUB:stub:Finalizing"))
        self.assertEqual((glued.outcome, glued.exception, glued.message),
                         (logparse.ERROR, "OSError", "disk"))

    def test_a_chained_failure_is_grouped_by_the_exception_that_ended_the_run(self):
        log = sample_log(1, failure=failure("KeyError: 'a'", ("boot.py", "<module>")))
        log = log.replace(b"KeyError: 'a'\n", b"KeyError: 'a'\n\nDuring handling of the above "
                          b"exception, another exception occurred:\n\nTraceback (most recent "
                          b"call last):\n  File \"app/ui.py\", line 3, in show\nRuntimeError\n")
        parsed = parse(log)
        self.assertEqual((parsed.exception, parsed.message, parsed.signature),
                         ("RuntimeError", "", "RuntimeError < app.ui.show"))
