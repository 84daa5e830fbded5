"""factsift's offline stand-in for the ``openai`` client package.

factsift does ``from openai import OpenAI``. Build and test machines without
the real package put ``openai_standin/`` on PYTHONPATH, and this module answers
that import; wherever the real ``openai`` is installed it is used instead and
this file is never loaded.

It speaks the real HTTP protocol for the one call factsift makes,
``client.chat.completions.create(...)``, and raises exceptions with the real
package's names. Differences from the real client:

* ``stream=True`` is not supported (``NotImplementedError``);
* ``max_retries`` defaults to 0: a failed call is not repeated unless asked;
* proxies are not used; options such as ``organization`` are accepted and
  ignored. Of an ``http_client`` (``DefaultHttpxClient`` here, or an
  ``httpx.Client``) only the request event hooks are used: each callable in
  ``http_client.event_hooks["request"]`` is called with the request (its
  ``method``, ``url`` and ``headers``) in the calling thread before every
  HTTP request is sent, every retry and redirect hop included, as httpx does;
  response hooks are not called;
* replies are plain attribute objects, not pydantic models (``to_dict()``
  gives the JSON back);
* ``timeout`` is a deadline for each attempt as a whole: connecting, the TLS
  handshake, sending, and reading the status, headers and body (name lookup
  is not covered). A server that sends a byte at a time cannot stretch it;
* a reply body longer than ``MAX_RESPONSE_BYTES`` raises
  ``APIResponseValidationError`` (a failed status with such a body raises its
  status error, with no body) without being read further.

Retries follow the real client's policy: 408, 409, 429, 5xx, connection
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

import email.utils
import http.client
import io
import json
import os
import random
import socket
import ssl
import time
import types
import urllib.parse

__all__ = [
    "OpenAI", "DefaultHttpxClient", "OpenAIError", "APIError", "APIConnectionError", "APITimeoutError",
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
    date = email.utils.parsedate_tz(value) if isinstance(value, str) else None
    return None if date is None else email.utils.mktime_tz(date) - time.time()


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
        return Record(**{k: _to_record(v, shape.get(k)) for k, v in value.items()})
    if isinstance(shape, list) and isinstance(value, list):
        return [_to_record(v, shape[0]) for v in value]
    return value


def _check_completion(data):
    """The shape factsift relies on: choices[i].message is an object."""
    if not isinstance(data, dict) or not isinstance(data.get("choices"), list):
        return False
    return all(isinstance(c, dict) and isinstance(c.get("message"), dict)
               for c in data["choices"])


class _Completions:
    def __init__(self, client):
        self._client = client

    def create(self, *, model, messages, stream=False, timeout=None,
               extra_headers=None, extra_body=None, **params):
        if stream:
            raise NotImplementedError("the offline openai stand-in does not support stream=True")
        body = {"model": model, "messages": messages, "stream": False, **params, **(extra_body or {})}
        return self._client._post("/chat/completions", body, timeout, extra_headers or {})


class _Chat:
    def __init__(self, client):
        self.completions = _Completions(client)


class DefaultHttpxClient:
    """Stands in for ``openai.DefaultHttpxClient``: only ``event_hooks`` are used (see above)."""

    def __init__(self, *, event_hooks=None, **_ignored):
        self.event_hooks = {"request": [], "response": [], **(event_hooks or {})}


class OpenAI:
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
        self.chat = _Chat(self)
        self._tls_context = None
        hooks = getattr(http_client, "event_hooks", None) or {}
        self._request_hooks = tuple(hooks.get("request", ()))

    def _post(self, path, body, timeout, extra_headers):
        data = json.dumps(body, ensure_ascii=False).encode("utf-8")
        headers = {
            "Authorization": f"Bearer {self.api_key}",
            "Content-Type": "application/json",
            "Accept": "application/json",
            "User-Agent": "factsift-openai-standin",
            **self.default_headers, **extra_headers,
        }
        url = self.base_url + path.lstrip("/")
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
            status, reply_headers, raw = self._exchange(method, url, data, headers, deadline)
            location = reply_headers.get("Location")
            if status not in _REDIRECT_METHODS or location is None:
                return _reply(status, reply_headers, raw)
            next_url = urllib.parse.urljoin(url, location)
            if _REDIRECT_METHODS[status] == "GET":
                method, data = "GET", None
            if not _keeps_credentials(url, next_url):
                headers = {k: v for k, v in headers.items() if k.lower() != "authorization"}
            url = next_url
        raise APIConnectionError(f"Connection error: more than {MAX_REDIRECTS} redirects")

    def _exchange(self, method, url, data, headers, deadline):
        """One HTTP request; returns the status, the headers and the body (b"" for a redirect)."""
        parts = urllib.parse.urlsplit(url)
        try:
            port = parts.port
        except ValueError:
            port = -1
        if parts.scheme not in ("http", "https") or not parts.hostname or port == -1:
            raise APIConnectionError(f"Connection error: cannot send a request to {url!r}")
        tls = parts.scheme == "https"
        target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        conn = (http.client.HTTPSConnection(parts.hostname, port, context=self._tls())
                if tls else http.client.HTTPConnection(parts.hostname, port))
        sock = None
        try:
            sock = self._connect(parts.hostname, conn.port, tls, deadline)
            conn.sock = _DeadlineSocket(sock, deadline)
            conn.request(method, target, body=data, headers=headers)
            response = conn.getresponse()
            if response.status in _REDIRECT_METHODS and response.getheader("Location") is not None:
                return response.status, response.headers, b""
            return response.status, response.headers, _read_body(response)
        except TimeoutError as exc:
            raise APITimeoutError() from exc
        except (OSError, http.client.HTTPException) as exc:
            raise APIConnectionError(f"Connection error: {exc!r}") from exc
        finally:
            conn.close()
            if sock is not None:
                sock.close()

    def _connect(self, host, port, tls, deadline):
        sock = socket.create_connection((host, port), deadline.left())
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if tls:
                sock.settimeout(deadline.left())
                sock = self._tls().wrap_socket(sock, server_hostname=host)
        except BaseException:
            sock.close()
            raise
        return sock

    def _tls(self):
        if self._tls_context is None:
            self._tls_context = ssl.create_default_context()
        return self._tls_context


# Status: the method a redirect is followed with (None keeps the method and body).
_REDIRECT_METHODS = {301: "GET", 302: "GET", 303: "GET", 307: None, 308: None}
_DEFAULT_PORTS = {"http": 80, "https": 443}


def _origin(url):
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port or _DEFAULT_PORTS.get(parts.scheme)
    except ValueError:
        port = None
    return parts.scheme, parts.hostname, port


def _keeps_credentials(url, next_url):
    """Whether a redirect from url to next_url may carry the Authorization header."""
    here, there = _origin(url), _origin(next_url)
    return here == there or (here == ("http", there[1], 80) and there == ("https", here[1], 443))


def _reply(status, headers, raw):
    if not 200 <= status < 300:
        raise _status_error(status, raw, headers)
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


def _read_body(response):
    """The whole body, or None if it is longer than MAX_RESPONSE_BYTES (then read no further)."""
    limit = MAX_RESPONSE_BYTES
    if response.length is not None and response.length > limit:
        return None
    chunks, size = [], 0
    while chunk := response.read(65536):
        size += len(chunk)
        if size > limit:
            return None
        chunks.append(chunk)
    return b"".join(chunks)


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


class _DeadlineSocket:
    """A connected socket for http.client on which every wait ends by the deadline."""

    def __init__(self, sock, deadline):
        self._sock, self._deadline = sock, deadline

    def sendall(self, data):
        view = memoryview(data).cast("B")
        while view:
            self._sock.settimeout(self._deadline.left())
            view = view[self._sock.send(view):]

    def recv_into(self, buffer):
        self._sock.settimeout(self._deadline.left())
        return self._sock.recv_into(buffer)

    def makefile(self, mode):
        return io.BufferedReader(_SocketReader(self))

    def close(self):
        pass  # http.client closes this while its response still reads; the exchange closes the socket


class _SocketReader(io.RawIOBase):
    def __init__(self, sock):
        self._sock = sock

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._sock.recv_into(buffer)
