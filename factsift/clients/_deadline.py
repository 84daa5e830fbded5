"""A whole-request deadline for the real openai client's HTTP requests.

httpx bounds each network operation with its time-out: a service that sends
a byte every half second holds a request with a 2 s time-out for as long as
it likes. The transport here gives each HTTP request (each attempt: the
client's retries get their own) one deadline for waiting for a connection,
connecting, the TLS handshake, sending, and reading the status, headers and
body. Every socket operation below it waits at most what is left, and one with
nothing left raises httpx's time-out, which the client reports (and retries)
as any other.

It uses the public interfaces of httpx and httpcore (or of httpx2 and
httpcore2, which openai 3 uses): a transport over a connection pool whose
network backend clamps each wait. The deadline of the request in progress is
the thread's own: httpx reads a reply's body in the thread that sent it. The
pool has the limits the openai client gives its own (1000 connections, 100
kept alive, each for 5 s idle).
"""

from __future__ import annotations

import contextlib
import functools
import threading
import time
from collections.abc import Iterator
from types import ModuleType

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

MAX_CONNECTIONS, MAX_KEEPALIVE, KEEPALIVE_EXPIRY = 1000, 100, 5.0  # as openai's and httpx's defaults

_current = threading.local()  # end: the monotonic time by which this thread's request must end


def transport(httpx: ModuleType, seconds: float) -> Any:
    """An httpx transport whose requests each end within `seconds`."""
    return _classes(httpx)(seconds)


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


class _Backend:
    """httpcore's own network backend, with every connection's waits bounded."""

    def __init__(self, core: ModuleType) -> None:
        self._inner, self._core = core.SyncBackend(), core

    def connect_tcp(self, host: str, port: int, timeout: float | None = None,
                    local_address: str | None = None, socket_options: Any = None) -> _Stream:
        stream = self._inner.connect_tcp(host, port, _bound(timeout, self._core.ConnectTimeout),
                                         local_address, socket_options)
        return _Stream(stream, self._core)

    def connect_unix_socket(self, path: str, timeout: float | None = None,
                            socket_options: Any = None) -> _Stream:
        stream = self._inner.connect_unix_socket(path, _bound(timeout, self._core.ConnectTimeout),
                                                 socket_options)
        return _Stream(stream, self._core)

    def sleep(self, seconds: float) -> None:
        self._inner.sleep(seconds)


@contextlib.contextmanager
def _mapped(httpx: ModuleType, core: ModuleType) -> Iterator[None]:
    """httpcore's errors as the httpx errors of the same names, as httpx's own transport maps them."""
    try:
        yield
    except Exception as exc:
        if not type(exc).__module__.startswith(core.__name__):
            raise
        mapped = getattr(httpx, type(exc).__name__, httpx.TransportError)
        if not (isinstance(mapped, type) and issubclass(mapped, httpx.TransportError)):
            mapped = httpx.TransportError
        raise mapped(str(exc)) from exc


@functools.cache
def _classes(httpx: ModuleType) -> Any:
    """The transport class for one httpx package (httpx or httpx2) and its httpcore."""
    core = __import__(httpx.__name__.replace("httpx", "httpcore"))

    class Body(httpx.SyncByteStream):  # type: ignore[misc,name-defined]
        def __init__(self, inner: Any) -> None:
            self._inner = inner

        def __iter__(self) -> Iterator[bytes]:
            with _mapped(httpx, core):
                yield from self._inner

        def close(self) -> None:
            if hasattr(self._inner, "close"):
                self._inner.close()

    class Transport(httpx.BaseTransport):  # type: ignore[misc,name-defined]
        def __init__(self, seconds: float) -> None:
            self._seconds = seconds
            self._pool = core.ConnectionPool(
                ssl_context=httpx.create_ssl_context(), max_connections=MAX_CONNECTIONS,
                max_keepalive_connections=MAX_KEEPALIVE, keepalive_expiry=KEEPALIVE_EXPIRY,
                network_backend=_Backend(core))

        def handle_request(self, request: Any) -> Any:
            _current.end = time.monotonic() + self._seconds
            timeouts = dict(request.extensions.get("timeout") or {})
            timeouts["pool"] = min(timeouts.get("pool") or self._seconds, self._seconds)
            url = request.url
            sent = core.Request(
                method=request.method, headers=request.headers.raw, content=request.stream,
                url=core.URL(scheme=url.raw_scheme, host=url.raw_host, port=url.port, target=url.raw_path),
                extensions={**request.extensions, "timeout": timeouts})
            with _mapped(httpx, core):
                reply = self._pool.handle_request(sent)
            return httpx.Response(status_code=reply.status, headers=reply.headers,
                                  stream=Body(reply.stream), extensions=reply.extensions)

        def close(self) -> None:
            self._pool.close()

    return Transport
