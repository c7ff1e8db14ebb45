#!/usr/bin/python3.11
"""Log collector: receives the launcher's log uploads over HTTP.

Every POST, on any path, carries one log as a frame (collector/frames.py:
the log's length, then its LZO1X-1 stream). A frame that unpacks to exactly
that many bytes is stored under the storage folder as NAME.log, beside
NAME.json, one line of JSON that records the request (method, path, agent,
headers, sizes, the status answered). Names never repeat, so no upload
overwrites another. With --keep-bodies the raw body is kept too, as
NAME.frame.

Nothing is stored for a request answered with an error (a bad frame gets
400): its sender keeps the log and sends it again. A log whose content is
already stored (the same SHA-256, also of a log stored before the collector
started) is answered 200 and not stored again, so a sender that gave up
waiting for an answer and sends once more leaves one copy.

For fault tests the collector can answer every request with a chosen status
(--status), wait before it answers (--delay), or send its answer one byte at
a time (--trickle-head, --trickle-body). For throughput measurements
--discard reads each body and answers at once, without checking or storing.

On start it prints "listening on ADDRESS:PORT" (the port it really got, also
with --port 0), then one line per request. SIGTERM or SIGINT stops it.
"""

import argparse
import hashlib
import itertools
import json
import os
import signal
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

# The frame is the service's own reading of it (collector/frames.py).
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from collector import frames  # noqa: E402

DEFAULT_MAX_BODY = 1 << 30


def unpack_frame(body):
    """The log that a frame carries, of any length its stream can hold;
    frames.FrameError when the frame is not valid."""
    return frames.unpack(body, max_log=frames.MAX_EXPANSION * len(body))


def content_hash(data):
    return hashlib.sha256(data).hexdigest()


class Storage:
    """The storage folder, handing out names that are never used twice, and
    knowing every log it holds by the hash of its content (the logs already
    in the folder when it starts included)."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self._counter = itertools.count(1)
        self._lock = threading.Lock()
        self._stored = {}
        for entry in os.scandir(folder):
            if entry.name.endswith(".log") and entry.is_file():
                with open(entry.path, "rb") as stored:
                    self._stored[content_hash(stored.read())] = entry.name[:-len(".log")]

    def claim(self, data):
        """None when a log with this content is new (it then counts as held
        from now on), else the name it is stored under ("" while its first
        copy is being written)."""
        digest = content_hash(data)
        with self._lock:
            if digest in self._stored:
                return self._stored[digest]
            self._stored[digest] = ""
            return None

    def release(self, data):
        """Forgets a claim whose log was not stored after all."""
        with self._lock:
            self._stored.pop(content_hash(data), None)

    def remember(self, data, name):
        with self._lock:
            self._stored[content_hash(data)] = name

    def _new_name(self):
        while True:
            with self._lock:
                number = next(self._counter)
            name = "%d-%d-%06d" % (time.time_ns(), os.getpid(), number)
            try:
                fd = os.open(os.path.join(self.folder, name + ".json"),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                continue
            return name, fd

    def store(self, record, data, body=None):
        """Writes the log, the raw body (when asked to keep it) and then the
        record, as one line of JSON."""
        name, record_fd = self._new_name()
        record["file"] = name + ".log"
        self._write(name + ".log", data)
        if body is not None:
            record["body_file"] = name + ".frame"
            self._write(name + ".frame", body)
        with os.fdopen(record_fd, "w", encoding="utf-8") as out:
            out.write(json.dumps(record) + "\n")
        return name

    def _write(self, file_name, content):
        with open(os.path.join(self.folder, file_name), "xb") as out:
            out.write(content)


class CollectorServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, storage, status, delay, max_body, keep_bodies, discard,
                 trickle_body=0.0, trickle_head=0.0):
        super().__init__(address, CollectorHandler)
        self.trickle_body = trickle_body
        self.trickle_head = trickle_head
        self.discard = discard
        self.storage = storage
        self.keep_bodies = keep_bodies
        self.forced_status = status
        self.delay = delay
        self.max_body = max_body
        self.stopping = threading.Event()
        self.print_lock = threading.Lock()

    def report(self, line):
        with self.print_lock:
            print(line, flush=True)


class CollectorHandler(BaseHTTPRequestHandler):
    server_version = "collector"
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # one line per request is ours
        pass

    def do_POST(self):
        length_text = self.headers.get("Content-Length")
        try:
            length = int(length_text)
        except (TypeError, ValueError):
            self._answer(411, "no valid Content-Length")
            return
        if length < 0 or length > self.server.max_body:
            self._answer(413, "body of %d bytes refused" % length)
            return
        body = self.rfile.read(length)
        if self.server.discard:
            self._answer(self.server.forced_status, "%d bytes discarded" % len(body))
            return

        record = {
            "method": self.command,
            "path": self.path,
            "request_line": self.requestline,
            "agent": self.headers.get("User-Agent"),
            "headers": [[key, value] for key, value in self.headers.items()],
            "client": self.client_address[0],
            "body_length": len(body),
            "body_hex_head": body[:16].hex(),
            "received": time.time(),
        }
        kept_body = body if self.server.keep_bodies else None
        try:
            data = unpack_frame(body)
        except frames.FrameError as error:
            self._answer(400, str(error))
            return

        status = self.server.forced_status
        storage = self.server.storage
        if status >= 400:
            # The client is told the log was not taken, so none is kept:
            # it comes again.
            note = "%d bytes not stored" % len(data)
        else:
            existing = storage.claim(data)
            if existing is not None:
                # A log sent again, after an answer that its sender never
                # saw: it is held once.
                note = "%d bytes already stored as %s.log" % (
                    len(data), existing or "(a copy being written)")
            else:
                try:
                    record.update(accepted=True, log_length=len(data), status=status)
                    name = storage.store(record, data, kept_body)
                except BaseException:
                    storage.release(data)
                    raise
                storage.remember(data, name)
                note = "%d bytes stored as %s.log" % (len(data), name)
        if self.server.delay > 0:
            self.server.stopping.wait(self.server.delay)
        self._answer(status, note)

    def _answer(self, status, note):
        # The request's line is out before its answer: whoever got the
        # answer finds the line.
        self.server.report("%s %s %s -> %d %s" % (
            self.client_address[0], self.command, self.path, status, note))
        payload = (note + "\n").encode()
        self.close_connection = True
        try:
            if self.server.trickle_head > 0:
                self._trickle(self._head(status, len(payload)), self.server.trickle_head)
            else:
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(payload)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.flush()
            if self.server.trickle_body > 0:
                self._trickle(payload, self.server.trickle_body)
            else:
                self.wfile.write(payload)
        except OSError as error:
            self.server.report("%s %s %s: answer not delivered: %s" % (
                self.client_address[0], self.command, self.path, error))

    def _head(self, status, length):
        """The status line and headers, with a long padding header: enough
        to go on trickling for far longer than any client waits."""
        return ("HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
                "Connection: close\r\nX-Padding: %s\r\n\r\n"
                % (status, self.responses.get(status, ("",))[0], length, "." * 4096)).encode()

    def _trickle(self, data, interval):
        """Sends data one byte every interval seconds, until it is all out
        or the collector stops."""
        for i in range(len(data)):
            self.wfile.write(data[i:i + 1])
            self.wfile.flush()
            if self.server.stopping.wait(interval):
                raise ConnectionAbortedError("collector stopping")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Receive the launcher's log uploads (HTTP POST of an LZO frame) "
                    "and store each log as a file.")
    parser.add_argument("--address", default="0.0.0.0",
                        help="address to listen on (default: 0.0.0.0)")
    parser.add_argument("--port", type=int, default=80,
                        help="port to listen on, 0 for any free one (default: 80)")
    parser.add_argument("--storage", default="collected",
                        help="folder the logs are stored in (default: ./collected)")
    parser.add_argument("--status", type=int, default=200,
                        help="status to answer every valid upload with (default: 200)")
    parser.add_argument("--delay", type=float, default=0.0,
                        help="seconds to wait before answering an upload (default: 0)")
    parser.add_argument("--trickle-body", type=float, default=0.0, metavar="SECONDS",
                        help="answer with the status and headers at once, then send the "
                             "body one byte every SECONDS (for time-out tests)")
    parser.add_argument("--trickle-head", type=float, default=0.0, metavar="SECONDS",
                        help="send the status line and headers one byte every SECONDS "
                             "(for time-out tests)")
    parser.add_argument("--keep-bodies", action="store_true",
                        help="also store each raw request body as NAME.frame")
    parser.add_argument("--discard", action="store_true",
                        help="read each body and answer at once, without checking or "
                             "storing anything (for throughput measurements)")
    parser.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY,
                        help="largest body accepted, in bytes (default: 1 GiB)")
    arguments = parser.parse_args(argv)
    if not 100 <= arguments.status <= 599:
        parser.error("--status must be an HTTP status from 100 to 599")
    if min(arguments.delay, arguments.trickle_body, arguments.trickle_head) < 0:
        parser.error("--delay, --trickle-body and --trickle-head cannot be negative")
    return arguments


def serve_until_stopped(server, announce):
    """Serves on a thread of its own until SIGTERM or SIGINT arrives.

    The signal handlers only record the signal. The main thread is woken by
    the byte that the interpreter writes to a socket for every signal
    (signal.set_wakeup_fd), so a handler never meets a lock that the code it
    interrupted holds. The handlers are in place before announce() tells the
    world the address, so a stop that follows the announcement at once is
    heard."""
    reader, writer = socket.socketpair()
    writer.setblocking(False)
    received = []

    def note(signum, frame):
        received.append(signum)

    previous_fd = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
    signal.signal(signal.SIGTERM, note)
    signal.signal(signal.SIGINT, note)
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    serving.start()
    try:
        announce()
        while not received:
            reader.recv(64)
    finally:
        server.stopping.set()
        server.shutdown()
        serving.join()
        signal.set_wakeup_fd(previous_fd)
        reader.close()
        writer.close()


def main(argv=None):
    arguments = parse_arguments(argv)
    server = CollectorServer((arguments.address, arguments.port), Storage(arguments.storage),
                             arguments.status, arguments.delay, arguments.max_body,
                             arguments.keep_bodies, arguments.discard,
                             arguments.trickle_body, arguments.trickle_head)
    host, port = server.server_address[:2]
    serve_until_stopped(server, lambda: server.report("listening on %s:%d" % (host, port)))
    server.server_close()
    server.report("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
