"""Receiving uploads: reading a body within its limits, checking and
unpacking its frame, and handing the log to the writers, which store logs
in batches, one transaction each, so that a commit (and its wait for the
disk) serves many uploads at once."""

import asyncio
import concurrent.futures
import dataclasses
import hashlib
import queue
import threading
import time

from . import frames, logparse
from .store import StoreError, Upload

# Logs up to this size are unpacked and read on the event loop; larger ones
# on worker threads, a few at a time.
INLINE_LOG_SIZE = 256 << 10
LARGE_LOG_WORKERS = 2
MAX_BATCH = 512
MAX_BATCH_BYTES = 64 << 20


@dataclasses.dataclass
class IngestLimits:
    max_log: int = frames.DEFAULT_MAX_LOG
    body_timeout: float = 30.0      # to receive a whole body
    store_timeout: float = 30.0     # to get a commit
    body_budget: int = 256 << 20    # bytes of bodies being received at once

    @property
    def max_body(self) -> int:
        # The largest stream that LZO1X can make of max_log bytes.
        return frames.HEADER_SIZE + self.max_log + self.max_log // 16 + 64 + 3


class BatchWriter:
    """Threads that take uploads from a queue and store them in batches.
    submit() answers with a future on the event loop: True for a new log,
    False for one already stored, StoreError when the batch did not
    commit."""

    def __init__(self, store, loop, threads=1):
        self._store = store
        self._loop = loop
        self._queue = queue.Queue()
        self._threads = [threading.Thread(target=self._run, name="writer-%d" % index,
                                          daemon=True) for index in range(threads)]
        for thread in self._threads:
            thread.start()

    def submit(self, upload) -> asyncio.Future:
        future = self._loop.create_future()
        self._queue.put((upload, future))
        return future

    def stop(self):
        for _ in self._threads:
            self._queue.put(None)
        for thread in self._threads:
            thread.join()

    def _take_batch(self):
        first = self._queue.get()
        if first is None:
            return None
        batch, size = [first], len(first[0].frame)
        while len(batch) < MAX_BATCH and size < MAX_BATCH_BYTES:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            if item is None:
                self._queue.put(None)
                break
            batch.append(item)
            size += len(item[0].frame)
        return batch

    def _run(self):
        while True:
            batch = self._take_batch()
            if batch is None:
                return
            try:
                outcome = self._store.add_batch([upload for upload, _ in batch])
            except StoreError as error:
                outcome = error
            except Exception as error:  # a fault of ours must not stop the writer
                outcome = StoreError("%s: %s" % (type(error).__name__, error))
            self._loop.call_soon_threadsafe(self._deliver, batch, outcome)

    @staticmethod
    def _deliver(batch, outcome):
        for index, (_, future) in enumerate(batch):
            if future.done():
                continue
            if isinstance(outcome, Exception):
                future.set_exception(outcome)
            else:
                future.set_result(outcome[index])


class ByteBudget:
    """Bytes that requests may hold at once; a request that does not fit is
    turned away at once rather than queued behind slow senders."""

    def __init__(self, total):
        self.total = total
        self.used = 0

    def take(self, amount) -> bool:
        if self.used + amount > self.total:
            return False
        self.used += amount
        return True

    def give(self, amount):
        self.used -= amount


class Receiver:
    """What the upload paths do with a body; paths: {path: product or
    None}. A log's product comes from its META record unless its path is
    bound to one. budget bounds the bytes of bodies being received."""

    def __init__(self, writer, limits, paths):
        self.writer = writer
        self.limits = limits
        self.paths = paths
        self.budget = ByteBudget(limits.body_budget)
        self.unpackers = concurrent.futures.ThreadPoolExecutor(LARGE_LOG_WORKERS,
                                                               thread_name_prefix="unpack")
        self.large_slots = asyncio.Semaphore(LARGE_LOG_WORKERS)

    async def receive(self, path, body) -> tuple:
        """(status, text) of the answer to an upload of body to path: 200
        once the log is stored (or was already), 400 for a bad frame, 503
        when the store did not take it."""
        try:
            data, parsed = await self._unpack(body)
        except frames.FrameError as error:
            return 400, str(error)
        product = self.paths.get(path)
        if product:
            parsed.meta["product"] = product
        upload = Upload(hashlib.sha256(data).hexdigest(), time.time(), body, len(data),
                        path, parsed)
        try:
            async with asyncio.timeout(self.limits.store_timeout):
                new = await asyncio.shield(self.writer.submit(upload))
        except StoreError as error:
            return 503, "not stored: %s" % error
        except asyncio.TimeoutError:
            return 503, "not stored within %g s" % self.limits.store_timeout
        return 200, ("stored %d bytes" if new else "%d bytes already stored") % len(data)

    async def _unpack(self, body):
        length = frames.check(body, self.limits.max_log)
        if length <= INLINE_LOG_SIZE:
            return _unpack_and_parse(body, self.limits.max_log)
        async with self.large_slots:
            return await asyncio.get_running_loop().run_in_executor(
                self.unpackers, _unpack_and_parse, body, self.limits.max_log)

    def close(self):
        self.unpackers.shutdown(wait=True)


def _unpack_and_parse(body, max_log):
    data = frames.unpack(body, max_log)
    return data, logparse.parse(data.decode("utf-8", "replace"))
