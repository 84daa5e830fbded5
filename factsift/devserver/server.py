"""The listening service: it accepts connections, within bounds, and serves each with one account."""

import collections
import contextlib
import socket
import sys
import threading
from typing import Any, Optional, Tuple

from .account import DEFAULT_BATCH_TIME, DEFAULT_MAX_BODY, MAX_FILE_BYTES, Account
from .auth import is_loopback
from .batches import BatchStore
from .files import FileStore
from .handler import Handler, Listener
from .outcome import error

__all__ = ["DEFAULT_MAX_BODY", "DevServer", "serve"]
__all__ += ["DEFAULT_BATCH_TIME", "DEFAULT_IDLE_TIMEOUT", "DEFAULT_MAX_CONNECTIONS",
            "DEFAULT_REQUEST_TIMEOUT", "MAX_FILE_BYTES"]

DEFAULT_MAX_CONNECTIONS = 512
DEFAULT_IDLE_TIMEOUT = 120.0
DEFAULT_REQUEST_TIMEOUT = 60.0
_TOO_MANY = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
             b"Content-Length: %d\r\nRetry-After: 1\r\nConnection: close\r\n\r\n%s")


class DevServer(Listener):
    """A socket server for one Account (`account`); the other keywords make the account."""
    daemon_threads = True
    # socketserver's default listen backlog is 5: a burst of connections beyond
    # it loses SYNs, and clients resend only after a second.
    request_queue_size = 128

    def __init__(self, address: Tuple[str, int], *, max_connections: int = DEFAULT_MAX_CONNECTIONS,
                 idle_timeout: float = DEFAULT_IDLE_TIMEOUT, request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 access_log: bool = False, account: Optional[Account] = None, **options: Any) -> None:
        if max_connections < 1 or not idle_timeout > 0 or not request_timeout > 0:
            raise ValueError("max_connections and the time-outs must be positive")
        self.account: Account = account if account is not None else Account(**options)
        self.access_log = access_log
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self.request_timeout = request_timeout
        self._connections = 0
        self._connections_lock = threading.Lock()
        self._thread: Optional[threading.Thread] = None
        super().__init__(address, Handler)
        if self.account.api_key is None and self.exposed:
            self.server_close()
            raise ValueError(f"{self.server_address[0]!s} is reachable from other machines: give an api_key "
                             "(--api-key KEY) that every request must bear")

    @property
    def exposed(self) -> bool:
        """Whether the service is bound to an address other machines may reach."""
        return not is_loopback(str(self.server_address[0]))

    # The account's parts that tests and benchmarks reach through the server.
    @property
    def counts(self) -> "collections.Counter[str]":
        return self.account.counts

    @property
    def replies(self) -> "collections.Counter[int]":
        return self.account.replies

    @property
    def answered(self) -> int:
        return self.account.answered

    @property
    def files(self) -> FileStore:
        return self.account.files

    @property
    def batches(self) -> BatchStore:
        return self.account.batches

    @property
    def log_path(self) -> Optional[str]:
        return self.account.log_path

    @property
    def batch_time(self) -> float:
        return self.account.batch_time

    @batch_time.setter
    def batch_time(self, seconds: float) -> None:
        self.account.batch_time = seconds

    @property
    def stopping(self) -> threading.Event:
        return self.account.stopping

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
        self.account.log.request(None, None, None, None, refused="too many connections")
        self.account.replied(503)
        body = error(503, f"the service is at its bound of {self.max_connections} connections",
                     "server_error").body or b""
        with contextlib.suppress(OSError):
            request.recv(65536, socket.MSG_DONTWAIT)  # what the client sent, so closing sends no reset
        with contextlib.suppress(OSError):
            request.send(_TOO_MANY % (len(body), body), socket.MSG_DONTWAIT)
        self.shutdown_request(request)

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
        self.account.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
        self.server_close()


def serve(host: str = "127.0.0.1", port: int = 0, **options: Any) -> DevServer:
    """Bind a DevServer (port 0 = any free port); call start() or serve_forever().

    Options: the server's own (max_connections, idle_timeout, request_timeout,
    access_log) and the account's (see factsift.devserver.account.Account).
    """
    return DevServer((host, port), **options)
