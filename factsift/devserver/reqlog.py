"""The request log: one JSON line for every request, answered or refused."""

import contextlib
import os
import sys
import threading
import time
from typing import Any, Dict, Optional

from .jsonio import json_bytes

__all__ = ["RequestLog", "open_log"]

# The log holds each request's Authorization header: a file it makes is its owner's alone.
_MODE = 0o600


def open_log(path: str) -> int:
    """A descriptor appending to the log; a new file is made readable by its owner only,
    an existing one keeps its mode. Raises OSError."""
    return os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, _MODE)


class RequestLog:
    """Appends lines to a file; without a path it keeps nothing."""

    def __init__(self, path: Optional[str]) -> None:
        self.path = path
        self._lock = threading.Lock()

    def request(self, method: Optional[str], path: Optional[str], headers: Any,
                body: Any, raw: bytes = b"", **extra: Any) -> None:
        """The request's line: its JSON body, else its raw body as text."""
        if not self.path:
            return
        headers = headers or {}  # none for a malformed request line
        record = {
            "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "timestamp": time.time(),
            "method": method,
            "path": path,
            "headers": {name: headers.get(name) for name in ("Authorization", "Content-Type")},
            "body": body,
            **extra,
        }
        line = None
        if body is not None:
            with contextlib.suppress(ValueError, RecursionError):  # e.g. 1e999, read as infinity
                line = json_bytes(record)
        if line is None:
            record["body"] = raw.decode("utf-8", "replace") if raw else None
            line = json_bytes(record)
        self._append(line)

    def event(self, event: str, **fields: Any) -> None:
        """A line for something the service made (a file, a batch), apart from any request."""
        if self.path:
            record: Dict[str, Any] = {"time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
                                      "timestamp": time.time(), "event": event, **fields}
            self._append(json_bytes(record))

    def _append(self, line: bytes) -> None:
        assert self.path is not None
        try:
            with self._lock, open(open_log(self.path), "ab") as f:
                f.write(line + b"\n")
        except OSError as exc:  # the request is still answered
            print(f"factsift.devserver: cannot write the log {self.path}: {exc}", file=sys.stderr)
