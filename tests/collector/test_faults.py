"""Faults under a load of concurrent uploads: a receiver killed, the
database stopped. Whatever was answered 200 is kept."""

import shutil
import socket
import tempfile
import unittest
from pathlib import Path

from fixtures import (Load, Postgres, Service, distinct_frames, frame_hashes, frames,
                      sample_log, stored_hashes, wait_for)

UPLOADS = 3000
CONCURRENCY = 16
DEADLINE = 120


def accepts(port) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
        return True
    except OSError:
        return False


class FaultTest(unittest.TestCase):

    def setUp(self):
        self.root = Path(tempfile.mkdtemp(prefix="collector-faults-"))
        self.addCleanup(shutil.rmtree, self.root, True)

    def start_load(self, services, prefix):
        bodies = distinct_frames(UPLOADS, prefix=prefix, failing_every=7)
        load = Load([(s.host, s.port) for s in services], bodies, CONCURRENCY)
        load.start()
        self.addCleanup(load.join, DEADLINE)
        return load, frame_hashes(bodies)

    def assertAcknowledgedKept(self, load, hashes, store):
        load.join(DEADLINE)
        self.assertFalse(load.is_alive(), "the load did not end")
        statuses = load.statuses()
        acknowledged = {hashes[i] for i, status in enumerate(statuses) if status == 200}
        self.assertTrue(acknowledged)
        self.assertLessEqual(acknowledged, stored_hashes(store))
        return statuses

    def test_a_receiver_killed_under_load_loses_nothing_it_acknowledged(self):
        service = Service(self.root, "--workers", "2")
        self.addCleanup(service.kill)
        load, hashes = self.start_load([service], "kill")
        wait_for(lambda: len(load.results) >= 300, DEADLINE, "300 uploads")
        service.kill()
        load.join(DEADLINE)
        # Its worker processes went with it: nothing answers on its port.
        wait_for(lambda: not accepts(service.port), DEADLINE, "the workers' end")
        service.start()
        statuses = self.assertAcknowledgedKept(load, hashes, service.store())
        self.assertIn(0, statuses, "the kill came after the load")
        self.assertEqual(service.post(frames.pack(sample_log(1, version="after")))[0], 200)

    def test_receivers_answer_503_while_the_database_is_down_and_then_recover(self):
        postgres = Postgres()
        self.addCleanup(postgres.destroy)
        services = [Service(self.root, database=postgres.url, name="receiver%d" % i)
                    for i in range(2)]
        for service in services:
            self.addCleanup(service.stop)
        load, hashes = self.start_load(services, "outage")
        wait_for(lambda: len(load.results) >= 300, DEADLINE, "300 uploads")
        postgres.stop()
        wait_for(lambda: any(status == 503 for _, status, _ in load.results[-50:]), DEADLINE,
                 "a 503 answer")
        postgres.start()
        statuses = self.assertAcknowledgedKept(load, hashes, services[0].store())
        self.assertEqual(set(statuses), {200, 503})
        for number, service in enumerate(services):
            self.assertEqual(service.post(frames.pack(sample_log(number, version="after")))[0],
                             200)
