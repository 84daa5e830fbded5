"""What a successful reply is made into: its JSON as a model, or its bytes.

As with the real client: a reply whose Content-Type ends in "json" must
hold JSON (else ``json.JSONDecodeError``, or ``RecursionError`` for one
nested too deeply, reaches the caller); any other reply is read as JSON if
it is, else handed back as its text. JSON that is not an object where one
is due is handed back as it is.
"""

from __future__ import annotations

import json
import os

from ._errors import APIResponseValidationError

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Callable, Iterator

    from ._http import Response
    from ._models import BaseModel

MAX_CONTENT_BYTES = 512 * 1024 * 1024  # a file's content (the service takes files up to 512 MB)


def json_data(response: Response) -> object:
    """The reply's JSON, or its text when it is not JSON and does not say it is."""
    if response.content is None:
        raise APIResponseValidationError(response, None, message=f"reply body is longer than {_limit()} bytes")
    content_type = (response.headers._values.get("content-type") or "*").split(";")[0]
    if content_type.endswith("json"):
        return json.loads(response.content)
    try:
        return json.loads(response.content)
    except Exception:  # noqa: BLE001 -- as the real client: the text instead
        return response.text


def _limit() -> int:
    from . import _transport

    return _transport.MAX_RESPONSE_BYTES


def model(cls: type[BaseModel]) -> Callable[[Response], object]:
    """How a reply becomes an instance of `cls` (or stays a plain value)."""
    build = cls.build

    def parse(response: Response) -> object:
        content_type = response.headers._values.get("content-type")
        if content_type and response.content is not None and content_type.partition(";")[0].endswith("json"):
            return build(json.loads(response.content))  # the usual reply, at once
        return build(json_data(response))
    return parse


class HttpxBinaryResponseContent:
    """A reply's bytes, as the real client's ``files.content()`` gives them."""

    def __init__(self, response: Response) -> None:
        if response.content is None:
            raise APIResponseValidationError(
                response, None, message=f"file content is longer than {MAX_CONTENT_BYTES} bytes")
        self.response = response
        self.content: bytes = response.content

    @property
    def text(self) -> str:
        return self.response.text

    @property
    def encoding(self) -> str | None:
        return self.response.encoding

    @property
    def charset_encoding(self) -> str | None:
        return self.response.charset_encoding

    def json(self) -> object:
        return self.response.json()

    def read(self) -> bytes:
        return self.content

    def iter_bytes(self, chunk_size: int | None = None) -> Iterator[bytes]:
        size = chunk_size or len(self.content) or 1
        return (self.content[i:i + size] for i in range(0, len(self.content), size))

    def iter_text(self, chunk_size: int | None = None) -> Iterator[str]:
        text = self.text
        size = chunk_size or len(text) or 1
        return (text[i:i + size] for i in range(0, len(text), size))

    def iter_lines(self) -> Iterator[str]:
        return iter(self.text.splitlines())

    def write_to_file(self, file: str | os.PathLike[str]) -> None:
        with open(file, mode="wb") as f:
            f.write(self.content)

    def close(self) -> None:
        pass

    async def aread(self) -> bytes:
        return self.content

    async def aclose(self) -> None:
        pass
