"""The API calls, with the real client's signatures: chat completions, files, batches and models.

Each call is described once (a function giving its Call and how its reply
is read); the blocking and the asyncio resources both send it.
"""

from __future__ import annotations

import re
import urllib.parse

from . import _models, _response

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Callable, Mapping

    from . import _pages

    from ._client import AsyncOpenAI, OpenAI, _Client
    from ._http import Response
    from ._transport import Call

    Request = tuple[Call, Callable[[Response], object]]

_DOT_SEGMENT = r"(?:\.|%2[eE]){1,2}"  # compiled on first use


class _Omit:
    def __repr__(self) -> str:
        return "omit"


omit = _Omit()  # an argument that was not given, and is not sent
_OPTIONS = ("extra_headers", "extra_query", "extra_body", "timeout")


def _path(template: str, **ids: str) -> str:
    """`template` with each {name} set to its id, quoted as a path segment; ValueError for an empty
    id or one that makes a dot-segment, as the real client refuses them."""
    path = template
    for name, value in ids.items():
        if not value:
            raise ValueError(f"Expected a non-empty value for `{name}` but received {value!r}")
        path = path.replace("{" + name + "}", urllib.parse.quote(str(value), safe="!$&'()*+,;=:@"))
    for segment in path.split("/"):
        if re.fullmatch(_DOT_SEGMENT, segment):
            raise ValueError(f"Constructed path {path!r} contains dot-segment {segment!r} which is not allowed")
    return path


def _given(**values: object) -> dict[str, object]:
    return {key: value for key, value in values.items() if value is not omit}


def _json_call(client: _Client, method: str, path: str, cls: type[_models.BaseModel],
               body: dict[str, object] | None, options: Mapping[str, object]) -> Request:
    return client._call(method, path, options, body=body), _response.model(cls)


_COMPLETION = _response.model(_models.ChatCompletion)


def chat_create(client: _Client, model: str, messages: object, params: dict[str, object]) -> Request:
    options = {key: params.pop(key) for key in _OPTIONS if key in params} if params.keys() & _OPTIONS else {}
    if params.get("stream"):
        raise NotImplementedError("the offline openai stand-in does not support stream=True")
    body = {"messages": messages, "model": model, **(_given(**params) if omit in params.values() else params)}
    return client._call("POST", "/chat/completions", options, body=body), _COMPLETION


def files_create(client: _Client, file: object, purpose: str, expires_after: object,
                 options: Mapping[str, object]) -> Request:
    fields = {"purpose": purpose}
    if isinstance(expires_after, dict):
        fields.update({f"expires_after[{key}]": str(value) for key, value in expires_after.items()})
    from . import _multipart  # only for uploads

    data, content_type = _multipart.encode(fields, "file", _multipart.file_part(file))
    call = client._call("POST", "/files", options, data=data, content_type=content_type)
    return call, _response.model(_models.FileObject)


def files_content(client: _Client, file_id: str, options: Mapping[str, object]) -> Request:
    path = _path("/files/{file_id}/content", file_id=file_id)
    call = client._call("GET", path, options, accept="application/binary", limit=_response.MAX_CONTENT_BYTES)
    return call, _response.HttpxBinaryResponseContent


def list_call(client: _Client, path: str, page: str, item: type[_models.BaseModel],
              query: dict[str, object], options: Mapping[str, object],
              fetch: Callable[[dict[str, str]], object]) -> Request:
    """The Call of a list, and how its reply becomes a page (the class named `page`) of `item`s."""
    from . import _pages  # only for lists

    page_class: type[_pages._Page] = getattr(_pages, page)
    return client._call("GET", path, options, query=query), _pages.parser(page_class, item, fetch)


class _Resource:
    def __init__(self, client: OpenAI) -> None:
        self._client = client

    def _send(self, request: Request) -> object:
        return self._client._request(*request)

    def _list(self, path: str, page: str, item: type[_models.BaseModel],
              query: dict[str, object], options: Mapping[str, object]) -> object:
        def fetch(params: dict[str, str]) -> object:
            return self._list(path, page, item, {**_given(**query), **params}, options)
        return self._send(list_call(self._client, path, page, item, _given(**query), options, fetch))


class _AsyncResource:
    def __init__(self, client: AsyncOpenAI) -> None:
        self._client = client

    async def _send(self, request: Request) -> object:
        return await self._client._request(*request)

    def _list(self, path: str, page: str, item: type[_models.BaseModel],
              query: dict[str, object], options: Mapping[str, object]) -> _pages.AsyncPaginator:
        def fetch(params: dict[str, str]) -> object:
            return self._list(path, page, item, {**_given(**query), **params}, options)
        from ._pages import AsyncPaginator

        return AsyncPaginator(self._send(list_call(self._client, path, page, item, _given(**query), options, fetch)))


class Completions(_Resource):
    def create(self, *, model: str, messages: object, **params: object) -> object:
        return self._client._request(*chat_create(self._client, model, messages, params))


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


class Files(_Resource):
    def create(self, *, file: object, purpose: str, expires_after: object = omit, **options: object) -> object:
        return self._send(files_create(self._client, file, purpose, expires_after, options))

    def retrieve(self, file_id: str, **options: object) -> object:
        path = _path("/files/{file_id}", file_id=file_id)
        return self._send(_json_call(self._client, "GET", path, _models.FileObject, None, options))

    def content(self, file_id: str, **options: object) -> object:
        return self._send(files_content(self._client, file_id, options))

    def delete(self, file_id: str, **options: object) -> object:
        path = _path("/files/{file_id}", file_id=file_id)
        return self._send(_json_call(self._client, "DELETE", path, _models.FileDeleted, None, options))

    def list(self, *, after: object = omit, limit: object = omit, order: object = omit,
             purpose: object = omit, **options: object) -> object:
        query = {"after": after, "limit": limit, "order": order, "purpose": purpose}
        return self._list("/files", "SyncCursorPage", _models.FileObject, query, options)


class AsyncFiles(_AsyncResource):
    async def create(self, *, file: object, purpose: str, expires_after: object = omit,
                     **options: object) -> object:
        return await self._send(files_create(self._client, file, purpose, expires_after, options))

    async def retrieve(self, file_id: str, **options: object) -> object:
        path = _path("/files/{file_id}", file_id=file_id)
        return await self._send(_json_call(self._client, "GET", path, _models.FileObject, None, options))

    async def content(self, file_id: str, **options: object) -> object:
        return await self._send(files_content(self._client, file_id, options))

    async def delete(self, file_id: str, **options: object) -> object:
        path = _path("/files/{file_id}", file_id=file_id)
        return await self._send(_json_call(self._client, "DELETE", path, _models.FileDeleted, None, options))

    def list(self, *, after: object = omit, limit: object = omit, order: object = omit,
             purpose: object = omit, **options: object) -> _pages.AsyncPaginator:
        query = {"after": after, "limit": limit, "order": order, "purpose": purpose}
        return self._list("/files", "AsyncCursorPage", _models.FileObject, query, options)


def _batch_body(completion_window: str, endpoint: str, input_file_id: str, metadata: object,
                output_expires_after: object) -> dict[str, object]:
    return _given(completion_window=completion_window, endpoint=endpoint, input_file_id=input_file_id,
                  metadata=metadata, output_expires_after=output_expires_after)


class Batches(_Resource):
    def create(self, *, completion_window: str, endpoint: str, input_file_id: str, metadata: object = omit,
               output_expires_after: object = omit, **options: object) -> object:
        body = _batch_body(completion_window, endpoint, input_file_id, metadata, output_expires_after)
        return self._send(_json_call(self._client, "POST", "/batches", _models.Batch, body, options))

    def retrieve(self, batch_id: str, **options: object) -> object:
        path = _path("/batches/{batch_id}", batch_id=batch_id)
        return self._send(_json_call(self._client, "GET", path, _models.Batch, None, options))

    def cancel(self, batch_id: str, **options: object) -> object:
        path = _path("/batches/{batch_id}/cancel", batch_id=batch_id)
        return self._send(_json_call(self._client, "POST", path, _models.Batch, None, options))

    def list(self, *, after: object = omit, limit: object = omit, **options: object) -> object:
        query = {"after": after, "limit": limit}
        return self._list("/batches", "SyncCursorPage", _models.Batch, query, options)


class AsyncBatches(_AsyncResource):
    async def create(self, *, completion_window: str, endpoint: str, input_file_id: str,
                     metadata: object = omit, output_expires_after: object = omit, **options: object) -> object:
        body = _batch_body(completion_window, endpoint, input_file_id, metadata, output_expires_after)
        return await self._send(_json_call(self._client, "POST", "/batches", _models.Batch, body, options))

    async def retrieve(self, batch_id: str, **options: object) -> object:
        path = _path("/batches/{batch_id}", batch_id=batch_id)
        return await self._send(_json_call(self._client, "GET", path, _models.Batch, None, options))

    async def cancel(self, batch_id: str, **options: object) -> object:
        path = _path("/batches/{batch_id}/cancel", batch_id=batch_id)
        return await self._send(_json_call(self._client, "POST", path, _models.Batch, None, options))

    def list(self, *, after: object = omit, limit: object = omit, **options: object) -> _pages.AsyncPaginator:
        query = {"after": after, "limit": limit}
        return self._list("/batches", "AsyncCursorPage", _models.Batch, query, options)


class Models(_Resource):
    def list(self, **options: object) -> object:
        return self._list("/models", "SyncPage", _models.Model, {}, options)

    def retrieve(self, model: str, **options: object) -> object:
        path = _path("/models/{model}", model=model)
        return self._send(_json_call(self._client, "GET", path, _models.Model, None, options))


class AsyncModels(_AsyncResource):
    def list(self, **options: object) -> _pages.AsyncPaginator:
        return self._list("/models", "AsyncPage", _models.Model, {}, options)

    async def retrieve(self, model: str, **options: object) -> object:
        path = _path("/models/{model}", model=model)
        return await self._send(_json_call(self._client, "GET", path, _models.Model, None, options))
