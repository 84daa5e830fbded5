"""The listening service: its options, its shared state, starting and stopping it."""

import collections
import contextlib
import socket
import sys
import threading
import time
from http.server import ThreadingHTTPServer
from typing import Any, Dict, Optional, Tuple, Union

from . import chat
from .auth import is_loopback
from .batches import BatchStore
from .files import DEFAULT_MAX_STORED_BYTES, FileStore
from .handler import Handler
from .jsonio import json_bytes, parse_json
from .limits import Limits
from .modes import Mode, ModeError, parse_mode
from .reqlog import RequestLog

__all__ = ["DEFAULT_MAX_BODY", "DevServer", "serve"]

DEFAULT_MAX_BODY = 16 * 1024 * 1024
DEFAULT_MAX_CONNECTIONS = 512
DEFAULT_IDLE_TIMEOUT = 120.0
DEFAULT_REQUEST_TIMEOUT = 60.0
DEFAULT_BATCH_TIME = 2.0
MAX_FILE_BYTES = 200 * 1024 * 1024
_FORM_OVERHEAD = 64 * 1024  # an upload's form fields beside its file
_TOO_MANY = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
             b"Content-Length: %d\r\nRetry-After: 1\r\nConnection: close\r\n\r\n%s")


class DevServer(ThreadingHTTPServer):
    daemon_threads = True
    # socketserver's default listen backlog is 5: a burst of connections beyond
    # it loses SYNs, and clients resend only after a second.
    request_queue_size = 128

    def __init__(self, address: Tuple[str, int], *, mode: Union[str, Mode] = "echo", delay: float = 0.0,
                 max_body: int = DEFAULT_MAX_BODY, log_path: Optional[str] = None,
                 access_log: bool = False, seed: int = 0,
                 max_connections: int = DEFAULT_MAX_CONNECTIONS,
                 idle_timeout: float = DEFAULT_IDLE_TIMEOUT,
                 request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 batch_time: float = DEFAULT_BATCH_TIME, max_file_bytes: int = MAX_FILE_BYTES,
                 max_stored_bytes: int = DEFAULT_MAX_STORED_BYTES, api_key: Optional[str] = None) -> None:
        parsed = parse_mode(mode) if isinstance(mode, str) else mode
        if parsed is None:
            raise ModeError(f"unknown mode {mode!r}")
        if delay < 0:
            raise ModeError("delay must not be negative")
        if max_connections < 1 or not idle_timeout > 0 or not request_timeout > 0:
            raise ValueError("max_connections and the time-outs must be positive")
        if not 0 <= batch_time <= 86_400 or max_file_bytes < 0 or max_stored_bytes < 0:
            raise ValueError("batch_time must be 0-86400, max_file_bytes and max_stored_bytes not negative")
        if api_key is not None and not api_key.strip():
            raise ValueError("an api_key must not be empty")
        self.api_key = api_key
        self.mode: Mode = parsed
        self.delay = delay
        self.max_body = max_body
        self.log_path = log_path
        self.log: RequestLog = RequestLog(log_path)
        self.access_log = access_log
        self.seed = seed
        self.limits: Limits = Limits(seed)
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.request_timeout = request_timeout
        self.batch_time = batch_time
        self.max_file_bytes = max_file_bytes
        self.max_upload: int = max_file_bytes + _FORM_OVERHEAD
        self.started: int = int(time.time())
        # What the service made, by event ("file.uploaded", "batch.created", ...): tests count them.
        self.counts: "collections.Counter[str]" = collections.Counter()
        self._counts_lock = threading.Lock()
        self.files: FileStore = FileStore(max_stored_bytes)
        self.batches: BatchStore = BatchStore(self._run_line, self._output_file)
        self.stopping: threading.Event = threading.Event()
        self._connections = 0
        self._connections_lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        super().__init__(address, Handler)
        if api_key is None and self.exposed:
            self.server_close()
            raise ValueError(f"{self.server_address[0]} is reachable from other machines: give an api_key "
                             "(--api-key KEY) that every request must bear")

    @property
    def exposed(self) -> bool:
        """Whether the service is bound to an address other machines may reach."""
        return not is_loopback(str(self.server_address[0]))

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return  # the client hung up (e.g. its timeout expired during a delay), or stalled
        super().handle_error(request, client_address)

    def process_request(self, request: Any, client_address: Any) -> None:
        # Each connection has a thread of its own: past the bound one gets a 503 instead.
        with self._connections_lock:
            full = self._connections >= self.max_connections
            self._connections += not full
        if full:
            self._refuse(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._release()

    def _release(self) -> None:
        with self._connections_lock:
            self._connections -= 1

    def _refuse(self, request: socket.socket) -> None:
        """Answer 503 from the listening thread, never waiting on the client, and close."""
        self.log.request(None, None, None, None, refused="too many connections")
        body = chat.error(503, f"the service is at its bound of {self.max_connections} connections",
                          "server_error").body or b""
        with contextlib.suppress(OSError):
            request.recv(65536, socket.MSG_DONTWAIT)  # what the client sent, so closing sends no reset
        with contextlib.suppress(OSError):
            request.send(_TOO_MANY % (len(body), body), socket.MSG_DONTWAIT)
        self.shutdown_request(request)

    def record(self, event: str, **fields: Any) -> None:
        """Count something the service made or removed, and log it."""
        with self._counts_lock:
            self.counts[event] += 1
        self.log.event(event, **fields)

    def _run_line(self, body: Dict[str, Any]) -> Tuple[int, Any]:
        # A batch's request takes the same modes as an online one, without delays or rate limits.
        request = chat.check_request(body, self.mode)
        outcome = request if isinstance(request, chat.Outcome) else chat.answer(
            request, self.limits, json_bytes(body), None)
        if outcome.body is None:
            return 0, None
        parsed = parse_json(outcome.body)
        return outcome.status, outcome.body.decode("utf-8", "replace") if parsed is None else parsed

    def _output_file(self, filename: str, data: bytes) -> str:
        info = self.files.add(filename, "batch_output", data, bounded=False)  # owed: always kept
        self.record("file.output", id=info["id"], filename=filename, bytes=info["bytes"])
        return str(info["id"])

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        return f"http://{host!s}:{port}/v1"

    def start(self, poll_interval: float = 0.05) -> threading.Thread:
        """Run serve_forever() in a daemon thread; returns the thread.

        poll_interval bounds how long stop() waits for the serving loop.
        """
        self._thread = threading.Thread(target=self.serve_forever, args=(poll_interval,),
                                        name="factsift-devserver", daemon=True)
        self._thread.start()
        return self._thread

    def stop(self) -> None:
        """Stop serving, cut pending delays short, and close the listening socket."""
        self.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
        self.server_close()


def serve(host: str = "127.0.0.1", port: int = 0, **options: Any) -> DevServer:
    """Bind a DevServer (port 0 = any free port); call start() or serve_forever()."""
    return DevServer((host, port), **options)
