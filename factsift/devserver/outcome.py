"""What a request gets: a status, a body (or none: the connection drops) and headers."""

from typing import Any, Dict, NamedTuple, Optional

from .jsonio import json_bytes

__all__ = ["JSON", "Outcome", "error", "error_object"]

JSON = "application/json; charset=utf-8"


class Outcome(NamedTuple):
    status: int
    body: Optional[bytes]  # None: the connection is dropped without an answer
    headers: Dict[str, str]
    content_type: str = JSON


def error_object(message: str, kind: str = "invalid_request_error", code: Optional[str] = None,
                 param: Optional[str] = None) -> Dict[str, Any]:
    return {"error": {"message": message, "type": kind, "param": param, "code": code}}


def error(status: int, message: str, kind: str = "invalid_request_error", code: Optional[str] = None,
          param: Optional[str] = None, headers: Optional[Dict[str, str]] = None) -> Outcome:
    return Outcome(status, json_bytes(error_object(message, kind, code, param)), headers or {})
