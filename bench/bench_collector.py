#!/usr/bin/python3.11
"""Log-collection service benchmark: uploads per second and latency (p50,
p99) with 1, 8 and 64 concurrent clients, for logs of 2 KB and 200 KB, on
SQLite, on PostgreSQL with two receivers, and on the reference collector
(tools/collector.py) as the baseline measured in the same run; then the
time of the groups page of a product with 100,000 stored logs.

Every upload is a log of its own on a connection of its own, as the
launcher sends it. "CPU ms" is the server's CPU time (user and system, all
its threads and receivers) per upload, which the load of other programs on
the machine disturbs far less than the wall-clock rate. After each round the stored logs are counted: "lost"
is the number of 200 answers minus the logs stored in that round.

Aims on a 2-core machine: at least 1,000 uploads/s of 2 KB logs on SQLite
with nothing lost, at least as many on PostgreSQL, and a groups page in
under 200 ms.

Usage: bench_collector.py [LAUNCHER BUILD_DIR] [--uploads N] [--page-logs N]
LAUNCHER and BUILD_DIR are accepted for the common benchmark convention and
not otherwise used. The PostgreSQL rows are left out when PostgreSQL is not
installed.
"""

import argparse
import asyncio
import http.client
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "collector"))
import fixtures  # noqa: E402
from fixtures import (PYTHON, SOURCE_DIR, TOKEN, Postgres, Service, distinct_frames,  # noqa: E402
                      request_bytes, upload_all)
from collector import logparse  # noqa: E402
from collector.store import DAY, Upload  # noqa: E402

CONCURRENCY = (1, 8, 64)
SIZES = {"2 KB": 2048, "200 KB": 200 * 1024}
PAGE_PRODUCT = "Benchmark"
PAGE_REPEAT = 20


class Reference:
    """tools/collector.py storing files, as the launcher's tests run it."""

    def __init__(self, root):
        self.storage = root / "reference"
        self.output = root / "reference.out"
        with open(self.output, "wb") as out:
            self.process = subprocess.Popen(
                [PYTHON, str(SOURCE_DIR / "tools" / "collector.py"), "--address", "127.0.0.1",
                 "--port", "0", "--storage", str(self.storage)], stdout=subprocess.PIPE,
                stderr=out)
        line = self.process.stdout.readline().decode()
        self.port = int(line.rsplit(":", 1)[1])
        # Its one line per request goes nowhere, without blocking it.
        self.drain = subprocess.Popen(["cat"], stdin=self.process.stdout,
                                      stdout=subprocess.DEVNULL)
        self.targets = [("127.0.0.1", self.port)]

    def stored(self) -> int:
        return len(list(self.storage.glob("*.log")))

    def cpu(self) -> float:
        return process_cpu([self.process.pid])

    def close(self):
        self.process.terminate()
        self.process.wait()
        self.drain.wait()


class Receivers:
    """Our service: one receiver on SQLite, or two on one PostgreSQL."""

    def __init__(self, root, postgres=None):
        count = 2 if postgres else 1
        self.services = [Service(root, database=postgres and postgres.url,
                                 name="%s%d" % ("pg" if postgres else "sqlite", index))
                         for index in range(count)]
        self.targets = [(s.host, s.port) for s in self.services]

    def stored(self) -> int:
        store = self.services[0].store()
        try:
            return store.count_logs()
        finally:
            store.close()

    def cpu(self) -> float:
        return process_cpu([service.process.pid for service in self.services])

    def close(self):
        for service in self.services:
            service.stop()


def process_cpu(pids) -> float:
    """Seconds of CPU (user and system, every thread) that processes used."""
    ticks = 0
    for pid in pids:
        fields = Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def measure(target, label, size, uploads, concurrency, round_number):
    bodies = distinct_frames(uploads, size=size, prefix="%s-%d" % (label, round_number),
                             failing_every=5)
    requests = [request_bytes(body) for body in bodies]
    before = target.stored()
    cpu_before = target.cpu()
    started = time.perf_counter()
    results = asyncio.run(upload_all(target.targets, requests, concurrency))
    elapsed = time.perf_counter() - started
    cpu = target.cpu() - cpu_before
    accepted = sum(1 for _, status, _ in results if status == 200)
    latencies = [seconds for _, status, seconds in results]
    return dict(rate=len(results) / elapsed, cpu=cpu / len(results) * 1000, p50=percentile(latencies, 0.5) * 1000,
                p99=percentile(latencies, 0.99) * 1000, ok=accepted,
                lost=accepted - (target.stored() - before), total=len(results))


def fill_for_page(store, count):
    """count logs of PAGE_PRODUCT over 90 days: 200 failure kinds, 5 versions,
    one run in four normal; stored straight into the store, in batches."""
    now = time.time()
    batch = []
    for number in range(count):
        kind = number % 200
        failure = None if number % 4 == 0 else (
            "Error%d: case %d" % (kind, number), [("boot.py", "<module>"),
                                                  ("app/part%d.py" % kind, "step")])
        log = fixtures.sample_log(number, product=PAGE_PRODUCT, failure=failure,
                                  version="2.%d.0.0" % (number % 5))
        frame = fixtures.frames.pack(log)
        batch.append(Upload(fixtures.log_hash(log), now - (number % 90) * DAY, frame, len(log),
                            "/upload_logs/v5/", logparse.parse(log.decode())))
        if len(batch) == 2000:
            store.add_batch(batch)
            batch = []
    if batch:
        store.add_batch(batch)
    store.analyze()


def time_groups_page(service):
    times = []
    for _ in range(PAGE_REPEAT):
        connection = http.client.HTTPConnection(service.host, service.port, timeout=60)
        started = time.perf_counter()
        connection.request("GET", "/groups?product=%s&days=90" % PAGE_PRODUCT,
                           headers={"Authorization": "Bearer " + TOKEN})
        response = connection.getresponse()
        body = response.read()
        times.append(time.perf_counter() - started)
        connection.close()
        assert response.status == 200 and b"Error199" in body, response.status
    return statistics.median(times) * 1000, max(times) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("launcher", nargs="?")
    parser.add_argument("build_dir", nargs="?")
    parser.add_argument("--uploads", type=int, default=3000,
                        help="uploads of 2 KB logs per round (a tenth of it for 200 KB)")
    parser.add_argument("--page-logs", type=int, default=100000,
                        help="logs stored for the groups page timing")
    parser.add_argument("--page-only", action="store_true",
                        help="time the groups page only")
    parser.add_argument("--uploads-only", action="store_true",
                        help="leave out the groups page")
    arguments = parser.parse_args()

    root = Path(tempfile.mkdtemp(prefix="bench-collector-"))
    postgres = None
    try:
        postgres = Postgres()
    except unittest.SkipTest as reason:
        print("PostgreSQL left out: %s" % reason)
    try:
        targets = [("reference", lambda: Reference(root)), ("sqlite", lambda: Receivers(root))]
        if arguments.page_only:
            targets = []
        elif postgres:
            targets.append(("postgresql x2", lambda: Receivers(root, postgres)))
        table = {}
        for label, make in targets:
            target = make()
            try:
                for size_label, size in SIZES.items():
                    uploads = arguments.uploads if size < 100000 else arguments.uploads // 10
                    for concurrency in CONCURRENCY:
                        count = uploads if concurrency > 1 else uploads // 3
                        table[(label, size_label, concurrency)] = measure(
                            target, label.split()[0], size, count, concurrency, len(table))
            finally:
                target.close()
        if table:
            print("%-14s %-7s %5s %10s %9s %9s %7s %7s %8s %10s %10s" % (
                "server", "log", "conc.", "uploads/s", "p50 ms", "p99 ms", "200s", "lost",
                "CPU ms", "vs ref.", "CPU vs ref"))
        for (label, size_label, concurrency), row in table.items():
            reference = table[("reference", size_label, concurrency)]
            print("%-14s %-7s %5d %10.0f %9.1f %9.1f %7d %7d %8.3f %9.2fx %9.2fx" % (
                label, size_label, concurrency, row["rate"], row["p50"], row["p99"], row["ok"],
                row["lost"], row["cpu"], row["rate"] / reference["rate"],
                row["cpu"] / reference["cpu"]))

        print()
        stores = [] if arguments.uploads_only else [("sqlite", None)] + ([("postgresql", postgres.url)] if postgres else [])
        for label, url in stores:
            service = Service(root, database=url, name="page-" + label)
            try:
                store = service.store()
                started = time.perf_counter()
                fill_for_page(store, arguments.page_logs)
                store.close()
                filled = time.perf_counter() - started
                median, worst = time_groups_page(service)
                print("groups page, %s, %d logs (stored in %.0f s): median %.1f ms, worst %.1f ms"
                      " (aim: under 200 ms)" % (label, arguments.page_logs, filled, median,
                                                worst))
            finally:
                service.stop()
    finally:
        if postgres:
            postgres.destroy()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
