"""The API calls, with the real client's signatures: chat completions.

Each call is described once (a function giving its Call and how its reply
is read); the blocking and the asyncio resources both send it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from . import _models, _response

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping

    from ._client import AsyncOpenAI, OpenAI, _Client
    from ._http import Response
    from ._transport import Call

    Request = tuple[Call, Callable[[Response], object]]


class _Omit:
    def __repr__(self) -> str:
        return "omit"


omit = _Omit()  # an argument that was not given, and is not sent
_OPTIONS = ("extra_headers", "extra_query", "extra_body", "timeout")


def _given(**values: object) -> dict[str, object]:
    return {key: value for key, value in values.items() if value is not omit}


def _json_call(client: _Client, method: str, path: str, cls: type[_models.BaseModel],
               body: dict[str, object] | None, options: Mapping[str, object]) -> Request:
    return client._call(method, path, options, body=body), _response.model(cls)


def chat_create(client: _Client, model: str, messages: object, params: dict[str, object]) -> Request:
    options = {key: params.pop(key) for key in _OPTIONS if key in params}
    if params.get("stream"):
        raise NotImplementedError("the offline openai stand-in does not support stream=True")
    body = {"messages": messages, "model": model, **_given(**params)}
    return _json_call(client, "POST", "/chat/completions", _models.ChatCompletion, body, options)


class _Resource:
    def __init__(self, client: OpenAI) -> None:
        self._client = client

    def _send(self, request: Request) -> object:
        return self._client._request(*request)


class _AsyncResource:
    def __init__(self, client: AsyncOpenAI) -> None:
        self._client = client

    async def _send(self, request: Request) -> object:
        return await self._client._request(*request)


class Completions(_Resource):
    def create(self, *, model: str, messages: object, **params: object) -> object:
        return self._send(chat_create(self._client, model, messages, params))


class AsyncCompletions(_AsyncResource):
    async def create(self, *, model: str, messages: object, **params: object) -> object:
        return await self._send(chat_create(self._client, model, messages, params))


class Chat(_Resource):
    @property
    def completions(self) -> Completions:
        return Completions(self._client)


class AsyncChat(_AsyncResource):
    @property
    def completions(self) -> AsyncCompletions:
        return AsyncCompletions(self._client)
