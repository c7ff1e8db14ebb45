"""The front of every connection. Requests to the upload paths are read and
answered here, with no more HTTP/1.1 than they need: a head, a body of a
declared length, a short plain answer. The first request for any other path
hands the connection, from that request on, to the web application's own
handler, which serves the pages and the API."""

import asyncio
import http

MAX_HEAD = 8192
LINGER_TIME = 1.0   # to read what a refused client still sends, so it sees the answer


class HeadError(ValueError):
    """A request head that is answered with the status it carries."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


def parse_head(head: bytes):
    """(method, path, version, {lower-case name: [values]}) of a request
    head without its blank line; HeadError(400) when it is not HTTP/1.x."""
    lines = head.split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) != 3 or parts[2] not in (b"HTTP/1.1", b"HTTP/1.0"):
        raise HeadError(400, "not an HTTP/1.x request line")
    method, target, version = parts
    headers = {}
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon or not name or name != name.strip():
            raise HeadError(400, "malformed header line")
        headers.setdefault(name.lower(), []).append(value.strip())
    path = target.split(b"?", 1)[0].decode("latin-1")
    return method, path, version, headers


def body_length(headers, max_body) -> int:
    """The Content-Length of an upload, within max_body; HeadError for a
    body of no usable length (411), too large (413) or a bad one (400)."""
    if b"transfer-encoding" in headers or b"content-length" not in headers:
        raise HeadError(411, "a body with a Content-Length is required")
    values = set(headers[b"content-length"])
    value = values.pop()
    if values or not value.isdigit():
        raise HeadError(400, "Content-Length is not one number")
    length = int(value)
    if length > max_body:
        raise HeadError(413, "body of %d bytes is over the limit of %d" % (length, max_body))
    return length


def keeps_alive(version, headers) -> bool:
    connection = b",".join(headers.get(b"connection", ())).lower()
    if version == b"HTTP/1.0":
        return b"keep-alive" in connection
    return b"close" not in connection


def answer_bytes(status, text, close, extra=b"") -> bytes:
    body = text.encode("utf-8", "replace") + b"\n"
    return b"HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\n" \
           b"Content-Length: %d\r\n%s%s\r\n%s" % (
               status, http.HTTPStatus(status).phrase.encode(), len(body), extra,
               b"Connection: close\r\n" if close else b"", body)


class FrontProtocol(asyncio.Protocol):
    """One connection. receiver.receive(path, body) answers an upload;
    hand_over() makes the web application's handler for everything else;
    report (or None) takes a line per answer.
    The guard sees this connection as the web handler's connections: busy
    while _current_request is set, from a complete head to the answer."""

    def __init__(self, receiver, guard, hand_over, report):
        self._receiver = receiver
        self._guard = guard
        self._hand_over = hand_over
        self._report = report
        self.transport = None
        self._current_request = None
        self._buffer = bytearray()
        self._request = None     # (path, length, keep alive) while its body comes
        self._held = 0           # bytes of the receiver's budget this request holds
        self._timer = None
        self._task = None
        self._ended = False      # the client sent its last byte
        self._lingering = False

    # ---- the transport's events ---------------------------------------------

    def connection_made(self, transport):
        self.transport = transport
        self._guard.opened(self)

    def connection_lost(self, exc):
        self._guard.closed(self)
        self._cancel_timer()
        self._release_budget()

    def data_received(self, data):
        if self._lingering:
            return
        self._buffer += data
        self._advance()

    def eof_received(self):
        self._ended = True
        if self._lingering or (self._task is None and self._request is None
                               and not self._buffer):
            self.transport.close()
        elif self._task is None:
            self._advance()
        return True   # the transport stays open for the answer

    # ---- reading requests -----------------------------------------------------

    def _advance(self):
        """Takes what the buffer holds as far as it goes: heads, bodies and,
        once a body is whole, the upload it carries."""
        while self._task is None and not self._lingering and not self.transport.is_closing():
            if self._request is None:
                if not self._take_head():
                    return
            elif len(self._buffer) >= self._request[1]:
                self._start_upload()
                return
            else:
                if self._ended:
                    self._refuse(400, "body ended after %d of %d bytes"
                                 % (len(self._buffer), self._request[1]))
                return

    def _take_head(self) -> bool:
        """True when a head was taken from the buffer and its body is next."""
        line_end = self._buffer.find(b"\r\n")
        if line_end >= 0 and not self._is_upload(self._buffer[:line_end]):
            self._give_to_web_handler()
            return False
        end = self._buffer.find(b"\r\n\r\n", 0, MAX_HEAD + 4)
        if end < 0:
            if len(self._buffer) > MAX_HEAD:
                self._refuse(400, "request head over %d bytes" % MAX_HEAD)
            elif self._ended and self._buffer:
                self._refuse(400, "request head cut short")
            return False
        head = bytes(self._buffer[:end])
        del self._buffer[:end + 4]
        try:
            method, path, version, headers = parse_head(head)
            if method != b"POST":
                raise HeadError(405, "uploads are POSTed")
            length = body_length(headers, self._receiver.limits.max_body)
        except HeadError as error:
            self._refuse(error.status, str(error))
            return False
        if not self._receiver.budget.take(length):
            self._refuse(503, "too many bodies being received; try again later")
            return False
        self._held = length
        self._request = (path, length, keeps_alive(version, headers))
        self._current_request = path
        self._guard.touch(self)
        if b"100-continue" in b",".join(headers.get(b"expect", ())).lower():
            self.transport.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        self._timer = asyncio.get_running_loop().call_later(
            self._receiver.limits.body_timeout, self._body_timed_out)
        return True

    def _is_upload(self, request_line) -> bool:
        parts = bytes(request_line).split(b" ")
        return len(parts) == 3 and \
            parts[1].split(b"?", 1)[0].decode("latin-1") in self._receiver.paths

    def _give_to_web_handler(self):
        handler = self._hand_over()
        transport, buffered, ended = self.transport, bytes(self._buffer), self._ended
        self._guard.closed(self)
        self._buffer.clear()
        transport.set_protocol(handler)
        handler.connection_made(transport)
        if buffered:
            handler.data_received(buffered)
        if ended and handler.eof_received() is not True:
            transport.close()

    def _body_timed_out(self):
        self._timer = None
        self._refuse(408, "body not received within %g s" % self._receiver.limits.body_timeout)

    # ---- answering ------------------------------------------------------------

    def _start_upload(self):
        path, length, keep_alive = self._request
        with memoryview(self._buffer) as view:
            body = bytes(view[:length])
        del self._buffer[:length]
        self._cancel_timer()
        self.transport.pause_reading()
        self._task = asyncio.get_running_loop().create_task(
            self._upload(path, body, keep_alive))

    async def _upload(self, path, body, keep_alive):
        try:
            status, text = await self._receiver.receive(path, body)
        except Exception as error:  # a fault of ours still gets an answer
            status, text = 500, "not stored: %s" % type(error).__name__
        finally:
            self._release_budget()
        if self._report:
            self._report("%s POST %s -> %d %s" % (self._peer(), path, status, text))
        self._task = None
        self._request = self._current_request = None
        if status != 200 or not keep_alive or self._ended:
            self._answer_and_close(status, text)
            return
        self._guard.touch(self)
        if not self.transport.is_closing():
            self.transport.write(answer_bytes(status, text, close=False))
            self.transport.resume_reading()
            self._advance()

    def _refuse(self, status, text):
        """Answers a request that is not taken and ends the connection."""
        self._cancel_timer()
        self._release_budget()
        if self._report:
            self._report("%s refused -> %d %s" % (self._peer(), status, text))
        self._request = self._current_request = None
        self._answer_and_close(status, text)

    def _answer_and_close(self, status, text):
        transport = self.transport
        if transport.is_closing():
            return
        transport.write(answer_bytes(status, text, close=True,
                                     extra=b"Allow: POST\r\n" if status == 405 else b""))
        if self._ended or not transport.can_write_eof():
            transport.close()
            return
        # The client may still be sending: what it sends is read and dropped
        # for a while, so that it sees the answer rather than a reset.
        transport.write_eof()
        self._lingering = True
        self._buffer.clear()
        transport.resume_reading()
        self._timer = asyncio.get_running_loop().call_later(LINGER_TIME, transport.close)

    def _cancel_timer(self):
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None

    def _release_budget(self):
        if self._held:
            self._receiver.budget.give(self._held)
            self._held = 0

    def _peer(self):
        peer = self.transport.get_extra_info("peername") if self.transport else None
        return peer[0] if peer else "-"
