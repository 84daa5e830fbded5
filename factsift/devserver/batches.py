"""Batches on the service's clock, held in memory (none survives a restart).

A batch of T seconds (the server's batch_time, or its metadata's "devserver_time")
validates for the first tenth of T, answers its requests evenly until 0.9 T (each
through the same modes as an online request, without their delays or rate limits),
finalizes, and completes at T. It moves when it is looked at: every read of a batch
first brings it up to the present. Faults: metadata "devserver_expire_after" = k
expires it once k requests are answered (the rest get batch_expired); metadata
"devserver_fail" = custom ids, comma-separated, answered 500; a cancel leaves the
answered requests and, a tenth of T later, gives the rest batch_cancelled.
"""

import threading
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from .batchlines import Line, check_lines, error_line, result_line

__all__ = ["Batch", "BatchStore", "LineRunner"]

# A request's body -> (HTTP status, the reply's JSON value); status 0: no answer.
LineRunner = Callable[[Dict[str, Any]], Tuple[int, Any]]
# Makes an output file: (filename, data) -> its id.
FileMaker = Callable[[str, bytes], str]

_VALIDATED, _ANSWERED, _CANCEL_TAKES = 0.1, 0.9, 0.1
_DAY = 86_400


class Batch:
    def __init__(self, info: Dict[str, Any], data: bytes, duration: float,
                 expire_after: Optional[int], fail: Set[str]) -> None:
        self.info = info
        self.data = data
        self.duration = duration
        self.expire_after = expire_after
        self.fail = fail
        self.start: float = time.monotonic()
        self.wall: float = time.time()
        self.lines: List[Line] = []
        self.done = 0
        self.ok: List[bytes] = []
        self.failed: List[bytes] = []
        self.cancel_at: Optional[float] = None

    def at(self, fraction: float) -> float:
        return self.start + fraction * self.duration

    def stamp(self, key: str, when: float) -> None:
        self.info[key] = int(self.wall + (when - self.start))

    def due(self, index: int) -> float:
        """When request `index` is answered."""
        share = (index + 1) / len(self.lines)
        return self.at(_VALIDATED + (_ANSWERED - _VALIDATED) * share)


class BatchStore:
    def __init__(self, run_line: LineRunner, make_file: FileMaker) -> None:
        self._run_line = run_line
        self._make_file = make_file
        self._lock = threading.Lock()
        self._batches: Dict[str, Batch] = {}

    def add(self, request: Dict[str, Any], data: bytes, duration: float,
            expire_after: Optional[int], fail: Set[str]) -> Dict[str, Any]:
        """A new batch (status validating); `request` is its checked create request."""
        now = int(time.time())
        info: Dict[str, Any] = {
            "id": f"batch_{uuid.uuid4().hex[:24]}", "object": "batch", "endpoint": request["endpoint"],
            "model": None, "errors": None, "input_file_id": request["input_file_id"],
            "completion_window": request["completion_window"], "status": "validating",
            "output_file_id": None, "error_file_id": None, "created_at": now, "in_progress_at": None,
            "expires_at": now + _DAY, "finalizing_at": None, "completed_at": None, "failed_at": None,
            "expired_at": None, "cancelling_at": None, "cancelled_at": None,
            "request_counts": {"total": 0, "completed": 0, "failed": 0},
            "metadata": request.get("metadata"), "usage": _usage(0, 0),
        }
        with self._lock:
            self._batches[info["id"]] = Batch(info, data, duration, expire_after, fail)
            return dict(info)

    def view(self, batch_id: str) -> Optional[Dict[str, Any]]:
        with self._lock:
            batch = self._batches.get(batch_id)
            if batch is None:
                return None
            self._advance(batch, time.monotonic())
            return dict(batch.info)

    def listing(self) -> List[Dict[str, Any]]:
        """Every batch, newest first."""
        with self._lock:
            now = time.monotonic()
            for batch in self._batches.values():
                self._advance(batch, now)
            return [dict(b.info) for b in reversed(self._batches.values())]

    def cancel(self, batch_id: str) -> Tuple[Optional[Dict[str, Any]], str]:
        """(the batch, "started", "already" cancelling or cancelled, or "refused"); (None, "") if none."""
        with self._lock:
            batch = self._batches.get(batch_id)
            if batch is None:
                return None, ""
            now = time.monotonic()
            self._advance(batch, now)
            status = batch.info["status"]
            if status in ("validating", "in_progress", "finalizing"):
                batch.cancel_at = now
                batch.info["status"] = "cancelling"
                batch.stamp("cancelling_at", now)
                return dict(batch.info), "started"
            return dict(batch.info), "already" if status in ("cancelling", "cancelled") else "refused"

    def _advance(self, batch: Batch, now: float) -> None:
        if batch.info["status"] == "validating" and now >= batch.at(_VALIDATED):
            self._validate(batch)
        if batch.info["status"] == "cancelling" and not batch.lines and batch.cancel_at is not None:
            if now >= batch.cancel_at + _CANCEL_TAKES * batch.duration:
                self._finish(batch, "cancelled", batch.cancel_at + _CANCEL_TAKES * batch.duration)
            return
        if batch.info["status"] in ("in_progress", "cancelling"):
            self._answer_due(batch, now)
        if batch.info["status"] == "finalizing" and now >= batch.at(1.0):
            self._finish(batch, "completed", batch.at(1.0))

    def _validate(self, batch: Batch) -> None:
        lines, problems = check_lines(batch.data, batch.info["endpoint"])
        batch.data = b""
        if problems:
            batch.info["status"] = "failed"
            batch.info["errors"] = {"object": "list", "data": problems}
            batch.stamp("failed_at", batch.at(_VALIDATED))
            return
        batch.lines = lines
        batch.info["model"] = lines[0].body["model"]
        batch.info["request_counts"]["total"] = len(lines)
        if batch.info["status"] == "validating":
            batch.info["status"] = "in_progress"
            batch.stamp("in_progress_at", batch.at(_VALIDATED))

    def _answer_due(self, batch: Batch, now: float) -> None:
        stop = now if batch.cancel_at is None else min(now, batch.cancel_at)
        last = len(batch.lines) if batch.expire_after is None else min(len(batch.lines), batch.expire_after)
        while batch.done < last and batch.due(batch.done) <= stop:
            self._answer(batch, batch.lines[batch.done])
            batch.done += 1
        if batch.expire_after is not None and batch.done == last < len(batch.lines):
            expiry = batch.due(last - 1) if last else batch.at(_VALIDATED)
            if now >= expiry and batch.cancel_at is None:
                return self._finish(batch, "expired", expiry)
        if batch.cancel_at is not None:
            ends = batch.cancel_at + _CANCEL_TAKES * batch.duration
            if now >= ends:
                self._finish(batch, "cancelled", ends)
        elif batch.done == len(batch.lines) and now >= batch.at(_ANSWERED):
            batch.info["status"] = "finalizing"
            batch.stamp("finalizing_at", batch.at(_ANSWERED))

    def _answer(self, batch: Batch, line: Line) -> None:
        counts = batch.info["request_counts"]
        if line.custom_id in batch.fail:
            status, body = 500, {"error": {"message": "simulated failure (devserver_fail)",
                                           "type": "server_error", "param": None, "code": None}}
        else:
            status, body = self._run_line(line.body)
        if status == 0:
            batch.failed.append(error_line(line, "server_error", "the request got no answer"))
        elif status >= 400:
            batch.failed.append(result_line(line, status, body))
        else:
            batch.ok.append(result_line(line, status, body))
            tokens = body.get("usage") if isinstance(body, dict) else None
            if isinstance(tokens, dict):
                used = batch.info["usage"]
                details = tokens.get("prompt_tokens_details")
                cached = details["cached_tokens"] if isinstance(details, dict) else 0
                batch.info["usage"] = _usage(used["input_tokens"] + tokens["prompt_tokens"],
                                             used["output_tokens"] + tokens["completion_tokens"],
                                             used["input_tokens_details"]["cached_tokens"] + cached)
        counts["completed" if 0 < status < 400 else "failed"] += 1

    def _finish(self, batch: Batch, status: str, when: float) -> None:
        code = {"expired": "batch_expired", "cancelled": "batch_cancelled"}.get(status)
        if code:
            message = f"This request could not be executed before the batch was {status}."
            for line in batch.lines[batch.done:]:
                batch.failed.append(error_line(line, code, message))
            batch.info["request_counts"]["failed"] += len(batch.lines) - batch.done
            batch.done = len(batch.lines)
        for key, lines in (("output_file_id", batch.ok), ("error_file_id", batch.failed)):
            if lines:
                name = f"{batch.info['id']}_{key[:-8]}.jsonl"
                batch.info[key] = self._make_file(name, b"".join(line + b"\n" for line in lines))
        batch.ok, batch.failed, batch.data = [], [], b""
        batch.info["status"] = status
        batch.stamp(f"{status}_at", when)


def _usage(prompt: int, completion: int, cached: int = 0) -> Dict[str, Any]:
    return {"input_tokens": prompt, "input_tokens_details": {"cached_tokens": cached},
            "output_tokens": completion, "output_tokens_details": {"reasoning_tokens": 0},
            "total_tokens": prompt + completion}
