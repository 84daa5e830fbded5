"""The command line's runs through the service's batch interface: --batch-api and --cancel-batches.

The run's state lives in ``OUTPUT.batches`` beside ``--output``
(factsift.batchapi.state). Imported only when one of those options is given,
or when that folder exists: an online run must not send again what a batch
run has sent and not yet collected.
"""

from __future__ import annotations

import contextlib
import os
import sys
import time
from typing import Any, TextIO

from factsift import batchapi, online
from factsift.batchapi.state import pending as batch_pending
from factsift.cli.args import (BATCH_STATE, EXIT_BUDGET, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE,
                               Options, request_index)
from factsift.cli.inputs import Inputs, id_text
from factsift.cli.output import Answered, Output, WriteError, encode_record, file_output, isatty
from factsift.cli.progress import LineGuard
from factsift.cli.writing import exit_status, verdict, with_output, write_records
from factsift.records import error_record

__all__ = ["main", "usage"]


def main(args: Options, target: Any) -> int | None:
    """Runs (or cancels) the batch-interface run of --output; returns the exit status.

    For an online run beside the state of a batch run that has nothing left to
    collect (a run killed while it deleted its files): deletes what it left, and
    None: the online run goes on.
    """
    folder = args.output + BATCH_STATE if args.output is not None else ""
    problem = usage(args)
    if problem:
        print(f"factsift: {problem}", file=sys.stderr)
        return EXIT_USAGE
    if isinstance(target, online.Summarizer):
        target = target.make()
    if not (args.batch_api or args.cancel_batches):
        _settle(args, target, folder)
        return None
    return with_output(args.output, lambda: file_output(
        args.output_file(), args.resume or args.cancel_batches, args.key_field,
        [args.jsonl] if args.jsonl is not None else args.files, request_index(args)),
        lambda output: _run(args, target, output, folder))


def usage(args: Options) -> str | None:
    """Why the run cannot go as asked beside the state of --output's batch run (exit 2), or None."""
    if args.output is None:
        return "--batch-api writes the results to an --output FILE: give one"
    folder = args.output + BATCH_STATE
    started = os.path.exists(os.path.join(folder, "state.json"))
    pending = started and batch_pending(folder)
    if not (args.batch_api or args.cancel_batches):
        if pending:
            return (f"{folder} holds the batches of a --batch-api run not yet collected: collect them "
                    f"with --batch-api --resume (or cancel them with --cancel-batches) before an online run")
        return None
    if "-" in args.files or args.jsonl == "-":
        return "--batch-api reads the inputs again when the results come: give files, not standard input"
    if args.cancel_batches and not started:
        return f"there are no batches to cancel: {folder} holds no batch-interface run"
    if pending and not (args.resume or args.cancel_batches):
        return (f"{folder} holds the batches of an earlier run: pass --resume to collect them "
                f"(and send what they lack), or --cancel-batches")
    return None


def _run(args: Options, target: Any, output: Output, folder: str) -> int:
    started = time.monotonic()
    waiting = Waiting(sys.stderr, args.progress)
    method = args.method
    try:
        run = _open(args, target, output, folder, method)
    except batchapi.InputsError as exc:
        return _unreadable(args, output, folder, method, exc)
    except batchapi.StateError as exc:
        print(f"factsift: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except (batchapi.ServiceError, batchapi.Refused, OSError) as exc:
        print(f"factsift: {exc}; {_kept(folder)}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"factsift: interrupted; {_kept(folder)}", file=sys.stderr)
        return EXIT_INTERRUPTED
    with run:
        return _follow(args, run, output, waiting, started)


def _kept(folder: str) -> str:
    if os.path.exists(os.path.join(folder, "state.json")):
        return f"what was sent is kept in {folder}: run again with --resume"
    return "nothing was sent"


def _settle(args: Options, target: Any, folder: str) -> None:
    """Deletes what a batch run with nothing left to collect left, here and at the service."""
    try:
        with batchapi.resume(folder, target, method=args.method, retries=args.max_retries,
                             timeout=args.timeout) as run:
            if run.finish():
                return
        problem = "the service did not delete them now"
    except (batchapi.StateError, batchapi.ServiceError, batchapi.Refused, OSError) as exc:
        problem = str(exc)
    print(f"factsift: the files of an earlier --batch-api run of {args.output} are left at the service "
          f"({problem}); a later run deletes them", file=sys.stderr)


def _unreadable(args: Options, output: Output, folder: str, method: str,
                exc: batchapi.InputsError) -> int:
    """The inputs could not be read: with nothing sent, the error record an online run writes."""
    if os.path.exists(os.path.join(folder, "state.json")):
        print(f"factsift: {exc}; {_kept(folder)}", file=sys.stderr)
        return EXIT_FAILED
    record = error_record(method, str(exc))
    record[args.key_field] = None
    try:
        output.write(encode_record(record)[0])
    except WriteError as error:
        print(f"factsift: cannot write to {args.output}: {error.error}", file=sys.stderr)
        return EXIT_FAILED
    print(f"factsift: {exc}; nothing was sent", file=sys.stderr)
    return EXIT_FAILED


def _open(args: Options, target: Any, output: Output, folder: str, method: str) -> batchapi.BatchRun:
    if args.cancel_batches:
        run = batchapi.resume(folder, target, method=method, retries=args.max_retries, timeout=args.timeout)
        try:
            run.cancel()
        except BaseException:
            run.close()
            raise
        return run
    return batchapi.submit(target, Inputs(args, output.done), folder, method=method, prompt=args.prompt,
                           length=args.length, batch_size=args.batch_size, retries=args.max_retries,
                           timeout=args.timeout, price=args.price, max_cost=args.max_cost,
                           repeats=not args.send_repeats, earlier=Answered.of(output, args.key_field))


def _follow(args: Options, run: batchapi.BatchRun, output: Output, waiting: Waiting,
            started: float) -> int:
    waiting.sent(run)
    try:
        run.wait(args.poll, waiting)
    except KeyboardInterrupt:
        waiting.stop()
        open_parts = sum(not part.ended for part in run.parts)
        print(f"factsift: stopped waiting; {_batches(open_parts)} still running at the service. Collect "
              f"the results with the same command and --resume (or cancel with --cancel-batches)",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    except (batchapi.ServiceError, batchapi.Refused) as exc:
        waiting.stop()
        print(f"factsift: {exc}; run again with --resume", file=sys.stderr)
        return EXIT_FAILED
    waiting.stop()
    try:
        return _collect(args, run, output, started)
    except batchapi.InputsError as exc:
        print(f"factsift: {exc}: the inputs are read again to make their records; what the batches "
              f"answered is kept in {args.output_file() + BATCH_STATE}: run again with --resume when they can be read",
              file=sys.stderr)
        return EXIT_FAILED
    except (batchapi.ServiceError, batchapi.Refused, batchapi.StateError, OSError) as exc:
        print(f"factsift: cannot read the results: {exc}; run again with --resume", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("factsift: interrupted while reading the results; run again with --resume", file=sys.stderr)
        return EXIT_INTERRUPTED


def _collect(args: Options, run: batchapi.BatchRun, output: Output, started: float) -> int:
    if args.jsonl is None:
        def done(key: Any) -> bool:
            return key in output.done
    else:
        def done(key: Any) -> bool:
            return id_text(key) in output.done
    inputs = Inputs(args, output.done)
    parts = sum(1 for part in run.parts if not part.collected)
    price = args.price  # the service charges a batch half its price online
    written = online.Counts(price=None if price is None else tuple(each / 2 for each in price))
    earlier = Answered.of(output, args.key_field)
    with run.records(inputs, id_key=args.key_field, skip=done, earlier=earlier) as records:
        guard = LineGuard()
        guard.install()
        try:
            ending = write_records(records, output, written, guard)
        finally:
            guard.restore()
    if isinstance(ending, KeyboardInterrupt):
        print(f"factsift: interrupted; {written.ok + written.error} results written; run again with "
              f"--resume for the rest", file=sys.stderr)
        return EXIT_INTERRUPTED
    if isinstance(ending, WriteError):
        print(f"factsift: cannot write to {args.output} after {written.ok + written.error} results: "
              f"{ending.error}; run again with --resume", file=sys.stderr)
        return EXIT_FAILED
    if args.progress:
        print(_summary(written, inputs, parts, time.monotonic() - started), file=sys.stderr)
    if run.unsent is not None:
        print(f"factsift: stopped at the budget: {run.unsent} input{'s' * (run.unsent != 1)} left unsent, "
              f"their most at the batch price past --max-cost {args.max_cost:g} (run again with --resume "
              f"and a new or raised --max-cost)", file=sys.stderr)
        return EXIT_BUDGET
    return exit_status(written, inputs)


def _summary(written: online.Counts, inputs: Inputs, parts: int, seconds: float) -> str:
    line = (f"factsift: {written.ok} ok, {written.error} error, {inputs.skipped} skipped in {seconds:.1f} s "
            f"through {_batches(parts)}, {written.tokens_text()}")
    if written.cost is not None:
        line += f", cost {written.cost:.6g} at the batch price (half of --price)"
    if written.repeats:
        line += f", {written.repeats} repeat{'s' * (written.repeats > 1)} not sent"
    return line + verdict(written, inputs, "run again with --resume")


def _batches(count: int) -> str:
    return f"{count} batch{'es' * (count != 1)}"


class Waiting:
    """What the run says while its batches run: a line whenever their state changes (redrawn on a
    terminal), from the batches' request counts."""

    def __init__(self, stream: TextIO, show: bool) -> None:
        self._stream, self._show = stream, show
        self._live = show and isatty(stream)
        self._last: str | None = None

    def sent(self, run: batchapi.BatchRun) -> None:
        open_parts = [part for part in run.parts if not part.collected]
        requests = sum(part.requests for part in open_parts)
        if open_parts and any(not part.ended for part in open_parts):
            self._write(f"factsift: {requests} requests in {_batches(len(open_parts))} at the service; "
                        f"the results come all at once when a batch ends, within 24 hours. Ctrl-C stops "
                        f"waiting and leaves the batches running\n")

    def __call__(self, run: batchapi.BatchRun) -> None:
        text = _progress(run)
        if text is None or text == self._last:
            return
        self._last = text
        self._write(f"\r{text}\x1b[K" if self._live else text + "\n")

    def stop(self) -> None:
        if self._live and self._last is not None:
            self._write("\n")
        self._last = None

    def _write(self, text: str) -> None:
        if not self._show:
            return
        with contextlib.suppress(OSError, ValueError):  # stderr closed: progress is not worth failing for
            self._stream.write(text)
            self._stream.flush()


def _progress(run: batchapi.BatchRun) -> str | None:
    parts = [part for part in run.parts if not part.collected]
    if not parts:
        return None
    statuses: dict[str, int] = {}
    for part in parts:
        statuses[part.status] = statuses.get(part.status, 0) + 1
    total = sum(part.requests for part in parts)
    done = sum((part.counts or {}).get("completed", 0) for part in parts)
    failed = sum((part.counts or {}).get("failed", 0) for part in parts)
    text = (f"factsift: {', '.join(f'{count} {status}' for status, count in statuses.items())}; "
            f"{done + failed} of {total} requests answered" + (f", {failed} failed" if failed else ""))
    return text + (f" (the last look failed: {run.trouble})" if run.trouble else "")
