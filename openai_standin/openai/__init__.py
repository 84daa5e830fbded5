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
* proxies are not used; options such as ``organization`` or ``http_client``
  are accepted and ignored;
* replies are plain attribute objects, not pydantic models (``to_dict()``
  gives the JSON back).
"""

import http.client
import json
import os
import time
import types
import urllib.parse

__all__ = [
    "OpenAI", "OpenAIError", "APIError", "APIConnectionError", "APITimeoutError",
    "APIResponseValidationError", "APIStatusError", "BadRequestError",
    "AuthenticationError", "PermissionDeniedError", "NotFoundError", "ConflictError",
    "UnprocessableEntityError", "RateLimitError", "InternalServerError",
]

DEFAULT_BASE_URL = "https://api.openai.com/v1"
DEFAULT_TIMEOUT = 600.0


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
    def __init__(self, message, status_code, body=None, request_id=None):
        super().__init__(message, body)
        self.status_code = status_code
        self.request_id = request_id


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


def _status_error(status, raw, request_id):
    try:
        body = json.loads(raw)
    except ValueError:
        body = raw.decode("utf-8", "replace") or None
    if isinstance(body, dict) and "error" in body:
        body = body["error"]
    cls = InternalServerError if status >= 500 else _STATUS_ERRORS.get(status, APIStatusError)
    return cls(f"Error code: {status} - {body}", status, body, request_id)


def _should_retry(exc):
    if isinstance(exc, APIStatusError):
        return exc.status_code in (408, 409, 429) or exc.status_code >= 500
    return isinstance(exc, APIConnectionError)


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


class OpenAI:
    def __init__(self, *, api_key=None, base_url=None, timeout=DEFAULT_TIMEOUT,
                 max_retries=0, default_headers=None, **_ignored):
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
            time.sleep(min(0.5 * 2 ** attempt, 8.0))

    def _send(self, url, data, headers, timeout):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise APIConnectionError(f"Connection error: unsupported base_url {self.base_url!r}")
        conn_cls = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
        conn = conn_cls(parts.hostname, parts.port, timeout=timeout)
        target = parts.path + (f"?{parts.query}" if parts.query else "")
        try:
            conn.request("POST", target, body=data, headers=headers)
            response = conn.getresponse()
            raw = response.read()
        except TimeoutError as exc:
            raise APITimeoutError() from exc
        except (OSError, http.client.HTTPException) as exc:
            raise APIConnectionError(f"Connection error: {exc!r}") from exc
        finally:
            conn.close()
        if response.status >= 400:
            raise _status_error(response.status, raw, response.getheader("x-request-id"))
        try:
            data = json.loads(raw)
        except ValueError as exc:
            raise APIResponseValidationError(
                f"reply is not valid JSON: {raw[:200]!r}", response.status, raw) from exc
        if not _check_completion(data):
            raise APIResponseValidationError(
                "reply is not a chat.completion object", response.status, data)
        return _to_record(data)


def _to_record(value):
    if isinstance(value, dict):
        return Record(**{k: _to_record(v) for k, v in value.items()})
    if isinstance(value, list):
        return [_to_record(v) for v in value]
    return value
