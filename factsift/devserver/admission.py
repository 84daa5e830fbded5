"""Whether a request is let in by the limits it meets: its mode's, then the account's."""

import math
from typing import Dict, Optional, Tuple

from .chatrequest import Request, charged_tokens
from .limits import Limits, duration_text, retry_after_headers
from .outcome import Outcome, error
from .ratelimit import AccountLimits

__all__ = ["admit"]


def admit(request: Request, limits: Limits, account: Optional[AccountLimits],
          prompt: int) -> Tuple[Optional[Outcome], Dict[str, str]]:
    """(the 429 for a request past a limit, else None; the limits' headers for its reply).

    The mode's limit (rate-limit:<n>, token-limit:<n>) is asked first, so a request it
    refuses takes nothing from the account's; the mode's headers win over the account's.
    """
    headers: Dict[str, str] = {}
    if request.mode[0] in ("rate-limit", "token-limit"):
        refusal = _mode_limit(request, limits, prompt, headers)
        if refusal is not None:
            return refusal, headers
    if account is None or not account.active:
        return None, headers
    refusal, account_headers = account.admit(request.model, charged_tokens(request, prompt))
    return refusal, {**account_headers, **headers}


def _mode_limit(request: Request, limits: Limits, prompt: int, headers: Dict[str, str]) -> Optional[Outcome]:
    """The 429 for a request past its mode's limit, else None; the limit's headers go into `headers`."""
    name, arg = request.mode
    assert isinstance(arg, int)
    if name == "rate-limit":
        verdict = limits.take_request(arg)
        headers.update(verdict.headers("requests"))
        message = f"simulated rate limit of {arg} requests per second"
    else:
        charge = charged_tokens(request, prompt)
        verdict = limits.take_tokens(arg, charge)
        headers.update(verdict.headers("tokens"))
        if math.isinf(verdict.wait):
            return error(429, f"Request too large for tokens per min (TPM): Limit {arg}, "
                              f"Requested {charge}.", "tokens", "rate_limit_exceeded", headers=headers)
        message = (f"Rate limit reached for tokens per min (TPM): Limit {arg}, Used {arg - verdict.remaining}, "
                   f"Requested {charge}. Please try again in {duration_text(verdict.wait)}.")
    if not verdict.wait:
        return None
    headers.update(retry_after_headers(verdict.wait))
    kind = "requests" if name == "rate-limit" else "tokens"
    return error(429, message, kind, "rate_limit_exceeded", headers=headers)
