"""What a reply's usage says, where its counts can be added up."""

from __future__ import annotations

from collections.abc import Mapping

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

__all__ = ["MAX_TOKENS", "USAGE_COUNTS", "cached_tokens", "usage_problem"]

MAX_TOKENS = 10**9  # the most a usage's count may say: far beyond any model's context and reply
USAGE_COUNTS = ("prompt_tokens", "completion_tokens", "total_tokens")


def usage_problem(usage: Mapping[str, Any]) -> str | None:
    """Why a usage's counts cannot be added up, or None when they can: each of them that is there
    must be an int from 0 to MAX_TOKENS."""
    for name in USAGE_COUNTS:
        value = usage.get(name)
        if value is not None and not (value.__class__ is int and 0 <= value <= MAX_TOKENS):
            return f"usage not counted: {name} is not a count of tokens from 0 to {MAX_TOKENS}"
    return None


def cached_tokens(usage: Mapping[str, Any]) -> int:
    """The prompt tokens a usage says the service had cached (0 where it says none it can have)."""
    details = usage.get("prompt_tokens_details")
    value = details.get("cached_tokens") if details.__class__ is dict else None
    return value if value.__class__ is int and 0 <= value <= (usage.get("prompt_tokens") or 0) else 0
