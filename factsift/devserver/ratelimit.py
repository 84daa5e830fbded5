"""The account's rate limits, as OpenAI's API keeps them, over every connection and model.

Requests a minute (rpm) and tokens a minute (tpm) are each a bucket holding the limit
that refills evenly, whole in a minute from empty. A request is charged when it comes:
one request, and its tokens (its prompt's, plus its max_tokens or else its reply's);
a request that does not fit is refused with a 429 and takes nothing. A quota is a
number of tokens for the life of the service. Every reply carries the x-ratelimit-*
headers of the limits that are set (unless told not to).
"""

import math
import threading
import time
from typing import Callable, Dict, List, Optional, Tuple

from .limits import duration_text, retry_after_headers
from .outcome import Outcome, error

__all__ = ["AccountLimits", "Bucket"]

_ORGANIZATION = "org-factsift"
_LEARN_MORE = "Visit https://platform.openai.com/account/rate-limits to learn more."
_QUOTA_MESSAGE = ("You exceeded your current quota, please check your plan and billing details. For more "
                  "information on this error, read the docs: "
                  "https://platform.openai.com/docs/guides/error-codes/api-errors.")


class Bucket:
    """A budget of `size` a minute: it holds at most `size` and refills at `size` a minute."""

    def __init__(self, size: int, now: float) -> None:
        self.size = size
        self._level = float(size)
        self._then = now

    def level(self, now: float) -> float:
        self._level = min(self.size, self._level + (now - self._then) * self.size / 60)
        self._then = now
        return self._level

    def wait(self, now: float, amount: int) -> float:
        """Seconds until `amount` fits (0: now; a rounding error's worth short fits)."""
        short = amount - self.level(now)
        return short * 60 / self.size if short > 1e-6 else 0.0

    def take(self, amount: int) -> None:
        self._level -= amount

    def headers(self, unit: str) -> Dict[str, str]:
        """OpenAI's headers for the bucket as it is (its level brought up to date already)."""
        return {f"x-ratelimit-limit-{unit}": str(self.size),
                f"x-ratelimit-remaining-{unit}": str(max(0, math.floor(self._level + 1e-6))),
                f"x-ratelimit-reset-{unit}": duration_text((self.size - self._level) * 60 / self.size)}


class AccountLimits:
    """One account's rpm, tpm and quota (each None for none), shared by every request."""

    def __init__(self, rpm: Optional[int] = None, tpm: Optional[int] = None, quota: Optional[int] = None,
                 headers: bool = True, clock: Callable[[], float] = time.monotonic) -> None:
        for name, value in (("rpm", rpm), ("tpm", tpm), ("quota", quota)):
            if value is not None and value < 1:
                raise ValueError(f"{name} must be at least 1")
        self._clock = clock
        now = clock()
        self.requests: Optional[Bucket] = Bucket(rpm, now) if rpm else None
        self.tokens: Optional[Bucket] = Bucket(tpm, now) if tpm else None
        self.quota: Optional[int] = quota
        self.quota_used: int = 0
        self.with_headers: bool = headers
        self._lock = threading.Lock()

    @property
    def active(self) -> bool:
        return bool(self.requests or self.tokens or self.quota)

    def headers(self) -> Dict[str, str]:
        """The x-ratelimit-* headers as the limits stand, taking nothing."""
        with self._lock:
            return self._headers(self._clock())

    def _headers(self, now: float) -> Dict[str, str]:
        found: Dict[str, str] = {}
        if self.with_headers:
            for unit, bucket in (("requests", self.requests), ("tokens", self.tokens)):
                if bucket is not None:
                    bucket.level(now)
                    found.update(bucket.headers(unit))
        return found

    def admit(self, model: str, tokens: int) -> Tuple[Optional[Outcome], Dict[str, str]]:
        """(the 429 for a request of `tokens` that does not fit, else None; the reply's headers).

        A request that fits is charged; one refused takes nothing."""
        with self._lock:
            now = self._clock()
            refusal = self._refusal(model, tokens, now)
            if refusal is None:
                for bucket, amount in ((self.requests, 1), (self.tokens, tokens)):
                    if bucket is not None:
                        bucket.take(amount)
                self.quota_used += tokens
            headers = self._headers(now)
        if refusal is not None:
            refusal.headers.update({**headers, **refusal.headers})
        return refusal, headers

    def _refusal(self, model: str, tokens: int, now: float) -> Optional[Outcome]:
        if self.quota is not None and self.quota_used + tokens > self.quota:
            return error(429, _QUOTA_MESSAGE, "insufficient_quota", "insufficient_quota")
        where = f"for {model} in organization {_ORGANIZATION} on"
        if self.tokens is not None and tokens > self.tokens.size:
            return error(429, f"Request too large {where} tokens per min (TPM): Limit {self.tokens.size}, "
                              f"Requested {tokens}. The input or output tokens must be reduced in order to "
                              f"run successfully. {_LEARN_MORE}", "tokens", "rate_limit_exceeded",
                         headers={"x-should-retry": "false"})
        waits: List[Tuple[float, str, Bucket, int]] = [
            (bucket.wait(now, amount), unit, bucket, amount)
            for unit, bucket, amount in (("requests", self.requests, 1), ("tokens", self.tokens, tokens))
            if bucket is not None]
        wait, unit, bucket, amount = max(waits, default=(0.0, "", None, 0), key=lambda w: w[0])
        if not wait or bucket is None:
            return None
        short = "RPM" if unit == "requests" else "TPM"
        used = bucket.size - max(0, math.floor(bucket.level(now) + 1e-6))
        return error(429, f"Rate limit reached {where} {unit} per min ({short}): Limit {bucket.size}, "
                          f"Used {used}, Requested {amount}. Please try again in {duration_text(wait)}. "
                          f"{_LEARN_MORE}", unit, "rate_limit_exceeded", headers=retry_after_headers(wait))
