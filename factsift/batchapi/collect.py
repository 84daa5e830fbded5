"""The records of a run's ended batches: their files downloaded, each input's reply replayed.

Each input of an ended part is run through the method once more, with the
replaying client in place: it checks that the module asks for what was
recorded and hands back the batch's reply, so the record is the module's
own, with ``id`` and ``usage``, exactly as an online run makes it (through
factsift.batch, in input order). An input whose request got no reply (its
line failed without one, the batch expired or was cancelled first, was
rejected, or could not be sent) gets an "error" record saying why.
"""

from __future__ import annotations

import collections
import contextlib
import functools
import json
import re
from collections.abc import Callable, Container, Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any

from factsift import clients, online, repeats
from factsift.batchapi.split import digest, encode_body, key_text, numbered
from factsift.batchapi.state import Entry, Part, StateError, read_entries, write_atomically
from factsift.clients import Refused
from factsift.records import Record

if TYPE_CHECKING:
    from factsift.batchapi.run import BatchRun
    from factsift.repeats import Answers

__all__ = ["LineError", "Records", "collect"]


class LineError(Exception):
    """In place of an input's text: its request got no reply; the message says why."""


class Replay:
    """An input's text and what its call may ask and gets."""

    __slots__ = ("text", "expected")
    text: Any
    expected: clients.Expected

    def __init__(self, text: Any, expected: clients.Expected) -> None:
        self.text, self.expected = text, expected


class _Replaying:
    """Stands in for the instance: runs its method with the input's reply expected."""

    def __init__(self, method: Callable[..., Any], replayer: clients.Replayer, model_id: Any) -> None:
        self._method, self._replayer = method, replayer
        self.model_id = model_id  # the run's, which repeats are told by

    def _call(self, item: Replay, prompt: Any, length: Any) -> Any:
        with self._replayer.expecting(item.expected) as expected:
            record = self._method(item.text, prompt, length)
        if expected.problem is not None:
            record = dict(record)
            record.setdefault("error", expected.problem)
        return record

    extract = refined_title = _call


class Results:
    """The replies of the ended parts' batches, read from their downloaded files by custom_id.

    The files are read a line at a time and only the place of each awaited
    reply is kept, so memory stays bounded whatever their size; a line longer
    than MAX_LINE is never read whole, and its input gets an "error" record.
    """

    def __init__(self, known: set[tuple[int, str]] | None = None) -> None:
        self._known = known  # the (part, custom_id) of the inputs waiting; None: any
        self._files: list[IO[bytes]] = []
        # (part, custom_id): (file, offset, the line's length where it is too long, else 0)
        self._where: dict[tuple[int, str], tuple[int, int, int]] = {}

    def add(self, part: int, path: str) -> None:
        try:
            f = open(path, "rb")
        except FileNotFoundError:
            return
        self._files.append(f)
        for offset, line, length in _lines(f):
            custom_id = _custom_id(line) if length <= MAX_LINE else _head_id(line)
            key = None if custom_id is None else (part, custom_id)
            if key is not None and (self._known is None or key in self._known):
                self._where.setdefault(key, (len(self._files) - 1, offset, 0 if length <= MAX_LINE else length))

    def get(self, part: int, custom_id: str) -> dict[str, Any] | str | None:
        """The input's result line; why it cannot be read (it is too long); None: there is none."""
        where = self._where.get((part, custom_id))
        if where is None:
            return None
        index, offset, too_long = where
        if too_long:
            return f"the batch's result line for this input is {too_long} bytes, more than a line may be ({MAX_LINE})"
        f = self._files[index]
        f.seek(offset)
        line = _parsed(f.readline(MAX_LINE + 1))
        return line if isinstance(line, dict) else None

    def close(self) -> None:
        for f in self._files:
            f.close()


MAX_LINE = 32 * 1024 * 1024  # bytes of one result line, its end included (a reply is far smaller)
_HEAD = 4096  # bytes at the start of a line too long that are searched for its custom_id
# A result line's custom_id, first or after the line's id, as the service writes them.
_HEAD_ID = re.compile(rb'\s*\{\s*(?:"id"\s*:\s*"[^"\\]*"\s*,\s*)?"custom_id"\s*:\s*("(?:[^"\\]|\\.)*")')


def _lines(f: IO[bytes]) -> Iterator[tuple[int, bytes, int]]:
    """(offset, line, length) of each line of `f`; of a line longer than MAX_LINE only its head."""
    offset = 0
    while line := f.readline(MAX_LINE + 1):
        length = len(line)
        if length > MAX_LINE:
            ended = line.endswith(b"\n")
            line = line[:_HEAD]
            while not ended and (rest := f.readline(1 << 20)):
                length += len(rest)
                ended = rest.endswith(b"\n")
        yield offset, line, length
        offset += length


def _head_id(head: bytes) -> str | None:
    found = _HEAD_ID.match(head)
    custom_id = _parsed(found.group(1)) if found else None
    return custom_id if isinstance(custom_id, str) else None


def _parsed(line: bytes) -> Any:
    try:
        return json.loads(line)
    except (ValueError, RecursionError):
        return None


def _custom_id(line: bytes) -> str | None:
    row = _parsed(line)
    custom_id = row.get("custom_id") if isinstance(row, dict) else None
    return custom_id if isinstance(custom_id, str) else None


def download(run: BatchRun, part: Part) -> None:
    """The part's output and error files, kept beside the state once downloaded whole."""
    for file_id, suffix in ((part.output_file_id, ".output.jsonl"), (part.error_file_id, ".errors.jsonl")):
        if file_id is None:
            continue
        try:
            run.service.download(file_id, functools.partial(write_atomically, run.state.path(part.name + suffix)))
        except Refused as exc:
            if exc.status != 404:
                raise
            part.problem = f"the batch's results are no longer at the service: {exc}"  # sent again later
    part.downloaded = True
    run.state.save()


def expected(part: Part, entry: Entry, text: Any, results: Results) -> Any:
    """What stands in for an input's text in the records' run: a Replay, or why there is no reply."""
    key, custom_id, recorded, problem = entry
    if isinstance(text, BaseException):  # cannot be read now: its record says why
        return text
    if problem is not None:
        return LineError(problem)
    if custom_id is None or recorded is None:
        return Replay(text, clients.Expected(None))  # the method made no request for it
    line = results.get(part.number, custom_id)
    if part.problem is not None and line is None:
        return LineError(part.problem)
    if line is None:
        return LineError(f"the batch ended ({part.status}) without a result for this input")
    if isinstance(line, str):
        return LineError(line)
    response, error = line.get("response"), line.get("error")
    status = response.get("status_code") if isinstance(response, dict) else None
    if not isinstance(status, int) or isinstance(status, bool):
        return LineError(_line_error(error))
    return Replay(text, clients.Expected(lambda request: digest(encode_body(request)) == recorded,
                                         status, response.get("body")))  # type: ignore[union-attr]


def _line_error(error: Any) -> str:
    if isinstance(error, dict):
        return f"the batch gave no reply: {error.get('code')}: {error.get('message')}"
    return "the batch gave no reply for this input"


class Records:
    """The records of the ended parts, in input order, as factsift.batch hands them out.

    When the last has been handed out, the parts are collected: their files go,
    here and at the service, and the run's state with the last part.
    """

    counts: online.Counts

    def __init__(self, run: BatchRun, parts: list[Part], results: Results, stack: contextlib.ExitStack,
                 records: online.OnlineRun) -> None:
        self._run, self._parts, self._results, self._stack = run, parts, results, stack
        self._records = records
        self.counts = records.counts

    def __iter__(self) -> Iterator[Record]:
        return self

    def __next__(self) -> Record:
        try:
            return next(self._records)
        except StopIteration:
            self.close()
            self._collected()
            raise

    def ready(self) -> bool:
        return self._records.ready()

    def close(self) -> None:
        self._records.close()
        self._stack.close()

    def __enter__(self) -> Records:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _collected(self) -> None:
        state, parts = self._run.state, self._parts
        self._parts = []
        if parts:
            for part in parts:
                part.collected = True
            state.save()
        self._run.finish()


def collect(run: BatchRun, inputs: Iterable[Any], id_key: str = "id",
            skip: Callable[[Any], bool] | None = None, earlier: Answers | None = None) -> Records:
    """The records of every ended part not yet collected; `inputs` are the run's inputs again."""
    parts = [part for part in run.state.open_parts() if part.ended]
    for part in parts:
        if not part.downloaded:
            download(run, part)
    pending = _pending(run, parts)
    stack = contextlib.ExitStack()
    try:
        results = Results({(part.number, entry[1]) for waiting in pending.values() for part, entry in waiting
                           if entry[1] is not None})
        stack.callback(results.close)
        for part in parts:
            for suffix in (".output.jsonl", ".errors.jsonl"):
                results.add(part.number, run.state.path(part.name + suffix))
        replayer = stack.enter_context(clients.replaying())
        target = _Replaying(getattr(run.target, run.method), replayer, run.target.model_id)
        shared = repeats.settings(run.method, run.target.model_id, run.prompt, run.length)
        items = _items(pending, inputs, results, skip or (lambda key: False), shared, earlier or ())
        records = online.run(target, items, method=run.method, jobs=1, prompt=run.prompt, length=run.length,
                            retries=0, id_key=id_key, text_of=_text_of, earlier=earlier)
        stack.callback(records.close)
    except BaseException:
        stack.close()
        raise
    return Records(run, parts, results, stack, records)


Pending = dict[str, collections.deque[tuple[Part, Entry]]]


class Repeat(Replay):
    """An input not sent, as its request repeats that of an input before it."""

    __slots__ = ()


def _text_of(item: Any) -> tuple[Any, bool]:
    """The text of a replayed input, as repeats are told by, and whether it is one."""
    return (item.text, isinstance(item, Repeat)) if isinstance(item, Replay) else (item, False)


def _pending(run: BatchRun, parts: list[Part]) -> Pending:
    """The inputs of `parts` by id, each id's in input order."""
    pending: Pending = {}
    for part in parts:
        path = run.entries_path(part)
        try:
            for entry in read_entries(path):
                pending.setdefault(key_text(entry[0]), collections.deque()).append((part, entry))
        except (OSError, ValueError, TypeError) as exc:
            raise StateError(f"cannot read {path}: {exc}") from None
    return pending


def _items(pending: Pending, inputs: Iterable[Any], results: Results, skip: Callable[[Any], bool],
           shared: bytes | None, earlier: Container[bytes]) -> Iterator[tuple[Any, Any]]:
    """(id, what stands in for the text) for each pending input, in input order, and for each
    input not sent as a repeat of one of them (its record shares that one's); then those inputs
    that did not come again."""
    firsts: set[bytes] = set()
    for key, text in numbered(inputs):
        waiting = pending.get(key_text(key))
        digest = repeats.digest(shared, text) if shared is not None and type(text) is str else None
        if waiting:
            part, entry = waiting.popleft()
            if digest is not None:
                firsts.add(digest)
            yield key, expected(part, entry, text, results)
        elif digest is not None and (digest in firsts or digest in earlier) and not skip(key):
            yield key, Repeat(text, clients.Expected(None))  # never asked for: the first's record is shared
    for waiting in pending.values():
        for part, entry in waiting:
            if not skip(entry[0]):
                yield entry[0], LineError("the input was not among the inputs when the results came")
