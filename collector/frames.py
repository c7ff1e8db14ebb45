"""The launcher's upload frame: the byte 0xF0, the log's length as 4 bytes
big-endian, then the LZO1X-1 stream of the log.

unpack() checks a frame before anything is allocated for its content, and
unpacks into a buffer of exactly the declared size, so that a frame never
costs more memory than the limit it is checked against."""

import struct

import lzo

MARKER = 0xF0
HEADER_SIZE = 5
# LZO1X cannot expand input more than 255-fold: a frame that claims more
# than that is lying about its length.
MAX_EXPANSION = 256
DEFAULT_MAX_LOG = 64 << 20
# The stream of an empty log: its end marker alone.
EMPTY_STREAM = b"\x11\x00\x00"


class FrameError(ValueError):
    """The body is not a valid frame; the text says why."""


def declared_length(body: bytes) -> int:
    """The length a frame's header declares; FrameError when the header is
    not one of ours."""
    if len(body) < HEADER_SIZE:
        raise FrameError("body of %d bytes is shorter than a frame header" % len(body))
    if body[0] != MARKER:
        raise FrameError("frame marker is 0x%02X, not 0x%02X" % (body[0], MARKER))
    return struct.unpack(">I", body[1:HEADER_SIZE])[0]


def check(body: bytes, max_log: int = DEFAULT_MAX_LOG) -> int:
    """The declared length of a frame whose header is sound and whose
    length is within max_log and within what the stream can hold."""
    length = declared_length(body)
    if length > max_log:
        raise FrameError("declared length %d is over the limit of %d" % (length, max_log))
    if length > MAX_EXPANSION * (len(body) - HEADER_SIZE):
        raise FrameError("declared length %d is more than %d bytes of stream can hold"
                         % (length, len(body) - HEADER_SIZE))
    return length


def unpack(body: bytes, max_log: int = DEFAULT_MAX_LOG) -> bytes:
    """The log a frame carries: exactly as many bytes as its header
    declares. FrameError for anything else."""
    length = check(body, max_log)
    if length == 0:
        if body[HEADER_SIZE:] != EMPTY_STREAM:
            raise FrameError("an empty log with a stream that is not empty")
        return b""
    try:
        data = lzo.decompress(body[HEADER_SIZE:], False, length)
    except (lzo.error, MemoryError) as error:
        raise FrameError("stream does not unpack: %s" % error) from None
    if len(data) != length:
        raise FrameError("stream unpacks to %d bytes, header says %d" % (len(data), length))
    return data


def pack(data: bytes) -> bytes:
    """A frame of data, as the launcher sends it."""
    return lzo.compress(data, 1)
