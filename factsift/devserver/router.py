"""Which answer a request gets from the account, whatever connection it came on.

The connection's handler reads a request's head, asks here whether it may go on and
how large its body may be, reads the body within that, and sends what answer() says.
"""

from typing import Any, Dict, List, Optional

# The module, not its function: a test may stand in for api.route.
import factsift.devserver.api as api

from .account import Account
from .auth import refusal
from .outcome import Outcome, error

__all__ = ["CHAT_PATHS", "answer", "authorize", "body_limit", "is_upload"]

CHAT_PATHS = ("/v1/chat/completions", "/chat/completions")


def authorize(account: Account, authorizations: List[str]) -> Optional[Outcome]:
    """The 401 for a request without the account's API key, else None."""
    return refusal(account.api_key, authorizations)


def is_upload(method: str, path: Optional[str]) -> bool:
    return method == "POST" and path in (api.UPLOAD_PATH, api.UPLOAD_PATH[3:])


def body_limit(account: Account, method: str, path: Optional[str]) -> int:
    return account.max_upload if is_upload(method, path) else account.max_body


def answer(account: Account, method: str, path: Optional[str], query: Dict[str, str], content_type: str,
           raw: bytes, body: Any) -> Outcome:
    """The answer to a request whose body is `raw` (`body` its JSON value, None if it has none)."""
    if method == "POST" and path in CHAT_PATHS:
        return account.answer_chat(body, raw)
    # Looked up when called: a test may stand in for the endpoints.
    outcome = api.route(account, method, path or "", query, raw, content_type)
    if outcome is None:
        hint = ". Use POST /v1/chat/completions." if method == "GET" else ""
        outcome = error(404, f"Unknown request URL: {method} {path}{hint}")
    return outcome
