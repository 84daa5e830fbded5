"""The requests of a run as batch input files: recorded from the module, numbered, split by the limits.

Each input is run through the method with the recording client in place;
the keyword arguments of its one ``chat.completions.create`` become the
``body`` of its line::

    {"custom_id": "n-17", "method": "POST", "url": "/v1/chat/completions", "body": {"model": ..., ...}}

An input's ``custom_id`` is its id where that is a short plain string
(letters, digits and ``_.:/-``, at most 64 characters), unique in its file
and not starting with ``factsift-``; any other (a number, a long or
non-ASCII name, a repeated id) is mapped to ``factsift-<part>-<index>``, and
the part's inputs file keeps the mapping. A file holds at most `batch_size`
requests and `max_bytes` bytes; its lines go to the file as they are made.
"""

from __future__ import annotations

import hashlib
import json
import re
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import IO, Any

from factsift.batchapi.state import Entry
from factsift.clients import Recorder
from factsift.records import describe, message

__all__ = ["BATCH_SIZE", "MAX_BYTES", "ENDPOINT", "Recorded", "PartFile", "encode_body", "digest", "record",
           "split", "InputsError", "key_text", "numbered"]

BATCH_SIZE = 50_000  # requests in one batch, the service's limit
MAX_BYTES = 200_000_000  # an input file's size, within the service's 200 MB
ENDPOINT = "/v1/chat/completions"
_PLAIN_ID = re.compile(r"[A-Za-z0-9_.:/-]{1,64}")
_MAPPED = "factsift-"
_ENCODE = json.JSONEncoder(ensure_ascii=False, allow_nan=False).encode


def encode_body(request: dict[str, Any]) -> bytes:
    """A request's body as it goes into the input file (lone surrogates as JSON escapes)."""
    return _ENCODE(request).encode("utf-8", "backslashreplace")


def digest(body: bytes) -> str:
    return hashlib.blake2b(body, digest_size=16).hexdigest()


class Recorded:
    """What one input gave: its body (None: no request), or why it cannot be sent."""

    __slots__ = ("key", "body", "problem")
    key: Any
    body: bytes | None
    problem: str | None

    def __init__(self, key: Any, body: bytes | None = None, problem: str | None = None) -> None:
        self.key, self.body, self.problem = key, body, problem


def record(recorder: Recorder, method: Callable[..., Any], key: Any, text: Any, prompt: Any,
           length: Any) -> Recorded:
    """Runs the method on one input with the recorder in place; its request, if it made one."""
    if isinstance(text, BaseException):  # an input that could not be read: nothing to send
        return Recorded(key)
    recorder.take()
    try:
        method(text, prompt, length)
    except Exception:  # the same happens when the records are made: no request
        pass
    requests = recorder.take()
    if not requests:
        return Recorded(key)
    if len(requests) > 1:
        return Recorded(key, problem="the method made more than one request for one input")
    try:
        return Recorded(key, encode_body(requests[0]))
    except Exception as exc:  # not JSON: it cannot go into a batch
        return Recorded(key, problem=f"the request cannot be written as JSON: {describe(exc)}")


class PartFile:
    """One part as it is recorded: its lines go to `sink` (its input file), its inputs to `entries`."""

    number: int
    sink: IO[bytes]
    entries: list[Entry]
    requests: int
    size: int  # bytes written

    def __init__(self, number: int, batch_size: int, max_bytes: int, sink: IO[bytes]) -> None:
        self.number, self._batch_size, self._max_bytes = number, batch_size, max_bytes
        self.sink = sink
        self.entries: list[Entry] = []
        self.requests = self.size = 0
        self._ids: set[str] = set()

    def fits(self, item: Recorded) -> bool:
        if item.body is None or not self.requests:
            return True
        size = _line_size(item.body)
        if size > self._max_bytes:  # too large for any file: add() keeps it out
            return True
        return self.requests < self._batch_size and self.size + size <= self._max_bytes

    def add(self, item: Recorded) -> None:
        if item.body is None:
            self.entries.append((item.key, None, None, item.problem))
            return
        size = _line_size(item.body)
        if size > self._max_bytes:
            problem = f"the request ({size} bytes) is larger than a batch input file may be ({self._max_bytes})"
            self.entries.append((item.key, None, None, problem))
            return
        custom_id = self._custom_id(item.key)
        line = _line(custom_id, item.body)
        self.sink.write(line)
        self.requests += 1
        self.size += len(line)
        self.entries.append((item.key, custom_id, digest(item.body), None))

    def _custom_id(self, key: Any) -> str:
        if (isinstance(key, str) and _PLAIN_ID.fullmatch(key) and not key.startswith(_MAPPED)
                and key not in self._ids):
            custom_id = key
        else:
            custom_id = f"{_MAPPED}{self.number}-{len(self.entries)}"
        self._ids.add(custom_id)
        return custom_id


_LINE_HEAD = b'{"custom_id": %s, "method": "POST", "url": "' + ENDPOINT.encode() + b'", "body": '
_LINE_OVERHEAD = len(_LINE_HEAD % b'""') + 2  # and the closing brace and line end, besides the id and body


def _line_size(body: bytes) -> int:
    return _LINE_OVERHEAD + 66 + len(body)  # the longest custom_id, quoted


def _line(custom_id: str, body: bytes) -> bytes:
    return _LINE_HEAD % json.dumps(custom_id).encode("ascii") + body + b"}\n"


def split(items: Iterator[Recorded], number: int, batch_size: int, max_bytes: int,
          sink: Callable[[int], IO[bytes]]) -> Generator[PartFile, None, None]:
    """The parts the recorded inputs fill, numbered from `number`, each writing to `sink(number)`;
    the last may hold only inputs without requests."""
    part = PartFile(number, batch_size, max_bytes, sink(number))
    try:
        for item in items:
            if not part.fits(item):
                yield part  # from here its sink is the caller's to close
                part = PartFile(part.number + 1, batch_size, max_bytes, sink(part.number + 1))
            part.add(item)
        if part.entries:
            yield part
        else:
            part.sink.close()
    except BaseException:
        part.sink.close()
        raise


class InputsError(Exception):
    """The inputs could not be read (their source, not one input): what was read is kept, the rest waits."""


def key_text(key: Any) -> str:
    """An input's id as the run compares ids: its JSON text."""
    return json.dumps(key)


def numbered(inputs: Iterable[Any]) -> Iterator[tuple[Any, Any]]:
    """(id, text) pairs: a plain text's id is its position, as in factsift.batch. An id None with
    an exception for its text says that the inputs themselves could not be read: InputsError."""
    for position, item in enumerate(inputs):
        key, text = item if isinstance(item, (tuple, list)) and len(item) == 2 else (position, item)
        if isinstance(key, bool) or not isinstance(key, (str, int)):
            if key is None and isinstance(text, BaseException):
                raise InputsError(message(text)) from text
            raise TypeError(f"the ids of a batch-interface run must be strings or whole numbers, not {key!r}")
        yield key, text
