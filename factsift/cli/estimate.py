"""``--estimate``: what a run would send and what its prompts would cost, with nothing sent.

Each input that a run would send (after --shard, and --resume with its
output file) goes through the module as in a run, with a recording client in
place of the service: the request the module makes is counted, never sent.
The inputs are read one at a time, so any size of input will do.
"""

from __future__ import annotations

import argparse
import os
import sys

from factsift import clients
from factsift.cli.args import COMMANDS
from factsift.cli.inputs import Inputs
from factsift.cli.output import finished_keys
from factsift.pools import Summarizer
from factsift.tokens import Tokens

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any


def main(args: argparse.Namespace, target: Any) -> int:
    """Prints the estimate on standard output; 0, or 1 when the output file cannot be read."""
    done: dict[str, bool] = {}
    if args.resume and os.path.exists(args.output):
        try:
            done = finished_keys(args.output, "file" if args.jsonl is None else "id")
        except OSError as exc:
            print(f"factsift: cannot read {args.output}: {exc}", file=sys.stderr)
            return 1
    inputs = Inputs(args, done)
    method = getattr(target.make() if isinstance(target, Summarizer) else target, COMMANDS[args.command])
    counter, counted, requests, unusable = Tokens(), 0.0, 0, 0
    with clients.recording() as recorder:
        for _, text in inputs:
            if isinstance(text, BaseException):
                unusable += 1
                continue
            method(text, args.prompt, args.length)
            for request in recorder.take():
                requests += 1
                counted += counter.counted(request.get("messages") or (), request.get("model"))
    print(_line(requests, round(counted), counter.method(args.model), inputs, unusable, args.price))
    return 0


def _line(requests: int, prompt: int, method: str, inputs: Inputs, unusable: int,
          price: tuple[float, float] | None) -> str:
    how = "estimated by script" if method == "estimate" else f"counted with {method}"
    line = f"factsift: {requests} requests, {prompt} prompt tokens ({how})"
    if price is not None:
        line += f", prompts' cost {prompt * price[0] / 1e6:.6g}"
    extra = [f"{inputs.skipped} skipped" if inputs.skipped else "",
             f"{unusable} unusable" if unusable else ""]
    return line + "".join(f"; {text}" for text in extra if text)
