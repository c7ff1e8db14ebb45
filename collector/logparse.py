"""Reading one launcher log: who ran what (the META records), how the run
ended, and, for a failure, the signature that groups it with others of the
same cause.

A log is lines of text. The launcher's own lines carry the tag "STUB:stub:"
(which may follow output of the application on the same line, when that
output had no line end); its system record is "META:stub:KEY = VALUE"
lines; after "EvalCode exited abnormally" comes what the interpreter wrote
to its standard error, the traceback included; a start-up failure is a line
"StubException: TEXT  (FILE:LINE)"; a log that ends without "Closing log"
was cut short by a crash or a kill."""

import dataclasses
import hashlib
import re
import sys

STUB_TAG = "STUB:stub:"
META_TAG = "META:stub:"
CLOSING = STUB_TAG + "Closing log"
ABNORMAL = STUB_TAG + "EvalCode exited abnormally"
STDERR_START = STUB_TAG + "Contents of python stderr:"
STUB_EXCEPTION = "StubException: "

NORMAL = "normal"
ERROR = "error"
STARTUP_FAILURE = "startup-failure"
CUT_SHORT = "cut-short"
OUTCOMES = (NORMAL, ERROR, STARTUP_FAILURE, CUT_SHORT)

UNKNOWN = "unknown"
# How many of the innermost frames of the application's own code make up
# a signature.
SIGNATURE_FRAMES = 3
SHORT_ID_LENGTH = 12

TRACEBACK_START = "Traceback (most recent call last):"
FRAME = re.compile(r'\s+File "(?P<file>[^"]*)", line \d+, in (?P<function>.+)')
EXCEPTION_LINE = re.compile(r"(?P<type>[A-Za-z_][\w.]*)(?::\s?(?P<message>.*))?")
SOURCE_LOCATION = re.compile(r"\s+\((?P<file>[^()]*?):\d+\)$")
# Folders a module path may sit in, after which the path is the module's.
ABSOLUTE_PATH = re.compile(r"(?:[A-Za-z]:)?[/\\]")
MODULE_ROOTS = re.compile(r".*[/\\](?:lib\.dll|site-packages|dist-packages|lib\d*|python\d[\d.]*)"
                          r"[/\\]", re.IGNORECASE)


@dataclasses.dataclass(frozen=True)
class Frame:
    module: str
    function: str

    def __str__(self):
        return "%s.%s" % (self.module, self.function)


@dataclasses.dataclass
class ParsedLog:
    meta: dict
    outcome: str
    exception: str = ""
    message: str = ""
    frames: tuple = ()          # outermost first
    signature: str = ""         # empty for a normal run
    traceback: tuple = ()       # the lines of the traceback, as logged

    @property
    def product(self) -> str:
        return self.meta.get("product") or UNKNOWN

    @property
    def version(self) -> str:
        return self.meta.get("version") or UNKNOWN

    @property
    def system(self) -> str:
        """The system version and bitness, e.g. "10.0 64-bit"."""
        major, minor = self.meta.get("major_version"), self.meta.get("minor_version")
        if major is None:
            return UNKNOWN
        system = "%s.%s" % (major, minor or 0)
        if self.meta.get("bitness"):
            system += " %s-bit" % self.meta["bitness"]
        return system


def parse(text: str) -> ParsedLog:
    """What one log says. Never fails: a log it cannot make sense of is a
    run cut short with whatever it does hold."""
    # A normal run is told by a few searches of the whole text; the lines
    # are split only for a failure.
    meta = _meta(text)
    if not _has_line_ending_with(text, CLOSING):
        return _cut_short(meta, text.split("\n"))
    for start in _line_starts(text, STUB_EXCEPTION):
        return _startup_failure(meta, _line_at(text, start)[len(STUB_EXCEPTION):])
    if _has_line_ending_with(text, ABNORMAL):
        return _error(meta, _stderr_lines(text.split("\n")))
    return ParsedLog(meta, NORMAL)


def short_id(product: str, signature: str) -> str:
    """The stable id of a failure group: it depends on the product and the
    signature only."""
    digest = hashlib.sha256(("%s\0%s" % (product, signature)).encode("utf-8"))
    return digest.hexdigest()[:SHORT_ID_LENGTH]


def _meta(text) -> dict:
    meta = {}
    for start in _line_starts(text, META_TAG):
        key, separator, value = _line_at(text, start)[len(META_TAG):].partition(" = ")
        if separator and key not in meta:
            meta[key.strip()] = value.strip()
    return meta


def _line_starts(text, prefix):
    """The offsets of the lines of text that start with prefix."""
    if text.startswith(prefix):
        yield 0
    at = text.find("\n" + prefix)
    while at >= 0:
        yield at + 1
        at = text.find("\n" + prefix, at + 1)


def _line_at(text, start) -> str:
    end = text.find("\n", start)
    return text[start:] if end < 0 else text[start:end]


def _has_line_ending_with(text, suffix) -> bool:
    # From the end, where the launcher's last lines are.
    at = text.rfind(suffix)
    while at >= 0:
        end = at + len(suffix)
        if end == len(text) or text[end] == "\n":
            return True
        at = text.rfind(suffix, 0, end - 1)
    return False


def _stub_text(line: str) -> str:
    return line[line.index(STUB_TAG) + len(STUB_TAG):]


def _cut_short(meta, lines) -> ParsedLog:
    steps = [_stub_text(line) for line in lines if STUB_TAG in line]
    last_step = steps[-1] if steps else "(no step logged)"
    parsed = _error(meta, _stderr_lines(lines)) if any(l.endswith(ABNORMAL) for l in lines) \
        else None
    if parsed is not None and parsed.frames:
        parsed.outcome = CUT_SHORT
        return parsed
    return ParsedLog(meta, CUT_SHORT, "cut short", "after: " + last_step,
                     signature="cut short after: " + last_step)


def _startup_failure(meta, text) -> ParsedLog:
    location = SOURCE_LOCATION.search(text)
    message = text[:location.start()] if location else text
    source = _base_name(location.group("file")) if location else ""
    frames = (Frame(source, ""),) if source else ()
    signature = "StubException: %s%s" % (message, (" in " + source) if source else "")
    return ParsedLog(meta, STARTUP_FAILURE, "StubException", message, frames, signature,
                     ("Traceback", STUB_EXCEPTION + text))


def _stderr_lines(lines) -> list:
    """What the interpreter wrote to standard error, as the log holds it
    (the launcher's next line may be glued to the last one)."""
    for index, line in enumerate(lines):
        if line.endswith(STDERR_START):
            captured = []
            for text in lines[index + 1:]:
                if STUB_TAG in text:
                    head = text[:text.index(STUB_TAG)]
                    if head:
                        captured.append(head)
                    break
                captured.append(text)
            return captured
    return []


def _error(meta, stderr) -> ParsedLog:
    starts = [i for i, line in enumerate(stderr) if line.startswith(TRACEBACK_START)]
    if not starts:
        return ParsedLog(meta, ERROR, "error without traceback", "",
                         signature="error without traceback")
    block = stderr[starts[-1]:]
    raw_frames, exception_line, end = [], "", len(block)
    for position, line in enumerate(block[1:], 1):
        match = FRAME.fullmatch(line)
        if match:
            raw_frames.append((match.group("file"), match.group("function").strip()))
        elif line and not line[0].isspace():
            exception_line, end = line, position + 1
            break
    exception, message = _exception(exception_line)
    frames = tuple(Frame(_module(path), function) for path, function in raw_frames)
    signature = _signature(exception, frames)
    return ParsedLog(meta, ERROR, exception, message, frames, signature, tuple(block[:end]))


def _exception(line) -> tuple:
    match = EXCEPTION_LINE.fullmatch(line)
    if not match:
        return (line.strip() or "unknown exception"), ""
    message = match.group("message") or ""
    return match.group("type"), message.strip()


def _signature(exception, frames) -> str:
    own = [frame for frame in frames if _is_application_module(frame.module)]
    chosen = (own or list(frames))[-SIGNATURE_FRAMES:]
    return " < ".join([exception] + [str(frame) for frame in reversed(chosen)])


def _base_name(path: str) -> str:
    return re.split(r"[/\\]", path)[-1]


def _module(path: str) -> str:
    """The dotted module name of a source path, without the folders that
    differ from one machine or user to another."""
    if path.startswith("<"):
        return path
    relative = MODULE_ROOTS.sub("", path)
    if relative == path and ABSOLUTE_PATH.match(path):
        relative = _base_name(path)
    relative = re.sub(r"\.pyc?$", "", relative)
    parts = [part for part in re.split(r"[/\\]", relative) if part]
    if parts and parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts) or path


def _is_application_module(module: str) -> bool:
    if module.startswith("<"):
        return False
    return module.split(".")[0] not in sys.stdlib_module_names
