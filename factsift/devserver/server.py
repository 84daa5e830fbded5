"""The listening service: its options, its shared state, starting and stopping it."""

import sys
import threading
from http.server import ThreadingHTTPServer
from typing import Any, Optional, Tuple, Union

from .handler import Handler
from .limits import Limits
from .modes import Mode, ModeError, parse_mode
from .reqlog import RequestLog

__all__ = ["DEFAULT_MAX_BODY", "DevServer", "serve"]

DEFAULT_MAX_BODY = 16 * 1024 * 1024


class DevServer(ThreadingHTTPServer):
    daemon_threads = True
    # socketserver's default listen backlog is 5: a burst of connections beyond
    # it loses SYNs, and clients resend only after a second.
    request_queue_size = 128

    def __init__(self, address: Tuple[str, int], *, mode: Union[str, Mode] = "echo", delay: float = 0.0,
                 max_body: int = DEFAULT_MAX_BODY, log_path: Optional[str] = None,
                 access_log: bool = False, seed: int = 0) -> None:
        parsed = parse_mode(mode) if isinstance(mode, str) else mode
        if parsed is None:
            raise ModeError(f"unknown mode {mode!r}")
        if delay < 0:
            raise ModeError("delay must not be negative")
        self.mode: Mode = parsed
        self.delay = delay
        self.max_body = max_body
        self.log_path = log_path
        self.log = RequestLog(log_path)
        self.access_log = access_log
        self.seed = seed
        self.limits = Limits(seed)
        self.stopping = threading.Event()
        self._thread: Optional[threading.Thread] = None
        super().__init__(address, Handler)

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], ConnectionError):
            return  # the client hung up (e.g. its timeout expired during a delay)
        super().handle_error(request, client_address)

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
