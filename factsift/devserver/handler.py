"""One connection's requests: framing each, handing it to the router, writing the answer."""

import contextlib
import email.message
import io
import urllib.parse
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Optional

from .account import Account
from .jsonio import parse_json
from .outcome import JSON, Outcome, error
from .router import answer, authorize, body_limit, is_upload
from .wire import BodyError, DeadlineReader, body_length, read_chunked

__all__ = ["Handler", "Listener"]

# Past this much excess the body is not drained and the client may see a reset.
_DRAIN_LIMIT = 64 * 1024 * 1024


class Listener(ThreadingHTTPServer):
    """What a connection's handler reads of the server that accepted it."""
    account: Account
    access_log: bool
    idle_timeout: float
    request_timeout: float


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "factsift-devserver"
    # The head and the body go out in two writes: with Nagle's algorithm the body
    # waits for the client's delayed ACK of the head, some 40 ms on a kept-alive connection.
    disable_nagle_algorithm = True
    server: Listener
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
        self._send_outcome(error(code, message or self.responses.get(code, ("error",))[0]))

    def _path(self) -> Optional[str]:
        return self.path and self.path.split("?", 1)[0].rstrip("/")

    def _log(self, body: Any, raw: bytes = b"", **extra: Any) -> None:
        self.server.account.log.request(self.command, self._path(), self.headers, body, raw, **extra)

    def do_POST(self) -> None:
        self._serve()

    def do_GET(self) -> None:
        self._serve()

    def do_DELETE(self) -> None:
        self._serve()

    def _serve(self) -> None:
        account, path = self.server.account, self._path()
        refusal = authorize(account, self.headers.get_all("Authorization", []))
        if refusal is not None:
            return self._refuse(refusal)
        raw = self._read_body(body_limit(account, self.command, path), required=self.command == "POST")
        if raw is None:
            return
        body = None
        if is_upload(self.command, path):  # the log keeps an upload's size, not its content
            self._log(None, body_bytes=len(raw))
        else:
            body = parse_json(raw) if raw else None
            self._log(body, raw)
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.path).query))
        content_type = self.headers.get("Content-Type", "")
        self._send_outcome(answer(account, self.command, path, query, content_type, raw, body))

    def _refuse(self, outcome: Outcome) -> None:
        """A refusal before the body is read: the body is drained (unread, it would reset the connection)."""
        self._log(None, refused="no valid API key")
        with contextlib.suppress(BodyError):
            self._drain(body_length(self.headers.get_all("Content-Length", []), []) or 0, 0)
        self.close_connection = True
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
            self._send_outcome(error(exc.status, str(exc)))
            return None
        if length > limit:
            self._log(None, body_bytes=length)
            self._drain(length, limit)
            self.close_connection = True
            self._send_outcome(error(413, f"request body of {length} bytes exceeds the limit of {limit} bytes"))
            return None
        return self.rfile.read(length)

    def _drain(self, length: int, limit: int) -> None:
        # Reading the rejected body lets the client finish sending and read the answer.
        if length - limit > _DRAIN_LIMIT:
            return
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)

    def _send_outcome(self, outcome: Outcome) -> None:
        self.server.account.replied(outcome.status if outcome.body is not None else 0)
        if outcome.body is None:
            self.close_connection = True
            return
        self._send(outcome.status, outcome.body, outcome.headers, outcome.content_type)

    def _send(self, status: int, data: bytes, headers: Optional[Dict[str, str]] = None,
              content_type: str = JSON) -> None:
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
