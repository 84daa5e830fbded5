"""The records factsift makes beside the module's own: error records and their messages.

The module's methods return records with fixed keys (``summary`` or ``title``,
``content``, ``status``). A batch adds the input's ``id`` (or ``file``) and,
where the service reported it, ``usage``; a record for an input that never
reached the module, or whose method raised, is an "error" record made here,
with an ``error`` message. An input that can never succeed (a JSON Lines line
that is not an object, a file that is not UTF-8) is marked ``"unusable": true``,
so that a resumed run does not send it again.
"""

from __future__ import annotations

__all__ = ["RESULT_KEYS", "Record", "UnusableInput", "describe", "error_record"]

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    Record = dict[str, Any]
else:
    Record = dict

# Method of AISummary: the key of the text it generates in its records.
RESULT_KEYS: dict[str, str] = {"extract": "summary", "refined_title": "title"}


class UnusableInput(Exception):
    """In place of a text: an input that can never succeed; its record says why."""


def describe(exc: BaseException) -> str:
    """``Type: message``, or the type's name when the message itself cannot be made."""
    try:
        return f"{type(exc).__name__}: {exc}"
    except Exception:
        return type(exc).__name__


def message(exc: BaseException) -> str:
    """The exception's message, or its description when ``str()`` fails."""
    try:
        return str(exc)
    except Exception:
        return describe(exc)


def error_record(method: str, text: str, *, unusable: bool = False) -> Record:
    """An "error" record of `method`'s shape, saying why."""
    record: Record = {RESULT_KEYS[method]: "", "content": "", "status": "error", "error": text}
    if unusable:
        record["unusable"] = True
    return record
