"""What the pools of a batch run share: the work of one input and the slot its result arrives in.

``threads.Threads`` runs the work on threads of this process,
``processes.Processes`` in worker processes, each with threads of its own.
"""

from __future__ import annotations

import threading
from collections.abc import Callable

from factsift.clients import ClientSettings, Tally
from factsift.records import RESULT_KEYS, Record, describe, error_record

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any, Protocol

    from factsift.budget import Budget
    from factsift.limits import Pace
    from factsift.tokens import Tokens

    # A record, and the HTTP requests sent for it (retries included).
    Done = tuple[Record, int]

    class Pool(Protocol):
        def submit(self, text: Any, slot: ResultSlot | None = None) -> ResultSlot: ...

        def alive(self) -> bool: ...

        def close(self, cancel: bool) -> None: ...

_TICK = 0.1  # seconds: how late a Ctrl-C, or a pool that can no longer answer, may be noticed


class Summarizer:
    """The settings of an AISummary that is made where the work runs, and only there.

    A run given one with ``processes > 1`` never imports the client package in
    this process: each worker makes the instance itself.
    """

    def __init__(self, base_url: Any, api_key: Any, model_id: Any = "") -> None:
        self.base_url: Any = base_url
        self.api_key: Any = api_key
        self.model_id: Any = model_id

    def make(self) -> Any:
        from factsift.factsift import AISummary

        return AISummary(self.base_url, self.api_key, self.model_id)

    def __repr__(self) -> str:
        return f"Summarizer({self.base_url!r}, <key>, {self.model_id!r})"


def target_of(target: Any, method: str | None) -> tuple[Any, str]:
    """The instance (an AISummary, or a Summarizer) and the method's name a run is given: a bound
    method, or an instance and the method's name."""
    instance, name = (target, method) if method is not None else (
        getattr(target, "__self__", None), getattr(target, "__name__", None))
    if instance is None or name not in RESULT_KEYS:
        raise TypeError("expected an AISummary method (s.extract, s.refined_title), "
                        "or the instance (or a batch.Summarizer) and method='extract' or 'refined_title'")
    return instance, str(name)


class Spec:
    """What a worker (this process or another) needs to run the method; picklable."""

    def __init__(self, target: Any, name: str, prompt: Any, length: Any, settings: ClientSettings,
                 limits_state: Any, jobs: int, rpm: float | None = None, tpm: float | None = None,
                 max_wait: float = 3600.0, spending: tuple[Any, float, tuple[float, ...]] | None = None) -> None:
        self.target: Any = target
        self.name: str = name
        self.prompt: Any = prompt
        self.length: Any = length
        self.settings: ClientSettings = settings
        self.limits_state: Any = limits_state
        self.jobs: int = jobs
        self.rpm: float | None = rpm
        self.tpm: float | None = tpm
        self.max_wait: float = max_wait
        # With a budget: its state (the run's, in every process), the most to spend, and the price.
        self.spending: tuple[Any, float, tuple[float, ...]] | None = spending

    def method(self) -> Callable[..., Any]:
        target = self.target.make() if isinstance(self.target, Summarizer) else self.target
        return getattr(target, self.name)  # type: ignore[no-any-return]

    def pacer(self) -> Pace:
        """The run's pace, for this process's clients (the state is the run's, in every process)."""
        from factsift.limits import Pace

        return Pace(self.limits_state, self.jobs, self.rpm, self.tpm, self.max_wait)

    def budget(self) -> Budget | None:
        """The run's budget, for this process's clients (its state is the run's, in every process)."""
        if self.spending is None:
            return None
        from factsift.budget import Budget

        return Budget(*self.spending)

    def tokens(self) -> Tokens:
        """The counter of request tokens the token budgets charge."""
        from factsift.tokens import Tokens

        return Tokens()


class Job:
    """One input's text in, its record and the requests sent for it out; never raises an Exception."""

    def __init__(self, spec: Spec, tally: Tally) -> None:
        self._spec, self._tally = spec, tally
        self._method = spec.method()
        self._model = getattr(spec.target, "model_id", "")

    def __call__(self, text: Any) -> Done:
        seen = self._tally.begin()
        spec = self._spec
        prompt = spec.prompt if isinstance(spec.prompt, str) else ""
        if not self._tally.reserve(({"content": text}, {"content": prompt}), self._model):
            return unsent_record(spec.name), 0
        try:
            record = dict(self._method(text, spec.prompt, spec.length))
        except Exception as exc:
            record = error_record(spec.name, describe(exc))
        self._tally.end()
        if seen.at_most and record.get("status") == "ok":
            record["note"] = AT_MOST
        if seen.model is not None:
            record["model"] = seen.model
        if seen.usage is not None:
            record["usage"] = seen.usage
        if seen.note is not None and record.get("status") != "ok":
            record.setdefault("error", seen.note)
        return record, seen.requests


AT_MOST = "the reply had no usage: the budget counts it at the most it could cost"
UNSENT = "not sent: the run's budget (max_cost) is spent"


def unsent_record(method: str) -> Record:
    """The result of an input the run's budget left unsent: it is not handed out."""
    record = error_record(method, UNSENT)
    record["unsent"] = True
    return record


class ResultSlot:
    """Where the result for one input arrives, for the thread that hands records out.

    Waiting is an acquire of a plain lock, which runs in C: a Ctrl-C that
    lands while the consumer waits raises there and leaves nothing half done.
    (concurrent.futures.Future waits on a condition written in Python; an
    interrupt between two of its lines can leave it locked, and the worker
    that then settles it hangs.) The wait is timed: when the signal is
    delivered to another thread, nothing wakes a blocked acquire, and Python
    runs the handler in this thread only at its next step; and a pool that can
    no longer answer (its threads or processes gone) is noticed.
    """

    __slots__ = ("_ready", "_outcome", "cancelled", "then")

    def __init__(self) -> None:
        self._ready = threading.Lock()
        self._ready.acquire()
        self._outcome: tuple[Done | None, BaseException | None] | None = None  # set once
        self.cancelled: bool = False  # a worker that has not started on it skips it
        # Told of the result, in the thread that settles it, before the consumer can see it.
        self.then: Callable[[Done], None] | None = None

    def settle(self, result: Done | None = None, error: BaseException | None = None) -> None:
        if result is not None and self.then is not None:
            try:
                self.then(result)
            except Exception:  # it must not keep the result from the consumer
                pass
        self._outcome = (result, error)
        self._ready.release()

    def done(self) -> bool:
        return self._outcome is not None

    def unsent(self) -> bool:
        """Whether it is settled with the result of an input the budget left unsent."""
        outcome = self._outcome
        return outcome is not None and outcome[0] is not None and outcome[0][0].get("unsent") is True

    def result(self, pool: Pool, name: str) -> Done:
        while not self._ready.acquire(timeout=_TICK):
            if not pool.alive():
                if self._ready.acquire(blocking=False):  # settled after all
                    break
                return error_record(name, "the run's workers are gone: no result will come"), 0
        result, error = self._outcome  # type: ignore[misc]
        if error is not None:
            raise error
        assert result is not None
        return result

    def cancel(self) -> None:
        self.cancelled = True


def settled(result: Done) -> ResultSlot:
    slot = ResultSlot()
    slot.settle(result)
    return slot
