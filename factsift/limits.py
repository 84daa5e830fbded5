"""The pace of a run: how many requests go, and when, so that a limited service refuses few.

One state holds the pace for every thread and process of a run, in shared
memory for worker processes (``time.monotonic()`` is one clock for the whole
machine), behind one lock. A request is admitted when all of these allow it:

* No hold. A refusal that asks to wait (a 429, or a 503 with
  ``Retry-After``) holds every request of the run until the wait is over;
  the refused request goes again after it. A 429 that names no wait holds
  for a back-off (1 s, doubling up to a minute, back to 1 s after a reply
  that is not refused), or until the reset the headers give for a budget
  they say is used up. A wait longer than ``max_wait`` is not made: the
  request is refused for good, as is one that has spent ``max_wait`` held.
* The service's budgets. Each reply's ``x-ratelimit-limit-*``,
  ``-remaining-*`` and ``-reset-*`` headers (requests and tokens) say what
  is left and how fast it fills: the remaining, refilling at
  (limit - remaining) / reset a second up to the limit. A request goes when
  what is left covers it (one request; its estimated tokens), else waits
  until it will; what is admitted after a reply is taken off what it said,
  so jobs and processes keep within it together. Shards on other machines
  sharing a key see one another through the headers: what a budget lost
  between two replies SHARE_SPAN apart, beyond what refilled and what the
  service took of this run's, is the others' rate, left to them; and what
  it lost between two replies RECENT_SPAN apart tells what they take now,
  however fast (shards that start together use up a full budget at once):
  a reply's remaining is less that for the time the reply took to come. Of
  what a reply says is left, a run counts only its part (shards that each
  counted all of it would spend it twice): its part of the budget's rate,
  or until others are seen to use some of that, its part of what all take
  now. What others used is reckoned from what this run's replies said they
  used, not from its estimates; a run that uses more than all the others
  together takes a part of the difference as theirs, so that shards come to
  keep to a budget evenly.
* The user's ceilings, ``rpm`` and ``tpm``: budgets that hold that many and
  refill evenly over a minute, as services measure their limits (so a run
  that starts with full budgets never asks more of such a service than it
  gives).
* Without such headers, the pace the refusals show: between two refusals
  for the same limit, what was admitted and not refused is what refilled in
  that time, counting what their waits say was short at each (at the first,
  the wait it asks for what was refused); the run keeps to MARGIN of that rate,
  growing it by PROBE a second to find a limit that rose.
* The window: the requests in flight, never above ``jobs``. It starts at
  INITIAL_WINDOW and, until a refusal, grows by one with each reply (it
  doubles in a reply's time), so a service whose budget is less than
  ``jobs`` is not sent ``jobs`` requests before its first reply. A refusal
  halves it (once for the requests sent since the last halving), and
  replies that are not refused grow it back by one for each window's worth.
  Once a reply has shown how long one takes, requests go at most PACING
  times a window's worth in that time: what replies together free goes out
  spread over a while, not at once, so a service whose budget a burst would
  use up says so by refusing one request of it, not all the rest.

Each request is charged its estimated tokens when admitted; ``used`` puts
right what the reply's usage says, and a refused request is given back what
it was charged (the service used nothing for it).
"""

from __future__ import annotations

import math
import re
import threading
import time
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

from factsift.clients import Pacer

if TYPE_CHECKING:
    from factsift.budget import State

__all__ = ["Pace", "Held", "Ticket", "reset_seconds", "shared_state", "local_state"]

MINUTE = 60.0
LOOK = 0.25  # seconds: the longest a waiting request sleeps before it looks again
BACKOFF_FIRST, BACKOFF_MOST = 1.0, 60.0
EPSILON = 1e-9  # budgets are floats: what is this close to enough is enough
REQUESTS, TOKENS = 0, 1
UNITS = ("requests", "tokens")

# The state's fields: the hold, why (0 none, 1 + a unit, 3 the service's 503), the back-off, the
# window, those in flight, the window's generation, the refusals, the seconds held in all; the
# user's two budgets (level, as of); the service's two (level, rate, limit, as of; limit 0: not
# known); whether the user's budgets have started (full), the requests and the tokens admitted, and
# the tokens the replies' usage put right (what they used beyond what was charged).
(_HOLD, _WHY, _BACKOFF, _WINDOW, _FLIGHT, _GENERATION, _REFUSALS, _HELD,
 _RPM_LEVEL, _RPM_AT, _TPM_LEVEL, _TPM_AT, _STARTED, _SEQUENCE, _TOKENS_ADMITTED, _TOKENS_PUT_RIGHT) = range(16)
# then fourteen fields per unit: level, the rate it fills at for this run, limit, as of; the reply
# the others' use was last reckoned from (when its request was sent, what it said was left, what
# this run had had taken by then), the rate others use, and what was refused of this run's; the
# same reply and the rates others and this run use now
_SERVICE = 16
_PER_SERVICE = 14
# then seven per unit of the pace learned from refusals: the last refusal's time, what was
# admitted since, the rate (0: none learned), level, as of, and the wait the last refusal asked
# and the cost of its request
_LEARNED = _SERVICE + _PER_SERVICE * len(UNITS)
_PER_UNIT = 7
_RTT = _LEARNED + _PER_UNIT * len(UNITS)  # then the seconds a reply takes (smoothed), the next request's time
_NEXT = _RTT + 1
_SIZE = _NEXT + 1
PACING = 2.0  # requests go at most this many times the window a reply's time
INITIAL_WINDOW = 4
MARGIN = 0.95  # a learned pace keeps this far below what the service was seen to allow
PROBE = 1 / 200  # a learned pace grows by this share a second, to find a limit that rose
LEARN_GAP = 1.0  # seconds between two refusals for the pace between them to be learned
SHARE_SPAN = 3.0  # seconds between two replies for what others used of a budget between them to be reckoned
LEAST_SHARE = 0.1  # of a budget's rate, what this run keeps however much others are seen to use
RECENT_SPAN = 0.25  # seconds between two replies for what others use now to be reckoned
RECENT_WEIGHT = 0.75  # how much each such reckoning moves what others are taken to use now
YIELD = 0.25  # of what a run used beyond all the others together, the part it takes as theirs
_WHY_SERVICE = 3

_RESET = re.compile(r"(\d+(?:\.\d+)?)(ms|h|m|s)")
_SCALES = {"h": 3600.0, "m": 60.0, "s": 1.0, "ms": 0.001}


class _LocalState(list[float]):
    """The state of a run in one process."""

    def __init__(self, size: int) -> None:
        super().__init__([0.0] * size)
        self._lock = threading.Lock()

    def get_lock(self) -> threading.Lock:
        return self._lock


def local_state(size: int = _SIZE) -> State:
    """A state of `size` numbers (default: a pace's) for the threads of this process."""
    return _LocalState(size)


def shared_state(start: Any, size: int = _SIZE) -> State:
    """The state in shared memory, for the worker processes `start` (a multiprocessing context) makes."""
    state: State = start.Array("d", size)
    return state


def reset_seconds(text: str) -> float | None:
    """Seconds in a rate-limit reset value ("1s", "6m0s", "20ms", "1.5s", "17"); None if none."""
    text = text.strip()
    try:
        value = float(text)
    except ValueError:
        parts = _RESET.findall(text)
        if not parts or "".join(n + u for n, u in parts) != text:
            return None
        value = sum(float(n) * _SCALES[u] for n, u in parts)
    return value if math.isfinite(value) and value >= 0 else None


def _count(text: str | None) -> float | None:
    """A count in a header (a limit, what remains): a finite number from 0, else None."""
    try:
        value = float(text)  # type: ignore[arg-type]  # None: TypeError
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) and value >= 0 else None


class Ticket:
    """An admitted request: the window's generation it was sent in, its place among the requests
    admitted and the tokens admitted up to it, the tokens charged and when it was admitted."""

    __slots__ = ("generation", "sequence", "admitted", "tokens", "at")
    generation: float
    sequence: float
    admitted: float
    tokens: float
    at: float

    def __init__(self, generation: float, sequence: float, admitted: float, tokens: float, at: float) -> None:
        self.generation, self.sequence, self.admitted, self.tokens = generation, sequence, admitted, tokens
        self.at = at


class Held:
    """What holds a run now: `why` ("requests", "tokens", "the service", or None), the seconds
    `left`, and in all the `refusals` and the `seconds` held."""

    __slots__ = ("why", "left", "refusals", "seconds")
    why: str | None
    left: float
    refusals: int
    seconds: float

    def __init__(self, why: str | None, left: float, refusals: int, seconds: float) -> None:
        self.why, self.left, self.refusals, self.seconds = why, left, refusals, seconds

    def __repr__(self) -> str:
        return f"Held(why={self.why!r}, left={self.left:.1f}, refusals={self.refusals}, seconds={self.seconds:.1f})"


class Pace(Pacer):
    """The pace of a run as its clients' transports ask for it: a turn for each request, then what
    its reply said."""

    def __init__(self, state: State, jobs: int, rpm: float | None = None, tpm: float | None = None,
                 max_wait: float = 3600.0, clock: Callable[[], float] = time.monotonic) -> None:
        self._state, self._jobs, self._rpm, self._tpm = state, jobs, rpm, tpm
        self.max_wait: float = max_wait
        self._clock = clock
        self._woken = threading.Condition()  # the waiters of this process; others look every LOOK
        with state.get_lock():
            if not state[_WINDOW]:
                state[_WINDOW] = min(jobs, INITIAL_WINDOW)

    def admit(self, tokens: Callable[[], float], held: float = 0.0) -> tuple[Ticket | None, float]:
        """Waits for a request's turn, for as many tokens as `tokens()` says at each look; returns
        its ticket and `held`, the seconds this input has been held by refusals, with this wait's
        added; no ticket once that would pass max_wait (the request is not to be sent)."""
        while True:
            wanted = float(tokens())
            with self._state.get_lock():
                now = self._clock()
                delay, holding = self._take(now, wanted)
                if delay <= 0:
                    state = self._state
                    ticket = Ticket(state[_GENERATION], state[_SEQUENCE], state[_TOKENS_ADMITTED], wanted, now)
                    return ticket, held
            step = min(delay, LOOK)
            if holding:
                if held + step > self.max_wait + EPSILON:
                    return None, held
                held += step
            self._sleep(step)

    def _sleep(self, seconds: float) -> None:
        with self._woken:
            self._woken.wait(seconds)

    def _wake(self) -> None:
        with self._woken:
            self._woken.notify_all()

    def _take(self, now: float, tokens: float) -> tuple[float, bool]:
        """(0, False) when the request may go now (and it is counted), else the seconds to wait and
        whether a refusal's hold is what it waits for."""
        state = self._state
        hold = state[_HOLD] - now
        if hold > EPSILON:
            return hold, True
        window = max(1.0, math.floor(state[_WINDOW]))
        if state[_FLIGHT] >= window:
            return LOOK, False
        if state[_NEXT] - now > EPSILON:
            return state[_NEXT] - now, False
        self._start_budgets(now)
        delay = max(self._user_wait(now, tokens), self._service_wait(now, tokens), self._learned_wait(now, tokens))
        if delay > EPSILON:
            return delay, False
        if self._rpm is not None:
            state[_RPM_LEVEL] -= 1
        if self._tpm is not None:
            state[_TPM_LEVEL] -= tokens
        for unit, need in ((REQUESTS, 1.0), (TOKENS, tokens)):
            state[_SERVICE + _PER_SERVICE * unit] -= need
            state[_LEARNED + _PER_UNIT * unit + 1] += need
            state[_LEARNED + _PER_UNIT * unit + 3] -= need
        state[_FLIGHT] += 1
        state[_NEXT] = now + state[_RTT] / (PACING * window)
        state[_SEQUENCE] += 1
        state[_TOKENS_ADMITTED] += tokens
        return 0.0, False

    def _start_budgets(self, now: float) -> None:
        state = self._state
        if not state[_STARTED]:  # the user's budgets start full; when, for a pace to be learned
            state[_STARTED] = now or EPSILON
            state[_RPM_LEVEL], state[_TPM_LEVEL] = self._rpm or 0.0, self._tpm or 0.0
            state[_RPM_AT] = state[_TPM_AT] = now

    def _user_wait(self, now: float, tokens: float) -> float:
        delay = 0.0
        for ceiling, level, at, need in ((self._rpm, _RPM_LEVEL, _RPM_AT, 1.0),
                                         (self._tpm, _TPM_LEVEL, _TPM_AT, tokens)):
            if ceiling is None:
                continue
            rate = ceiling / MINUTE
            state = self._state
            state[level] = min(ceiling, state[level] + (now - state[at]) * rate)
            state[at] = now
            short = min(need, ceiling) - state[level]
            delay = max(delay, short / rate)
        return delay

    def _service_wait(self, now: float, tokens: float) -> float:
        delay, state = 0.0, self._state
        for unit, need in ((REQUESTS, 1.0), (TOKENS, tokens)):
            level, rate, limit, at = (_SERVICE + _PER_SERVICE * unit + i for i in range(4))
            if not state[limit]:
                continue
            state[level] = min(state[limit], state[level] + (now - state[at]) * state[rate])
            state[at] = now
            short = min(need, state[limit]) - state[level]
            if short > EPSILON:
                delay = max(delay, short / state[rate] if state[rate] > 0 else LOOK)
        return delay

    def _learned_wait(self, now: float, tokens: float) -> float:
        """The wait a pace learned from refusals asks, where no budget of the service is known: a
        budget of a second's worth at that rate, which grows by PROBE a second."""
        delay, state = 0.0, self._state
        for unit, need in ((REQUESTS, 1.0), (TOKENS, tokens)):
            _, _, rate, level, at, _, _ = (_LEARNED + _PER_UNIT * unit + i for i in range(_PER_UNIT))
            if not state[rate] or state[_SERVICE + _PER_SERVICE * unit + 2]:
                continue
            elapsed = max(0.0, now - state[at])
            state[rate] *= 1 + PROBE * elapsed
            most = max(need, state[rate])
            state[level], state[at] = min(most, state[level] + elapsed * state[rate]), now
            short = need - state[level]
            if short > EPSILON:
                delay = max(delay, short / state[rate])
        return delay

    def _learn(self, now: float, unit: int, cost: float, wait: float | None) -> None:
        """A refusal for `unit` of a request of `cost` that asked to wait `wait`: the service's budget
        then lacked what refills in that wait. So between two refusals, what was admitted since the
        first, and the second's cost less the first's, is what refilled in the time between them
        and the second's wait less the first's; the first alone tells that the rate is at most
        `cost` in its wait (and what came back since the start, if that was less)."""
        state = self._state
        last, since, rate, level, at, asked, charged = (_LEARNED + _PER_UNIT * unit + i for i in range(_PER_UNIT))
        if state[last] and now - state[last] < LEARN_GAP:
            return  # of the same burst
        span = now - state[last] + (0.0 if wait is None else wait - state[asked])
        refilled = state[since] + cost - state[charged]
        if state[last] and refilled > 0 and span > 0:
            state[rate] = MARGIN * refilled / span
        elif not state[last] and wait and cost > 0:
            seen = state[since] / max(now - state[_STARTED], EPSILON)
            state[rate] = MARGIN * min(cost / wait, seen)
        state[level], state[at] = 0.0, now
        state[last], state[since], state[asked], state[charged] = now, 0.0, wait or 0.0, cost

    def answered(self, ticket: Ticket, status: int, headers: Mapping[str, str],
                 refused: bool = False, wait: float | None = None, unit: int | None = None) -> bool:
        """A reply came for `ticket`; whether its request is to go again once admitted (a refusal,
        `refused`, that asked to wait `wait` seconds, None: named none, for the limit of `unit`,
        None: not known; it is not, when the wait would be longer than max_wait)."""
        with self._state.get_lock():
            now = self._clock()
            state = self._state
            state[_FLIGHT] = max(0.0, state[_FLIGHT] - 1)
            self._heard(now, headers, ticket)
            if not refused:
                if status < 400:
                    self._grow()
                    state[_BACKOFF] = 0.0
                    took = max(0.0, now - ticket.at)
                    state[_RTT] += (took - state[_RTT]) / (8 if state[_RTT] else 1)
                verdict = False
            else:
                verdict = self._refused(now, ticket, status, headers, wait, unit)
        self._wake()
        return verdict

    def _grow(self) -> None:
        state, window = self._state, max(1.0, self._state[_WINDOW])
        window += 1 / window if state[_GENERATION] else 1  # refused before: one for a window's worth
        state[_WINDOW] = min(float(self._jobs), window)

    def _refused(self, now: float, ticket: Ticket, status: int, headers: Mapping[str, str],
                 wait: float | None, unit: int | None) -> bool:
        state = self._state
        state[_REFUSALS] += 1
        if ticket.generation == state[_GENERATION]:
            state[_WINDOW] = max(1.0, math.floor(state[_WINDOW] / 2))
            state[_GENERATION] += 1
        cost = 1.0 if unit in (None, REQUESTS) else ticket.tokens
        self._give_back(ticket)
        if status == 429 and not state[_SERVICE + _PER_SERVICE * (unit or REQUESTS) + 2]:
            self._learn(now, REQUESTS if unit is None else unit, cost, wait)
        if wait is None and status == 429:
            wait = self._reset_of_used_up(headers, unit)
        if wait is None:
            state[_BACKOFF] = min(BACKOFF_MOST, max(BACKOFF_FIRST, state[_BACKOFF] * 2))
            wait = state[_BACKOFF]
        if wait > self.max_wait:
            return False
        if now + wait > state[_HOLD]:
            state[_HELD] += now + wait - max(now, state[_HOLD])
            state[_HOLD] = now + wait
            state[_WHY] = _WHY_SERVICE if status != 429 or unit is None else 1.0 + unit
        return True

    def _reset_of_used_up(self, headers: Mapping[str, str], unit: int | None) -> float | None:
        """The reset of a budget the headers say is used up (that of `unit` first), else None."""
        for name in ([UNITS[unit]] if unit is not None else []) + list(UNITS):
            if _count(headers.get(f"x-ratelimit-remaining-{name}")) == 0:
                reset = reset_seconds(headers.get(f"x-ratelimit-reset-{name}", ""))
                if reset is not None and reset > 0:
                    return reset
        return None

    def _give_back(self, ticket: Ticket) -> None:
        state = self._state
        if self._rpm is not None:
            state[_RPM_LEVEL] = min(self._rpm, state[_RPM_LEVEL] + 1)
        if self._tpm is not None:
            state[_TPM_LEVEL] = min(self._tpm, state[_TPM_LEVEL] + ticket.tokens)
        for unit, need in ((REQUESTS, 1.0), (TOKENS, ticket.tokens)):
            state[_SERVICE + _PER_SERVICE * unit + 8] += need
            if ticket.at < state[_LEARNED + _PER_UNIT * unit]:
                continue  # admitted before the pace was last learned, which started afresh
            state[_LEARNED + _PER_UNIT * unit + 1] = max(0.0, state[_LEARNED + _PER_UNIT * unit + 1] - need)
            state[_LEARNED + _PER_UNIT * unit + 3] += need
        ticket.tokens = 0.0

    def _heard(self, now: float, headers: Mapping[str, str], ticket: Ticket) -> None:
        """A reply's rate-limit headers: what is left of each budget, and how fast it fills. They
        tell it as the service counted the request they answer, when it came: what is left now is
        what they say (for requests, with what refilled since), less what was admitted after that
        request (replies come out of order, and those sent together arrive over a while)."""
        state = self._state
        for unit, name in enumerate(UNITS):
            remaining = _count(headers.get(f"x-ratelimit-remaining-{name}"))
            if remaining is None:
                continue
            limit = _count(headers.get(f"x-ratelimit-limit-{name}"))
            reset = reset_seconds(headers.get(f"x-ratelimit-reset-{name}", ""))
            level, rate, known, at = (_SERVICE + _PER_SERVICE * unit + i for i in range(4))
            if not limit or remaining > limit:  # no budget to pace by; a used-up one still holds
                if remaining == 0 and reset:
                    state[_HOLD] = max(state[_HOLD], now + min(reset, MINUTE))
                continue
            mine = ticket.sequence if unit == REQUESTS else ticket.admitted
            later = (state[_SEQUENCE] if unit == REQUESTS else state[_TOKENS_ADMITTED]) - mine
            mine -= state[_SERVICE + _PER_SERVICE * unit + 8]  # what the service took of this run's
            if unit == TOKENS:  # and what it took as the replies said, not as estimated
                mine += state[_TOKENS_PUT_RIGHT]
            fills = (limit - remaining) / reset if reset else limit / MINUTE
            fills = min(max(fills, limit / MINUTE / 60), limit)
            others = self._others(unit, ticket.at, remaining, limit, fills, mine)
            state[rate] = fills - others
            # Since the service counted the request, what refilled comes back (not for tokens, where
            # what was admitted after it is only estimated: the refill is then the margin for the
            # estimates), and what others took goes, up to all there was (a slow reply must not hold
            # the run for what others could never have taken).
            age = max(0.0, now - ticket.at)
            refilled = age * state[rate] if unit == REQUESTS else 0.0
            others_now, mine_now = self._recent(unit, ticket.at, remaining, limit, fills, mine)
            left = remaining * self._share(fills, others, others_now, mine_now)
            taken = min(age * max(0.0, others_now - others), left + refilled)
            state[known], state[level], state[at] = limit, min(left + refilled - taken - later, limit), now

    def _others(self, unit: int, sent: float, remaining: float, limit: float, fills: float, mine: float) -> float:
        """The rate at which others (shards on other machines with the same key) use a budget: what
        it lost between two replies at least SHARE_SPAN apart beyond what refilled and what this
        run sent, while it did not fill up; where others are seen, with YIELD of what this run
        used beyond them (shards that came apart, one kept to the least share, would stay so,
        the other seeing it use so little that it leaves it less)."""
        state = self._state
        since, left, admitted, others = (_SERVICE + _PER_SERVICE * unit + i for i in range(4, 8))
        span = sent - state[since]
        if state[since] and span < SHARE_SPAN:
            return state[others]
        if state[since] and max(remaining, state[left]) + fills * span < limit:
            own = (mine - state[admitted]) / span
            used = (state[left] + fills * span - remaining) / span - own
            if state[others] > LEAST_SHARE * fills / 2:  # where others are seen, one that took more
                used += YIELD * max(0.0, own - used)  # than all of them leaves them some of that
            # Halfway: shards that reckon at once then keep to the budget together, not in turns;
            # but others first seen are taken as seen (halfway from none, two shards would each
            # keep three quarters of the budget's rate until they met).
            if state[others]:
                used = (state[others] + used) / 2
            state[others] = min(max(0.0, used), (1 - LEAST_SHARE) * fills)
        state[since], state[left], state[admitted] = sent, remaining, mine
        return state[others]

    @staticmethod
    def _share(fills: float, others: float, others_now: float, mine_now: float) -> float:
        """This run's part of what a budget has left, where `others` use it at that rate: its part
        of the budget's rate; while no others have been seen to use it over SHARE_SPAN, its part of
        what all take now (each of two shards that start together would take a full budget)."""
        if not others and mine_now > 0 and others_now > 0:
            return mine_now / (mine_now + others_now)
        return (fills - others) / fills

    def _recent(self, unit: int, sent: float, remaining: float, limit: float, fills: float,
                mine: float) -> tuple[float, float]:
        """The rates at which others and this run use a budget now: reckoned as in _others, but
        over replies RECENT_SPAN apart and not kept below the budget's rate (shards that start
        together use up a full budget many times faster than it fills)."""
        state = self._state
        since, left, admitted, recent, own = (_SERVICE + _PER_SERVICE * unit + i for i in range(9, 14))
        span = sent - state[since]
        if state[since] and span < RECENT_SPAN:
            return state[recent], state[own]
        if state[since]:
            refilled = min(fills * span, max(0.0, limit - state[left]))
            sent_rate = (mine - state[admitted]) / span
            used = (state[left] + refilled - remaining) / span - sent_rate
            state[recent] += (used - state[recent]) * RECENT_WEIGHT
            state[own] += (sent_rate - state[own]) * RECENT_WEIGHT
        state[since], state[left], state[admitted] = sent, remaining, mine
        return state[recent], state[own]

    def used(self, ticket: Ticket, tokens: float) -> None:
        """The reply to `ticket` says it used `tokens`: the budgets are put right."""
        with self._state.get_lock():
            state, extra = self._state, tokens - ticket.tokens
            if self._tpm is not None:
                state[_TPM_LEVEL] = min(self._tpm, state[_TPM_LEVEL] - extra)
            if state[_SERVICE + _PER_SERVICE * TOKENS + 2]:
                state[_SERVICE + _PER_SERVICE * TOKENS] -= extra
            state[_TOKENS_PUT_RIGHT] += extra
            ticket.tokens = tokens

    def lost(self, ticket: Ticket) -> None:
        """The request of `ticket` got no reply (it failed on the way); it is no longer in flight."""
        with self._state.get_lock():
            self._state[_FLIGHT] = max(0.0, self._state[_FLIGHT] - 1)
        self._wake()

    def held(self) -> Held:
        with self._state.get_lock():
            state, now = self._state, self._clock()
            left = max(0.0, state[_HOLD] - now)
            why = int(state[_WHY]) if left > 0 else 0
            names = {1: "requests", 2: "tokens", _WHY_SERVICE: "the service"}
            return Held(names.get(why), left, int(state[_REFUSALS]), state[_HELD])
