"""``--estimate``: what a run would send and what its prompts would cost, with nothing sent.

Each input that a run would send (after --shard, and --resume with its
output file) goes through the module as in a run, with a recording client in
place of the service: the request the module makes is counted, never sent.
The inputs are read one at a time, so any size of input will do. Where the
run would be refused before it sends anything (an --output that holds results
without --resume, batches of the output's batch run not yet collected), the
estimate is refused the same way, with exit status 2.
"""

from __future__ import annotations

import functools
import os
import sys

from factsift import clients, repeats
from factsift.cli.args import EXIT_USAGE, Options, batch_api_wanted
from factsift.cli.inputs import Inputs
from factsift.cli.output import finished_keys, refusal
from factsift.pools import Summarizer
from factsift.records import UnusableInput
from factsift.tokens import Tokens

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def main(args: Options, target: Any) -> int:
    """Prints the estimate on standard output; 0, 1 when the output file cannot be read, or 2 (after
    saying why) where the run would be refused before it sends anything."""
    problem = _refused(args)
    if problem:
        print(f"factsift: {problem}", file=sys.stderr)
        return EXIT_USAGE
    done: dict[str, bool] = {}
    shared = None if args.send_repeats else repeats.settings(args.method, args.model, args.prompt,
                                                             args.length)
    earlier: dict[bytes, int] = {}
    if args.resume and os.path.exists(args.output_file()):
        index = None if shared is None else functools.partial(repeats.digest, shared)
        try:
            done = finished_keys(args.output_file(), args.key_field, index, earlier)
        except OSError as exc:
            print(f"factsift: cannot read {args.output}: {exc}", file=sys.stderr)
            return 1
    inputs = Inputs(args, done)
    method = getattr(target.make() if isinstance(target, Summarizer) else target, args.method)
    counter, counted, requests, unusable, unreadable = Tokens(), 0.0, 0, 0, 0
    seen, repeated, repeated_counted = set(earlier), 0, 0.0  # the digests of the requests sent
    with clients.recording() as recorder:
        for _, text in inputs:
            if isinstance(text, BaseException):  # an "error" record in the run, unusable or not
                unusable += isinstance(text, UnusableInput)
                unreadable += not isinstance(text, UnusableInput)
                continue
            digest = repeats.digest(shared, text) if shared is not None and type(text) is str else None
            method(text, args.prompt, args.length)
            tokens = sum(counter.counted(request.get("messages") or (), request.get("model"))
                         for request in recorder.take())
            if digest is not None:
                if digest in seen:
                    repeated += 1
                    repeated_counted += tokens
                    continue
                seen.add(digest)
            requests += 1
            counted += tokens
    line = _line(requests, round(counted), counter.method(args.model), inputs, unusable, unreadable, args.price)
    if repeated:
        line += f"; {repeated} repeat{'s' * (repeated > 1)} not sent"
        if args.price is not None:
            line += f" (their prompts' cost {round(repeated_counted) * args.price[0] / 1e6:.6g})"
    print(line)
    return 0


def _refused(args: Options) -> str | None:
    """What the run would be refused for with exit status 2, with the run's own words."""
    if args.output is None:
        return None
    if batch_api_wanted(args):
        from factsift.cli import batchapi

        problem = batchapi.usage(args)
        if problem:
            return problem
    inputs = args.files if args.jsonl is None else [args.jsonl]
    return refusal(args.output, args.resume or args.cancel_batches, inputs)


def _line(requests: int, prompt: int, method: str, inputs: Inputs, unusable: int, unreadable: int,
          price: tuple[float, ...] | None) -> str:
    how = "estimated by script" if method == "estimate" else f"counted with {method}"
    line = f"factsift: {requests} requests, {prompt} prompt tokens ({how})"
    if price is not None:
        line += f", prompts' cost {prompt * price[0] / 1e6:.6g}"
    extra = [f"{inputs.skipped} skipped" if inputs.skipped else "",
             f"{unusable} unusable" if unusable else "",
             f"{unreadable} unreadable (error records that may pass on another run)" if unreadable else ""]
    return line + "".join(f"; {text}" for text in extra if text)
