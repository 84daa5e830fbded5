"""What a successful reply is made into: its JSON as a model.

As with the real client: a reply whose Content-Type ends in "json" must
hold JSON (else ``json.JSONDecodeError``, or ``RecursionError`` for one
nested too deeply, reaches the caller); any other reply is read as JSON if
it is, else handed back as its text. JSON that is not an object where one
is due is handed back as it is.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._errors import APIResponseValidationError

if TYPE_CHECKING:
    from collections.abc import Callable

    from ._http import Response
    from ._models import BaseModel

def json_data(response: Response) -> object:
    """The reply's JSON, or its text when it is not JSON and does not say it is."""
    if response.content is None:
        raise APIResponseValidationError(response, None, message=f"reply body is longer than {_limit()} bytes")
    content_type = (response.headers.get("content-type") or "*").split(";")[0]
    if content_type.endswith("json"):
        return response.json()
    try:
        return response.json()
    except Exception:  # noqa: BLE001 -- as the real client: the text instead
        return response.text


def _limit() -> int:
    from . import _transport

    return _transport.MAX_RESPONSE_BYTES


def model(cls: type[BaseModel]) -> Callable[[Response], object]:
    """How a reply becomes an instance of `cls` (or stays a plain value)."""
    return lambda response: cls.build(json_data(response))
