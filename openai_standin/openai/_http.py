"""HTTP/1.1 requests as bytes, and the request and response objects that event hooks see.

Where a request goes (``route``) is checked before anything is sent: a URL
or a header that HTTP cannot carry raises ``ValueError``.
"""

from __future__ import annotations

import collections.abc
import functools
import json
import re
import urllib.parse

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    from collections.abc import Iterator, Mapping

# Status: the method a redirect is followed with (None keeps the method and body).
REDIRECT_METHODS: dict[int, str | None] = {301: "GET", 302: "GET", 303: "GET", 307: None, 308: None}
_DEFAULT_PORTS = {"http": 80, "https": 443}
_TOKENS = re.compile(r"(?:[!#$%&'*+\-.^_`|~0-9A-Za-z]+\n)*")  # header names, each ended by \n
_BAD_VALUE = re.compile(r"[\r\n\0]")
_BAD_TARGET = re.compile(r"[\x00-\x20\x7f]")
# As httpx: a URL with a control character is refused whole (the socket layer would cut a
# host name at a NUL and connect to what came before it).
_NON_PRINTABLE = re.compile(r"[\x00-\x1f\x7f]")
_CHARSET = r"(?i);\s*charset=[\"']?([^\s;\"']+)"  # compiled on first use: replies are read as bytes


class Headers(collections.abc.MutableMapping[str, str]):
    """Header fields by name in any case, as httpx.Headers; each keeps the case it was set with."""

    __slots__ = ("_values", "_names")

    def __init__(self, fields: Mapping[str, str] | None = None) -> None:
        self._values: dict[str, str] = {}
        self._names: dict[str, str] = {}
        if fields:
            for name, value in fields.items():
                self[name] = value

    @classmethod
    def of_lower(cls, values: dict[str, str]) -> Headers:
        """Headers over `values`, whose names are in lower case already (a parsed reply's)."""
        headers = cls.__new__(cls)
        headers._values, headers._names = values, {}
        return headers

    def __getitem__(self, name: str) -> str:
        return self._values[name.lower()]

    def __setitem__(self, name: str, value: str) -> None:
        key = name.lower()
        self._values[key] = value if isinstance(value, str) else str(value)
        self._names[key] = name

    def __delitem__(self, name: str) -> None:
        key = name.lower()
        del self._values[key]
        self._names.pop(key, None)

    def __iter__(self) -> Iterator[str]:
        names = self._names
        return (names.get(key, key) for key in self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._values

    def get(self, name: str, default: str | None = None) -> str | None:  # type: ignore[override]
        return self._values.get(name.lower(), default)

    def fields(self) -> Iterator[tuple[str, str]]:
        """(name, value) of each field, each name in the case it was set with."""
        names = self._names
        return ((names.get(key, key), value) for key, value in self._values.items())

    def copy(self) -> Headers:
        headers = Headers.__new__(Headers)
        headers._values, headers._names = dict(self._values), dict(self._names)
        return headers

    def __repr__(self) -> str:
        return f"Headers({dict(self)!r})"


class Request:
    """What a request hook gets: the request about to be sent (its headers may be changed)."""

    __slots__ = ("method", "url", "headers", "content")

    def __init__(self, method: str, url: str, headers: Headers, content: bytes | None) -> None:
        self.method, self.url, self.headers, self.content = method, url, headers, content

    def __repr__(self) -> str:
        return f"<Request({self.method!r}, {self.url!r})>"


class Response:
    """A reply as httpx.Response shows it: the status and headers, then (once read) the body.

    `content` is None when the body was longer than the client reads.
    """

    __slots__ = ("status_code", "headers", "request", "content", "_version", "reason_phrase")

    def __init__(self, status_code: int, headers: Headers, request: Request, content: bytes | None = b"",
                 version: str = "1.1", reason_phrase: str = "") -> None:
        self.status_code, self.headers, self.request, self.content = status_code, headers, request, content
        self._version, self.reason_phrase = version, reason_phrase

    @property
    def http_version(self) -> str:
        return f"HTTP/{self._version}"

    @property
    def url(self) -> str:
        return self.request.url

    @property
    def is_success(self) -> bool:
        return 200 <= self.status_code < 300

    @property
    def charset_encoding(self) -> str | None:
        found = re.search(_CHARSET, self.headers.get("content-type") or "")
        return found[1] if found else None

    @property
    def encoding(self) -> str:
        return self.charset_encoding or "utf-8"

    @property
    def text(self) -> str:
        content = self.content or b""
        try:
            return content.decode(self.encoding, "replace")
        except LookupError:  # a charset Python does not know
            return content.decode("utf-8", "replace")

    def json(self) -> object:
        return json.loads(self.content or b"")  # as httpx: UTF-8, -16 or -32, whatever the charset

    def __repr__(self) -> str:
        return f"<Response [{self.status_code}]>"


class Route:
    """Where a URL's request goes: the origin that keeps connections, and what the request names."""

    __slots__ = ("tls", "host", "port", "origin", "target", "host_header")

    def __init__(self, tls: bool, host: str, port: int, target: str, host_header: str) -> None:
        self.tls, self.host, self.port = tls, host, port
        self.origin = (tls, host, port)
        self.target, self.host_header = target, host_header


@functools.lru_cache(maxsize=256)
def route(url: str) -> Route:
    """The Route of an http or https URL; ValueError for any other."""
    if _NON_PRINTABLE.search(url):
        raise ValueError(f"cannot send a request to {url!r}: control character in the URL")
    parts = urllib.parse.urlsplit(url)
    port = parts.port  # ValueError when it is not a port number
    if parts.scheme not in _DEFAULT_PORTS or not parts.hostname:
        raise ValueError(f"cannot send a request to {url!r}")
    default = _DEFAULT_PORTS[parts.scheme]
    target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
    if not target.isascii():
        target = urllib.parse.quote(target, safe="/?#[]@!$&'()*+,;=:%~")
    if _BAD_TARGET.search(target):
        raise ValueError(f"cannot send a request to {url!r}: space in the path")
    host = parts.hostname
    try:
        name = host.encode("ascii").decode()
    except UnicodeEncodeError:
        name = host.encode("idna").decode()  # UnicodeError (a ValueError) when it cannot be
    if ":" in name:
        name = f"[{name}]"
    host_header = name if port in (None, default) else f"{name}:{port}"
    return Route(parts.scheme == "https", host, port or default, target, host_header)


def origin(url: str) -> tuple[str, str | None, int | None]:
    """(scheme, host, port) of a URL, with the scheme's default port; None parts when unknown."""
    parts = urllib.parse.urlsplit(url)
    try:
        port = parts.port or _DEFAULT_PORTS.get(parts.scheme)
    except ValueError:
        port = None
    return parts.scheme, parts.hostname, port


def request_bytes(method: str, where: Route, headers: Headers, data: bytes | None) -> bytes:
    """The whole request, head and body; ValueError for a header HTTP cannot carry
    (UnicodeEncodeError for one beyond ASCII)."""
    given = headers._values
    lines = [f"{method} {where.target} HTTP/1.1"]
    if "host" not in given:
        lines.append(f"Host: {where.host_header}")
    if "accept-encoding" not in given:
        lines.append("Accept-Encoding: identity")
    if data is not None and "content-length" not in given:
        lines.append(f"Content-Length: {len(data)}")
    # All names and all values checked at once; the culprit is looked for only when there is one.
    if not _TOKENS.fullmatch("\n".join(given) + "\n") or _BAD_VALUE.search("".join(given.values())):
        name, value = next((n, v) for n, v in headers.fields() if not _TOKENS.fullmatch(n + "\n")
                           or _BAD_VALUE.search(v))
        raise ValueError(f"header {name!r} cannot be sent: {value!r}")
    names = headers._names
    lines += [f"{names.get(key, key)}: {value}" for key, value in given.items()]
    lines.append("\r\n")
    head = "\r\n".join(lines).encode("ascii")  # UnicodeEncodeError, as httpx raises it
    return head + data if data is not None else head
