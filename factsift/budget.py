"""The most a run may spend, across all its threads and processes.

Prices are per million tokens: (prompt, completion) or (prompt, completion,
cached prompt). An input is reserved the most its request can cost before
the request is made: its text and prompt as counted (see factsift.tokens,
scaled by what the replies so far reported) with the module's instruction
(as the requests so far showed it, FIRST_INSTRUCTION tokens before any) and
PROMPT_MARGIN more, all at the full prompt price, and a reply of
REPLY_MARGIN times the longest completion so far (FIRST_REPLY tokens before
any reply). It is sent only while what was spent and what the inputs in
flight are reserved leave room for that; else it waits for those in flight,
and when none are left and it still does not fit, the run stops sending:
this input and every later one is left unsent.

What an input spent is what its reply's usage says. One whose requests were
all refused or failed with an HTTP status spent nothing; one whose request
got no reply, or a reply without a usage, is counted at what it was reserved
(it may have been charged), and counted among those `at_most`. The bound
holds for replies no longer than REPLY_MARGIN times the longest before them:
the requests carry no limit of their own on the reply's length.
"""

from __future__ import annotations

import math
import threading
import time
from collections.abc import Mapping

from factsift.usage import cached_tokens

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any, Protocol

    class State(Protocol):
        """The shared numbers: a sequence of floats with a lock (a multiprocessing Array)."""

        def __getitem__(self, index: int) -> float: ...

        def __setitem__(self, index: int, value: float) -> None: ...

        def get_lock(self) -> Any: ...


__all__ = ["Budget", "Spent", "cost", "most"]

PROMPT_MARGIN = 1.25
REPLY_MARGIN = 2.0
FIRST_REPLY = 1000
FIRST_INSTRUCTION = 200
PATIENCE = 3600.0  # seconds a request waits for room while none of those in flight ends
LOOK = 0.25  # seconds: the longest a waiting request sleeps before it looks again (other processes)
# The state's fields: spent, reserved for those in flight, requests in flight, stopped (1), the
# longest completion so far, the requests counted at what they were reserved, the most tokens the
# module's instruction was seen to add to a text, how many have been settled.
_SPENT, _RESERVED, _FLIGHT, _STOPPED, _LONGEST, _AT_MOST, _INSTRUCTION, _SETTLED = range(8)
SIZE = 8


def cost(price: tuple[float, ...], prompt: float, completion: float, cached: float = 0.0) -> float:
    """What `prompt` tokens (of them `cached` cached) and `completion` tokens cost at `price`."""
    prompt_price, completion_price, *cached_price = price
    if not cached_price:
        cached = 0.0
    fresh = prompt - cached
    return (fresh * prompt_price + completion * completion_price
            + (cached * cached_price[0] if cached_price else 0.0)) / 1e6


def most(price: tuple[float, ...], prompt: float, reply: float = FIRST_REPLY) -> float:
    """The most a request is reckoned to cost: its `prompt` as counted and PROMPT_MARGIN more, and a
    `reply` of so many tokens, at `price` (the cached price not taken)."""
    return cost(price[:2], math.ceil(prompt * PROMPT_MARGIN), reply)


class Spent:
    """What a budget has seen: `spent`, of it the requests counted `at_most`, and whether it
    `stopped` the run."""

    __slots__ = ("limit", "spent", "at_most", "stopped")
    limit: float
    spent: float
    at_most: int
    stopped: bool

    def __init__(self, limit: float, spent: float, at_most: int, stopped: bool) -> None:
        self.limit, self.spent, self.at_most, self.stopped = limit, spent, at_most, stopped

    def __repr__(self) -> str:
        return (f"Spent(limit={self.limit:g}, spent={self.spent:.6g}, at_most={self.at_most}, "
                f"stopped={self.stopped})")


class Budget:
    """The run's spending as its requests ask for it: a reservation before each is sent, then
    what it spent."""

    def __init__(self, state: State, limit: float, price: tuple[float, ...]) -> None:
        self._state, self._price = state, price
        self.limit: float = limit
        self._woken = threading.Condition()  # the waiters of this process; others look every LOOK

    def most(self, text: float) -> float:
        """The most the request for a text of `text` tokens (as counted) is reckoned to cost."""
        state = self._state
        prompt = text + (state[_INSTRUCTION] or FIRST_INSTRUCTION)
        reply = REPLY_MARGIN * state[_LONGEST] if state[_LONGEST] else FIRST_REPLY
        return most(self._price, prompt, reply)

    def reserve(self, text: float) -> float | None:
        """Waits until the request for a text of `text` tokens fits; what it is reserved, or None:
        the run stops here, and the request is not to be made. A wait in which none of those in
        flight ends for PATIENCE seconds stops the run too (a worker process that died leaves
        its reservations behind)."""
        settled, since = -1.0, time.monotonic()
        while True:
            state = self._state
            with state.get_lock():
                if state[_STOPPED]:
                    return None
                need = self.most(text)
                if state[_SPENT] + state[_RESERVED] + need <= self.limit:
                    state[_RESERVED] += need
                    state[_FLIGHT] += 1
                    return need
                if state[_SETTLED] != settled:
                    settled, since = state[_SETTLED], time.monotonic()
                if not state[_FLIGHT] or time.monotonic() - since > PATIENCE:
                    state[_STOPPED] = 1.0
                    self._wake()
                    return None
            with self._woken:
                self._woken.wait(LOOK)

    def settle(self, reserved: float, usage: Mapping[str, Any] | None, charged: bool = True,
               instruction: float | None = None) -> bool:
        """An input reserved `reserved` is done: it spent what `usage` says; with none, what it
        was reserved when the service may have `charged` it, else nothing. `instruction`: the
        tokens its request was seen to add to its text. Whether it was counted at what it was
        reserved."""
        state = self._state
        with state.get_lock():
            if instruction is not None:
                state[_INSTRUCTION] = max(state[_INSTRUCTION], instruction)
            state[_RESERVED] = max(0.0, state[_RESERVED] - reserved)
            state[_FLIGHT] = max(0.0, state[_FLIGHT] - 1)
            state[_SETTLED] += 1
            if usage is not None:
                prompt, completion = usage.get("prompt_tokens") or 0, usage.get("completion_tokens") or 0
                state[_SPENT] += cost(self._price, prompt, completion, cached_tokens(usage))
                state[_LONGEST] = max(state[_LONGEST], completion)
                at_most = False
            else:
                at_most = charged
                state[_SPENT] += reserved if charged else 0.0
                state[_AT_MOST] += at_most
        self._wake()
        return at_most

    def _wake(self) -> None:
        with self._woken:
            self._woken.notify_all()

    def spent(self) -> Spent:
        state = self._state
        with state.get_lock():
            return Spent(self.limit, state[_SPENT], int(state[_AT_MOST]), bool(state[_STOPPED]))
