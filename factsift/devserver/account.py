"""The service's state apart from its sockets: one account's files, batches, limits, log and counts.

The request router answers each request from it; the socket server only owns one and
hands it every request (factsift.devserver.server).
"""

import collections
import threading
import time
from typing import Any, Dict, Mapping, Optional, Tuple, Union

from .batches import BatchStore
from .chat import Context, Outcome, answer, check_request
from .files import DEFAULT_MAX_STORED_BYTES, FileStore
from .jsonio import json_bytes, parse_json
from .limits import Limits
from .modes import Mode, ModeError, parse_mode
from .promptcache import PromptCache
from .ratelimit import AccountLimits
from .reqlog import RequestLog

__all__ = ["Account", "DEFAULT_BATCH_TIME", "DEFAULT_MAX_BODY", "MAX_FILE_BYTES"]

DEFAULT_MAX_BODY = 16 * 1024 * 1024
DEFAULT_BATCH_TIME = 2.0
MAX_FILE_BYTES = 200 * 1024 * 1024
_FORM_OVERHEAD = 64 * 1024  # an upload's form fields beside its file


def _mode(mode: Union[str, Mode]) -> Mode:
    parsed = parse_mode(mode) if isinstance(mode, str) else mode
    if parsed is None:
        raise ModeError(f"unknown mode {mode!r}")
    return parsed


def _check(delay: float, batch_time: float, max_file_bytes: int, max_stored_bytes: int,
           api_key: Optional[str], routes: Optional[Mapping[str, str]]) -> None:
    if delay < 0:
        raise ModeError("delay must not be negative")
    if not 0 <= batch_time <= 86_400 or max_file_bytes < 0 or max_stored_bytes < 0:
        raise ValueError("batch_time must be 0-86400, max_file_bytes and max_stored_bytes not negative")
    if api_key is not None and not api_key.strip():
        raise ValueError("an api_key must not be empty")
    if any(not alias or not model for alias, model in (routes or {}).items()):
        raise ValueError("a route names a model asked for and the model that answers")


class Account:
    """What the service holds and how it answers, whatever connection a request came on."""

    def __init__(self, *, mode: Union[str, Mode] = "echo", delay: float = 0.0,
                 max_body: int = DEFAULT_MAX_BODY, log_path: Optional[str] = None, seed: int = 0,
                 batch_time: float = DEFAULT_BATCH_TIME, max_file_bytes: int = MAX_FILE_BYTES,
                 max_stored_bytes: int = DEFAULT_MAX_STORED_BYTES, api_key: Optional[str] = None,
                 rpm: Optional[int] = None, tpm: Optional[int] = None, quota: Optional[int] = None,
                 ratelimit_headers: bool = True, prompt_cache: bool = False,
                 routes: Optional[Mapping[str, str]] = None) -> None:
        _check(delay, batch_time, max_file_bytes, max_stored_bytes, api_key, routes)
        self.mode: Mode = _mode(mode)
        self.delay = delay
        self.max_body = max_body
        self.max_file_bytes = max_file_bytes
        self.max_upload: int = max_file_bytes + _FORM_OVERHEAD
        self.batch_time = batch_time
        self.api_key = api_key
        self.log_path = log_path
        self.log: RequestLog = RequestLog(log_path)
        self.limits: Limits = Limits(seed)
        self.rate_limits: AccountLimits = AccountLimits(rpm, tpm, quota, ratelimit_headers)
        self.started: int = int(time.time())
        # What the service made, by event ("file.uploaded", "batch.created", ...): tests count them.
        self.counts: "collections.Counter[str]" = collections.Counter()
        # The answers written, by HTTP status; 0 counts the connections a mode dropped unanswered.
        self.replies: "collections.Counter[int]" = collections.Counter()
        self._counts_lock = threading.Lock()
        self.files: FileStore = FileStore(max_stored_bytes)
        self.batches: BatchStore = BatchStore(self._run_line, self._output_file)
        # Set when the service stops: delays are cut short.
        self.stopping: threading.Event = threading.Event()
        self.prompt_cache: Optional[PromptCache] = PromptCache() if prompt_cache else None
        self.routes: Dict[str, str] = dict(routes or {})
        self._online = Context(self.limits, self.stopping.wait, delay, self.rate_limits, self.prompt_cache,
                               self.routes)
        self._offline = Context(self.limits, cache=self.prompt_cache, routes=self.routes)

    def record(self, event: str, **fields: Any) -> None:
        """Count something the service made or removed, and log it."""
        with self._counts_lock:
            self.counts[event] += 1
        self.log.event(event, **fields)

    def replied(self, status: int) -> None:
        """Count an answer written (status 0: a connection dropped without one)."""
        with self._counts_lock:
            self.replies[status] += 1

    @property
    def answered(self) -> int:
        """How many requests got an answer (of any status)."""
        with self._counts_lock:
            return sum(count for status, count in self.replies.items() if status)

    def answer_chat(self, body: Any, raw: bytes) -> Outcome:
        """An online chat completion's outcome: with its limits and the mode's delays."""
        request = check_request(body, self.mode)
        if isinstance(request, Outcome):  # malformed: charged nothing, told how the limits stand
            return request._replace(headers={**self.rate_limits.headers(), **request.headers})
        return answer(request, self._online, raw)

    def _run_line(self, body: Dict[str, Any]) -> Tuple[int, Any]:
        # A batch's request takes the same modes as an online one, without delays or rate limits.
        request = check_request(body, self.mode)
        outcome = request if isinstance(request, Outcome) else answer(request, self._offline, json_bytes(body))
        if outcome.body is None:
            return 0, None
        parsed = parse_json(outcome.body)
        return outcome.status, outcome.body.decode("utf-8", "replace") if parsed is None else parsed

    def _output_file(self, filename: str, data: bytes) -> str:
        info = self.files.add(filename, "batch_output", data, bounded=False)  # owed: always kept
        self.record("file.output", id=info["id"], filename=filename, bytes=info["bytes"])
        return str(info["id"])
