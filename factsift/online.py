"""Online runs: an AISummary method over many texts, in input order, concurrent, retried and paced.

    from factsift import batch
    from factsift.factsift import AISummary

    s = AISummary("https://api.example.com/v1", "sk-...", "my-model")
    results = batch.run(s.extract, texts, jobs=16, retries=3, rpm=600)
    for record in results:      # in input order, each once it and those before it are done
        ...                     # {'summary': ..., 'content': ..., 'status': 'ok', 'id': 0}
    results.counts              # Counts(ok=..., error=..., retried=..., requests=...)

``run(s, texts, method="refined_title")`` names the method instead, and
``run(batch.Summarizer(base_url, api_key, model_id), texts, method="extract",
processes=4)`` has the instance made in each worker process only. The inputs
are texts (their ids are their positions from 0) or ``(id, text)`` pairs,
from any iterable: at most ``window`` inputs (default four per concurrent
request) are read ahead of the last record handed out, so a generator of a
million texts is never read whole. A text that is an exception instance stands
for an input that could not be read: its record is an "error" one with the
exception's message, and no request is sent (``records.UnusableInput`` marks
one that can never succeed). An exception the iterable raises ends the run
after the records of the inputs read before it have been handed out.

Each record is the method's result with the id added (under ``id_key``) and
the reply's ``usage`` where the service reported one. The method never raises
for a failed request; an exception it raises anyway becomes an "error" record
too, with an ``error`` message, and the run goes on; one that is not an
``Exception`` (``KeyboardInterrupt``, ``SystemExit``) reaches the loop.

Options (``factsift.options`` has their ranges):

* ``jobs``: requests at once (per process); ``processes``: worker processes,
  each with ``jobs`` threads of its own (default 1: threads of this process).
* ``retries``: passed to every client as ``max_retries=`` (see the ``openai``
  package for the policy); ``timeout``: the longest a request may take as a
  whole, connecting and reading included (each retry gets its own).
* The pace, across all jobs and processes (``factsift.limits``): a refusal
  (HTTP 429, or 503 with ``Retry-After``) holds every request of the run for
  the wait it asks, then the input goes again; such waits use none of the
  ``retries``. ``max_wait`` (seconds, default an hour) bounds the time one
  input may spend held, and the longest wait made: past it, or for a 429 that
  no wait passes (a request larger than the token budget, a quota used up,
  ``x-should-retry: false``), the input's record is an "error" one that says
  so. The replies' ``x-ratelimit-*`` headers give the service's budgets, and
  no request starts that they cannot cover; without them, a refusal halves
  the requests in flight, which grow back by one with each reply. ``rpm`` and
  ``tpm`` are ceilings of the user's own, requests and tokens a minute, kept
  below with the service's.
* ``price`` (per million prompt and completion tokens, and cached prompt
  tokens if priced apart) gives ``counts`` a cost; ``max_cost`` with it is
  the most the run spends (``factsift.budget``): each request is reserved the
  most it can cost before it goes, and once one no longer fits with nothing
  in flight, the run sends nothing more. The inputs left unsent get no
  record (``unsent`` counts those read, ``unread()`` gives the rest), for a
  later run; ``budget()`` tells what was spent and whether it stopped there.
* ``repeats`` (default True): inputs whose request would be the same as an
  earlier one's (the same text once cleaned, the same prompt, length and
  model) are not sent; each gets a record with that input's reply and
  ``same_as``, its id (``factsift.repeats``); False sends every input.
  ``earlier(digest)`` gives an earlier run's input and record for a request
  (``factsift.repeats.digest``), if it has one: its repeats are not sent;
  ``text_of(input)``: where the inputs are not texts (the batch interface's
  replays), the text an input's request is made from, and whether the input
  may be a repeat (one whose request was sent may not).
* ``share_clients``: one client per service and key (``factsift.clients``).
* ``answered(record, keyed)``: called in the pool's thread as each reply
  comes, before the records ahead of it are handed out, with the record and
  a copy as it will be handed out (the command line keeps answers it has not
  written yet this way); it must not raise, nor change ``record``.

The options reach the clients through the module's extension point, the
global ``factsift.factsift.OpenAI``: while the run is being iterated, the calls
of its own threads build their clients with the run's options from the
``OpenAI`` in effect when ``run()`` was called, and every other call builds
its client as it would without the run (``factsift.clients._seam``). Runs may
overlap, nest and be left open in any order.

With ``processes`` above 1 the target is pickled to the worker processes (see
``factsift.pools.processes``); an ``OpenAI`` replaced in this process does not
reach them. ``close()``, or the end of a ``with`` block, cancels the inputs not
yet started and ends the worker processes, however the iteration was left (a
``break``, an exception, Ctrl-C); a run that is only dropped is cancelled when
the garbage collector frees it, and one still open when the interpreter exits
is closed then.
"""

from __future__ import annotations

import atexit
import collections
import functools
import weakref
from collections.abc import Callable, Generator, Iterable, Iterator

from factsift import options
from factsift import budget
from factsift.budget import cost
from factsift.clients import ClientSettings, run_base
from factsift.pools import ResultSlot, Spec, Summarizer, settled, target_of
from factsift.records import RESULT_KEYS, Record, UnusableInput, error_record, message
from factsift.repeats import SEND, Repeats
from factsift.usage import cached_tokens, usage_problem

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    from factsift.budget import Spent
    from factsift.limits import Held
    from factsift.pools import Pool
    from factsift.repeats import Earlier

__all__ = ["OnlineRun", "Counts", "Summarizer", "run", "RESULT_KEYS"]

WINDOW_PER_REQUEST = 4
_END: Any = object()  # the end of the inputs
_COUNTED = ("ok", "error", "retried", "requests", "unusable", "prompt_tokens", "completion_tokens",
            "total_tokens", "cached_tokens", "repeats")
_SAVED = ("saved_prompt_tokens", "saved_completion_tokens", "saved_cached_tokens")
MAX_MODELS = 100  # the most models counted by name: a service that names more is not believed


class Counts:
    """The records handed out: ok and error ones, and of the errors those `unusable` (inputs that
    can never succeed); retried: records whose request was sent more than once; requests: HTTP
    requests sent, retries included; the tokens the replies' usage reported (of the prompt tokens,
    those the service says it had cached); the records of each model that answered; and with a
    price (per million prompt and completion tokens, and cached prompt tokens if they are priced
    apart), their cost. Of the records, `repeats` shared the reply of an earlier input with the same
    request, and were not sent: the tokens they would have taken are counted as saved."""

    __slots__ = (*_COUNTED, *_SAVED, "price", "models")
    ok: int
    error: int
    retried: int
    requests: int
    unusable: int
    prompt_tokens: int
    completion_tokens: int
    total_tokens: int
    cached_tokens: int
    repeats: int
    saved_prompt_tokens: int
    saved_completion_tokens: int
    saved_cached_tokens: int
    price: tuple[float, ...] | None
    models: dict[str, int]

    def __init__(self, ok: int = 0, error: int = 0, retried: int = 0, requests: int = 0, unusable: int = 0,
                 prompt_tokens: int = 0, completion_tokens: int = 0, total_tokens: int = 0,
                 price: tuple[float, ...] | None = None, cached_tokens: int = 0) -> None:
        self.ok, self.error, self.retried, self.requests = ok, error, retried, requests
        self.unusable, self.prompt_tokens, self.completion_tokens = unusable, prompt_tokens, completion_tokens
        self.total_tokens, self.cached_tokens, self.price = total_tokens, cached_tokens, price
        self.repeats = self.saved_prompt_tokens = self.saved_completion_tokens = self.saved_cached_tokens = 0
        self.models = {}

    @property
    def cost(self) -> float | None:
        if self.price is None:
            return None
        return cost(self.price, self.prompt_tokens, self.completion_tokens, self.cached_tokens)

    @property
    def saved_cost(self) -> float | None:
        """What the repeats would have cost, at the price."""
        if self.price is None:
            return None
        return cost(self.price, self.saved_prompt_tokens, self.saved_completion_tokens, self.saved_cached_tokens)

    def saved(self, usage: Any) -> None:
        """A repeat's reply was shared: the usage of the request it did not send."""
        if usage.__class__ is dict and usage_problem(usage) is None:
            self.saved_prompt_tokens += usage.get("prompt_tokens") or 0
            self.saved_completion_tokens += usage.get("completion_tokens") or 0
            self.saved_cached_tokens += cached_tokens(usage)

    def tokens_text(self) -> str:
        """The tokens as a summary line gives them, and the models when more than one answered."""
        cached = f", {self.cached_tokens} of them cached" if self.cached_tokens else ""
        text = (f"{self.total_tokens} tokens ({self.prompt_tokens} prompt{cached}, "
                f"{self.completion_tokens} completion)")
        if len(self.models) > 1:
            text += ", answered by " + ", ".join(f"{name} ({count})" for name, count in self.models.items())
        return text

    def add(self, record: Record, requests: int) -> None:
        """Counts one record, sent in `requests` HTTP requests. A usage whose counts are not sane
        (factsift.usage.usage_problem) is left out, and the record gets a "note" saying so."""
        if record.get("status") == "ok":
            self.ok += 1
        else:
            self.error += 1
            self.unusable += record.get("unusable") is True
        self.requests += requests
        self.retried += requests > 1
        self.repeats += "same_as" in record
        model = record.get("model")
        if model.__class__ is str and (model in self.models or len(self.models) < MAX_MODELS):
            self.models[model] = self.models.get(model, 0) + 1
        usage = record.get("usage")
        if usage.__class__ is not dict:  # as the batch makes it; anything else counts no tokens
            return
        problem = usage_problem(usage)
        if problem is not None:  # kept as the service sent it, and said so
            record.setdefault("note", problem)
            return
        self.prompt_tokens += usage.get("prompt_tokens") or 0
        self.completion_tokens += usage.get("completion_tokens") or 0
        self.total_tokens += usage.get("total_tokens") or 0
        self.cached_tokens += cached_tokens(usage)

    def _fields(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Counts) and self._fields() == other._fields()

    def __repr__(self) -> str:
        shown = [f"{name}={getattr(self, name)}" for name in _COUNTED]
        if self.price is not None:
            shown.append(f"cost={self.cost:.6g}")
        return f"Counts({', '.join(shown)})"


def run(target: Any, inputs: Iterable[Any], *, method: str | None = None, jobs: int = 8,
        prompt: Any = "", length: Any = 200, retries: int = 2, timeout: float | None = None,
        rpm: float | None = None, tpm: float | None = None, price: tuple[float, ...] | None = None,
        processes: int = 1, window: int | None = None, share_clients: bool = True,
        id_key: str = "id", max_wait: float = 3600.0,
        answered: Callable[[Record, Record], None] | None = None, max_cost: float | None = None,
        repeats: bool = True, earlier: Earlier | None = None,
        text_of: Callable[[Any], tuple[Any, bool]] | None = None) -> OnlineRun:
    """Records for every input, in input order, as an iterator (an `OnlineRun`); see factsift.online's help."""
    target, name = target_of(target, method)
    for option, value in (("jobs", jobs), ("processes", processes), ("retries", retries),
                          ("window", window), ("timeout", timeout), ("rpm", rpm), ("tpm", tpm),
                          ("max_wait", max_wait), ("max_cost", max_cost)):
        if value is not None or option in ("jobs", "processes", "retries", "max_wait"):
            options.check(option, value)
    if price is not None:
        price = options.check_price(price)
    elif max_cost is not None:
        raise options.OptionError("max_cost needs the price to reckon with: give price=(IN, OUT) too")
    start = base = None
    if processes > 1:
        from factsift.pools import processes as pool_processes

        start = pool_processes.context()
    else:  # the workers of other processes build their clients with their own
        base = run_base()
    spending = None if max_cost is None or price is None else (_shared(start, budget.SIZE), max_cost, price)
    spec = Spec(target, name, prompt, length, ClientSettings(retries, timeout, share_clients),
                _shared(start), jobs * processes, rpm, tpm, max_wait, spending)
    window = window or WINDOW_PER_REQUEST * jobs * processes
    model = getattr(target, "model_id", None)
    shared = Repeats(name, model, prompt, length, window, earlier, text_of) if repeats else None
    return OnlineRun(spec, inputs, jobs, processes, window, id_key, start, price, base, answered, shared)


def _shared(start: Any, *size: int) -> Any:
    """A state of the run's (default: its pace's), in shared memory for worker processes."""
    from factsift import limits

    return limits.local_state(*size) if start is None else limits.shared_state(start, *size)


_open_runs: weakref.WeakSet[OnlineRun] = weakref.WeakSet()


@atexit.register
def _close_open_runs() -> None:
    # Before the interpreter tears its modules down: a run's clean-up needs them.
    for open_run in list(_open_runs):
        open_run.close()


class OnlineRun:
    """The records of a run, in input order; `counts` covers those handed out so far."""

    def __init__(self, spec: Spec, inputs: Iterable[Any], jobs: int, processes: int, window: int,
                 id_key: str, start: Any, price: tuple[float, ...] | None = None, base: Any = None,
                 answered: Callable[[Record, Record], None] | None = None, repeats: Repeats | None = None) -> None:
        self.counts: Counts = Counts(price=price)
        # The records come from a flow that holds no reference back: a run given up on at a
        # `break` is closed as soon as its last reference goes, not at a later collection.
        self._flow = _Flow(spec, id_key, self.counts, answered, repeats)
        pool = functools.partial(_start_pool, spec, jobs, processes, start, base)
        self._inputs = iter(inputs)
        self._records = self._flow.in_order(self._inputs, pool, window)
        self._pace = spec.pacer()  # the run's pace as every process shares it, to look at
        self._budget = spec.budget()
        _open_runs.add(self)

    def __iter__(self) -> Iterator[Record]:
        return self

    def __next__(self) -> Record:
        return next(self._records)

    def close(self) -> None:
        """Stop: cancel what has not started, end the worker processes."""
        self._records.close()

    def held(self) -> Held:
        """What holds the run now (a refusal's wait: ``why`` and the seconds ``left``), and in all
        the refusals met and the seconds held."""
        return self._pace.held()

    def budget(self) -> Spent | None:
        """With ``max_cost``: what was spent (``spent``, of it ``at_most`` requests counted at the
        most they could cost) and whether the budget ``stopped`` the run."""
        return None if self._budget is None else self._budget.spent()

    @property
    def unsent(self) -> int:
        """The inputs read that the budget left unsent: they have no record."""
        return self._flow.unsent

    def unread(self) -> Iterator[Any]:
        """The inputs not read yet (once the budget stopped the run, those it never reached)."""
        return self._inputs

    def ready(self) -> bool:
        """Whether the next record is there to be handed out, with no wait for a request or for input."""
        pending = self._flow.pending
        return bool(pending) and pending[0][1].done() and not pending[0][1].unsent()

    def __enter__(self) -> OnlineRun:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _start_pool(spec: Spec, jobs: int, processes: int, start: Any, base: Any) -> Pool:
    if start is None:
        from factsift.pools.threads import Threads

        return Threads(spec, jobs, base)
    from factsift.pools.processes import Processes

    return Processes(spec, processes, jobs, start)


class _Flow:
    """What a run's records are made from: the inputs in flight, in order, and the counts."""

    __slots__ = ("spec", "id_key", "counts", "pending", "answered", "unsent", "repeats")

    def __init__(self, spec: Spec, id_key: str, counts: Counts,
                 answered: Callable[[Record, Record], None] | None = None, repeats: Repeats | None = None) -> None:
        self.spec, self.id_key, self.counts, self.answered = spec, id_key, counts, answered
        # Each input's id, where its result comes, and for the first of a request that may repeat, its digest.
        self.pending: collections.deque[tuple[Any, ResultSlot | _Repeat, bytes | None]] = collections.deque()
        self.unsent = 0
        self.repeats = repeats

    def in_order(self, inputs: Iterator[Any], start_pool: Callable[[], Pool],
                 window: int) -> Generator[Record, None, None]:
        # The pool, and the run's clients with it, from the first record asked for to the last.
        pool, finished = start_pool(), False
        try:
            yield from self._handed_out(inputs, pool, window)
            finished = True
        finally:
            for _, slot, _ in self.pending:
                slot.cancel()
            pool.close(cancel=not finished)

    # The loop has no handler of its own, and the clean-up is in the caller: CPython 3.11
    # to 3.13 can skip the handlers of the frame whose loop an interrupt (Ctrl-C) stops at
    # the jump back, while one raised from a call into a frame always meets them.
    def _handed_out(self, inputs: Iterator[Any], pool: Pool, window: int) -> Generator[Record, None, None]:
        pending, name = self.pending, self.spec.name
        position, reading, failure = 0, True, None
        while pending or reading:
            # A finished record goes out before more input is read: reading may block.
            if reading and len(pending) < window and not (pending and pending[0][1].done()):
                item, failure = _next(inputs)
                if item is _END:
                    reading = False
                    continue
                key, text = item if isinstance(item, (tuple, list)) and len(item) == 2 else (position, item)
                position += 1
                pending.append(self._submit(pool, key, text))
                continue
            key, slot, digest = pending.popleft()
            if isinstance(slot, _Repeat):
                record = self._repeat(key, slot)
            else:
                record = self._record(key, slot.result(pool, name))
            if record is None:  # the budget is spent: nothing more is read
                self.unsent += 1
                reading = False
                continue
            if digest is not None and self.repeats is not None:
                self.repeats.handed_out(digest, record, self.id_key)
            yield record
        if failure is not None:
            raise failure

    def _submit(self, pool: Pool, key: Any, text: Any) -> tuple[Any, ResultSlot | _Repeat, bytes | None]:
        if isinstance(text, BaseException):
            record = error_record(self.spec.name, message(text), unusable=isinstance(text, UnusableInput))
            return key, settled((record, 0)), None
        digest, may_repeat = (None, False) if self.repeats is None else self.repeats.digest(text)
        if digest is not None:
            first = self.repeats.first_of(digest, key, may_repeat)  # type: ignore[union-attr]
            if first is not SEND:
                return key, _Repeat(digest, first, text), None
        slot = ResultSlot()
        if self.answered is not None:
            slot.then = functools.partial(self._answered, key)
        return key, pool.submit(text, slot), digest

    def _answered(self, key: Any, result: tuple[Record, int]) -> None:
        record = result[0]
        if self.answered is not None and not record.get("unsent"):
            self.answered(record, self._keyed(dict(record), key))

    def _keyed(self, record: Record, key: Any, first: Any = SEND) -> Record:
        after = [(name, record.pop(name)) for name in ("model", "usage") if name in record]  # after the id
        record[self.id_key] = key
        if first is not SEND:
            record["same_as"] = first
        record.update(after)
        return record

    def _record(self, key: Any, result: tuple[Record, int]) -> Record | None:
        record, requests = result
        if record.get("unsent") is True:
            return None
        self._keyed(record, key)
        self.counts.add(record, requests)
        return record

    def _repeat(self, key: Any, repeat: _Repeat) -> Record | None:
        shared = self.repeats.record(repeat.digest, repeat.text)  # type: ignore[union-attr]
        if shared is None:
            return None
        record, usage = shared
        self._keyed(record, key, repeat.first)
        self.counts.add(record, 0)
        self.counts.saved(usage)
        return record


class _Repeat:
    """In place of a result slot: an input whose request an earlier input's repeats; its record
    is made from that one's when it is handed out (after it, in input order)."""

    __slots__ = ("digest", "first", "text")
    digest: bytes
    first: Any
    text: str

    def __init__(self, digest: bytes, first: Any, text: str) -> None:
        self.digest, self.first, self.text = digest, first, text

    def done(self) -> bool:
        return True

    def unsent(self) -> bool:
        return False

    def cancel(self) -> None:
        pass


def _next(inputs: Iterator[Any]) -> tuple[Any, Exception | None]:
    """The next input, or _END with the exception the iterable raised (None at its end)."""
    try:
        return next(inputs, _END), None
    except Exception as exc:
        return _END, exc

