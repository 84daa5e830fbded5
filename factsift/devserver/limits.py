"""The state behind the rate-limit and flaky modes, shared by every connection."""

import collections
import hashlib
import math
import random
import threading
import time
from typing import Deque, Dict, Optional, Union

__all__ = ["Limits", "retry_after_headers"]

FLAKY_FAULTS = (500, 503, "drop")
FLAKY_RETRY_AFTER_MS = 20

Fault = Union[int, str]


def retry_after_headers(seconds: float) -> Dict[str, str]:
    return {"retry-after-ms": str(math.ceil(seconds * 1000)), "Retry-After": str(math.ceil(seconds))}


class Limits:
    """Requests accepted per rate, and how often each request body came (for flaky)."""

    def __init__(self, seed: int) -> None:
        self.seed = seed
        self._lock = threading.Lock()
        self._accepted: Dict[int, Deque[float]] = collections.defaultdict(collections.deque)
        self._bodies_seen: Dict[str, int] = collections.Counter()

    def rate_wait(self, rate: int) -> float:
        """0 if a request now stays within `rate` per second (and counts), else seconds until it would."""
        now = time.monotonic()
        with self._lock:
            accepted = self._accepted[rate]
            while accepted and accepted[0] <= now - 1:
                accepted.popleft()
            if len(accepted) < rate:
                accepted.append(now)
                return 0
            return accepted[0] + 1 - now

    def flaky_fault(self, probability: float, raw: bytes) -> Optional[Fault]:
        """The fault (a status or "drop") this request meets, or None."""
        digest = hashlib.sha256(raw).hexdigest()
        with self._lock:
            self._bodies_seen[digest] += 1
            seen = self._bodies_seen[digest]
        draw = random.Random(f"{self.seed}:{digest}:{seen}")
        if draw.random() >= probability:
            return None
        return draw.choice(FLAKY_FAULTS)
