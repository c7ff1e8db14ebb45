#!/usr/bin/python3.11
"""Log collector: receives the launcher's log uploads over HTTP.

Every POST, on any path, carries one log as a frame: the byte 0xF0, the
log's length as 4 bytes big-endian, then the LZO1X-1 stream of the log. A
frame that unpacks to exactly that many bytes is stored under the storage
folder as NAME.log, beside NAME.json, one line of JSON that records the
request (method, path, agent, headers, sizes, the status answered). Names
never repeat, so no upload overwrites another. A bad frame is answered 400
and only its NAME.json is kept. With --keep-bodies the raw body is kept too,
as NAME.frame.

For fault tests the collector can answer every request with a chosen status
(--status) or wait before it answers (--delay). For throughput measurements
--discard reads each body and answers at once, without checking or storing.

On start it prints "listening on ADDRESS:PORT" (the port it really got, also
with --port 0), then one line per request. SIGTERM or SIGINT stops it.
"""

import argparse
import itertools
import json
import os
import signal
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import lzo

FRAME_MARKER = 0xF0
FRAME_HEADER_SIZE = 5
# LZO1X cannot expand more than 255-fold; a frame that claims more is lying
# and is refused before anything is allocated for it.
MAX_EXPANSION = 256
DEFAULT_MAX_BODY = 1 << 30


class FrameError(Exception):
    pass


def unpack_frame(body):
    """The log that a frame carries; FrameError when the frame is not valid."""
    if len(body) < FRAME_HEADER_SIZE:
        raise FrameError("frame shorter than its header")
    if body[0] != FRAME_MARKER:
        raise FrameError("marker is 0x%02X, not 0xF0" % body[0])
    (length,) = struct.unpack(">I", body[1:FRAME_HEADER_SIZE])
    if length > MAX_EXPANSION * len(body):
        raise FrameError("length %d is more than the stream can hold" % length)
    try:
        data = lzo.decompress(body)
    except (lzo.error, MemoryError) as error:
        raise FrameError("stream does not unpack: %s" % error) from None
    if len(data) != length:
        raise FrameError("stream unpacks to %d bytes, header says %d" % (len(data), length))
    return data


class Storage:
    """The storage folder, handing out names that are never used twice."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self._counter = itertools.count(1)
        self._lock = threading.Lock()

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
        """Writes the log (when there is one), the raw body (when asked to
        keep it) and then the record, as one line of JSON."""
        name, record_fd = self._new_name()
        if data is not None:
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

    def __init__(self, address, storage, status, delay, max_body, keep_bodies, discard):
        super().__init__(address, CollectorHandler)
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
        except FrameError as error:
            record.update(accepted=False, reason=str(error), status=400)
            self.server.storage.store(record, None, kept_body)
            self._answer(400, str(error))
            return

        status = self.server.forced_status
        record.update(accepted=True, log_length=len(data), status=status)
        name = self.server.storage.store(record, data, kept_body)
        if self.server.delay > 0:
            self.server.stopping.wait(self.server.delay)
        self._answer(status, "%d bytes stored as %s.log" % (len(data), name))

    def _answer(self, status, note):
        payload = (note + "\n").encode()
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(payload)
        except OSError as error:
            note += " (answer not delivered: %s)" % error
        self.close_connection = True
        self.server.report("%s %s %s -> %d %s" % (
            self.client_address[0], self.command, self.path, status, note))


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
    if arguments.delay < 0:
        parser.error("--delay cannot be negative")
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    server = CollectorServer((arguments.address, arguments.port), Storage(arguments.storage),
                             arguments.status, arguments.delay, arguments.max_body,
                             arguments.keep_bodies, arguments.discard)

    def stop(signum, frame):
        server.stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2})
    serving.start()
    host, port = server.server_address[:2]
    server.report("listening on %s:%d" % (host, port))
    while not server.stopping.wait(0.5):
        pass
    server.shutdown()
    serving.join()
    server.server_close()
    server.report("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
