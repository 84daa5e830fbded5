"""Answers not yet written: kept beside an --output file until their lines are in it.

Records go to the output in input order, so an answer that comes while one
before it waits (held by the service, or slow) stays in memory. A run killed
then would lose answers the service was paid for. Each "ok" answer is
therefore appended, as it arrives, to ``OUTPUT.journal``; the next run with
``--resume`` moves those the output lacks into it before it reads what is
done. A run that ends with every line written removes the journal. It never
holds much more than the answers in memory: past twice that (and at least
COMPACT_AT lines) it is rewritten with only those not written yet.
"""

from __future__ import annotations

import contextlib
import os
import threading

from factsift.cli.output import Output, encode_record, final_key, journal_path
from factsift.records import Record

COMPACT_AT = 256


class Journal:
    """The journal of a run writing to the --output file `path`."""

    def __init__(self, path: str) -> None:
        self._path, self._lock = journal_path(path), threading.Lock()
        self._unwritten: dict[int, bytes] = {}  # id() of a record handed to answered(): its line
        self._lines = 0  # in the file
        self._fd: int | None = self._open(os.O_TRUNC)

    def _open(self, flags: int, path: str | None = None) -> int | None:
        try:
            return os.open(path or self._path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | flags, 0o666)
        except OSError:
            return None  # the run goes on without one

    def answered(self, record: Record, line_record: Record) -> None:
        """`record` has come, to be written later as `line_record` says (in a thread of the pool)."""
        if record.get("status") != "ok":
            return
        line, _ = encode_record(line_record)
        with self._lock:
            if self._fd is None:
                return
            self._unwritten[id(record)] = line
            self._write(line)
            if self._lines > max(COMPACT_AT, 2 * len(self._unwritten)):
                self._compact()

    def written(self, records: list[Record]) -> None:
        """These records' lines are in the output."""
        with self._lock:
            for record in records:
                self._unwritten.pop(id(record), None)

    def close(self, finished: bool) -> None:
        """The run is over; with every line written (`finished`), the journal goes."""
        with self._lock:
            if self._fd is not None:
                os.close(self._fd)
                self._fd = None
            if finished:
                with contextlib.suppress(OSError):
                    os.unlink(self._path)

    def _write(self, data: bytes) -> None:
        assert self._fd is not None
        try:
            os.write(self._fd, data)
            self._lines += data.count(b"\n")
        except OSError:
            os.close(self._fd)
            self._fd = None

    def _compact(self) -> None:
        """The journal rewritten with only the lines not yet in the output: a new file put in place."""
        temporary = f"{self._path}.{os.getpid()}.tmp"
        fd = self._open(os.O_TRUNC, temporary)
        if fd is None:
            return
        old, self._fd, self._lines = self._fd, fd, 0
        self._write(b"".join(self._unwritten.values()))
        try:
            os.replace(temporary, self._path)
        except OSError:
            pass  # the old journal holds these lines too
        if old is not None:
            os.close(old)


def recover(output: Output, path: str, key_field: str) -> int:
    """Moves the "ok" lines of the journal beside `path` that the output has none for into it (and
    into ``output.done``); returns how many."""
    name = journal_path(path)
    try:
        with open(name, "rb") as f:
            lines = f.read().splitlines(keepends=True)
    except FileNotFoundError:
        return 0
    moved = []
    for line in lines:
        final = final_key(line, key_field) if line.endswith(b"\n") else None
        if final is not None and not final[1] and final[0] not in output.done:
            output.done[final[0]] = False
            moved.append(line)
    output.write(b"".join(moved))
    os.unlink(name)
    return len(moved)
