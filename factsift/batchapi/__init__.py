"""Runs through the service's batch interface: half the price, results in input order, nothing paid twice.

    from factsift import batch
    from factsift.factsift import AISummary

    s = AISummary("https://api.openai.com/v1", "sk-...", "gpt-4o-mini")
    run = batch.submit(s.extract, texts, "summaries.batches", prompt="用中文", length=100)
    run.wait(poll=60)                        # or: while not run.poll(): ...
    with run.records(texts) as records:      # the same inputs again, in the same order
        for record in records:               # in input order, as batch.run hands them out
            ...                              # {'summary': ..., 'status': 'ok', 'id': 0, 'usage': ...}
    run.close()

``submit`` records the request the module makes for each input (nothing is
sent then), writes them into batch input files of at most ``batch_size``
requests and ``max_bytes`` bytes, uploads each and creates its batch.
Everything it does is kept in the state folder (factsift.batchapi.state),
written before and after each step, so a program killed at any point calls
``submit`` again with the same arguments and goes on: the batches it made are
picked up and only inputs in none of them are sent. ``resume(state, target)``
opens a run to wait for, collect or ``cancel()`` without sending anything.

``records(inputs)`` downloads the output and error files of the batches that
have ended and makes each input's record as an online run would, the module
answered from the batch; an input whose request got no reply (a line that
failed, a batch that expired, was cancelled or rejected) gets an "error"
record saying why, and can be sent again (submit it in a new run). Once the
last record has been handed out the batches' files are deleted at the
service, and with the last batch the run's own files in the state folder
(and the folder, unless something else is in it).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from factsift.batchapi.collect import LineError, Records, collect
from factsift.batchapi.run import BatchRun, Report, settings_of
from factsift.batchapi.split import BATCH_SIZE, ENDPOINT, MAX_BYTES, InputsError
from factsift.batchapi.state import Part, State, StateError
from factsift.clients import BatchService, Refused, ServiceError
from factsift.pools import target_of

if TYPE_CHECKING:
    from factsift.repeats import Answers

__all__ = ["BatchRun", "InputsError", "LineError", "Part", "Records", "Refused", "Report", "ServiceError", "StateError",
           "BATCH_SIZE", "MAX_BYTES", "submit", "resume"]


def _open(target: Any, method: str, state: str, prompt: Any, length: Any, retries: int,
          timeout: float | None, make: bool) -> BatchRun:
    if not make and not os.path.exists(os.path.join(state, "state.json")):
        raise StateError(f"{state} holds no batch-interface run")
    settings = settings_of(target, method, prompt, length)
    folder = State.open(state, settings)
    try:
        service = BatchService(target.base_url, target.api_key, ENDPOINT, retries, timeout)
    except BaseException:
        folder.close()
        raise
    run = BatchRun(folder, service, target, method)
    try:
        run.tidy()  # what a run killed while collecting left
        if make and folder.parts and folder.settled:
            folder.restart(settings)
    except BaseException:
        run.close()
        raise
    return run


def submit(target: Any, inputs: Iterable[Any], state: str, *, method: str | None = None,
           prompt: Any = "", length: Any = 200, batch_size: int = BATCH_SIZE, max_bytes: int = MAX_BYTES,
           retries: int = 2, timeout: float | None = None, metadata: dict[str, str] | None = None,
           price: tuple[float, ...] | None = None, max_cost: float | None = None,
           repeats: bool = True, earlier: Answers | None = None) -> BatchRun:
    """Sends every input that is in no batch of the run in `state` yet; returns the run.

    `target` and `method` as for factsift.batch.run; `inputs` texts (their ids
    are their positions) or (id, text) pairs, ids strings or whole numbers.
    `metadata` goes with each batch, beside the run's own keys. With `price` (per
    million tokens, as online: a batch costs half) and `max_cost`, the inputs
    are sent only while the most their requests can cost at the batch price
    adds up to no more than `max_cost` (factsift.budget.most, with a reply of
    factsift.budget.FIRST_REPLY tokens); the run's `unsent` counts those left out, which get no
    record, for a later run. Repeats (factsift.repeats) are not sent unless
    `repeats` is False: when the batches are collected, each gets a record of
    its own sharing its first's; nor are those whose request `earlier` (as for
    factsift.batch.run, with ``digest in earlier``) answered. `state` is a
    new or empty folder, or one of an earlier run's; when nothing could be sent
    (an error before the first batch was made), nothing is left in it.
    """
    from factsift import options

    instance, name = target_of(target, method)
    for option, value in (("batch_size", batch_size), ("retries", retries)):
        options.check(option, value)
    if isinstance(max_bytes, bool) or not isinstance(max_bytes, int) or not 1 <= max_bytes <= MAX_BYTES:
        raise options.OptionError(f"max_bytes must be a whole number of bytes from 1 to {MAX_BYTES}, "
                                  f"not {max_bytes!r}")
    if timeout is not None:
        options.check("timeout", timeout)
    budget = None
    if max_cost is not None:
        if price is None:
            raise options.OptionError("max_cost needs the price to reckon with: give price=(IN, OUT) too")
        budget = options.check("max_cost", max_cost), options.check_price(price)
    run = _open(instance, name, state, prompt, length, retries, timeout, make=True)
    try:
        run.send(inputs, batch_size, max_bytes, dict(metadata or {}), budget, not repeats, earlier or ())
    except BaseException:
        if not run.state.parts:  # nothing was sent: no state is left behind
            run.state.remove()
        run.close()
        raise
    return run


def resume(state: str, target: Any, *, method: str | None = None, retries: int = 2,
           timeout: float | None = None) -> BatchRun:
    """The run in `state`, to wait for, collect or cancel; the prompt and length are the run's own."""
    import json

    instance, name = target_of(target, method)
    try:
        with open(os.path.join(state, "state.json"), "rb") as f:
            settings = json.load(f)["settings"]
        prompt, length = settings["prompt"], settings["length"]
    except (OSError, ValueError, KeyError, TypeError) as exc:
        raise StateError(f"{state} holds no batch-interface run ({exc})") from None
    return _open(instance, name, state, prompt, length, retries, timeout, make=False)
