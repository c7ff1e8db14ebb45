"""Reliability end to end: the real launcher and the reference collector
under faults, hostile log folders and load. Every run happens in a private
network namespace (see loopback.py), the collector on its port 80."""

import concurrent.futures
import os
import random
import signal
import subprocess
import time
import unittest

from harness import PYTHON, Sandbox
from loopback import COLLECTOR, Collector, enter_private_network


def setUpModule():
    enter_private_network()


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


if __name__ == "__main__":
    unittest.main()
