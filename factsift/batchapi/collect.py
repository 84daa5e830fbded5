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
import json
from collections.abc import Callable, Iterable, Iterator
from typing import IO, Any

from factsift import batch, clients
from factsift.batchapi.run import BatchRun, key_text, numbered
from factsift.batchapi.service import Refused
from factsift.batchapi.split import digest, encode_body
from factsift.batchapi.state import Entry, Part, StateError, read_entries, write_atomically
from factsift.records import Record

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

    def __init__(self, method: Callable[..., Any], replayer: clients.Replayer) -> None:
        self._method, self._replayer = method, replayer

    def _call(self, item: Replay, prompt: Any, length: Any) -> Any:
        with self._replayer.expecting(item.expected) as expected:
            record = self._method(item.text, prompt, length)
        if expected.problem is not None:
            record = dict(record)
            record.setdefault("error", expected.problem)
        return record

    extract = refined_title = _call


class Results:
    """The replies of the ended parts' batches, read from their downloaded files by custom_id."""

    def __init__(self) -> None:
        self._files: list[IO[bytes]] = []
        self._where: dict[tuple[int, str], tuple[int, int]] = {}  # (part, custom_id): (file, offset)

    def add(self, part: int, path: str) -> None:
        try:
            f = open(path, "rb")
        except FileNotFoundError:
            return
        self._files.append(f)
        offset = 0
        for line in f:
            custom_id = _custom_id(line)
            if custom_id is not None:
                self._where.setdefault((part, custom_id), (len(self._files) - 1, offset))
            offset += len(line)

    def get(self, part: int, custom_id: str) -> dict[str, Any] | None:
        where = self._where.get((part, custom_id))
        if where is None:
            return None
        f = self._files[where[0]]
        f.seek(where[1])
        line = _parsed(f.readline())
        return line if isinstance(line, dict) else None

    def close(self) -> None:
        for f in self._files:
            f.close()


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
    """The part's output and error files, kept beside the state once read whole."""
    for file_id, suffix in ((part.output_file_id, ".output.jsonl"), (part.error_file_id, ".errors.jsonl")):
        if file_id is None:
            continue
        try:
            write_atomically(run.state.path(part.name + suffix), run.service.content(file_id))
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

    counts: batch.Counts

    def __init__(self, run: BatchRun, parts: list[Part], results: Results, stack: contextlib.ExitStack,
                 records: batch.Batch) -> None:
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
            skip: Callable[[Any], bool] | None = None) -> Records:
    """The records of every ended part not yet collected; `inputs` are the run's inputs again."""
    parts = [part for part in run.state.open_parts() if part.ended]
    for part in parts:
        if not part.downloaded:
            download(run, part)
    stack = contextlib.ExitStack()
    try:
        results = Results()
        stack.callback(results.close)
        for part in parts:
            for suffix in (".output.jsonl", ".errors.jsonl"):
                results.add(part.number, run.state.path(part.name + suffix))
        replayer = stack.enter_context(clients.replaying())
        target = _Replaying(getattr(run.target, run.method), replayer)
        items = _items(_pending(run, parts), inputs, results, skip or (lambda key: False))
        records = batch.run(target, items, method=run.method, jobs=1, prompt=run.prompt,
                            length=run.length, retries=0, id_key=id_key)
        stack.callback(records.close)
    except BaseException:
        stack.close()
        raise
    return Records(run, parts, results, stack, records)


Pending = dict[str, collections.deque[tuple[Part, Entry]]]


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


def _items(pending: Pending, inputs: Iterable[Any], results: Results,
           skip: Callable[[Any], bool]) -> Iterator[tuple[Any, Any]]:
    """(id, what stands in for the text) for each pending input, in input order; then those
    inputs that did not come again."""
    for key, text in numbered(inputs):
        waiting = pending.get(key_text(key))
        if waiting:
            part, entry = waiting.popleft()
            yield key, expected(part, entry, text, results)
    for waiting in pending.values():
        for part, entry in waiting:
            if not skip(entry[0]):
                yield entry[0], LineError("the input was not among the inputs when the results came")
