"""An HTTP/1.1 reply parsed from the bytes a connection reads.

The parser only consumes bytes, so the blocking client (a socket) and the
asyncio client (a stream) feed it alike. A reply the peer frames wrongly
raises ``ProtocolError``.
"""

from __future__ import annotations

import itertools
import re

from ._http import REDIRECT_METHODS

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Callable, Iterable

MAX_HEAD_BYTES = 64 * 1024  # status line and headers
_LINE_END = re.compile(rb"\r?\n")
_STATUS_LINE = re.compile(r"HTTP/(1\.[01]) ([0-9]{3})(?: (.*))?")
_DIGITS = re.compile(r"[0-9]+")
_HEX = re.compile(rb"[0-9A-Fa-f]+")


class ProtocolError(Exception):
    """The peer's bytes are not an HTTP/1.1 reply we can read."""


class Reply:
    """A whole reply: `body` is None when it is longer than the parser's limit."""

    __slots__ = ("status", "headers", "body", "reusable", "version", "reason")

    def __init__(self, status: int, headers: dict[str, str], body: bytes | None, reusable: bool,
                 version: str = "1.1", reason: str = "") -> None:
        self.status, self.headers, self.body, self.reusable = status, headers, body, reusable
        self.version, self.reason = version, reason


class ReplyParser:
    """Reads one reply from the bytes given to feed(); b"" is the end of the stream.

    The body is None when it is longer than `limit` (then reading stops at
    once), before or after undoing its Content-Encoding. A redirect with a
    Location is done after its head: its body is never taken as the reply.
    `has_head` tells when the status and headers are known, `done` when the
    reply is complete; reply() gives it. Header names are in lower case.
    """

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.done = False
        self.status = 0
        self.headers: dict[str, str] = {}
        self.version = self.reason = ""
        self._buffer = bytearray()
        self._step: Callable[[], bool] | None = self._head
        self._body, self._too_big, self._left = bytearray(), False, 0
        self._scanned = 0  # bytes of the buffer already searched for the end of the head or a line
        self._keep_alive = False

    @property
    def has_head(self) -> bool:
        return self.status != 0

    def feed(self, data: bytes) -> None:
        if not data:
            return self._end()
        self._buffer += data
        while not self.done and self._step is not None and self._step():
            pass

    def reply(self) -> Reply:
        body = None if self._too_big else bytes(self._body)
        encodings = self.headers.get("content-encoding")
        if encodings and body:
            body = decode(body, encodings, self.limit)
        reusable = self._keep_alive and not self._buffer
        return Reply(self.status, self.headers, body, reusable, self.version, self.reason)

    def _end(self) -> None:
        if self._step == self._until_close:
            self.done = True
        elif self._step == self._head and not self._buffer:
            raise ProtocolError("the server closed the connection without answering")
        else:
            raise ProtocolError("the server closed the connection in the middle of its reply")

    def _head(self) -> bool:
        # The first blank line, whatever its line endings: LF LF, or LF CR LF (of CRLF CRLF).
        buffer, begin = self._buffer, max(0, self._scanned - 2)
        lf, crlf = buffer.find(b"\n\n", begin), buffer.find(b"\n\r\n", begin)
        if lf < 0 and crlf < 0:
            if len(buffer) > MAX_HEAD_BYTES:
                raise ProtocolError(f"reply head longer than {MAX_HEAD_BYTES} bytes")
            self._scanned = len(buffer)
            return False
        start, end = (lf, lf + 2) if crlf < 0 or 0 <= lf < crlf else (crlf, crlf + 3)
        lines = buffer[:start].decode("latin-1").split("\n")  # header values drop the \r
        self._drop(end)
        match = _STATUS_LINE.fullmatch(lines[0].rstrip("\r"))
        if match is None:
            raise ProtocolError(f"malformed status line {lines[0][:100]!r}")
        status = int(match[2])
        if 100 <= status < 200:  # an interim reply (100 Continue): the real one follows
            if status == 101:
                raise ProtocolError("the server switched protocols")
            return True
        self.headers = _parse_headers(lines, 1)
        self.status, self.version, self.reason = status, match[1], match[3] or ""
        self._keep_alive = match[1] == "1.1" and "close" not in _tokens(self.headers.get("connection"))
        self._step = self._framing()
        if self._step is None:
            self.done = True
        return True

    def _framing(self) -> Callable[[], bool] | None:
        """The step that reads the body; None when there is none to read."""
        headers = self.headers
        if self.status in REDIRECT_METHODS and "location" in headers:
            self._keep_alive = False
            return None
        if self.status in (204, 304):
            return None
        if "transfer-encoding" in headers:
            if _tokens(headers["transfer-encoding"])[-1:] != ["chunked"]:
                self._keep_alive = False
                return self._until_close
            return self._chunk_size
        length = headers.get("content-length")
        if length is None:
            self._keep_alive = False
            return self._until_close
        values = {v.strip() for v in length.split(",")}  # a repeated header is joined with commas
        if len(values) != 1 or not _DIGITS.fullmatch(next(iter(values))):
            raise ProtocolError(f"malformed Content-Length {length!r}")
        digits = values.pop().lstrip("0") or "0"
        if len(digits) > 18:  # more than int() converts (4300 digits), and than any bound
            self._too_long()
            return None
        self._left = int(digits)
        if self._left > self.limit:
            self._too_long()
            return None
        return self._length if self._left else None

    def _too_long(self) -> None:
        self._too_big = True
        self._keep_alive = False
        self.done = True

    def _take(self, count: int) -> None:
        self._body += self._buffer[:count]
        self._drop(count)

    def _length(self) -> bool:
        if len(self._buffer) < self._left:
            return False
        self._take(self._left)
        self.done = True
        return False

    def _until_close(self) -> bool:
        if self._buffer:
            self._take(len(self._buffer))
        if len(self._body) > self.limit:
            self._too_long()
        return False

    def _search(self, pattern: re.Pattern[bytes]) -> re.Match[bytes] | None:
        """The pattern's first match, searching only what the last search did not (less 3 bytes:
        a match split between two reads), so a reply that trickles in costs linear time."""
        found = pattern.search(self._buffer, max(0, self._scanned - 3))
        if found is None:
            self._scanned = len(self._buffer)
        return found

    def _drop(self, count: int) -> None:
        del self._buffer[:count]
        self._scanned = 0

    def _line(self) -> bytes | None:
        end = self._search(_LINE_END)
        if end is None:
            if len(self._buffer) > MAX_HEAD_BYTES:
                raise ProtocolError("chunk line too long")
            return None
        line = bytes(self._buffer[:end.start()])
        self._drop(end.end())
        return line

    def _chunk_size(self) -> bool:
        line = self._line()
        if line is None:
            return False
        digits = line.split(b";", 1)[0].strip()
        if not _HEX.fullmatch(digits):
            raise ProtocolError(f"malformed chunk size {line[:100]!r}")
        self._left = int(digits, 16)
        if len(self._body) + self._left > self.limit:
            self._too_long()
            return False
        self._step = self._chunk_data if self._left else self._trailer
        return True

    def _chunk_data(self) -> bool:
        if len(self._buffer) < self._left:
            return False
        self._take(self._left)
        self._left = 0
        self._step = self._chunk_end
        return True

    def _chunk_end(self) -> bool:
        line = self._line()
        if line is None:
            return False
        if line:
            raise ProtocolError("chunk data longer than its size")
        self._step = self._chunk_size
        return True

    def _trailer(self) -> bool:
        line = self._line()
        if line is None:
            return False
        if not line:
            self.done = True
        return True


def _parse_headers(lines: Iterable[str], start: int) -> dict[str, str]:
    headers: dict[str, str] = {}
    name = None
    for line in itertools.islice(lines, start, None):
        if line[:1] in (" ", "\t") and name is not None:  # a folded continuation line
            headers[name] += " " + line.strip()
            continue
        raw, sep, value = line.partition(":")
        if not sep or not raw or raw != raw.strip():
            raise ProtocolError(f"malformed header line {line[:100]!r}")
        name = raw.lower()
        value = value.strip()
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    return headers


def _tokens(value: str | None) -> list[str]:
    return [t.strip().lower() for t in value.split(",")] if value else []


def decode(body: bytes, encodings: str, limit: int) -> bytes | None:
    """`body` with its Content-Encoding undone, the last coding first, as httpx does: gzip,
    deflate (with or without its zlib wrapper) and, where Python has it, zstd; a coding it
    does not know is left as it is. None when the result is longer than `limit`."""
    import zlib  # only for a compressed reply: loading it costs more than a request

    result: bytes | None = body
    for coding in reversed(_tokens(encodings)):
        data = result
        if data is None:
            break
        if coding == "gzip":
            result = _inflate(data, limit, 16 + zlib.MAX_WBITS)
        elif coding == "deflate":
            try:
                result = _inflate(data, limit, zlib.MAX_WBITS)
            except ProtocolError:
                result = _inflate(data, limit, -zlib.MAX_WBITS)
        elif coding == "zstd":
            result = _unzstd(data, limit)
    return result


def _inflate(data: bytes, limit: int, wbits: int) -> bytes | None:
    import zlib

    try:
        out = zlib.decompressobj(wbits).decompress(data, limit + 1)
    except zlib.error as exc:
        raise ProtocolError(f"cannot decode the reply's content: {exc}") from None
    return out if len(out) <= limit else None


def _unzstd(data: bytes, limit: int) -> bytes | None:
    try:
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]  # 3.14 and later
    except ImportError:
        return data
    try:
        out: bytes = zstd.ZstdDecompressor().decompress(data, limit + 1)
    except zstd.ZstdError as exc:
        raise ProtocolError(f"cannot decode the reply's content: {exc}") from None
    return out if len(out) <= limit else None
