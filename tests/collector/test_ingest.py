"""Uploads that must not be stored, and clients that must not keep the
service from serving others."""

import asyncio
import os
import shutil
import socket
import struct
import tempfile
import threading
import time
import unittest
from pathlib import Path

from fixtures import (DEFAULT_UPLOAD_PATH, TOKEN, Service, distinct_frames, frame_hashes, frames, log_hash, request_bytes,
                      sample_log, stored_hashes, upload_all)
from collector.front import MAX_HEAD

TIMEOUT = 2
FAILURE = ("ValueError: bad", [("boot.py", "<module>")])


class IngestTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="collector-ingest-"))
        cls.service = Service(cls.root, "--request-timeout", str(TIMEOUT),
                              "--idle-timeout", str(TIMEOUT), "--max-log", str(1 << 20),
                              "--upload-path", DEFAULT_UPLOAD_PATH,
                              "--upload-path", "/beta/upload/=Beta")

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def stored(self) -> set:
        return stored_hashes(self.service.store())

    def assertGoodClientServed(self, number):
        log = sample_log(number)
        self.assertEqual(self.service.post(frames.pack(log))[0], 200)
        return log

    def raw_connection(self) -> socket.socket:
        connection = socket.create_connection(("127.0.0.1", self.service.port), timeout=30)
        self.addCleanup(connection.close)
        return connection

    @staticmethod
    def answer(connection) -> bytes:
        received = b""
        while True:
            try:
                chunk = connection.recv(65536)
            except ConnectionResetError:
                return received
            if not chunk:
                return received
            received += chunk

    def test_bad_frames_are_refused_and_nothing_is_stored(self):
        before = self.stored()
        good = frames.pack(sample_log(1, version="9.9"))
        zeros = frames.pack(bytes(16 << 20))  # unpacks to more than --max-log
        cases = {
            "garbage": b"this is not a frame at all",
            "empty body": b"",
            "short header": b"\xf0\x00\x00",
            "wrong marker": b"\xf1" + good[1:],
            "length says more": good[:1] + struct.pack(">I", len(sample_log(1)) + 1) + good[5:],
            "length says less": good[:1] + struct.pack(">I", len(sample_log(1)) - 1) + good[5:],
            "cut stream": good[:-4],
            "corrupt stream": good[:5] + bytes(len(good) - 5),
            "length beyond any expansion": b"\xf0" + struct.pack(">I", 1 << 20) + good[5:20],
            "over the size limit": zeros,
        }
        for name, body in cases.items():
            with self.subTest(name):
                status, text = self.service.post(body)
                self.assertEqual(status, 400, text)
        self.assertEqual(self.stored(), before)
        self.assertGoodClientServed(2)

    def test_the_same_log_twice_is_stored_once(self):
        body = frames.pack(sample_log(3, version="dup"))
        self.assertEqual([self.service.post(body)[0] for _ in range(2)], [200, 200])
        rows = self.service.store()._query("SELECT COUNT(*) FROM logs WHERE version = 'dup'")
        self.assertEqual(rows[0][0], 1)

    def test_a_path_bound_to_a_product_files_its_logs_under_it(self):
        body = frames.pack(sample_log(6, version="bound", failure=FAILURE))
        self.assertEqual(self.service.post(body, "/beta/upload/")[0], 200)
        self.assertNotEqual(self.service.post(body, "/elsewhere/")[0], 200)
        status, groups = self.service.api("/api/groups?product=Beta")
        self.assertEqual([group["versions"] for group in groups], [["bound"]])

    def test_64_clients_at_once_are_all_served(self):
        bodies = distinct_frames(256, prefix="crowd")
        results = asyncio.run(upload_all([("127.0.0.1", self.service.port)],
                                         [request_bytes(body) for body in bodies], 64))
        self.assertEqual([status for _, status, _ in results], [200] * len(bodies))
        self.assertLessEqual(set(frame_hashes(bodies)), self.stored())

    def test_requests_pipelined_or_cut_anywhere_on_one_connection(self):
        # Two uploads kept alive, then a page request that the web
        # application answers, sent in pieces that split heads and bodies.
        logs = [sample_log(200 + number, version="pipelined") for number in range(2)]
        stream = b"".join(b"POST /upload_logs/v5/ HTTP/1.1\r\nHost: x\r\n"
                          b"Content-Length: %d\r\n\r\n" % len(body) + body
                          for body in map(frames.pack, logs))
        stream += (b"GET /api/groups?product=none HTTP/1.1\r\nHost: x\r\n"
                   b"Authorization: Bearer %s\r\nConnection: close\r\n\r\n" % TOKEN.encode())
        for cuts in ([], [3, 30, len(stream) // 2, len(stream) - 40]):
            with self.subTest(cuts=cuts):
                connection = self.raw_connection()
                for start, end in zip([0] + cuts, cuts + [len(stream)]):
                    connection.sendall(stream[start:end])
                    time.sleep(0.05)
                answers = self.answer(connection).split(b"HTTP/1.1 ")[1:]
                self.assertEqual([answer[:3] for answer in answers], [b"200"] * 3)
                self.assertTrue(answers[-1].endswith(b"[]"), answers[-1])
        self.assertLessEqual({log_hash(log) for log in logs}, self.stored())

    def test_bodies_without_a_usable_length_are_refused_unread(self):
        chunked = self.raw_connection()
        chunked.sendall(b"POST /upload_logs/v5/ HTTP/1.1\r\nHost: x\r\n"
                        b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")
        self.assertIn(b" 411 ", self.answer(chunked).split(b"\r\n")[0] + b" ")
        oversized = self.raw_connection()
        oversized.sendall(b"POST /upload_logs/v5/ HTTP/1.1\r\nHost: x\r\n"
                          b"Content-Length: %d\r\n\r\n" % (1 << 31))
        self.assertIn(b" 413 ", self.answer(oversized).split(b"\r\n")[0] + b" ")
        endless_head = self.raw_connection()
        endless_head.sendall(b"POST /upload_logs/v5/ HTTP/1.1\r\nX: " + b"x" * MAX_HEAD)
        self.assertIn(b" 400 ", self.answer(endless_head).split(b"\r\n")[0] + b" ")

    def test_a_body_shorter_than_its_length_is_never_stored(self):
        # A whole valid frame, but Content-Length promises more: whether the
        # sender then waits or half-closes, the upload is not taken.
        before = self.stored()
        for ending in ("wait", "half-close"):
            with self.subTest(ending):
                body = frames.pack(sample_log(4, version=ending))
                connection = self.raw_connection()
                connection.sendall(b"POST /upload_logs/v5/ HTTP/1.1\r\nHost: x\r\n"
                                   b"Content-Length: %d\r\n\r\n" % (len(body) + 100) + body)
                if ending == "half-close":
                    connection.shutdown(socket.SHUT_WR)
                started = time.monotonic()
                answer = self.answer(connection)
                self.assertNotIn(b" 200 ", answer.split(b"\r\n")[0] + b" ")
                self.assertLess(time.monotonic() - started, TIMEOUT + 10)
        self.assertEqual(self.stored(), before)

    def test_slow_and_idle_clients_do_not_block_a_good_one(self):
        idle = [self.raw_connection() for _ in range(1000)]
        slow = self.raw_connection()
        body = frames.pack(sample_log(5, version="slow"))
        request = (b"POST /upload_logs/v5/ HTTP/1.1\r\nHost: x\r\n"
                   b"Content-Length: %d\r\n\r\n" % len(body) + body)
        stop = threading.Event()

        def trickle():
            try:
                for byte in request:
                    slow.send(bytes([byte]))
                    if stop.wait(0.2):
                        return
            except OSError:
                pass
        sender = threading.Thread(target=trickle)
        sender.start()
        self.addCleanup(sender.join)
        self.addCleanup(stop.set)
        for number in range(20):
            self.assertGoodClientServed(100 + number)
        # The service closes what stays idle, the slow sender included,
        # without storing anything of it.
        for connection in idle[:50] + [slow]:
            connection.settimeout(TIMEOUT * 4 + 10)
            self.assertEqual(self.answer(connection), b"")
        self.assertNotIn(log_hash(sample_log(5, version="slow")), self.stored())


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"),
                     "needs root for a small file system of its own")
class FullDiskTest(unittest.TestCase):

    def test_a_full_disk_is_answered_503_and_nothing_answered_200_is_lost(self):
        root = Path(tempfile.mkdtemp(prefix="collector-full-"))
        self.addCleanup(shutil.rmtree, root, True)
        data = root / "service-data"
        data.mkdir()
        # The service runs in a mount namespace of its own, on a 1 MB file
        # system that the test's logs fill.
        wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs -o size=1m tmpfs "$0" && exec "$@"', str(data)]
        service = Service(root, wrapper=wrapper)
        self.addCleanup(service.kill)
        statuses = {}
        for number in range(1000):
            log = sample_log(number) + os.urandom(3000).hex().encode()
            statuses[log_hash(log)] = service.post(frames.pack(log))[0]
            if list(statuses.values())[-5:] == [503] * 5:
                break
        self.assertEqual(set(statuses.values()), {200, 503})
        # The file system lives as long as the service: its API tells what
        # the database holds.
        kept = set()
        for log_id in range(1, len(statuses) + 1):
            status, log = service.api("/api/logs/%d" % log_id)
            if status == 200:
                kept.add(log["sha256"])
        acknowledged = {digest for digest, status in statuses.items() if status == 200}
        self.assertEqual(kept, acknowledged)
