"""What a refusal says: how long the service asks to wait, for which limit, and whether waiting helps.

A 429, and a 503 that names a wait (``Retry-After``), is a refusal: the
service did not do the work and says when to ask again. It cannot pass by
waiting when the reply says ``x-should-retry: false``, the request is larger
than the whole token budget ("Request too large ...") or the quota is used
up (``insufficient_quota``).
"""

from __future__ import annotations

import json
import math
import time
from collections.abc import Mapping

from factsift.clients._transport import REFUSED

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

_FINAL_CODES = frozenset({"insufficient_quota", "billing_hard_limit_reached", "access_terminated"})


class Refusal:
    """A refused request: the `wait` asked for (None: none named; an unusable one is none), the
    limit's `unit` (0 requests, 1 tokens, None: not known), whether it is `final`, and the
    service's `message`."""

    __slots__ = ("wait", "unit", "final", "message")

    def __init__(self, wait: float | None, unit: int | None, final: bool, message: str) -> None:
        self.wait, self.unit, self.final, self.message = wait, unit, final, message


def retry_after(headers: Mapping[str, str]) -> float | None:
    """The wait a reply asks for, in seconds (None: none, or none that is a time from now)."""
    for name, scale in (("retry-after-ms", 1000.0), ("retry-after", 1.0)):
        try:
            value = float(headers.get(name)) / scale  # type: ignore[arg-type]  # None: TypeError
        except (TypeError, ValueError):
            continue
        return value if math.isfinite(value) and value >= 0 else None
    import email.utils  # only for a date: its import costs more than a request

    try:
        date = email.utils.parsedate_tz(headers.get("retry-after", ""))
        return None if date is None else max(0.0, email.utils.mktime_tz(date) - time.time())
    except (TypeError, ValueError, OverflowError):
        return None


def _error(body: bytes) -> dict[str, Any]:
    try:
        value = json.loads(body)
    except (ValueError, RecursionError):
        return {}
    error = value.get("error") if isinstance(value, dict) else None
    return error if isinstance(error, dict) else {}


def refusal(status: int, headers: Mapping[str, str], body: bytes) -> Refusal | None:
    """The refusal a reply is, or None (a 503 that names no wait is a failure like any other)."""
    if status not in REFUSED:
        return None
    wait = retry_after(headers)
    if status == 503 and wait is None:
        return None
    error = _error(body)
    message = error.get("message")
    message = message if isinstance(message, str) else body[:200].decode("utf-8", "replace")
    codes = {str(error.get("code")), str(error.get("type"))}
    final = status == 429 and (headers.get("x-should-retry", "").strip().lower() == "false"
                               or bool(codes & _FINAL_CODES) or message.lower().startswith("request too large"))
    return Refusal(wait, _unit(message, headers), final, message)


def _unit(message: str, headers: Mapping[str, str]) -> int | None:
    """Which limit refused: as the message words it, else the budget the headers say is used up."""
    lowered = message.lower()
    for unit, word in ((1, "token"), (0, "request")):
        if f"{word}s per min" in lowered or f"limit {word}" in lowered or f"on {word}s" in lowered:
            return unit
    for unit, name in ((1, "tokens"), (0, "requests")):
        if headers.get(f"x-ratelimit-remaining-{name}", "").strip() == "0":
            return unit
    return None
