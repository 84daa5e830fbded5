"""HTTP/1.1 for the stand-in clients: requests as bytes, replies parsed from bytes, kept-alive connections.

The parser only consumes bytes, so the blocking client (a socket) and the
asyncio client (a stream) feed it alike. Errors are ``ProtocolError`` (the
peer broke HTTP), ``OSError`` from the sockets and ``TimeoutError``; the
clients turn them into the package's exceptions.
"""

import collections
import functools
import itertools
import os
import re
import select
import socket
import urllib.parse

MAX_HEAD_BYTES = 64 * 1024  # status line and headers
MAX_IDLE = 100  # idle connections kept per origin, as the real client's pool
RECEIVE_BYTES = 65536
# Status: the method a redirect is followed with (None keeps the method and body).
REDIRECT_METHODS = {301: "GET", 302: "GET", 303: "GET", 307: None, 308: None}
_DEFAULT_PORTS = {"http": 80, "https": 443}
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
_BAD_VALUE = re.compile(r"[\r\n\0]")
_BAD_TARGET = re.compile(r"[\x00-\x20\x7f]")
_HEAD_END = re.compile(rb"\r?\n\r?\n")
_CHUNK_LINE_END = re.compile(rb"\r?\n")
_STATUS_LINE = re.compile(r"HTTP/(1\.[01]) ([0-9]{3})(?: .*)?")
_DIGITS = re.compile(r"[0-9]+")
_HEX = re.compile(rb"[0-9A-Fa-f]+")


class ProtocolError(Exception):
    """The peer's bytes are not an HTTP/1.1 reply we can read."""


class Route:
    """Where a URL's request goes: the origin that keeps connections, and what the request names."""

    __slots__ = ("tls", "host", "port", "origin", "target", "host_header")

    def __init__(self, tls, host, port, target, host_header):
        self.tls, self.host, self.port = tls, host, port
        self.origin = (tls, host, port)
        self.target, self.host_header = target, host_header


@functools.lru_cache(maxsize=256)
def route(url):
    """The Route of an http or https URL; ValueError for any other."""
    parts = urllib.parse.urlsplit(url)
    port = parts.port  # ValueError when it is not a port number
    if parts.scheme not in _DEFAULT_PORTS or not parts.hostname:
        raise ValueError(f"cannot send a request to {url!r}")
    default = _DEFAULT_PORTS[parts.scheme]
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    if not target.isascii():
        target = urllib.parse.quote(target, safe="/?#[]@!$&'()*+,;=:%~")
    if _BAD_TARGET.search(target):
        raise ValueError(f"cannot send a request to {url!r}: control character in the path")
    host = parts.hostname
    try:
        name = host.encode("ascii").decode()
    except UnicodeEncodeError:
        name = host.encode("idna").decode()  # UnicodeError (a ValueError) when it cannot be
    if ":" in name:
        name = f"[{name}]"
    host_header = name if port in (None, default) else f"{name}:{port}"
    return Route(parts.scheme == "https", host, port or default, target, host_header)


def origin(url):
    """(scheme, host, port) of a URL, with the scheme's default port; None parts when unknown."""
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port or _DEFAULT_PORTS.get(parts.scheme)
    except ValueError:
        port = None
    return parts.scheme, parts.hostname, port


def request_bytes(method, where, headers, data):
    """The whole request, head and body; ValueError for a header HTTP cannot carry."""
    given = {name.lower() for name in headers}
    lines = [f"{method} {where.target} HTTP/1.1"]
    if "host" not in given:
        lines.append(f"Host: {where.host_header}")
    if "accept-encoding" not in given:
        lines.append("Accept-Encoding: identity")
    if data is not None and "content-length" not in given:
        lines.append(f"Content-Length: {len(data)}")
    for name, value in headers.items():
        value = str(value)
        if not _TOKEN.fullmatch(name) or _BAD_VALUE.search(value):
            raise ValueError(f"header {name!r} cannot be sent: {value!r}")
        lines.append(f"{name}: {value}")
    lines.append("\r\n")
    try:
        head = "\r\n".join(lines).encode("latin-1")
    except UnicodeEncodeError as exc:
        raise ValueError(f"a header cannot be sent: {exc}") from None
    return head + data if data is not None else head


class Headers(dict):
    """Reply headers by lower-case name; get() takes any case."""

    def get(self, name, default=None):
        return super().get(name.lower(), default)


class Reply:
    __slots__ = ("status", "headers", "body", "reusable")

    def __init__(self, status, headers, body, reusable):
        self.status, self.headers, self.body, self.reusable = status, headers, body, reusable


class ReplyParser:
    """Reads one reply from the bytes given to feed(); b"" is the end of the stream.

    The body is None when it is longer than `limit` (then reading stops at
    once). A redirect with a Location is done after its head: its body is
    never taken as the reply. `done` tells when the reply is complete;
    reply() gives it.
    """

    def __init__(self, limit):
        self.limit = limit
        self.done = False
        self._buffer = bytearray()
        self._step = self._head
        self._status = self._headers = None
        self._body, self._too_big, self._left = bytearray(), False, 0
        self._scanned = 0  # bytes of the buffer already searched for the end of the head or a line
        self._keep_alive = False

    def feed(self, data):
        if not data:
            return self._end()
        self._buffer += data
        while not self.done and self._step():
            pass

    def reply(self):
        body = None if self._too_big else bytes(self._body)
        reusable = self._keep_alive and not self._buffer
        return Reply(self._status, self._headers, body, reusable)

    def _end(self):
        if self._step == self._until_close:
            self.done = True
        elif self._step == self._head and not self._buffer:
            raise ProtocolError("the server closed the connection without answering")
        else:
            raise ProtocolError("the server closed the connection in the middle of its reply")

    def _head(self):
        start = self._buffer.find(b"\r\n\r\n", max(0, self._scanned - 3))
        end = start + 4
        if start < 0:  # a server ending lines with a bare LF, or a head still incomplete
            found = self._search(_HEAD_END)
            if found is None:
                if len(self._buffer) > MAX_HEAD_BYTES:
                    raise ProtocolError(f"reply head longer than {MAX_HEAD_BYTES} bytes")
                return False
            start, end = found.span()
        lines = self._buffer[:start].decode("latin-1").split("\n")  # header values drop the \r
        self._drop(end)
        match = _STATUS_LINE.fullmatch(lines[0].rstrip("\r"))
        if match is None:
            raise ProtocolError(f"malformed status line {lines[0][:100]!r}")
        status = int(match[2])
        if 100 <= status < 200:  # an interim reply (100 Continue): the real one follows
            if status == 101:
                raise ProtocolError("the server switched protocols")
            return True
        self._status, self._headers = status, _parse_headers(lines, 1)
        self._keep_alive = match[1] == "1.1" and "close" not in _tokens(self._headers.get("connection"))
        self._step = self._framing()
        if self._step is None:
            self.done = True
        return True

    def _framing(self):
        """The step that reads the body; None when there is none to read."""
        headers = self._headers
        if self._status in REDIRECT_METHODS and "location" in headers:
            self._keep_alive = False
            return None
        if self._status in (204, 304):
            return None
        if "transfer-encoding" in headers:
            if _tokens(headers["transfer-encoding"])[-1:] != ["chunked"]:
                self._keep_alive = False
                return self._until_close
            return self._chunk_size
        length = headers.get("content-length")
        if length is None:
            self._keep_alive = False
            return self._until_close
        values = {v.strip() for v in length.split(",")}  # a repeated header is joined with commas
        if len(values) != 1 or not _DIGITS.fullmatch(next(iter(values))):
            raise ProtocolError(f"malformed Content-Length {length!r}")
        digits = values.pop().lstrip("0") or "0"
        if len(digits) > 18:  # more than int() converts (4300 digits), and than any bound
            return self._too_long()
        self._left = int(digits)
        if self._left > self.limit:
            return self._too_long()
        return self._length if self._left else None

    def _too_long(self):
        self._too_big = True
        self._keep_alive = False
        self.done = True
        return None

    def _take(self, count):
        self._body += self._buffer[:count]
        self._drop(count)

    def _length(self):
        if len(self._buffer) < self._left:
            return False
        self._take(self._left)
        self.done = True
        return False

    def _until_close(self):
        if self._buffer:
            self._take(len(self._buffer))
        if len(self._body) > self.limit:
            self._too_long()
        return False

    def _search(self, pattern):
        """The pattern's first match, searching only what the last search did not (less 3 bytes:
        a match split between two reads), so a reply that trickles in costs linear time."""
        found = pattern.search(self._buffer, max(0, self._scanned - 3))
        if found is None:
            self._scanned = len(self._buffer)
        return found

    def _drop(self, count):
        del self._buffer[:count]
        self._scanned = 0

    def _line(self):
        end = self._search(_CHUNK_LINE_END)
        if end is None:
            if len(self._buffer) > MAX_HEAD_BYTES:
                raise ProtocolError("chunk line too long")
            return None
        line = bytes(self._buffer[:end.start()])
        self._drop(end.end())
        return line

    def _chunk_size(self):
        line = self._line()
        if line is None:
            return False
        digits = line.split(b";", 1)[0].strip()
        if not _HEX.fullmatch(digits):
            raise ProtocolError(f"malformed chunk size {line[:100]!r}")
        self._left = int(digits, 16)
        if len(self._body) + self._left > self.limit:
            self._too_long()
            return False
        self._step = self._chunk_data if self._left else self._trailer
        return True

    def _chunk_data(self):
        if len(self._buffer) < self._left:
            return False
        self._take(self._left)
        self._left = 0
        self._step = self._chunk_end
        return True

    def _chunk_end(self):
        line = self._line()
        if line is None:
            return False
        if line:
            raise ProtocolError("chunk data longer than its size")
        self._step = self._chunk_size
        return True

    def _trailer(self):
        line = self._line()
        if line is None:
            return False
        if not line:
            self.done = True
        return True


def _parse_headers(lines, start):
    headers = Headers()
    name = None
    for line in itertools.islice(lines, start, None):
        if line[:1] in (" ", "\t") and name is not None:  # a folded continuation line
            headers[name] += " " + line.strip()
            continue
        raw, sep, value = line.partition(":")
        if not sep or not raw or raw != raw.strip():
            raise ProtocolError(f"malformed header line {line[:100]!r}")
        name = raw.lower()
        value = value.strip()
        headers[name] = f"{headers[name]}, {value}" if name in headers else value
    return headers


def _tokens(value):
    return [t.strip().lower() for t in value.split(",")] if value else []


def _quiet(sock):
    """Whether an idle connection has nothing to read: else the server closed it (or is out of step)."""
    poller = select.poll()
    poller.register(sock, select.POLLIN)
    return not poller.poll(0)


class Connection:
    """A connected socket, and how it sends a request and reads a reply within a deadline.

    This one waits through the socket module's time-outs; a TLS socket, and
    any socket where MSG_DONTWAIT is missing, uses it.
    """

    __slots__ = ("sock",)

    def __init__(self, sock):
        self.sock = sock

    def exchange(self, request, deadline, limit):
        self.sock.settimeout(deadline.left())
        self.sock.sendall(request)  # the time-out bounds the whole call
        parser = ReplyParser(limit)
        while not parser.done:
            self.sock.settimeout(deadline.left())  # one byte at a time cannot stretch the deadline
            parser.feed(self.sock.recv(RECEIVE_BYTES))
        return parser.reply()

    def idle_and_open(self, loop=None):
        return _quiet(self.sock)

    def close(self):
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

    def __init__(self, sock):
        sock.settimeout(None)  # blocking mode, for good
        super().__init__(sock)
        self._readable = select.poll()
        self._readable.register(sock, select.POLLIN)

    def exchange(self, request, deadline, limit):
        self._send(memoryview(request), deadline)
        parser = ReplyParser(limit)
        while not parser.done:
            _wait(self._readable, deadline)
            try:
                data = self.sock.recv(RECEIVE_BYTES, socket.MSG_DONTWAIT)
            except BlockingIOError:  # readiness that did not last
                continue
            parser.feed(data)
        return parser.reply()

    def _send(self, data, deadline):
        while data:
            try:
                data = data[self.sock.send(data, socket.MSG_DONTWAIT):]
            except BlockingIOError:
                writable = select.poll()
                writable.register(self.sock, select.POLLOUT)
                _wait(writable, deadline)

    def idle_and_open(self, loop=None):
        return not self._readable.poll(0)


# A TLS socket takes no flags: it always waits through time-outs.
PLAIN_CONNECTION = PollConnection if hasattr(socket, "MSG_DONTWAIT") else Connection


def _wait(poller, deadline):
    """Until the poller's socket is ready; TimeoutError when the deadline passes first."""
    left = deadline.left()
    if not poller.poll(None if left is None else left * 1000):
        raise TimeoutError("the request's deadline has passed")


class AsyncConnection:
    """An asyncio stream pair of one event loop; the caller bounds the exchange with its deadline."""

    __slots__ = ("reader", "writer", "loop")

    def __init__(self, reader, writer, loop):
        self.reader, self.writer, self.loop = reader, writer, loop

    async def exchange(self, request, limit):
        self.writer.write(request)
        await self.writer.drain()
        parser = ReplyParser(limit)
        while not parser.done:
            parser.feed(await self.reader.read(RECEIVE_BYTES))
        return parser.reply()

    def idle_and_open(self, loop=None):
        if loop is not self.loop or self.reader.at_eof() or self.writer.is_closing():
            return False
        # The loop may not have seen the server's close yet; the socket has.
        return _quiet(self.writer.get_extra_info("socket"))

    def close(self):
        try:
            self.writer.close()
        except RuntimeError:  # its loop has closed: the socket goes with the transport
            pass


def connect(where, deadline, tls_context):
    sock = socket.create_connection((where.host, where.port), deadline.left())
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if where.tls:
            sock.settimeout(deadline.left())  # the handshake shares the request's deadline
            return Connection(tls_context().wrap_socket(sock, server_hostname=where.host))
        return PLAIN_CONNECTION(sock)
    except BaseException:
        sock.close()
        raise


async def connect_async(where, tls_context):
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

    def __init__(self):
        self._idle = {}
        self._pid = os.getpid()
        self._closed = False

    def take(self, key, loop=None):
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

    def give(self, key, connection):
        if self._closed:
            return connection.close()
        idle = self._idle.get(key)
        if idle is None:
            idle = self._idle.setdefault(key, collections.deque())
        if len(idle) < MAX_IDLE:
            idle.append(connection)
        else:
            connection.close()

    def close(self):
        """Close every idle connection, and each one in use when its exchange ends."""
        self._closed = True
        self._drop_idle()

    def _drop_idle(self):
        for idle in list(self._idle.values()):
            while idle:
                try:
                    idle.pop().close()
                except IndexError:
                    break
