"""JSON in and out as the service speaks it: strict on input, lone surrogates kept on output."""

import json
from typing import Any, NoReturn

__all__ = ["parse_json", "json_bytes"]


def _reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not JSON")


def parse_json(raw: bytes) -> Any:
    """The JSON value of a body, or None when it is not JSON (NaN and Infinity are not)."""
    try:
        return json.loads(raw, parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        return None


def json_bytes(obj: object) -> bytes:
    # A lone surrogate (JSON text may carry one as an escape) is written back as that escape.
    return json.dumps(obj, ensure_ascii=False, allow_nan=False).encode("utf-8", "backslashreplace")
