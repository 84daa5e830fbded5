"""When a failed request is sent again, and after how long: the real client's policy.

A status error is retried when the reply says so (``x-should-retry: true``)
or for 408, 409, 429 and 5xx, unless it says not to (``x-should-retry:
false``) or asks for a wait longer than ``MAX_RETRY_AFTER``. Connection
errors and time-outs are always retried. The wait is what the reply asks
for (``retry-after-ms``, else ``Retry-After`` in seconds or as an HTTP
date) when that is more than 0 and at most ``MAX_RETRY_AFTER``, else
``INITIAL_RETRY_DELAY`` doubled at each retry, at most ``MAX_RETRY_DELAY``,
less a random jitter of up to a quarter.
"""

from __future__ import annotations

import math
import random
import time

from ._errors import APIStatusError

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Mapping

    from ._errors import APIError

INITIAL_RETRY_DELAY = 0.5
MAX_RETRY_DELAY = 8.0
MAX_RETRY_AFTER = 120.0


def should_retry(exc: APIError) -> bool:
    """Whether the request that failed with `exc` may be sent again (if retries are left)."""
    if not isinstance(exc, APIStatusError):
        return True  # a connection error or a time-out
    headers = exc.response.headers
    after = retry_after(headers)
    if after is not None and math.isfinite(after) and after > MAX_RETRY_AFTER:
        return False
    verdict = headers.get("x-should-retry")
    if verdict == "true":
        return True
    if verdict == "false":
        return False
    status = exc.status_code
    return status in (408, 409, 429) or status >= 500


def retry_delay(exc: APIError, retries_done: int) -> float:
    """Seconds to wait before the next attempt."""
    after = retry_after(exc.response.headers) if isinstance(exc, APIStatusError) else None
    if after is not None and math.isfinite(after) and 0 < after <= MAX_RETRY_AFTER:
        return after
    backoff = min(INITIAL_RETRY_DELAY * 2.0 ** min(retries_done, 1000), MAX_RETRY_DELAY)
    return backoff * (1 - 0.25 * random.random())


def retry_after(headers: Mapping[str, str]) -> float | None:
    """The wait a reply asks for, in seconds (None: it asks for none)."""
    try:
        return float(headers.get("retry-after-ms")) / 1000  # type: ignore[arg-type]  # None: TypeError
    except (TypeError, ValueError):
        pass
    value = headers.get("retry-after")
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        pass
    if value is None:
        return None
    import email.utils  # only for a date: its import costs more than a request

    try:
        parsed = email.utils.parsedate_tz(value)
        if parsed is None:
            return None
        return email.utils.mktime_tz(parsed) - time.time()
    except (TypeError, ValueError, OverflowError, OSError):  # a date no clock can hold
        return None
