"""factsift's offline stand-in for the ``openai`` client package.

factsift does ``from openai import OpenAI``. Build and test machines without
the real package put ``openai_standin/`` on PYTHONPATH, and this package
answers that import; wherever the real ``openai`` is installed it is used
instead and this file is never loaded.

It follows the real client (openai 3.6) wherever factsift's users could see
a difference, for the calls factsift makes: ``chat.completions.create``;
for its batches ``files.create``, ``retrieve``, ``content``, ``delete`` and
``list``, ``batches.create``, ``retrieve``, ``cancel`` and ``list``; and
``models.list`` and ``retrieve``; each with the real signature and reply
objects, in ``OpenAI`` and (awaited) ``AsyncOpenAI``. Its rules:

* errors are the real exceptions, raised in the same cases with the same
  messages, bodies and attributes; retries follow the real policy
  (``_retry``: ``max_retries`` defaults to 2);
* redirects are followed as httpx follows them (at most ``MAX_REDIRECTS``
  hops): 307 and 308 repeat the request with its body; 301, 302 and 303
  become a GET without one; the Authorization header is dropped when a hop
  leaves the origin (scheme, host and port), unless it only moves from http
  to https on the same host;
* of an ``http_client`` (``DefaultHttpxClient``; ``DefaultAsyncHttpxClient``
  for ``AsyncOpenAI``) it uses the event hooks, as httpx calls them: each
  request hook with the request (``method``, ``url``, ``headers``) before
  every HTTP request is sent, each response hook with the response
  (``status_code``, ``headers``, ``request``) once its status and headers
  have come and before its body is read, retries and redirect hops
  included; the async client awaits what a hook returns when it is
  awaitable. A hook's exception is a connection error, as with the real
  client, unless it is one of this package's own, which passes through;
* replies are made into objects of the real model classes' names and
  fields (``_models``), without validation, as the real client makes them:
  ``model_dump()`` gives every field, ``to_dict()`` the JSON as it came.

Where it differs from the real client, on purpose:

* ``timeout`` is a deadline for each attempt as a whole: connecting (every
  address of the host within the one deadline), the TLS handshake, sending,
  and reading the status, headers and body (name lookup is covered by
  ``AsyncOpenAI`` only), so a server that sends a byte at a time cannot
  stretch it; the time spent in event hooks is not counted. (The real
  client bounds each of those steps apart; factsift's client layer gives
  it the same whole-request bound by other means.) Any size of time-out
  may be given, ``inf`` and ``None`` for none;
* ``stream=True`` is not supported (``NotImplementedError``);
* it asks for replies without compression (``Accept-Encoding: identity``),
  though it decodes gzip, deflate and (on Python 3.14 and later) zstd
  replies as the real client does; it sends its own ``User-Agent`` and none
  of the real client's ``X-Stainless`` headers;
* a reply body longer than ``_transport.MAX_RESPONSE_BYTES`` (a file's
  content: ``_response.MAX_CONTENT_BYTES``) raises
  ``APIResponseValidationError`` (a failed status with such a body raises
  its status error, with no body) without being read further;
* a URL or header that HTTP cannot carry (a control character, a line
  break) raises ``APIConnectionError`` before anything is sent, and is not
  retried; the real client raises httpx's ``InvalidURL`` when it is made
  with such a URL. (A header beyond ASCII raises ``UnicodeEncodeError`` in
  both.)
* of the options of ``OpenAI(...)`` and of ``DefaultHttpxClient(...)``,
  what it has no use for (proxies, transports, connection limits, TLS
  settings, websocket and webhook options, ...) is accepted and ignored;
* an ``AsyncOpenAI`` may be used under a later event loop (the real one
  fails with a connection error there);
* the reply objects are plain objects, not pydantic models: below
  ``moderation`` the JSON stays plain, and the model methods are
  ``model_dump``, ``model_dump_json``, ``to_dict`` and ``to_json``.

Like the real clients, each client keeps its connections alive for the next
request (up to ``_connection.MAX_IDLE`` idle ones per server); one the
server has closed meanwhile is replaced before the request is sent.
``close()`` (``await close()``), or leaving a ``with`` (``async with``)
block, closes the idle ones.
"""

from ._client import (DEFAULT_MAX_RETRIES, DEFAULT_TIMEOUT, NOT_GIVEN, AsyncOpenAI, DefaultAsyncHttpxClient,
                      DefaultHttpxClient, NotGiven, OpenAI)
from ._errors import (APIConnectionError, APIError, APIResponseValidationError, APIStatusError,
                      APITimeoutError, AuthenticationError, BadRequestError, ConflictError,
                      InternalServerError, NotFoundError, OpenAIError, PermissionDeniedError, RateLimitError,
                      UnprocessableEntityError)
from ._models import BaseModel
from ._resources import omit
from ._transport import MAX_REDIRECTS

__all__ = [
    "OpenAI", "AsyncOpenAI", "DefaultHttpxClient", "DefaultAsyncHttpxClient",
    "OpenAIError", "APIError", "APIConnectionError", "APITimeoutError",
    "APIResponseValidationError", "APIStatusError", "BadRequestError",
    "AuthenticationError", "PermissionDeniedError", "NotFoundError", "ConflictError",
    "UnprocessableEntityError", "RateLimitError", "InternalServerError",
    "BaseModel", "NotGiven", "NOT_GIVEN", "omit", "DEFAULT_MAX_RETRIES", "DEFAULT_TIMEOUT", "MAX_REDIRECTS",
]
