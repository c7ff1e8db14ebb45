"""The store's contract, on SQLite and on PostgreSQL: adding is idempotent,
and retention deletes logs but keeps the counts."""

import shutil
import tempfile
import time
import unittest

from fixtures import Postgres, frames, log_hash, sample_log
from collector import logparse
from collector.store import DAY, PostgresStore, SqliteStore, Upload

PRODUCT = "Mendrix"
FAILURE = ("ValueError: bad", [("boot.py", "<module>"), ("app/jobs.py", "run")])


def upload(number, age_days=0.0, failure=FAILURE, padding=0):
    log = sample_log(number, failure=failure, padding=padding)
    return Upload(log_hash(log), time.time() - age_days * DAY, frames.pack(log), len(log),
                  "/upload_logs/v5/", logparse.parse(log.decode()))


class StoreContract:

    def test_adding_the_same_logs_again_changes_nothing(self):
        batch = [upload(n) for n in range(5)] + [upload(9, failure=None)]
        self.assertEqual(self.store.add_batch(batch + batch[:1]), [True] * 6 + [False])
        # Another receiver retrying the same batch.
        self.assertEqual(self.other_store().add_batch(batch), [False] * 6)
        group, = self.store.groups(PRODUCT)
        self.assertEqual(group["count"], 5)
        self.assertEqual(self.store.sessions(PRODUCT), [("1.0.0.0", 6, 1)])
        self.assertEqual(self.store.count_logs(), 6)

    def test_a_large_batch_of_new_and_stored_logs(self):
        # More rows than one statement takes, the stored ones spread over it.
        stored = [upload(n) for n in range(0, 600, 7)]
        self.store.add_batch(stored)
        batch = [upload(n) for n in range(600)]
        self.assertEqual(self.store.add_batch(batch), [n % 7 != 0 for n in range(600)])
        self.assertEqual(self.store.count_logs(), 600)
        self.assertEqual(self.store.groups(PRODUCT)[0]["count"], 600)

    def test_retention_deletes_old_and_excess_logs_but_keeps_the_counts(self):
        ages = [100, 95, 50, 40, 30, 20, 10, 0]
        self.store.add_batch([upload(n, age, padding=20000) for n, age in enumerate(ages)])
        self.assertEqual(self.store.apply_retention(90, 1 << 40), 2)
        kept = self.store.search(limit=100)
        self.assertEqual(len(kept), 6)
        each = len(self.store.log(kept[0]["id"])["frame"])
        # Room for three frames: the three newest stay.
        self.assertEqual(self.store.apply_retention(90, 3 * each + each // 2), 3)
        self.assertEqual(sorted(log["received"] for log in self.store.search(limit=100)),
                         sorted(log["received"] for log in kept)[-3:])
        group, = self.store.groups(PRODUCT)
        self.assertEqual(group["count"], len(ages))
        self.assertEqual(sum(runs for _, runs, _ in self.store.sessions(PRODUCT)), len(ages))


class SqliteStoreTest(StoreContract, unittest.TestCase):

    def setUp(self):
        folder = tempfile.mkdtemp(prefix="collector-store-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.other_store = lambda: self.opened(SqliteStore(folder))
        self.store = self.other_store()

    def opened(self, store):
        self.addCleanup(store.close)
        return store


class PostgresStoreTest(StoreContract, unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.postgres = Postgres()

    @classmethod
    def tearDownClass(cls):
        cls.postgres.destroy()

    def setUp(self):
        self.other_store = lambda: self.opened(PostgresStore(self.postgres.url))
        self.store = self.other_store()
        self.store._transaction(lambda cursor: cursor.execute(
            "TRUNCATE logs, failure_groups, group_days, session_days"))

    def opened(self, store):
        self.addCleanup(store.close)
        return store

