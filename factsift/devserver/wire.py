"""How a request's bytes arrive: a reader with a deadline, and one way to frame a body."""

import io
import re
import socket
import time
from typing import List, Optional

__all__ = ["BodyError", "DeadlineReader", "body_length", "read_chunked"]

_DIGITS = re.compile(r"[0-9]{1,18}")
_CHUNK_SIZE = re.compile(rb"([0-9A-Fa-f]{1,15})[ \t]*(?:;[^\r\n]*)?\r?\n")
_MAX_LINE = 8192
_MAX_TRAILERS = 100
# How far past a deadline a read may wait rather than pay a system call to shorten it.
_SLACK = 0.05


class BodyError(Exception):
    """A body that cannot be framed one way only; the connection closes after the answer."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class DeadlineReader(io.RawIOBase):
    """A socket's reads, bounded in all by a deadline rather than per read.

    While the connection waits for a request the deadline is `idle` seconds away; the
    first bytes of a request move it to `whole` seconds after they came, so a client that
    trickles a byte at a time holds its thread no longer than that.
    """

    def __init__(self, sock: socket.socket, idle: float, whole: float) -> None:
        super().__init__()
        self._sock = sock
        self._idle, self._whole = idle, whole
        self._base = max(idle, whole)
        self._timeout = self._base
        sock.settimeout(self._base)
        self._deadline = 0.0
        self._waiting = True

    def readable(self) -> bool:
        return True

    def await_request(self) -> None:
        self._set_deadline(self._idle)
        self._waiting = True

    def _set_deadline(self, seconds: float) -> None:
        self._deadline = time.monotonic() + seconds
        if self._timeout != self._base:
            self._settimeout(self._base)

    def _settimeout(self, seconds: float) -> None:
        self._timeout = seconds
        self._sock.settimeout(seconds)

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        while True:
            remaining = self._deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("the request did not arrive in time")
            # The socket's own time-out (a system call to change) moves only near a deadline.
            if self._timeout - remaining > _SLACK:
                self._settimeout(remaining)
            try:
                count = self._sock.recv_into(buffer)
            except TimeoutError:
                continue
            if self._waiting and count:
                self._waiting = False
                self._set_deadline(self._whole)
            return count


def body_length(lengths: List[str], encodings: List[str]) -> Optional[int]:
    """The body's length from its headers; None for a chunked body.

    Raises BodyError for any framing two readers could understand two ways.
    """
    if encodings:
        if lengths:
            raise BodyError(400, "a request may not have both Content-Length and Transfer-Encoding")
        codings = [c.strip().lower() for value in encodings for c in value.split(",")]
        if codings != ["chunked"]:
            raise BodyError(501, f"Transfer-Encoding {', '.join(encodings)!r} is not supported")
        return None
    values = {value.strip() for value in lengths}
    if len(values) != 1 or not _DIGITS.fullmatch(next(iter(values))):
        raise BodyError(411, "a valid Content-Length is required")
    return int(values.pop())


def read_chunked(rfile: io.BufferedIOBase, limit: int) -> bytes:
    """A chunked body of at most `limit` bytes, trailers skipped."""
    parts = []
    total = 0
    while True:
        match = _CHUNK_SIZE.fullmatch(rfile.readline(_MAX_LINE))
        if not match:
            raise BodyError(400, "malformed chunked body: a bad chunk size line")
        size = int(match.group(1), 16)
        if size == 0:
            break
        total += size
        if total > limit:
            raise BodyError(413, f"request body exceeds the limit of {limit} bytes")
        parts.append(rfile.read(size))
        if len(parts[-1]) < size or rfile.readline(3) not in (b"\r\n", b"\n"):
            raise BodyError(400, "malformed chunked body: a chunk does not end where its size says")
    for _ in range(_MAX_TRAILERS):
        if rfile.readline(_MAX_LINE) in (b"\r\n", b"\n", b""):
            return b"".join(parts)
    raise BodyError(400, "malformed chunked body: too many trailer lines")
