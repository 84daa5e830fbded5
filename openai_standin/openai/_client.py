"""The two clients, their settings and the HTTP clients whose options they take."""

from __future__ import annotations

import json
import os
import urllib.parse

from . import _transport
from ._connection import Pool
from ._errors import OpenAIError
from ._http import Headers
from ._resources import (AsyncBatches, AsyncChat, AsyncFiles, AsyncModels, Batches, Chat, Files, Models)

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    import ssl
    from collections.abc import Callable, Mapping
    from typing import TypeVar

    from ._http import Response

    T = TypeVar("T")

DEFAULT_BASE_URL = "https://api.openai.com/v1"
DEFAULT_TIMEOUT = 600.0
DEFAULT_MAX_RETRIES = 2
_OPTIONS = {"extra_headers", "extra_query", "extra_body", "timeout"}
_JSON = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False)  # as httpx encodes


class NotGiven:
    """The value of an option that was not given (None may mean "none")."""

    def __bool__(self) -> bool:
        return False

    def __repr__(self) -> str:
        return "NOT_GIVEN"


NOT_GIVEN = NotGiven()


class DefaultHttpxClient:
    """Stands in for ``openai.DefaultHttpxClient``: takes every option httpx.Client takes.

    Used: ``event_hooks`` (the request and response hooks), ``timeout`` (for
    a client given no timeout of its own), ``follow_redirects`` and
    ``headers`` (sent with every request, below the client's own). Every
    other option (``transport``, ``limits``, ``proxy``, ``verify``, ``cert``,
    ``http2``, ...) is accepted and ignored.
    """

    def __init__(self, *, event_hooks: Mapping[str, list[Callable[[object], object]]] | None = None,
                 timeout: object = DEFAULT_TIMEOUT, follow_redirects: bool = True,
                 headers: Mapping[str, str] | None = None, **ignored: object) -> None:
        self.event_hooks = {"request": [], "response": [], **(event_hooks or {})}
        self.timeout = timeout
        self.follow_redirects = follow_redirects
        self.headers = Headers(headers)

    def close(self) -> None:
        pass

    def __enter__(self) -> DefaultHttpxClient:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


class DefaultAsyncHttpxClient(DefaultHttpxClient):
    """Stands in for ``openai.DefaultAsyncHttpxClient``: its hooks may be coroutine functions."""

    async def aclose(self) -> None:
        pass


def _seconds(timeout: object) -> float | None:
    """A time-out in seconds: a number, None, or an httpx.Timeout (its read time-out)."""
    if timeout is None or isinstance(timeout, (int, float)):
        return timeout
    read = getattr(timeout, "read", None)
    return None if read is None else float(read)


class _Client:
    """Settings, the requests' URLs and headers, and the kept-alive connections, shared by both clients."""

    def __init__(self, *, api_key: str | None = None, organization: str | None = None,
                 project: str | None = None, base_url: str | None = None, timeout: object = NOT_GIVEN,
                 max_retries: int = DEFAULT_MAX_RETRIES, default_headers: Mapping[str, str] | None = None,
                 default_query: Mapping[str, object] | None = None, http_client: object = None,
                 **ignored: object) -> None:
        api_key = api_key if api_key is not None else os.environ.get("OPENAI_API_KEY")
        if api_key is None:
            raise OpenAIError(
                "The api_key client option must be set either by passing api_key "
                "to the client or by setting the OPENAI_API_KEY environment variable")
        if base_url is None:
            base_url = os.environ.get("OPENAI_BASE_URL") or DEFAULT_BASE_URL
        self.api_key = api_key
        self.organization = organization or os.environ.get("OPENAI_ORG_ID")
        self.project = project or os.environ.get("OPENAI_PROJECT_ID")
        self.base_url = str(base_url).rstrip("/") + "/"
        if isinstance(timeout, NotGiven):
            timeout = getattr(http_client, "timeout", DEFAULT_TIMEOUT)
        self.timeout = _seconds(timeout)
        self.max_retries = max_retries
        self._headers = self._base_headers(default_headers, getattr(http_client, "headers", None))
        self._header_sets: dict[tuple[str, str | None, str | None], Headers] = {}
        self._query = dict(default_query or {})
        hooks = getattr(http_client, "event_hooks", None) or {}
        self._request_hooks = tuple(hooks.get("request", ()))
        self._response_hooks = tuple(hooks.get("response", ()))
        self._follow_redirects = bool(getattr(http_client, "follow_redirects", True))
        self._tls_context: ssl.SSLContext | None = None
        self._pool = Pool()

    def _base_headers(self, defaults: Mapping[str, str] | None, transport: Mapping[str, str] | None) -> Headers:
        headers = Headers(transport)
        headers.update({"Authorization": f"Bearer {self.api_key}", "Accept": "application/json",
                        "User-Agent": "factsift-openai-standin"})
        if self.organization:
            headers["OpenAI-Organization"] = self.organization
        if self.project:
            headers["OpenAI-Project"] = self.project
        headers.update(defaults or {})
        return headers

    def _call(self, method: str, path: str, options: Mapping[str, object], *, body: object = None,
              data: bytes | None = None, content_type: str | None = "application/json",
              query: Mapping[str, object] | None = None, accept: str | None = None,
              limit: int | None = None) -> _transport.Call:
        """The Call of one API request: `body` is sent as JSON, else `data` as it is. `options` are
        the call's own (extra_headers, extra_query, extra_body, timeout), as the real client's."""
        if options and options.keys() - _OPTIONS:
            raise TypeError(f"got an unexpected keyword argument {min(options.keys() - _OPTIONS)!r}")
        extra_body = options.get("extra_body")
        if isinstance(extra_body, dict):
            body = {**(body if isinstance(body, dict) else {}), **extra_body}
        if body is not None:
            data = _JSON.encode(body).encode()
        elif data is None and method == "POST":
            data = b""
        headers = self._header_sets.get((method, content_type, accept)) or \
            self._request_headers(method, content_type, accept)
        extra_headers = options.get("extra_headers")
        if extra_headers:
            headers = headers.copy()
            headers.update(extra_headers)  # type: ignore[call-overload]
        url = self.base_url + path.lstrip("/")
        extra_query = options.get("extra_query")
        if self._query or query or extra_query:
            params = {**self._query, **(query or {}), **(extra_query or {})}  # type: ignore[dict-item]
            url += "?" + urllib.parse.urlencode([(k, v) for k, v in params.items() if v is not None])
        timeout = options.get("timeout", NOT_GIVEN)
        seconds = self.timeout if isinstance(timeout, NotGiven) else _seconds(timeout)
        return _transport.Call(method, url, headers, data, limit, seconds)

    def _request_headers(self, method: str, content_type: str | None, accept: str | None) -> Headers:
        """The headers of a request of this kind; never changed once made (those of JSON
        requests are made once per client)."""
        key = (method, content_type, accept)
        headers = self._header_sets.get(key)
        if headers is None:
            headers = self._headers.copy()
            if content_type and method != "GET":
                headers["Content-Type"] = content_type
            if accept:
                headers["Accept"] = accept
            if content_type in (None, "application/json"):  # a multipart type holds its own boundary
                self._header_sets[key] = headers
        return headers

    def _tls(self) -> ssl.SSLContext:
        if self._tls_context is None:
            import ssl  # only for https

            self._tls_context = ssl.create_default_context()
        return self._tls_context

    # Resources are made at each use, so a client holds no reference to itself: dropping
    # the last reference closes its connections at once, not at the next collection.
    def __del__(self) -> None:
        pool = getattr(self, "_pool", None)  # unset when __init__ raised
        if pool is not None:
            pool.close()


class OpenAI(_Client):
    """The blocking client: one kept-alive connection per request in flight, reused after.

    Any number of threads may use one client. ``close()`` (or leaving a
    ``with`` block) closes the idle connections.
    """

    @property
    def chat(self) -> Chat:
        return Chat(self)

    @property
    def files(self) -> Files:
        return Files(self)

    @property
    def batches(self) -> Batches:
        return Batches(self)

    @property
    def models(self) -> Models:
        return Models(self)

    def close(self) -> None:
        self._pool.close()

    def __enter__(self) -> OpenAI:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _request(self, call: _transport.Call, parse: Callable[[Response], T]) -> T:
        return parse(_transport.send(self, call))


class AsyncOpenAI(_Client):
    """The asyncio client: the same requests and errors, on asyncio streams.

    A connection serves the event loop that made it: a client used again
    under a new loop (a second ``asyncio.run``) connects anew, and asyncio
    warns of the connections the old loop left open. ``await close()`` (or
    leaving an ``async with`` block) closes the idle connections.
    """

    @property
    def chat(self) -> AsyncChat:
        return AsyncChat(self)

    @property
    def files(self) -> AsyncFiles:
        return AsyncFiles(self)

    @property
    def batches(self) -> AsyncBatches:
        return AsyncBatches(self)

    @property
    def models(self) -> AsyncModels:
        return AsyncModels(self)

    async def close(self) -> None:
        self._pool.close()

    async def __aenter__(self) -> AsyncOpenAI:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    async def _request(self, call: _transport.Call, parse: Callable[[Response], T]) -> T:
        return parse(await _transport.send_async(self, call))
