"""Command line for factsift: ``python -m factsift summarize|title FILE...|--jsonl FILE``."""

from __future__ import annotations

import contextlib
import functools
import os
import sys
import time
from collections.abc import Iterator, Sequence

from factsift import online
from factsift.cli import journal
from factsift.cli.args import (COMMANDS, EXIT_BROKEN_PIPE, EXIT_BUDGET, EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE,
                               MAX_DEFAULT_JOBS, Options, batch_api_wanted, build_parser, parse, request_index,
                               usage_problem)
from factsift.cli.inputs import Inputs
from factsift.cli.output import Answered, Output, WriteError, discard_output, file_output, isatty, stdout_output
from factsift.cli.progress import BesideProgress, LineGuard, Progress
from factsift.cli.writing import exit_status, verdict, with_output, write_records

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any


__all__ = ["main", "build_parser"]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    args = _parse(sys.argv[1:] if argv is None else list(argv))
    if isinstance(args, int):
        return args
    service = _service(args)
    if service is None:
        return EXIT_USAGE
    target = _target(args, *service)
    if target is None:
        return EXIT_USAGE
    if args.estimate:
        from factsift.cli import estimate

        return estimate.main(args, target)
    if batch_api_wanted(args):
        from factsift.cli import batchapi

        status = batchapi.main(args, target)
        if status is not None:
            return status
    if args.output is None and sys.stdout is None:  # started with descriptor 1 closed
        print("factsift: standard output is closed; nothing sent", file=sys.stderr)
        return EXIT_FAILED
    return with_output(args.output, functools.partial(_open_output, args),
                       lambda output: _run(args, target, output))


def _parse(argv: list[str]) -> Options | int:
    parser = build_parser(argv[0] if argv and argv[0] in COMMANDS else None)
    try:
        args = parse(parser, argv)
    except SystemExit as exc:  # --help or a usage error; argparse has printed why
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    problem = usage_problem(args)
    if problem:
        print(f"factsift: {problem}", file=sys.stderr)
        return EXIT_USAGE
    return args


def _service(args: Options) -> tuple[str, str] | None:
    base_url = args.base_url or os.environ.get("OPENAI_BASE_URL")
    api_key = args.api_key or os.environ.get("OPENAI_API_KEY")
    for value, option, variable in ((base_url, "--base-url", "OPENAI_BASE_URL"),
                                    (api_key, "--api-key", "OPENAI_API_KEY")):
        if not value:
            print(f"factsift: pass {option} or set {variable}", file=sys.stderr)
            return None
    return base_url, api_key  # type: ignore[return-value]


def _target(args: Options, base_url: str, api_key: str) -> Any:
    """The AISummary to run; with --processes, its settings only: the workers make it, and this
    process never loads the client package. None (after saying why) when it cannot be loaded."""
    if args.processes > 1:
        problem = _unloadable()
        if problem is None:
            return online.Summarizer(base_url, api_key, args.model)
    else:
        try:
            from factsift.factsift import AISummary
        except ImportError as exc:
            problem = _hint(exc.name), exc
        else:
            return AISummary(base_url, api_key, args.model)
    print(f"factsift: {problem[0]} ({problem[1]})", file=sys.stderr)
    return None


def _unloadable() -> tuple[str, object] | None:
    import importlib.util

    for name in ("factsift.factsift", "openai"):
        try:
            found = importlib.util.find_spec(name)
        except (ImportError, ValueError) as exc:
            return _hint(name), exc
        if found is None:
            return _hint(name), f"No module named {name!r}"
    return None


def _hint(name: str | None) -> str:
    if name == "openai":
        return "factsift needs the 'openai' package: pip install openai"
    if name == "factsift.factsift":
        return "the compiled module factsift.factsift is not built for this Python: run 'make build'"
    return "cannot load factsift.factsift"


def _open_output(args: Options) -> Output:
    if args.output is None:
        return stdout_output()
    inputs = args.files if args.jsonl is None else [args.jsonl]
    key_field = args.key_field
    output = file_output(args.output, args.resume, key_field, inputs, request_index(args))
    if output.regular and args.resume:
        try:
            moved = journal.recover(output, args.output, key_field)
        except BaseException:
            output.close()
            raise
        if moved:
            print(f"factsift: {args.output}: wrote the {moved} answers an earlier run had not written yet",
                  file=sys.stderr)
    return output


def _run(args: Options, target: Any, output: Output) -> int:
    inputs = Inputs(args, output.done)
    jobs = args.jobs or max(1, min(MAX_DEFAULT_JOBS, inputs.total or MAX_DEFAULT_JOBS))
    show = args.progress and (len(args.files) > 1 or args.jsonl is not None or args.output is not None)
    progress = Progress(inputs.total, sys.stderr, live=show and isatty(sys.stderr))
    started = time.monotonic()
    kept = journal.Journal(args.output_file()) if output.regular else None
    results = online.run(target, inputs, method=args.method, jobs=jobs, prompt=args.prompt,
                        length=args.length, retries=args.max_retries, timeout=args.timeout, rpm=args.rpm,
                        tpm=args.tpm, processes=args.processes, share_clients=args.share_clients,
                        id_key=args.key_field, max_wait=args.max_wait,
                        answered=None if kept is None else kept.answered, price=args.price,
                        max_cost=args.max_cost, repeats=not args.send_repeats,
                        earlier=Answered.of(output, args.key_field))
    written = online.Counts(price=args.price)
    if show:
        progress.watch(written, results.held, logged=not progress.live)
    with _session(results, progress) as guard:
        ending = write_records(results, output, written, guard, progress, None if kept is None else kept.written)
        if show:
            summary = None if ending else _summary(written, results, inputs, time.monotonic() - started)
            progress.finish(summary)
    if kept is not None:  # the run's pool is closed: nothing more comes
        kept.close(finished=ending is None)
    spent = results.budget()
    if ending is None and spent is not None and spent.stopped:
        if not show:
            print(f"factsift: {_stopped(results, inputs, written)}", file=sys.stderr)
        return EXIT_BUDGET
    return _exit(args, ending, written, inputs)


@contextlib.contextmanager
def _session(results: online.OnlineRun, progress: Progress) -> Iterator[LineGuard]:
    """While the lines are written: the bar beside standard error, Ctrl-C deferred mid-line."""
    stderr = sys.stderr
    with contextlib.ExitStack() as stack:
        if progress.live:
            sys.stderr = BesideProgress(stderr, progress)
            stack.callback(setattr, sys, "stderr", stderr)
        stack.enter_context(contextlib.closing(results))
        stack.callback(progress.stop)
        guard = LineGuard()
        guard.install()
        stack.callback(guard.restore)
        yield guard


def _summary(written: online.Counts, results: online.OnlineRun, inputs: Inputs, seconds: float) -> str:
    counts, held = results.counts, results.held()
    sent = written.ok + written.error
    rate = sent / seconds if seconds > 0 else 0.0
    line = (f"factsift: {written.ok} ok, {written.error} error, {counts.retried} retried, "
            f"{inputs.skipped} skipped in {seconds:.1f} s, {rate:.1f} documents/s")
    if written.total_tokens:
        line += f", {written.tokens_text()}"
    spent = results.budget()
    if spent is not None:
        line += f", spent {spent.spent:.6g} of {spent.limit:g}"
        if spent.at_most:
            line += f" ({spent.at_most} without usage counted at the most they could cost)"
    elif written.cost is not None:
        line += f", cost {written.cost:.6g}"
    if counts.repeats:
        saved = counts.saved_cost
        line += f", {counts.repeats} repeat{'s' * (counts.repeats > 1)} not sent"
        line += "" if saved is None else f" (saved {saved:.6g})"
    if held.refusals:
        line += f", {held.refusals} refused, held {held.seconds:.1f} s by the service"
    if spent is not None and spent.stopped:
        return line + "; " + _stopped(results, inputs, written)
    return line + verdict(written, inputs, "run again")


def _stopped(results: online.OnlineRun, inputs: Inputs, written: online.Counts) -> str:
    """What the budget left undone, and what to do."""
    if inputs.total is not None:
        unsent = inputs.total - written.ok - written.error
    else:
        unsent = results.unsent + sum(1 for _ in results.unread())
    return (f"stopped at the budget: {unsent} input{'s' * (unsent != 1)} left unsent "
            f"(run again with --resume and a new or raised --max-cost)")


def _exit(args: Options, ending: BaseException | None, written: online.Counts, inputs: Inputs) -> int:
    of_total = "" if inputs.total is None else f" of {inputs.total}"
    if isinstance(ending, KeyboardInterrupt):
        print(f"factsift: interrupted; {written.ok + written.error}{of_total} results written", file=sys.stderr)
        return EXIT_INTERRUPTED
    if isinstance(ending, WriteError):
        if isinstance(ending.error, BrokenPipeError):
            if args.output is None:
                discard_output(sys.stdout)
            return EXIT_BROKEN_PIPE
        name = args.output or "standard output"
        print(f"factsift: cannot write to {name} after {written.ok + written.error}{of_total} results: "
              f"{ending.error}", file=sys.stderr)
        return EXIT_FAILED
    return exit_status(written, inputs)
