"""factsift's offline stand-in for the ``openai`` client package.

factsift does ``from openai import OpenAI``. Build and test machines without
the real package put ``openai_standin/`` on PYTHONPATH, and this module answers
that import; wherever the real ``openai`` is installed it is used instead and
this file is never loaded.

It speaks the real HTTP protocol for the one call factsift makes,
``client.chat.completions.create(...)``, and raises exceptions with the real
package's names. ``AsyncOpenAI`` makes the same requests on asyncio streams,
with the same errors, deadline and bound. Like the real clients, each client
keeps its connections alive for the next request (up to ``_http.MAX_IDLE``
idle ones per server); one the server has closed meanwhile is replaced
before the request is sent. ``close()`` (``await close()``), or leaving a
``with`` (``async with``) block, closes the idle ones. Differences from the
real client:

* ``stream=True`` is not supported (``NotImplementedError``);
* ``max_retries`` defaults to 0: a failed call is not repeated unless asked;
* proxies are not used; options such as ``organization`` are accepted and
  ignored. Of an ``http_client`` (``DefaultHttpxClient`` here, or an
  ``httpx.Client``) only the request event hooks are used: each callable in
  ``http_client.event_hooks["request"]`` is called with the request (its
  ``method``, ``url`` and ``headers``) in the calling thread before every
  HTTP request is sent, every retry and redirect hop included, as httpx does;
  ``AsyncOpenAI`` takes a ``DefaultAsyncHttpxClient`` (or an
  ``httpx.AsyncClient``) and awaits its hooks, as httpx does (a plain
  function's result is awaited only when it is awaitable); response hooks
  are not called;
* replies are plain attribute objects, not pydantic models (``to_dict()``
  gives the JSON back);
* ``timeout`` is a deadline for each attempt as a whole: connecting, the TLS
  handshake, sending, and reading the status, headers and body (name lookup
  is covered by ``AsyncOpenAI`` only). A server that sends a byte at a time
  cannot stretch it. It starts when the first request hook returns, so a
  hook that waits (a rate limit) spends none of it;
* a header that HTTP cannot carry (a line break, a character beyond
  Latin-1) raises ``APIConnectionError`` before anything is sent;
* a reply body longer than ``MAX_RESPONSE_BYTES`` raises
  ``APIResponseValidationError`` (a failed status with such a body raises its
  status error, with no body) without being read further.

Both clients retry as the real client does: 408, 409, 429, 5xx, connection
errors and time-outs are tried again, up to ``max_retries`` times, after the
wait the reply asks for (``retry-after-ms``, else ``Retry-After`` in seconds
or as an HTTP date, when it is more than 0 and at most 60 seconds), else
after ``INITIAL_RETRY_DELAY`` doubled at each retry, at most
``MAX_RETRY_DELAY``, less a random jitter of up to a quarter.

As with the real client, only a 2xx status is a success. Redirects are
followed as httpx follows them, at most ``MAX_REDIRECTS`` hops within the one
deadline: 307 and 308 repeat the POST with its body; 301, 302 and 303 become
a GET without one; the Authorization header is dropped when a hop leaves the
origin (scheme, host and port), unless it only moves from http to https on
the same host. A redirect without a ``Location``, and any other status, raise
``APIStatusError`` (the subclass for the status); too many hops raise
``APIConnectionError``.

In a reply, the completion, its choices, their messages and the usage are
objects with the keys as attributes (as are tool calls and log
probabilities), where the real client builds its models; every other value,
a message ``content`` that is a JSON object or array included, is the plain
value parsed from the JSON, as the real client hands it through.
"""

import json
import os
import random
import time
import types
import urllib.parse

from . import _http

__all__ = [
    "OpenAI", "AsyncOpenAI", "DefaultHttpxClient", "DefaultAsyncHttpxClient",
    "OpenAIError", "APIError", "APIConnectionError", "APITimeoutError",
    "APIResponseValidationError", "APIStatusError", "BadRequestError",
    "AuthenticationError", "PermissionDeniedError", "NotFoundError", "ConflictError",
    "UnprocessableEntityError", "RateLimitError", "InternalServerError",
]

DEFAULT_BASE_URL = "https://api.openai.com/v1"
DEFAULT_TIMEOUT = 600.0
MAX_REDIRECTS = 20
MAX_RESPONSE_BYTES = 32 * 1024 * 1024
INITIAL_RETRY_DELAY = 0.5
MAX_RETRY_DELAY = 8.0
MAX_RETRY_AFTER = 60.0


class OpenAIError(Exception):
    pass


class APIError(OpenAIError):
    def __init__(self, message, body=None):
        super().__init__(message)
        self.message = message
        self.body = body
        fields = body if isinstance(body, dict) else {}
        self.code = fields.get("code")
        self.param = fields.get("param")
        self.type = fields.get("type")


class APIConnectionError(APIError):
    def __init__(self, message="Connection error."):
        super().__init__(message)


class APITimeoutError(APIConnectionError):
    def __init__(self, message="Request timed out."):
        super().__init__(message)


class APIResponseValidationError(APIError):
    def __init__(self, message, status_code, body=None):
        super().__init__(message, body)
        self.status_code = status_code


class APIStatusError(APIError):
    def __init__(self, message, status_code, body=None, request_id=None, headers=None):
        super().__init__(message, body)
        self.status_code = status_code
        self.request_id = request_id
        # As the real client's exc.response: the status and the headers of the reply.
        self.response = types.SimpleNamespace(status_code=status_code, headers=headers or {})


class BadRequestError(APIStatusError): pass
class AuthenticationError(APIStatusError): pass
class PermissionDeniedError(APIStatusError): pass
class NotFoundError(APIStatusError): pass
class ConflictError(APIStatusError): pass
class UnprocessableEntityError(APIStatusError): pass
class RateLimitError(APIStatusError): pass
class InternalServerError(APIStatusError): pass


_STATUS_ERRORS = {
    400: BadRequestError, 401: AuthenticationError, 403: PermissionDeniedError,
    404: NotFoundError, 409: ConflictError, 422: UnprocessableEntityError,
    429: RateLimitError,
}


def _status_error(status, raw, headers):
    try:
        body = None if raw is None else json.loads(raw)
    except (ValueError, RecursionError):
        body = raw.decode("utf-8", "replace") or None
    if isinstance(body, dict) and "error" in body:
        body = body["error"]
    cls = InternalServerError if status >= 500 else _STATUS_ERRORS.get(status, APIStatusError)
    return cls(f"Error code: {status} - {body}", status, body, headers.get("x-request-id"), headers)


def _should_retry(exc):
    if isinstance(exc, APIStatusError):
        return exc.status_code in (408, 409, 429) or exc.status_code >= 500
    return isinstance(exc, APIConnectionError)


def _retry_delay(exc, retries_done):
    """Seconds to wait before the next attempt."""
    after = _retry_after(exc.response.headers) if isinstance(exc, APIStatusError) else None
    if after is not None and 0 < after <= MAX_RETRY_AFTER:
        return after
    backoff = min(INITIAL_RETRY_DELAY * 2 ** retries_done, MAX_RETRY_DELAY)
    return backoff * (1 - 0.25 * random.random())


def _retry_after(headers):
    """The wait a reply asks for, in seconds (None: it asks for none)."""
    try:
        return float(headers.get("retry-after-ms")) / 1000
    except (TypeError, ValueError):
        pass
    value = headers.get("retry-after")
    try:
        return float(value)
    except (TypeError, ValueError):
        pass
    if not isinstance(value, str):
        return None
    import email.utils  # only for a date: its import costs more than a request

    try:
        return email.utils.mktime_tz(email.utils.parsedate_tz(value)) - time.time()
    except (TypeError, ValueError, OverflowError):  # None, or a date no clock can hold
        return None


class Record(types.SimpleNamespace):
    """A JSON object from a reply, with its keys as attributes."""

    def to_dict(self):
        def plain(value):
            if isinstance(value, Record):
                return {k: plain(v) for k, v in vars(value).items()}
            if isinstance(value, list):
                return [plain(v) for v in value]
            return value
        return plain(self)

    model_dump = to_dict


# Where the real client builds objects out of a reply; a {} or [{}] here makes
# the JSON object (or each object of the array) at that key a Record. Every
# other value stays as parsed.
_REPLY_SHAPE = {
    "choices": [{
        "message": {"tool_calls": [{"function": {}}], "function_call": {}, "audio": {}},
        "logprobs": {"content": [{"top_logprobs": [{}]}], "refusal": [{"top_logprobs": [{}]}]},
    }],
    "usage": {"completion_tokens_details": {}, "prompt_tokens_details": {}},
}


def _to_record(value, shape):
    if isinstance(shape, dict) and isinstance(value, dict):
        fields = dict(value)
        for key, inner in shape.items():
            if key in fields:
                fields[key] = _to_record(fields[key], inner)
        return Record(**fields)
    if isinstance(shape, list) and isinstance(value, list):
        return [_to_record(v, shape[0]) for v in value]
    return value


def _check_completion(data):
    """The shape factsift relies on: choices[i].message is an object."""
    if not isinstance(data, dict) or not isinstance(data.get("choices"), list):
        return False
    return all(isinstance(c, dict) and isinstance(c.get("message"), dict)
               for c in data["choices"])


def _chat_body(model, messages, stream, extra_body, params):
    if stream:
        raise NotImplementedError("the offline openai stand-in does not support stream=True")
    return {"model": model, "messages": messages, "stream": False, **params, **(extra_body or {})}


class _Completions:
    def __init__(self, client):
        self._client = client

    def create(self, *, model, messages, stream=False, timeout=None,
               extra_headers=None, extra_body=None, **params):
        body = _chat_body(model, messages, stream, extra_body, params)
        return self._client._post("/chat/completions", body, timeout, extra_headers or {})


class _AsyncCompletions(_Completions):
    async def create(self, *, model, messages, stream=False, timeout=None,
                     extra_headers=None, extra_body=None, **params):
        body = _chat_body(model, messages, stream, extra_body, params)
        return await self._client._post("/chat/completions", body, timeout, extra_headers or {})


class _Chat:
    def __init__(self, client, completions=_Completions):
        self.completions = completions(client)


class DefaultHttpxClient:
    """Stands in for ``openai.DefaultHttpxClient``: only ``event_hooks`` are used (see above)."""

    def __init__(self, *, event_hooks=None, **_ignored):
        self.event_hooks = {"request": [], "response": [], **(event_hooks or {})}


class DefaultAsyncHttpxClient(DefaultHttpxClient):
    """Stands in for ``openai.DefaultAsyncHttpxClient``: its request hooks may be coroutine functions."""


class _Client:
    """Settings, the request's bytes and the kept-alive connections, shared by both clients."""

    def __init__(self, *, api_key=None, base_url=None, timeout=DEFAULT_TIMEOUT,
                 max_retries=0, default_headers=None, http_client=None, **_ignored):
        if api_key is None:
            api_key = os.environ.get("OPENAI_API_KEY")
        if api_key is None:
            raise OpenAIError(
                "The api_key client option must be set either by passing api_key "
                "to the client or by setting the OPENAI_API_KEY environment variable")
        if base_url is None:
            base_url = os.environ.get("OPENAI_BASE_URL") or DEFAULT_BASE_URL
        self.api_key = api_key
        self.base_url = str(base_url).rstrip("/") + "/"
        self.timeout = timeout
        self.max_retries = max_retries
        self.default_headers = dict(default_headers or {})
        self._tls_context = None
        hooks = getattr(http_client, "event_hooks", None) or {}
        self._request_hooks = tuple(hooks.get("request", ()))
        self._pool = _http.Pool()

    def _request(self, path, body, extra_headers):
        """(url, data, headers) of a POST of `body` as JSON to `path`."""
        data = json.dumps(body, ensure_ascii=False).encode("utf-8")
        headers = {
            "Authorization": f"Bearer {self.api_key}",
            "Content-Type": "application/json",
            "Accept": "application/json",
            "User-Agent": "factsift-openai-standin",
            **self.default_headers, **extra_headers,
        }
        return self.base_url + path.lstrip("/"), data, headers

    def _tls(self):
        if self._tls_context is None:
            import ssl  # only for https

            self._tls_context = ssl.create_default_context()
        return self._tls_context

    # `chat` is made at each use, so a client holds no reference to itself: dropping
    # the last reference closes its connections at once, not at the next collection.
    def __del__(self):
        pool = getattr(self, "_pool", None)  # unset when __init__ raised
        if pool is not None:
            pool.close()


class OpenAI(_Client):
    """The blocking client: one kept-alive connection per request in flight, reused after.

    Any number of threads may use one client. ``close()`` (or leaving a
    ``with`` block) closes the idle connections.
    """

    @property
    def chat(self):
        return _Chat(self)

    def close(self):
        self._pool.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _post(self, path, body, timeout, extra_headers):
        url, data, headers = self._request(path, body, extra_headers)
        for attempt in range(self.max_retries + 1):
            try:
                return self._send(url, data, headers, timeout or self.timeout)
            except APIError as exc:
                if attempt == self.max_retries or not _should_retry(exc):
                    raise
                delay = _retry_delay(exc, attempt)
            time.sleep(delay)

    def _send(self, url, data, headers, timeout):
        deadline = None
        method = "POST"
        for _ in range(MAX_REDIRECTS + 1):
            for hook in self._request_hooks:
                hook(types.SimpleNamespace(method=method, url=url, headers=headers))
            # Started after the first hook: a hook that waits (a rate limit) spends none of it.
            deadline = deadline or _Deadline(timeout)
            reply = self._exchange(method, url, data, headers, deadline)
            hop = _next_hop(method, url, data, headers, reply)
            if hop is None:
                return _completion(reply)
            method, url, data, headers = hop
        raise APIConnectionError(f"Connection error: more than {MAX_REDIRECTS} redirects")

    def _exchange(self, method, url, data, headers, deadline):
        """One HTTP request on a kept-alive or new connection; the Reply."""
        where, request = _prepare(method, url, data, headers)
        connection = self._pool.take(where.origin)
        reply = None
        try:
            if connection is None:
                connection = _http.connect(where, deadline, self._tls)
            reply = connection.exchange(request, deadline, MAX_RESPONSE_BYTES)
            return reply
        except TimeoutError as exc:
            raise APITimeoutError() from exc
        except (OSError, _http.ProtocolError) as exc:
            raise APIConnectionError(f"Connection error: {exc!r}") from exc
        finally:
            _release(self._pool, where, connection, reply)


class AsyncOpenAI(_Client):
    """The asyncio client: the same requests and errors, on asyncio streams.

    ``timeout`` is a deadline for each attempt as a whole, name lookup
    included. A connection serves the event loop that made it: a client used
    again under a new loop (a second ``asyncio.run``) connects anew, and
    asyncio warns of the connections the old loop left open. ``await
    close()`` (or leaving an ``async with`` block) closes the idle connections.
    """

    @property
    def chat(self):
        return _Chat(self, _AsyncCompletions)

    async def close(self):
        self._pool.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.close()

    async def _post(self, path, body, timeout, extra_headers):
        import asyncio  # here, not at the top: programs using OpenAI alone never pay for it

        url, data, headers = self._request(path, body, extra_headers)
        for attempt in range(self.max_retries + 1):
            try:
                return await self._send(url, data, headers, timeout or self.timeout)
            except APIError as exc:
                if attempt == self.max_retries or not _should_retry(exc):
                    raise
                delay = _retry_delay(exc, attempt)
            await asyncio.sleep(delay)

    async def _send(self, url, data, headers, timeout):
        deadline = None
        method = "POST"
        for _ in range(MAX_REDIRECTS + 1):
            for hook in self._request_hooks:
                waited = hook(types.SimpleNamespace(method=method, url=url, headers=headers))
                if hasattr(waited, "__await__"):  # httpx.AsyncClient's hooks are coroutine functions
                    await waited
            deadline = deadline or _Deadline(timeout)
            reply = await self._exchange_within(deadline, method, url, data, headers)
            hop = _next_hop(method, url, data, headers, reply)
            if hop is None:
                return _completion(reply)
            method, url, data, headers = hop
        raise APIConnectionError(f"Connection error: more than {MAX_REDIRECTS} redirects")

    async def _exchange_within(self, deadline, method, url, data, headers):
        import asyncio

        try:
            left = deadline.left()
            if not hasattr(asyncio, "timeout"):  # before Python 3.11
                return await asyncio.wait_for(self._exchange(method, url, data, headers), left)
            async with asyncio.timeout(left):  # no task of its own, unlike wait_for
                return await self._exchange(method, url, data, headers)
        except (asyncio.TimeoutError, TimeoutError) as exc:
            raise APITimeoutError() from exc

    async def _exchange(self, method, url, data, headers):
        import asyncio

        where, request = _prepare(method, url, data, headers)
        connection = self._pool.take(where.origin, asyncio.get_running_loop())
        reply = None
        try:
            if connection is None:
                connection = await _http.connect_async(where, self._tls)
            reply = await connection.exchange(request, MAX_RESPONSE_BYTES)
            return reply
        except TimeoutError as exc:  # the system's own, such as a connect that timed out
            raise APITimeoutError() from exc
        except (OSError, _http.ProtocolError) as exc:
            raise APIConnectionError(f"Connection error: {exc!r}") from exc
        finally:  # a cancelled exchange (the deadline) closes its connection
            _release(self._pool, where, connection, reply)


def _prepare(method, url, data, headers):
    """The Route and the request's bytes; APIConnectionError for what HTTP cannot send."""
    try:
        where = _http.route(url)
        return where, _http.request_bytes(method, where, headers, data)
    except ValueError as exc:
        raise APIConnectionError(f"Connection error: {exc}") from None


def _release(pool, where, connection, reply):
    """After an exchange: keep the connection for the next request, or close it."""
    if connection is None:
        return
    if reply is not None and reply.reusable:
        pool.give(where.origin, connection)
    else:
        connection.close()


def _next_hop(method, url, data, headers, reply):
    """(method, url, data, headers) of the redirect `reply` asks for; None when it is the answer."""
    location = reply.headers.get("location")
    if reply.status not in _http.REDIRECT_METHODS or location is None:
        return None
    next_url = urllib.parse.urljoin(url, location)
    if _http.REDIRECT_METHODS[reply.status] == "GET":
        method, data = "GET", None
    if not _keeps_credentials(url, next_url):
        headers = {k: v for k, v in headers.items() if k.lower() != "authorization"}
    return method, next_url, data, headers


def _keeps_credentials(url, next_url):
    """Whether a redirect from url to next_url may carry the Authorization header."""
    here, there = _http.origin(url), _http.origin(next_url)
    return here == there or (here == ("http", there[1], 80) and there == ("https", here[1], 443))


def _completion(reply):
    status, raw = reply.status, reply.body
    if not 200 <= status < 300:
        raise _status_error(status, raw, reply.headers)
    if raw is None:
        raise APIResponseValidationError(
            f"reply body is longer than {MAX_RESPONSE_BYTES} bytes", status)
    try:
        data = json.loads(raw)
    except (ValueError, RecursionError) as exc:
        raise APIResponseValidationError(
            f"reply is not valid JSON: {raw[:200]!r}", status, raw) from exc
    if not _check_completion(data):
        raise APIResponseValidationError("reply is not a chat.completion object", status, data)
    return _to_record(data, _REPLY_SHAPE)


class _Deadline:
    def __init__(self, seconds):
        self.end = None if seconds is None else time.monotonic() + seconds

    def left(self):
        """Seconds left (None: no deadline); TimeoutError once none are."""
        if self.end is None:
            return None
        left = self.end - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request's deadline has passed")
        return left
