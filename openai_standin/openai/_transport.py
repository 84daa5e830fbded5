"""Sending one API call: its attempts, each attempt's redirect hops, the event hooks and the deadline.

An attempt is one request and the redirects it is sent on, within one
deadline; hooks run outside it (their time is not counted). A failed attempt
is tried again as the retry policy says (``_retry``). Errors from the
network become ``APIConnectionError`` or ``APITimeoutError``, as does any
exception from a hook except the package's own, which passes through as it
came, as with the real client.
"""

from __future__ import annotations

import time
import urllib.parse

from . import _http, _retry
from ._connection import AsyncConnection, Connection, Deadline, connect, connect_async
from ._errors import APIConnectionError, APIError, APITimeoutError, OpenAIError, status_error
from ._http import Headers, Request, Response
from ._parser import ProtocolError, ReplyParser

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Callable, Sequence

    from ._client import AsyncOpenAI, OpenAI, _Client
    from ._connection import Pool
    from ._parser import Reply

MAX_REDIRECTS = 20
MAX_RESPONSE_BYTES = 32 * 1024 * 1024  # an API reply's body
sleep = time.sleep  # the waits between attempts (tests record them instead)


class Call:
    """One API call: what to send, and the most of a reply's body to read (None: MAX_RESPONSE_BYTES)."""

    __slots__ = ("method", "url", "headers", "data", "limit", "timeout")

    def __init__(self, method: str, url: str, headers: Headers, data: bytes | None,
                 limit: int | None, timeout: float | None) -> None:
        self.method, self.url, self.headers, self.data = method, url, headers, data
        self.limit, self.timeout = limit, timeout


class _Unsendable(Exception):
    """A request that HTTP cannot carry (its URL, a header): a connection error at once, not
    worth trying again."""


def send(client: OpenAI, call: Call) -> Response:
    """The reply to `call` whose status is a success; else the error of its last attempt."""
    for attempt in range(client.max_retries + 1):
        try:
            response = _attempt(client, call)
        except Exception as exc:  # noqa: BLE001 -- the real client wraps them all alike
            error = _error(exc, call)
        else:
            if 200 <= response.status_code < 300:
                return response
            error = status_error(response)
        if attempt == client.max_retries or not _retry.should_retry(error):
            raise error
        sleep(_retry.retry_delay(error, attempt))
    raise AssertionError("unreachable")


async def send_async(client: AsyncOpenAI, call: Call) -> Response:
    """As send(), on the running event loop."""
    import asyncio  # here, not at the top: programs using OpenAI alone never pay for it

    for attempt in range(client.max_retries + 1):
        try:
            response = await _attempt_async(client, call)
        except Exception as exc:  # noqa: BLE001
            error = _error(exc, call)
        else:
            if 200 <= response.status_code < 300:
                return response
            error = status_error(response)
        if attempt == client.max_retries or not _retry.should_retry(error):
            raise error
        await asyncio.sleep(_retry.retry_delay(error, attempt))
    raise AssertionError("unreachable")


def _first_request(call: Call) -> Request:
    return Request(call.method, call.url, call.headers, call.data)


def _error(exc: Exception, call: Call) -> APIError:
    # A hook's own API error, and a header beyond ASCII (as httpx refuses it), are raised as they are.
    if isinstance(exc, (OpenAIError, UnicodeEncodeError)):
        raise exc
    request = _first_request(call)
    if isinstance(exc, _Unsendable):
        raise APIConnectionError(request=request) from exc.__cause__
    error = APITimeoutError(request) if isinstance(exc, TimeoutError) else APIConnectionError(request=request)
    error.__cause__ = exc
    return error


def _attempt(client: OpenAI, call: Call) -> Response:
    hooks = client._request_hooks
    request = Request(call.method, call.url, call.headers.copy() if hooks else call.headers, call.data)
    for hook in hooks:  # before the deadline starts: a hook that waits (a rate limit) spends none of it
        hook(request)
    deadline = Deadline(call.timeout)  # ValueError for NaN: a connection error, as with the real client
    redirects = 0
    while True:
        response = _exchange(client, request, deadline, call.limit)
        if response.status_code not in _http.REDIRECT_METHODS:
            return response
        hop = _next_hop(request, response, client._follow_redirects)
        if hop is None:
            return response
        redirects += 1
        if redirects > MAX_REDIRECTS:
            raise ProtocolError(f"more than {MAX_REDIRECTS} redirects")
        request = _request(client, hop)
        if hooks:
            _run_hooks(hooks, request, deadline)


async def _attempt_async(client: AsyncOpenAI, call: Call) -> Response:
    hooks = client._request_hooks
    request = Request(call.method, call.url, call.headers.copy() if hooks else call.headers, call.data)
    for hook in hooks:
        waited = hook(request)
        if hasattr(waited, "__await__"):
            await waited
    deadline = Deadline(call.timeout)
    redirects = 0
    while True:
        response = await _exchange_async(client, request, deadline, call.limit)
        if response.status_code not in _http.REDIRECT_METHODS:
            return response
        hop = _next_hop(request, response, client._follow_redirects)
        if hop is None:
            return response
        redirects += 1
        if redirects > MAX_REDIRECTS:
            raise ProtocolError(f"more than {MAX_REDIRECTS} redirects")
        request = _request(client, hop)
        if hooks:
            await _run_hooks_async(hooks, request, deadline)


def _request(client: _Client, hop: tuple[str, str, Headers, bytes | None]) -> Request:
    method, url, headers, data = hop
    # A hook may change the headers it is shown: those of this request only, as with httpx.
    return Request(method, url, headers.copy() if client._request_hooks else headers, data)


def _prepare(request: Request) -> tuple[_http.Route, bytes]:
    """The Route and the request's bytes; _Unsendable for what HTTP cannot send."""
    try:
        where = _http.route(request.url)
        return where, _http.request_bytes(request.method, where, request.headers, request.content)
    except UnicodeEncodeError:
        raise
    except ValueError as exc:
        raise _Unsendable() from exc


def _exchange(client: OpenAI, request: Request, deadline: Deadline, limit: int | None) -> Response:
    """One HTTP request on a kept-alive or new connection, with the response hooks after its head."""
    where, data = _prepare(request)
    connection = client._pool.take(where.origin)
    assert connection is None or isinstance(connection, Connection)
    reply = None
    try:
        if connection is None:
            connection = connect(where, deadline, client._tls)
        connection.send(data, deadline)
        parser = ReplyParser(MAX_RESPONSE_BYTES if limit is None else limit)
        hooks = client._response_hooks
        connection.read(parser, deadline, head_only=bool(hooks))
        response = Response(parser.status, Headers.of_lower(parser.headers), request, b"", parser.version,
                            parser.reason)
        if hooks:
            _run_hooks(hooks, response, deadline)
            connection.read(parser, deadline)
        reply = parser.reply()
        response.content = reply.body
        return response
    finally:
        _release(client._pool, where, connection, reply)


async def _exchange_async(client: AsyncOpenAI, request: Request, deadline: Deadline,
                          limit: int | None) -> Response:
    import asyncio

    where, data = _prepare(request)
    connection = client._pool.take(where.origin, asyncio.get_running_loop())
    assert connection is None or isinstance(connection, AsyncConnection)
    slot = [connection]  # the connection made meanwhile, for the finally clause
    reply = None
    try:
        parser = ReplyParser(MAX_RESPONSE_BYTES if limit is None else limit)
        hooks = client._response_hooks
        await _within(deadline, _start_async(client, where, slot, data, parser, bool(hooks)))
        response = Response(parser.status, Headers.of_lower(parser.headers), request, b"", parser.version,
                            parser.reason)
        if hooks:
            await _run_hooks_async(hooks, response, deadline)
            await _within(deadline, _read_async(slot, parser))
        reply = parser.reply()
        response.content = reply.body
        return response
    finally:  # a cancelled exchange (the deadline) closes its connection
        _release(client._pool, where, slot[0], reply)


async def _start_async(client: AsyncOpenAI, where: _http.Route, slot: list[AsyncConnection | None],
                       data: bytes, parser: ReplyParser, head_only: bool) -> None:
    connection = slot[0]
    if connection is None:
        connection = slot[0] = await connect_async(where, client._tls)
    await connection.send(data)
    await connection.read(parser, head_only)


async def _read_async(slot: list[AsyncConnection | None], parser: ReplyParser) -> None:
    assert slot[0] is not None
    await slot[0].read(parser)


async def _within(deadline: Deadline, step: object) -> None:
    """Awaits `step` (a coroutine) for at most the time left; TimeoutError when that passes."""
    import asyncio

    left = deadline.left()
    try:
        if not hasattr(asyncio, "timeout"):  # before Python 3.11
            await asyncio.wait_for(step, left)  # type: ignore[arg-type]
            return
        async with asyncio.timeout(left):  # no task of its own, unlike wait_for
            await step  # type: ignore[misc]
    except asyncio.TimeoutError:  # the same class as TimeoutError from Python 3.11
        raise TimeoutError("the request's deadline has passed") from None


def _run_hooks(hooks: Sequence[Callable[[object], object]], target: object, deadline: Deadline) -> None:
    start = time.monotonic()
    try:
        for hook in hooks:
            hook(target)
    finally:  # a hook that waits (a rate limit) spends none of the request's time
        deadline.extend(time.monotonic() - start)


async def _run_hooks_async(hooks: Sequence[Callable[[object], object]], target: object,
                           deadline: Deadline) -> None:
    start = time.monotonic()
    try:
        for hook in hooks:
            waited = hook(target)
            if hasattr(waited, "__await__"):  # httpx.AsyncClient's hooks are coroutine functions
                await waited
    finally:
        deadline.extend(time.monotonic() - start)


def _release(pool: Pool, where: _http.Route, connection: Connection | AsyncConnection | None,
             reply: Reply | None) -> None:
    """After an exchange: keep the connection for the next request, or close it."""
    if connection is None:
        return
    if reply is not None and reply.reusable:
        pool.give(where.origin, connection)
    else:
        connection.close()


def _next_hop(request: Request, response: Response,
              follow: bool) -> tuple[str, str, Headers, bytes | None] | None:
    """(method, url, headers, data) of the redirect `response` asks for; None when it is the answer."""
    if response.status_code not in _http.REDIRECT_METHODS or not follow:
        return None
    location = response.headers.get("location")
    if location is None:
        return None
    url = request.url
    next_url = urllib.parse.urljoin(url, location)
    method, data = request.method, request.content
    if _http.REDIRECT_METHODS[response.status_code] == "GET":
        method, data = "GET", None
    headers = request.headers
    if not _keeps_credentials(url, next_url):
        headers = headers.copy()
        headers.pop("authorization", None)
    if data is None and "content-length" in headers:
        headers = headers.copy()
        del headers["content-length"]
    return method, next_url, headers, data


def _keeps_credentials(url: str, next_url: str) -> bool:
    """Whether a redirect from url to next_url may carry the Authorization header."""
    here, there = _http.origin(url), _http.origin(next_url)
    return here == there or (here == ("http", there[1], 80) and there == ("https", here[1], 443))
