"""Kept-alive connections: sending a request and reading its reply within a deadline.

Errors are ``ProtocolError`` (the peer broke HTTP), ``OSError`` from the
sockets and ``TimeoutError`` when the deadline passes; the clients turn them
into the package's exceptions.
"""

from __future__ import annotations

import collections
import os
import select
import socket
import time

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    import asyncio
    import ssl
    from collections.abc import Callable

    from ._http import Route
    from ._parser import ReplyParser

MAX_IDLE = 100  # idle connections kept per origin, as the real client's pool
RECEIVE_BYTES = 65536
# The longest single wait: poll() takes at most 2**31 - 1 ms and a socket time-out some 292
# years, so a longer deadline is waited for in turns of this.
MAX_WAIT = 86400.0


class Deadline:
    """The end of a request's time; hooks may stop its clock while they run (extend)."""

    __slots__ = ("end",)

    def __init__(self, seconds: float | None) -> None:
        if seconds is not None and seconds != seconds:
            raise ValueError("Invalid value NaN (not a number)")
        self.end = None if seconds is None else time.monotonic() + seconds

    def left(self) -> float | None:
        """Seconds left (None: no deadline); TimeoutError once none are."""
        if self.end is None:
            return None
        left = self.end - time.monotonic()
        if left <= 0:
            raise TimeoutError("the request's deadline has passed")
        return left

    def wait(self) -> float | None:
        """The longest a single wait may last now: what is left, in turns of MAX_WAIT."""
        left = self.left()
        return None if left is None else min(left, MAX_WAIT)

    def extend(self, seconds: float) -> None:
        if self.end is not None:
            self.end += seconds


def _quiet(sock: socket.socket) -> bool:
    """Whether an idle connection has nothing to read: else the server closed it (or is out of step)."""
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return not poller.poll(0)


class Connection:
    """A connected socket that waits through the socket module's time-outs.

    A TLS socket, and any socket where MSG_DONTWAIT is missing, uses it.
    """

    __slots__ = ("sock",)

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock

    def send(self, request: bytes, deadline: Deadline) -> None:
        self.sock.settimeout(deadline.wait())
        self.sock.sendall(request)  # the time-out bounds the whole call

    def read(self, parser: ReplyParser, deadline: Deadline, head_only: bool = False) -> None:
        """Feeds the parser until the reply is complete (or, if head_only, its head is)."""
        while not (parser.done or head_only and parser.has_head):
            self.sock.settimeout(deadline.wait())  # one byte at a time cannot stretch the deadline
            try:
                data = self.sock.recv(RECEIVE_BYTES)
            except TimeoutError:
                continue  # the deadline has passed (left() raises), or a turn of MAX_WAIT has
            parser.feed(data)

    def idle_and_open(self, loop: object = None) -> bool:
        return _quiet(self.sock)

    def close(self) -> None:
        self.sock.close()


class PollConnection(Connection):
    """A plain TCP connection that waits with a poll() of its own.

    The socket stays in blocking mode, each send and receive is one call that
    does not block (MSG_DONTWAIT), and the waits between them are the poll,
    for as long as the deadline leaves. With time-outs the socket module
    polls before every call and switches the descriptor's mode (another
    system call) at every settimeout(): each of those calls lets the other
    threads contend for the interpreter lock.
    """

    __slots__ = ("_readable",)

    def __init__(self, sock: socket.socket) -> None:
        sock.settimeout(None)  # blocking mode, for good
        super().__init__(sock)
        self._readable = select.poll()
        self._readable.register(sock, select.POLLIN)

    def send(self, request: bytes, deadline: Deadline) -> None:
        data = memoryview(request)
        while data:
            try:
                data = data[self.sock.send(data, socket.MSG_DONTWAIT):]
            except BlockingIOError:
                writable = select.poll()
                writable.register(self.sock, select.POLLOUT)
                _wait(writable, deadline)

    def read(self, parser: ReplyParser, deadline: Deadline, head_only: bool = False) -> None:
        while not (parser.done or head_only and parser.has_head):
            _wait(self._readable, deadline)
            try:
                data = self.sock.recv(RECEIVE_BYTES, socket.MSG_DONTWAIT)
            except BlockingIOError:  # readiness that did not last
                continue
            parser.feed(data)

    def idle_and_open(self, loop: object = None) -> bool:
        return not self._readable.poll(0)


# A TLS socket takes no flags: it always waits through time-outs.
PLAIN_CONNECTION: type[Connection] = PollConnection if hasattr(socket, "MSG_DONTWAIT") else Connection


def _wait(poller: select.poll, deadline: Deadline) -> None:
    """Until the poller's socket is ready; TimeoutError when the deadline passes first."""
    while True:
        left = deadline.left()
        if poller.poll(None if left is None else min(left, MAX_WAIT) * 1000):
            return


class AsyncConnection:
    """An asyncio stream pair of one event loop; the caller bounds each step with its deadline."""

    __slots__ = ("reader", "writer", "loop")

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 loop: asyncio.AbstractEventLoop) -> None:
        self.reader, self.writer, self.loop = reader, writer, loop

    async def send(self, request: bytes) -> None:
        self.writer.write(request)
        await self.writer.drain()

    async def read(self, parser: ReplyParser, head_only: bool = False) -> None:
        while not (parser.done or head_only and parser.has_head):
            parser.feed(await self.reader.read(RECEIVE_BYTES))

    def idle_and_open(self, loop: object = None) -> bool:
        if loop is not self.loop or self.reader.at_eof() or self.writer.is_closing():
            return False
        # The loop may not have seen the server's close yet; the socket has.
        return _quiet(self.writer.get_extra_info("socket"))

    def close(self) -> None:
        try:
            self.writer.close()
        except RuntimeError:  # its loop has closed: the socket goes with the transport
            pass


def _open_socket(where: Route, deadline: Deadline) -> socket.socket:
    """A TCP connection to the first address of the host that takes one, all within the one deadline.

    (socket.create_connection would give each address the whole time-out again.)
    """
    error: OSError | None = None
    for family, kind, proto, _, address in socket.getaddrinfo(where.host, where.port, 0, socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.settimeout(deadline.wait())
            sock.connect(address)
            return sock
        except TimeoutError:
            sock.close()
            deadline.left()  # raises once the deadline has passed; else try the next address
            error = TimeoutError("the request's deadline has passed")
        except OSError as exc:
            sock.close()
            error = exc
    raise error or OSError(f"no address for {where.host!r}")


def connect(where: Route, deadline: Deadline, tls_context: Callable[[], ssl.SSLContext]) -> Connection:
    sock = _open_socket(where, deadline)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if where.tls:
            sock.settimeout(deadline.wait())  # the handshake shares the request's deadline
            return Connection(tls_context().wrap_socket(sock, server_hostname=where.host))
        return PLAIN_CONNECTION(sock)
    except BaseException:
        sock.close()
        raise


async def connect_async(where: Route, tls_context: Callable[[], ssl.SSLContext]) -> AsyncConnection:
    import asyncio  # only for the asyncio client: the import costs more than a request

    tls = tls_context() if where.tls else None
    reader, writer = await asyncio.open_connection(
        where.host, where.port, ssl=tls, server_hostname=where.host if tls else None)
    return AsyncConnection(reader, writer, asyncio.get_running_loop())


class Pool:
    """A client's idle kept-alive connections by origin; any thread may take and give back.

    A forked child drops what it inherited: a connection must not be used
    by two processes.
    """

    def __init__(self) -> None:
        self._idle: dict[object, collections.deque[Connection | AsyncConnection]] = {}
        self._pid = os.getpid()
        self._closed = False

    def take(self, key: object, loop: object = None) -> Connection | AsyncConnection | None:
        """An idle connection to `key` that is still open (and of `loop`, for asyncio); None if none is."""
        if self._pid != os.getpid():
            self._pid = os.getpid()
            self._drop_idle()
        idle = self._idle.get(key)
        while idle:
            try:
                connection = idle.pop()
            except IndexError:  # another thread took the last one
                return None
            if connection.idle_and_open(loop):
                return connection
            connection.close()
        return None

    def give(self, key: object, connection: Connection | AsyncConnection) -> None:
        if self._closed:
            return connection.close()
        idle = self._idle.get(key)
        if idle is None:
            idle = self._idle.setdefault(key, collections.deque())
        if len(idle) < MAX_IDLE:
            idle.append(connection)
        else:
            connection.close()

    def close(self) -> None:
        """Close every idle connection, and each one in use when its exchange ends."""
        self._closed = True
        self._drop_idle()

    def _drop_idle(self) -> None:
        for idle in list(self._idle.values()):
            while idle:
                try:
                    idle.pop().close()
                except IndexError:
                    break
