"""What every run of the command line does with its records: writes them whole, counts what went
out, says what is left to do and ends with the exit status that says it."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator

from factsift.cli.args import EXIT_FAILED, EXIT_OK, EXIT_UNUSABLE, EXIT_USAGE, LINES_PER_WRITE
from factsift.cli.inputs import Inputs
from factsift.cli.output import Output, Refused, WriteError, encode_record
from factsift.cli.progress import LineGuard, Progress
from factsift.online import Counts
from factsift.records import Record

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Protocol

    class Records(Protocol):
        """Records in input order, and whether the next one is ready without a wait."""

        def __iter__(self) -> Iterator[Record]: ...

        def ready(self) -> bool: ...


__all__ = ["with_output", "write_records", "verdict", "exit_status"]

_NOTHING = contextlib.nullcontext()


def with_output(name: str | None, open_output: Callable[[], Output], run: Callable[[Output], int]) -> int:
    """`run(output)` with the output `open_output()` opens (the file `name`, None: standard output),
    closed after it; an output refused (exit 2) or that cannot be opened (1) says why instead."""
    try:
        output = open_output()
    except Refused as exc:
        print(f"factsift: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as exc:
        print(f"factsift: cannot write to {name}: {exc}", file=sys.stderr)
        return EXIT_FAILED
    try:
        return run(output)
    finally:
        output.close()


def write_records(records: Records, output: Output, written: Counts, guard: LineGuard,
                  progress: Progress | None = None,
                  handed: Callable[[list[Record]], None] | None = None) -> BaseException | None:
    """Writes every record, each line whole, counting in `written` what went out as it went out and
    telling `handed` the records written; returns what ended the run early (KeyboardInterrupt, a
    WriteError).

    Lines go out in writes of up to LINES_PER_WRITE, and always before the next
    record is asked for when none is ready, so a record is written before what
    comes after it (a batch counted as collected) happens.
    """
    lines: list[bytes] = []
    records_of: list[Record] = []  # as handed out, not yet written
    counted: list[Record] = []  # as encoded
    paused = progress.paused if progress is not None and output.terminal else None

    def write() -> WriteError | None:
        with guard, paused() if paused is not None else _NOTHING:
            try:
                output.write(b"".join(lines))
            except WriteError as exc:  # the pending requests are cancelled as the run closes
                _count(written, counted[:exc.lines])
                return exc
            _count(written, counted)
            if handed is not None:
                handed(records_of)
            if progress is not None and progress.live:
                progress.advance(len(lines), sum(r.get("status") != "ok" for r in counted))
        for done in (lines, records_of, counted):
            done.clear()
        return None

    try:
        for record in records:
            line, status = encode_record(record)
            lines.append(line)
            records_of.append(record)
            counted.append(record if status == record.get("status") else {"status": status})
            if records.ready() and len(lines) < LINES_PER_WRITE:
                continue  # the next line is done too: one write for both
            failed = write()
            if failed is not None:
                return failed
        # What looked ready may have been an input the budget left unsent: no line came after.
        return write() if lines else None
    except KeyboardInterrupt as exc:
        return exc


def _count(written: Counts, records: list[Record]) -> None:
    for record in records:
        written.add(record, 0)


def verdict(written: Counts, inputs: Inputs, again: str) -> str:
    """The end of a summary line: what another run (`again`, what to type) may still do."""
    retryable = written.error - written.unusable
    unusable = written.unusable + inputs.skipped_unusable
    if retryable:
        return f"; {retryable} error{'s' * (retryable > 1)} may pass on another run: {again}"
    if unusable:
        return f"; done, with {unusable} unusable input{'s' * (unusable > 1)}"
    return ""


def exit_status(written: Counts, inputs: Inputs) -> int:
    """The status of a run that wrote every record: failed, done with unusable inputs, or done."""
    if written.error > written.unusable:
        return EXIT_FAILED
    return EXIT_UNUSABLE if written.unusable or inputs.skipped_unusable else EXIT_OK
