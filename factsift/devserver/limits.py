"""The state behind the rate-limit and flaky modes, shared by every connection."""

import collections
import hashlib
import math
import random
import threading
import time
from typing import Deque, Dict, NamedTuple, Optional, Tuple, Union

from .lru import LRU

__all__ = ["Limits", "Verdict", "duration_text", "retry_after_headers"]

FLAKY_FAULTS = (500, 503, "drop")
FLAKY_RETRY_AFTER_MS = 20
# What the modes remember, the oldest forgotten first: the flaky mode's count of each
# body (a forgotten body's next request counts as its first), and the windows and buckets
# of the distinct rate-limit:<n> and token-limit:<n> asked for (a forgotten one starts whole).
REMEMBERED_BODIES = 100_000
REMEMBERED_LIMITS = 1_000

Fault = Union[int, str]


def _ceil(value: float) -> int:
    """Rounded up, but not for a float's error (11.700000000000001 ms is 11.7)."""
    return math.ceil(round(value, 6))


def retry_after_headers(seconds: float) -> Dict[str, str]:
    return {"retry-after-ms": str(_ceil(seconds * 1000)), "Retry-After": str(_ceil(seconds))}


def duration_text(seconds: float) -> str:
    """A reset time as OpenAI writes it: "20ms", "1s", "1.5s", "6m0s", "1h0m0s" (rounded up to a ms)."""
    ms = max(0, _ceil(seconds * 1000))
    if 0 < ms < 1000:
        return f"{ms}ms"
    hours, ms = divmod(ms, 3_600_000)
    minutes, ms = divmod(ms, 60_000)
    text = f"{ms // 1000}s" if ms % 1000 == 0 else f"{ms / 1000:.3f}".rstrip("0") + "s"
    if hours:
        return f"{hours}h{minutes}m{text}"
    return f"{minutes}m{text}" if minutes else text


class Verdict(NamedTuple):
    """What a limit says of one request."""
    wait: float  # 0: accepted (and counted); else seconds until it would be (inf: never)
    limit: int
    remaining: int  # left after this request
    reset: float  # seconds until the limit is whole again

    def headers(self, unit: str) -> Dict[str, str]:
        return {f"x-ratelimit-limit-{unit}": str(self.limit),
                f"x-ratelimit-remaining-{unit}": str(self.remaining),
                f"x-ratelimit-reset-{unit}": duration_text(self.reset)}


class Limits:
    """Requests accepted per rate, token buckets, and how often each request body came (for flaky)."""

    def __init__(self, seed: int, bodies: int = REMEMBERED_BODIES, limits: int = REMEMBERED_LIMITS) -> None:
        self.seed = seed
        self._lock = threading.Lock()
        self._accepted: LRU[int, Deque[float]] = LRU(limits)
        self._bodies_seen: LRU[str, int] = LRU(bodies)
        self._buckets: LRU[int, Tuple[float, float]] = LRU(limits)  # per minute: (level, time of level)

    def take_request(self, rate: int) -> Verdict:
        """Whether a request now stays within `rate` per second; if so it counts."""
        now = time.monotonic()
        with self._lock:
            accepted = self._accepted.setdefault(rate, collections.deque)
            while accepted and accepted[0] <= now - 1:
                accepted.popleft()
            wait = 0.0 if len(accepted) < rate else accepted[0] + 1 - now
            if not wait:
                accepted.append(now)
            reset = accepted[-1] + 1 - now if accepted else 0.0
            return Verdict(wait, rate, rate - len(accepted), reset)

    def take_tokens(self, per_minute: int, tokens: int) -> Verdict:
        """Whether `tokens` fit the bucket of `per_minute` now; if so they are taken.

        The bucket holds `per_minute` tokens when full and refills evenly, full in a
        minute from empty: whatever keeps within the budget of any minute fits.
        """
        now = time.monotonic()
        refill = per_minute / 60
        with self._lock:
            level, then = self._buckets.get(per_minute) or (per_minute, now)
            level = min(per_minute, level + (now - then) * refill)
            if tokens > per_minute:
                wait = math.inf
            else:  # a rounding error's worth short is not worth a refusal
                wait = (tokens - level) / refill if tokens - level > 1e-6 else 0.0
            if not wait:
                level -= tokens
            self._buckets.put(per_minute, (level, now))
        return Verdict(wait, per_minute, int(level), (per_minute - level) / refill)

    def flaky_fault(self, probability: float, raw: bytes) -> Optional[Fault]:
        """The fault (a status or "drop") this request meets, or None."""
        digest = hashlib.sha256(raw).hexdigest()
        with self._lock:
            seen = (self._bodies_seen.get(digest) or 0) + 1
            self._bodies_seen.put(digest, seen)
        draw = random.Random(f"{self.seed}:{digest}:{seen}")
        if draw.random() >= probability:
            return None
        return draw.choice(FLAKY_FAULTS)
