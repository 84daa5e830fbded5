"""The API key a service may require: who it lets in, and OpenAI's 401 for the others."""

import hmac
import ipaddress
from typing import List, Optional

from .outcome import Outcome, error

__all__ = ["is_loopback", "refusal"]

_KEYS_PAGE = "https://platform.openai.com/account/api-keys"


def is_loopback(address: str) -> bool:
    """Whether a bound address is reachable from this machine only."""
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return False


def _shown(key: str) -> str:
    """A key as OpenAI shows one it refused: its start and end, the rest starred."""
    if len(key) <= 8:
        return "*" * len(key)
    return key[:3] + "*" * (len(key) - 7) + key[-4:]


def refusal(api_key: Optional[str], authorizations: List[str]) -> Optional[Outcome]:
    """The 401 for a request whose Authorization headers do not bear `api_key`, else None."""
    if api_key is None:
        return None
    if not authorizations:
        return error(401, "You didn't provide an API key. You need to provide your API key in an "
                          "Authorization header using Bearer auth (i.e. Authorization: Bearer YOUR_KEY). "
                          f"You can obtain an API key from {_KEYS_PAGE}.", code="invalid_api_key")
    scheme, _, given = authorizations[0].strip().partition(" ")
    given = given.strip()
    expected = api_key.encode("utf-8")
    if (len(authorizations) == 1 and scheme.lower() == "bearer"
            and hmac.compare_digest(given.encode("utf-8", "surrogateescape"), expected)):
        return None
    return error(401, f"Incorrect API key provided: {_shown(given)}. You can find your API key at "
                      f"{_KEYS_PAGE}.", code="invalid_api_key")
