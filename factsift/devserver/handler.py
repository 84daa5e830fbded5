"""One connection's requests: framing, routing, and writing the answers."""

import contextlib
import email.message
import io
import urllib.parse
import uuid
from http.server import BaseHTTPRequestHandler
from typing import TYPE_CHECKING, Any, Dict, Optional

from . import api, chat
from .auth import refusal
from .jsonio import parse_json
from .wire import BodyError, DeadlineReader, body_length, read_chunked

if TYPE_CHECKING:
    from .server import DevServer

__all__ = ["Handler"]

# Past this much excess the body is not drained and the client may see a reset.
_DRAIN_LIMIT = 64 * 1024 * 1024
_CHAT_PATHS = ("/v1/chat/completions", "/chat/completions")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "factsift-devserver"
    # The head and the body go out in two writes: with Nagle's algorithm the body
    # waits for the client's delayed ACK of the head, some 40 ms on a kept-alive connection.
    disable_nagle_algorithm = True
    server: "DevServer"
    # As BaseHTTPRequestHandler declares them.
    rfile: io.BufferedIOBase
    path: str
    headers: email.message.Message
    close_connection: bool

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.access_log:
            super().log_message(format, *args)

    def setup(self) -> None:
        super().setup()
        # Time-outs bound a whole request and the wait for one, not each read.
        self._reader = DeadlineReader(self.connection, self.server.idle_timeout,
                                      self.server.request_timeout)
        self.rfile = io.BufferedReader(self._reader)

    def handle_one_request(self) -> None:
        # One handler serves a kept-alive connection: a malformed request must not be
        # logged with the path and headers of the one before it.
        self.path = self.headers = None  # type: ignore[assignment]
        self._reader.await_request()
        super().handle_one_request()

    def send_error(self, code: int, message: Optional[str] = None, explain: Optional[str] = None) -> None:
        # What the base class rejects itself: a malformed request line or headers, an unknown method.
        self.close_connection = True
        self._log(None)
        self._error(code, message or self.responses.get(code, ("error",))[0])

    def _path(self) -> Optional[str]:
        return self.path and self.path.split("?", 1)[0].rstrip("/")

    def _log(self, body: Any, raw: bytes = b"", **extra: Any) -> None:
        self.server.log.request(self.command, self._path(), self.headers, body, raw, **extra)

    def _refused(self) -> bool:
        """Whether the request lacked the service's API key, and so got a 401 before its body was read."""
        outcome = refusal(self.server.api_key, self.headers.get_all("Authorization", []))
        if outcome is None:
            return False
        self._log(None, refused="no valid API key")
        with contextlib.suppress(BodyError):  # the body unread would reset the connection
            self._drain(body_length(self.headers.get_all("Content-Length", []), []) or 0, 0)
        self.close_connection = True
        self._send_outcome(outcome)
        return True

    def do_POST(self) -> None:
        if self._refused():
            return
        path = self._path()
        if path not in _CHAT_PATHS:
            return self._endpoint(path)
        raw = self._read_body(self.server.max_body)
        if raw is None:
            return
        body = parse_json(raw)
        self._log(body, raw)
        request = chat.check_request(body, self.server.mode)
        if isinstance(request, chat.Outcome):
            return self._send_outcome(request)
        self._send_outcome(chat.answer(request, self.server.limits, raw, self.server.stopping.wait,
                                       self.server.delay))

    def do_GET(self) -> None:
        if not self._refused():
            self._endpoint(self._path())

    def do_DELETE(self) -> None:
        if not self._refused():
            self._endpoint(self._path())

    def _endpoint(self, path: Optional[str]) -> None:
        """Models, files and batches."""
        upload = self.command == "POST" and path in (api.UPLOAD_PATH, api.UPLOAD_PATH[3:])
        raw = self._read_body(self.server.max_upload if upload else self.server.max_body,
                              required=self.command == "POST")
        if raw is None:
            return
        if upload:  # the log keeps an upload's size, not its content
            self._log(None, body_bytes=len(raw))
        else:
            self._log(parse_json(raw) if raw else None, raw)
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.path).query))
        outcome = api.route(self.server, self.command, path or "", query, raw,
                            self.headers.get("Content-Type", ""))
        if outcome is None:
            hint = ". Use POST /v1/chat/completions." if self.command == "GET" else ""
            outcome = chat.error(404, f"Unknown request URL: {self.command} {self.path}{hint}")
        self._send_outcome(outcome)

    def _read_body(self, limit: int, required: bool = True) -> Optional[bytes]:
        """The request's body, or None once it has been refused with an answer.

        A body is framed by its Content-Length or as chunked, never both: whatever
        follows a body on the connection is read as the next request.
        """
        lengths = self.headers.get_all("Content-Length", [])
        encodings = self.headers.get_all("Transfer-Encoding", [])
        if not (required or lengths or encodings):
            return b""
        try:
            length = body_length(lengths, encodings)
            if length is None:
                return read_chunked(self.rfile, limit)
        except BodyError as exc:
            self._log(None)
            self.close_connection = True
            self._error(exc.status, str(exc))
            return None
        if length > limit:
            self._log(None, body_bytes=length)
            self._drain(length, limit)
            self.close_connection = True
            self._error(413, f"request body of {length} bytes exceeds the limit of {limit} bytes")
            return None
        return self.rfile.read(length)

    def _drain(self, length: int, limit: int) -> None:
        # Reading the rejected body lets the client finish sending and read the 413.
        if length - limit > _DRAIN_LIMIT:
            return
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)

    def _send_outcome(self, outcome: chat.Outcome) -> None:
        if outcome.body is None:
            self.close_connection = True
            return
        self._send(outcome.status, outcome.body, outcome.headers, outcome.content_type)

    def _error(self, status: int, message: str, kind: str = "invalid_request_error",
               code: Optional[str] = None, param: Optional[str] = None) -> None:
        self._send_outcome(chat.error(status, message, kind, code, param))

    def _send(self, status: int, data: bytes, headers: Optional[Dict[str, str]] = None,
              content_type: str = "application/json; charset=utf-8") -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("x-request-id", f"req_{uuid.uuid4().hex[:16]}")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
