"""The HTTP transport of every client factsift builds with the real openai package.

A run's clients and the batch interface's service client send through an
httpx transport of this module, over httpcore's connection pools (httpx and
httpcore under openai 1.x, httpx2 and httpcore2 under openai 3.x). It does
what the client alone does not, and keeps what giving httpx a transport
would otherwise lose:

* A whole-request deadline (``--timeout``). httpx bounds each network
  operation with its time-out, so a service that sends a byte every half
  second holds a request with a 2 s time-out for as long as it likes. Here
  each HTTP request (each attempt: the client's retries get their own) has
  one deadline for waiting for a connection, connecting, the TLS handshake,
  sending, and reading the status, headers and body. The pools' network
  backend is httpcore's own with every wait clamped to what is left; a wait
  with nothing left raises httpx's time-out, which the client reports (and
  retries) as any other. The deadline is the thread's own: httpx reads a
  reply's body in the thread that sent it.
* A bound on each reply's body (``MAX_REPLY_BYTES`` for a chat completion,
  ``MAX_FILE_BYTES`` for the batch interface's files). Past it the
  transport stops reading and the connection is closed with the rest
  unread; the attempt fails with ``ReplyTooLarge``, which the client treats
  as any reply it could not read (and retries), and ``too_large`` is told,
  for the input's record to say so. The bound holds for the body both as it
  arrives and as decoded: the transport asks for gzip or deflate and
  decodes them itself a piece at a time, since httpx's own decoders would
  inflate a small, highly compressed reply whole into memory. A reply in a
  coding not asked for fails.
* The environment's proxies. httpx reads ``HTTP_PROXY``, ``HTTPS_PROXY``,
  ``ALL_PROXY`` and ``NO_PROXY`` only for a client given no transport. So
  the routes are read here with httpx's own helper, the one its clients
  use (public interfaces have none), and each gets a transport of this
  module, through its proxy or direct (``NO_PROXY``), given to the client
  as ``mounts``: httpx chooses among them as among its own. The deadline
  and the bound hold through a proxy as without one.

The pools have the limits the openai client gives its own (1000
connections, 100 kept alive, each for 5 s idle). Where the httpcore
generations differ for this module, the synchronous network backend's
place and the options its connect calls take, ``_sync_backend`` and
``_Backend`` take each as it comes.
"""

from __future__ import annotations

import contextlib
import functools
import importlib
import threading
import time
import zlib
from collections.abc import Callable, Iterable, Iterator
from types import ModuleType

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

MAX_CONNECTIONS, MAX_KEEPALIVE, KEEPALIVE_EXPIRY = 1000, 100, 5.0  # as openai's and httpx's defaults
MAX_REPLY_BYTES = 32 * 2**20  # a chat completion: far beyond the longest reply of any model
MAX_FILE_BYTES = 512 * 2**20  # a file of the batch interface: the largest the service takes
ACCEPTED_CODINGS = "gzip, deflate"  # what the transport decodes itself
PIECE = 64 * 1024  # the most that one step of decoding makes
_WBITS = {"gzip": 16 + zlib.MAX_WBITS, "x-gzip": 16 + zlib.MAX_WBITS, "deflate": zlib.MAX_WBITS}

_current = threading.local()  # end: the monotonic time by which this thread's request must end
DONE, AGAIN, FINAL = "done", "again", "final"  # what a gate says of a reply
REFUSED = frozenset({429, 503})  # replies whose body a gate reads: refusals, or not
MAX_REFUSAL = 64 * 1024  # the most of such a body that is read: its message


class ReplyTooLarge(Exception):
    """A reply's body was longer than the transport reads."""


class Gate:
    """What paces a transport's requests (factsift.clients.Tally)."""

    def admit(self) -> bool:
        """Waits for the request's turn; False: it is not to be sent."""
        raise NotImplementedError

    def answered(self, status: int, headers: Any, body: bytes | None) -> str:
        """DONE, AGAIN or FINAL for a reply (with the start of its body for a 429 or a 503)."""
        raise NotImplementedError

    def lost(self) -> None:
        """The request got no reply."""
        raise NotImplementedError


def client_options(httpx: ModuleType, seconds: float | None, limit: int,
                   too_large: Callable[[int], None] | None = None, gate: Gate | None = None) -> dict[str, Any]:
    """The options of an httpx client (``transport``, ``mounts``) whose every request ends within
    `seconds` (None: no deadline), reads at most `limit` bytes of a reply's body, calling
    ``too_large(limit)`` before it fails, goes through the environment's proxies and, with a
    `gate`, waits for its turn and goes again after a refusal's wait."""
    transport_class, pool = _classes(httpx)
    ssl_context = httpx.create_ssl_context()

    def through(proxy: str | None) -> Any:
        return transport_class(pool(proxy, ssl_context), seconds, limit, too_large, gate)

    direct = through(None)
    routes = importlib.import_module(httpx.__name__ + "._utils").get_environment_proxies()
    return {"transport": direct,
            "mounts": {pattern: direct if proxy is None else through(proxy) for pattern, proxy in routes.items()}}


def _bound(timeout: float | None, expired: type[Exception]) -> float | None:
    """The time-out for one wait: at most what the current request has left."""
    end: float | None = getattr(_current, "end", None)
    if end is None:
        return timeout
    left = end - time.monotonic()
    if left <= 0:
        raise expired("the request's deadline has passed")
    return left if timeout is None else min(timeout, left)


class _Stream:
    """A network stream whose reads and writes wait at most what the request has left."""

    def __init__(self, inner: Any, core: ModuleType) -> None:
        self._inner, self._core = inner, core

    def read(self, max_bytes: int, timeout: float | None = None) -> bytes:
        data: bytes = self._inner.read(max_bytes, _bound(timeout, self._core.ReadTimeout))
        return data

    def write(self, buffer: bytes, timeout: float | None = None) -> None:
        self._inner.write(buffer, _bound(timeout, self._core.WriteTimeout))

    def close(self) -> None:
        self._inner.close()

    def start_tls(self, ssl_context: Any, server_hostname: str | None = None,
                  timeout: float | None = None) -> _Stream:
        inner = self._inner.start_tls(ssl_context, server_hostname, _bound(timeout, self._core.ConnectTimeout))
        return _Stream(inner, self._core)

    def get_extra_info(self, info: str) -> Any:
        return self._inner.get_extra_info(info)


def _sync_backend(core: ModuleType) -> Any:
    """httpcore's own synchronous network backend: ``SyncBackend`` of the package from httpcore 1.0
    (and in httpcore2), of its ``backends.sync`` module in httpcore 0.16."""
    cls = getattr(core, "SyncBackend", None)
    if cls is None:
        cls = importlib.import_module(core.__name__ + ".backends.sync").SyncBackend
    return cls()


class _Backend:
    """httpcore's own network backend, with every connection's waits bounded. The options of the
    connect calls (a local address; socket options from httpcore 1.0) pass through as they come."""

    def __init__(self, core: ModuleType) -> None:
        self._inner, self._core = _sync_backend(core), core

    def connect_tcp(self, host: str, port: int, timeout: float | None = None, **options: Any) -> _Stream:
        stream = self._inner.connect_tcp(host, port, _bound(timeout, self._core.ConnectTimeout), **options)
        return _Stream(stream, self._core)

    def connect_unix_socket(self, path: str, timeout: float | None = None, **options: Any) -> _Stream:
        stream = self._inner.connect_unix_socket(path, _bound(timeout, self._core.ConnectTimeout), **options)
        return _Stream(stream, self._core)

    def sleep(self, seconds: float) -> None:
        self._inner.sleep(seconds)


@contextlib.contextmanager
def _mapped(httpx: ModuleType, core: ModuleType) -> Iterator[None]:
    """httpcore's errors as the httpx errors of the same names, as httpx's own transport maps them;
    a body that does not decode as httpx's DecodingError."""
    try:
        yield
    except zlib.error as exc:
        raise httpx.DecodingError(f"the reply's body does not decode: {exc}") from exc
    except Exception as exc:
        if not type(exc).__module__.startswith(core.__name__):
            raise
        mapped = getattr(httpx, type(exc).__name__, httpx.TransportError)
        if not (isinstance(mapped, type) and issubclass(mapped, httpx.TransportError)):
            mapped = httpx.TransportError
        raise mapped(str(exc)) from exc


def _codings(header: str | None) -> list[str] | None:
    """The content codings of a reply, in the order applied; None when one is not decoded here."""
    codings = [c.strip().lower() for c in (header or "").split(",") if c.strip().lower() not in ("", "identity")]
    return codings if all(c in _WBITS for c in codings) else None


def _inflated(chunks: Iterable[bytes], coding: str) -> Iterator[bytes]:
    """The chunks decoded, at most PIECE bytes at a step. "deflate" is zlib's format or, as some
    servers send it, raw deflate (as httpx decodes it: the first chunk that fails tells)."""
    inflater, first = zlib.decompressobj(_WBITS[coding]), coding == "deflate"
    for chunk in chunks:
        while chunk and not inflater.eof:
            try:
                piece = inflater.decompress(chunk, PIECE)
            except zlib.error:
                if not first:
                    raise
                inflater, first = zlib.decompressobj(-zlib.MAX_WBITS), False
                continue
            first, chunk = False, inflater.unconsumed_tail
            if piece:
                yield piece
    tail = inflater.flush()  # no input is left: at most the end of one match
    if tail:
        yield tail


def _bounded(chunks: Iterable[bytes], limit: int, too_large: Callable[[int], None] | None) -> Iterator[bytes]:
    size = 0
    for chunk in chunks:
        size += len(chunk)
        if size > limit:
            if too_large is not None:
                too_large(limit)
            raise ReplyTooLarge(f"the reply is longer than {limit} bytes, the most factsift reads")
        yield chunk


@functools.cache
def _classes(httpx: ModuleType) -> tuple[type, Callable[[str | None, Any], Any]]:
    """The transport class for one httpx package (httpx or httpx2) and the maker of its httpcore's
    pools (direct, or through a proxy)."""
    core = importlib.import_module(httpx.__name__.replace("httpx", "httpcore"))

    def pool(proxy_url: str | None, ssl_context: Any) -> Any:
        options = dict(ssl_context=ssl_context, max_connections=MAX_CONNECTIONS,
                       max_keepalive_connections=MAX_KEEPALIVE, keepalive_expiry=KEEPALIVE_EXPIRY,
                       network_backend=_Backend(core))
        if proxy_url is None:
            return core.ConnectionPool(**options)
        proxy = httpx.Proxy(proxy_url)  # refuses a scheme this httpx has no proxy for
        url = core.URL(scheme=proxy.url.raw_scheme, host=proxy.url.raw_host, port=proxy.url.port,
                       target=proxy.url.raw_path)
        if proxy.url.scheme.startswith("socks"):
            return core.SOCKSProxy(proxy_url=url, proxy_auth=proxy.raw_auth, **options)
        return core.HTTPProxy(proxy_url=url, proxy_auth=proxy.raw_auth, proxy_headers=proxy.headers.raw, **options)

    class Body(httpx.SyncByteStream):  # type: ignore[misc,name-defined]
        def __init__(self, inner: Any, codings: list[str], limit: int,
                     too_large: Callable[[int], None] | None) -> None:
            self._inner, self._codings, self._limit, self._too_large = inner, codings, limit, too_large

        def __iter__(self) -> Iterator[bytes]:
            chunks: Iterable[bytes] = _bounded(self._inner, self._limit, self._too_large)
            for coding in reversed(self._codings):  # the last applied first
                chunks = _inflated(chunks, coding)
            if self._codings:
                chunks = _bounded(chunks, self._limit, self._too_large)
            with _mapped(httpx, core):
                yield from chunks

        def close(self) -> None:
            if hasattr(self._inner, "close"):
                self._inner.close()

    class Transport(httpx.BaseTransport):  # type: ignore[misc,name-defined]
        def __init__(self, pool: Any, seconds: float | None, limit: int,
                     too_large: Callable[[int], None] | None, gate: Gate | None) -> None:
            self._pool, self._seconds, self._limit, self._too_large = pool, seconds, limit, too_large
            self._gate = gate

        def handle_request(self, request: Any) -> Any:
            gate = self._gate
            if gate is None:
                return self._send(request)
            while True:
                if not gate.admit():
                    return _given_up(request)
                try:
                    response = self._send(request)
                except BaseException:
                    gate.lost()
                    raise
                if response.status_code not in REFUSED:
                    gate.answered(response.status_code, response.headers, None)
                    return response
                body = _start(response)
                verdict = gate.answered(response.status_code, response.headers, body)
                if verdict != AGAIN:
                    return _replaced(response, body, verdict == FINAL)

        def _send(self, request: Any) -> Any:
            seconds, extensions = self._seconds, request.extensions
            _current.end = None if seconds is None else time.monotonic() + seconds
            if seconds is not None:
                timeouts = dict(extensions.get("timeout") or {})
                timeouts["pool"] = min(timeouts.get("pool") or seconds, seconds)
                extensions = {**extensions, "timeout": timeouts}
            request.headers["Accept-Encoding"] = ACCEPTED_CODINGS
            url = request.url
            sent = core.Request(
                method=request.method, headers=request.headers.raw, content=request.stream,
                url=core.URL(scheme=url.raw_scheme, host=url.raw_host, port=url.port, target=url.raw_path),
                extensions=extensions)
            with _mapped(httpx, core):
                reply = self._pool.handle_request(sent)
            headers = httpx.Headers(reply.headers)
            codings = _codings(headers.get("content-encoding"))
            if codings is None:
                reply.stream.close()
                raise httpx.DecodingError(f"the reply's content coding ({headers['content-encoding']}) "
                                          f"is not one asked for ({ACCEPTED_CODINGS})")
            if codings:  # the body goes on decoded
                del headers["content-encoding"]
                headers.pop("content-length", None)
            return httpx.Response(status_code=reply.status, headers=headers, extensions=reply.extensions,
                                  stream=Body(reply.stream, codings, self._limit, self._too_large))

        def close(self) -> None:
            self._pool.close()

    def _start(response: Any) -> bytes:
        """The first MAX_REFUSAL bytes of a reply's body; the rest is not read."""
        data = bytearray()
        try:
            with _mapped(httpx, core):
                for chunk in response.stream:
                    data += chunk
                    if len(data) >= MAX_REFUSAL:
                        break
        except (httpx.TransportError, ReplyTooLarge):
            pass  # what came is what there is
        finally:
            response.close()
        return bytes(data[:MAX_REFUSAL])

    def _replaced(response: Any, body: bytes, final: bool) -> Any:
        """The reply with the body read; told not to be retried when `final`."""
        headers = httpx.Headers(response.headers)
        headers.pop("content-length", None)
        if final:
            headers["x-should-retry"] = "false"
        return httpx.Response(status_code=response.status_code, headers=headers, content=body,
                              extensions=response.extensions)

    def _given_up(request: Any) -> Any:
        """The 429 of a request that has been held as long as the run waits: it is not sent."""
        body = b'{"error": {"message": "held too long by the service\'s rate limit", "type": "requests"}}'
        return httpx.Response(status_code=429, headers={"x-should-retry": "false", "content-type": "application/json"},
                              content=body, request=request)

    return Transport, pool
