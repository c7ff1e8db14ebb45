"""Shared fixtures of the collector's tests and benchmark: the service as a
process of its own, a private PostgreSQL, and a client that speaks the
launcher's upload protocol.

Environment (set by CTest): LAUNCHER_SOURCE_DIR, LAUNCHER_BUILD_DIR (the
folder the browser's screenshots go to) and LAUNCHER_BINARY (the launcher,
for the tests that ship logs through it)."""

import asyncio
import hashlib
import http.client
import json
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("LAUNCHER_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ.get("LAUNCHER_BUILD_DIR") or SOURCE_DIR / "build" / "native")
sys.path.insert(0, str(SOURCE_DIR))
sys.path.append(str(SOURCE_DIR / "tests" / "e2e"))

from collector import frames  # noqa: E402
from collector.cli import DEFAULT_UPLOAD_PATH  # noqa: E402
from collector.store import PostgresStore, SqliteStore  # noqa: E402
from servers import ServerProcess  # noqa: E402

PYTHON = "/usr/bin/python3.11"
TOKEN = "test-token-7f3a"
POSTGRES_BIN = Path("/usr/lib/postgresql/15/bin")
POSTGRES_USER = "nobody"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, deadline, what):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("%s did not happen within %s s" % (what, deadline))


def sample_log(number=0, *, version="1.0.0.0", product="Mendrix", failure=None,
               padding=0) -> bytes:
    """A log as the launcher writes it; failure: None for a normal run, or
    (exception line, [(file, function)]) for one that failed."""
    lines = ["META:stub:version = " + version, "META:stub:product = " + product,
             "META:stub:major_version = 10", "META:stub:minor_version = 0",
             "META:stub:product_type = 1", "META:stub:suite_mask = 0",
             "META:stub:bitness = 32", "STUB:stub:Calling EvalCode", "run %d" % number]
    lines += ["x" * 100] * (padding // 101)
    if failure is None:
        lines += ["STUB:stub:EvalCode exited normally", "STUB:stub:Cleaning up"]
    else:
        exception, stack = failure
        lines += ["STUB:stub:EvalCode exited abnormally", "STUB:stub:Cleaning up",
                  "STUB:stub:Contents of python stderr:", "Traceback (most recent call last):"]
        lines += ['  File "%s", line %d, in %s' % (path, 10 + i, function)
                  for i, (path, function) in enumerate(stack)]
        lines.append(exception)
    lines += ["STUB:stub:Finalizing", "STUB:stub:Closing log", ""]
    return "\n".join(lines).encode()


def log_hash(log: bytes) -> str:
    return hashlib.sha256(log).hexdigest()


def post(port, body: bytes, path=DEFAULT_UPLOAD_PATH, host="127.0.0.1", timeout=30):
    """(status, answer text) of one upload."""
    connection = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        connection.request("POST", path, body=body,
                           headers={"Content-Type": "application/octet-stream"})
        response = connection.getresponse()
        return response.status, response.read().decode(errors="replace")
    finally:
        connection.close()


class Service(ServerProcess):
    """`python3 -m collector serve` in a process of its own, on a free port
    unless told; what it prints goes to a file beside its data folder."""

    name = "service"

    def __init__(self, root: Path, *options, database=None, host="127.0.0.1", port=0,
                 name="service", wrapper=()):
        self.root = Path(root)
        self.data = self.root / (name + "-data")
        self.database = database
        command = [*wrapper, PYTHON, "-m", "collector", "serve", "--data", self.data,
                   "--listen", "%s:%d" % (host, port), "--token", TOKEN, *options]
        if database:
            command += ["--database", database]
        super().__init__(command, self.root / (name + ".out"), cwd=SOURCE_DIR)
        self.host = host
        self.start()

    def url(self, path="/") -> str:
        return "http://%s:%d%s" % (self.host, self.port, path)

    def post(self, body, path=DEFAULT_UPLOAD_PATH, timeout=30):
        return post(self.port, body, path, self.host, timeout)

    def api(self, path, token=TOKEN):
        """(status, decoded JSON) of an API call."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=30)
        try:
            connection.request("GET", path, headers={"Authorization": "Bearer " + token})
            response = connection.getresponse()
            return response.status, json.loads(response.read() or b"null")
        finally:
            connection.close()

    def store(self):
        """The service's store, opened by the test itself."""
        return PostgresStore(self.database) if self.database else SqliteStore(self.data)


def stored_hashes(store) -> set:
    try:
        return {row[0] for row in store._query("SELECT sha256 FROM logs")}
    finally:
        store.close()


class Postgres:
    """A PostgreSQL server of its own: a cluster made with initdb in a
    temporary folder, on a free port of the loopback. As root the server
    runs as an unprivileged user. Skips the test when PostgreSQL is not
    installed."""

    def __init__(self):
        if not (POSTGRES_BIN / "initdb").is_file():
            raise unittest.SkipTest("PostgreSQL is not installed in %s" % POSTGRES_BIN)
        self.root = Path(tempfile.mkdtemp(prefix="collector-pg-"))
        self.cluster = self.root / "cluster"
        self.port = free_port()
        if os.geteuid() == 0:
            user = pwd.getpwnam(POSTGRES_USER)
            os.chown(self.root, user.pw_uid, user.pw_gid)
        self._run("initdb", "-D", self.cluster, "-U", "collector", "--auth=trust",
                  "--no-sync", "-E", "UTF8")
        self.url = "postgresql://collector@127.0.0.1:%d/postgres" % self.port
        self.start()

    def _run(self, program, *arguments, timeout=60):
        command = [str(POSTGRES_BIN / program), *map(str, arguments)]
        if os.geteuid() == 0:
            command = ["runuser", "-u", POSTGRES_USER, "--"] + command
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                                cwd=self.root)
        if result.returncode != 0:
            raise AssertionError("%s failed: %s%s" % (program, result.stdout, result.stderr))

    def start(self):
        self._run("pg_ctl", "start", "-w", "-t", "60", "-D", self.cluster,
                  "-l", self.root / "server.log",
                  "-o", "-p %d -k %s -c listen_addresses=127.0.0.1 -c max_connections=100"
                  " -c fsync=on" % (self.port, self.root))

    def stop(self):
        self._run("pg_ctl", "stop", "-w", "-t", "60", "-m", "fast", "-D", self.cluster)

    def destroy(self):
        try:
            self.stop()
        except AssertionError:
            pass
        shutil.rmtree(self.root, ignore_errors=True)


# ---- a client that uploads many logs at once ----------------------------------------

def request_bytes(body: bytes, path=DEFAULT_UPLOAD_PATH) -> bytes:
    return (b"POST %s HTTP/1.1\r\nHost: collector\r\nUser-Agent: load\r\n"
            b"Content-Type: application/octet-stream\r\nContent-Length: %d\r\n"
            b"Connection: close\r\n\r\n" % (path.encode(), len(body))) + body


async def upload_once(host, port, request: bytes, timeout=60):
    """The status of one upload on a connection of its own (0 when the
    connection failed or there was no complete answer)."""
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(host, port), timeout)
    except (OSError, asyncio.TimeoutError):
        return 0
    try:
        writer.write(request)
        answer = await asyncio.wait_for(reader.read(), timeout)
        head = answer.split(b"\r\n", 1)[0].split()
        return int(head[1]) if len(head) >= 2 and b"\r\n\r\n" in answer else 0
    except (OSError, asyncio.TimeoutError, ValueError):
        return 0
    finally:
        writer.close()


async def upload_all(targets, requests, concurrency, results=None):
    """Uploads every request, concurrency at a time, spreading them over
    targets [(host, port)]; [(index, status, seconds)] in order of
    completion (appended to results as they come, when given)."""
    results = [] if results is None else results
    pending = iter(enumerate(requests))

    async def worker(worker_index):
        host, port = targets[worker_index % len(targets)]
        for index, request in pending:
            started = time.perf_counter()
            status = await upload_once(host, port, request)
            results.append((index, status, time.perf_counter() - started))

    await asyncio.gather(*(worker(i) for i in range(concurrency)))
    return results


def distinct_frames(count, size=2048, prefix="load", failing_every=0) -> list:
    """count frames of logs of about size bytes, all different; every
    failing_every-th one a failure."""
    bodies = []
    for number in range(count):
        failure = None
        if failing_every and number % failing_every == 0:
            failure = ("ValueError: bad value %d" % number,
                       [("boot.py", "<module>"), ("app/jobs.py", "run")])
        log = sample_log(number, failure=failure, padding=max(0, size - 420))
        bodies.append(frames.pack(log.replace(b"run %d" % number,
                                              b"%s %d" % (prefix.encode(), number))))
    return bodies


def frame_hashes(bodies) -> list:
    return [log_hash(frames.unpack(body)) for body in bodies]


class Load(threading.Thread):
    """upload_all on a thread of its own; results grow while it runs."""

    def __init__(self, targets, bodies, concurrency):
        super().__init__(daemon=True)
        self.requests = [request_bytes(body) for body in bodies]
        self.targets = targets
        self.concurrency = concurrency
        self.results = []

    def run(self):
        self.results = asyncio.run(self._run())

    async def _run(self):
        live = []
        task = asyncio.ensure_future(upload_all(self.targets, self.requests, self.concurrency,
                                                live))
        self.results = live
        return await task

    def statuses(self) -> list:
        """The status of every request, by index, once the load is over."""
        statuses = [None] * len(self.requests)
        for index, status, _ in self.results:
            statuses[index] = status
        return statuses
