"""Rate limits for a batch run: requests a minute, tokens a minute, and the service's own word.

One state holds them for every thread and process of a run, in shared memory
for worker processes (``time.monotonic()`` is one clock for the whole
machine), behind one lock:

* requests a minute (``rpm``): requests are spaced at least 60/rpm seconds
  apart, so no minute holds more than rpm;
* tokens a minute (``tpm``): a budget that holds tpm tokens and refills at tpm
  a minute, as services measure their token limits (so a run that starts with
  a full budget never asks more of such a service than it gives, and over many
  minutes averages at most tpm a minute). A request waits until the budget
  holds its tokens; it is charged its estimated tokens when it is sent, then
  what the reply's ``usage`` says when that arrives, and nothing when the
  service refused it (429: nothing was used). A request larger than the whole
  budget waits for a full one and leaves it in debt;
* the service's word: a reply whose ``x-ratelimit-remaining-requests`` or
  ``-tokens`` is 0 stops every request until its ``x-ratelimit-reset-*`` time.
"""

from __future__ import annotations

import re
import threading
import time
from collections.abc import Callable, Mapping
from typing import Any, Protocol

from factsift.clients import Pacer

__all__ = ["Limits", "reset_seconds", "shared_state", "local_state"]

MINUTE = 60.0
_LOOK_AGAIN = 0.25  # seconds: a waiting request looks again, as the replies may have freed tokens
# The state's fields.
_LEVEL, _LEVEL_AT, _PAUSED, _NEXT_REQUEST, _STARTED = range(5)
_SIZE = 5

_RESET = re.compile(r"(?:(\d+(?:\.\d+)?)(ms|h|m|s))")
_UNITS = {"h": 3600.0, "m": 60.0, "s": 1.0, "ms": 0.001}


class State(Protocol):
    """The shared numbers: a sequence of floats with a lock (a multiprocessing Array)."""

    def __getitem__(self, index: int) -> float: ...

    def __setitem__(self, index: int, value: float) -> None: ...

    def get_lock(self) -> Any: ...


class _LocalState(list[float]):
    """The state of a run in one process."""

    def __init__(self) -> None:
        super().__init__([0.0] * _SIZE)
        self._lock = threading.Lock()

    def get_lock(self) -> threading.Lock:
        return self._lock


def local_state() -> State:
    return _LocalState()


def shared_state(start: Any) -> State:
    """The state in shared memory, for the worker processes `start` (a multiprocessing context) makes."""
    state: State = start.Array("d", _SIZE)
    return state


def reset_seconds(text: str) -> float | None:
    """Seconds in a rate-limit reset value ("1s", "6m0s", "20ms", "1.5s", "17"); None if none."""
    text = text.strip()
    try:
        return float(text)
    except ValueError:
        pass
    parts = _RESET.findall(text)
    if not parts or "".join(n + u for n, u in parts) != text:
        return None
    return sum(float(n) * _UNITS[u] for n, u in parts)


class Limits(Pacer):
    """What the clients' hooks ask of a run's rate limits: a turn to send, and what came back."""

    def __init__(self, state: State, rpm: float | None, tpm: float | None) -> None:
        self._state, self._rpm, self._tpm = state, rpm, tpm

    def wait(self, tokens: Callable[[], int] = lambda: 0) -> int:
        """Waits for this request's turn for `tokens()` tokens; returns those held (-1: none)."""
        while True:
            wanted = tokens()
            with self._state.get_lock():
                delay = self._take(time.monotonic(), wanted)
            if delay <= 0:
                return wanted if self._tpm is not None else -1
            time.sleep(min(delay, _LOOK_AGAIN))

    def _take(self, now: float, tokens: int) -> float:
        """0 when the request may go now (and it is counted), else the seconds to wait first."""
        state = self._state
        paused = state[_PAUSED] - now
        if paused > 0:
            return paused
        if self._tpm is not None:
            delay = self._tokens_wait(now, tokens, self._tpm)
            if delay > 0:
                return delay
        if self._rpm is not None:
            delay = state[_NEXT_REQUEST] - now
            if delay > 0:
                return delay
            state[_NEXT_REQUEST] = now + 60.0 / self._rpm
        if self._tpm is not None:
            state[_LEVEL] -= tokens
        return 0.0

    def _tokens_wait(self, now: float, tokens: int, tpm: float) -> float:
        """Seconds until the budget holds `tokens` (0: it does now); brings the budget up to now."""
        state = self._state
        if not state[_STARTED]:  # the budget starts full
            state[_STARTED], state[_LEVEL] = 1.0, tpm
        else:
            state[_LEVEL] = min(tpm, state[_LEVEL] + (now - state[_LEVEL_AT]) * tpm / MINUTE)
        state[_LEVEL_AT] = now
        short = min(tokens, tpm) - state[_LEVEL]
        return short * MINUTE / tpm if short > 0 else 0.0

    def charged(self, held: int, tokens: float) -> None:
        """A request for which `held` tokens were held used `tokens` (0: the service refused it)."""
        if held < 0 or self._tpm is None:
            return
        with self._state.get_lock():
            self._state[_LEVEL] = min(self._tpm, self._state[_LEVEL] + held - tokens)

    def heard(self, headers: Mapping[str, str]) -> None:
        """A reply's rate-limit headers: when the service says nothing is left, wait until its reset."""
        for unit in ("requests", "tokens"):
            if headers.get(f"x-ratelimit-remaining-{unit}", "").strip() == "0":
                reset = reset_seconds(headers.get(f"x-ratelimit-reset-{unit}", ""))
                if reset is not None and 0 < reset <= MINUTE * 60:
                    self.pause(reset)

    def pause(self, seconds: float) -> None:
        state = self._state
        with state.get_lock():
            state[_PAUSED] = max(state[_PAUSED], time.monotonic() + seconds)
