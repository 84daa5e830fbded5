"""The service's other endpoints: models, files and batches, each an OpenAI object shape."""

import math
import re
import urllib.parse
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from .account import Account
from .batchlines import MAX_REQUESTS
from .files import StorageFull
from .jsonio import json_bytes, parse_json
from .modes import SIMPLE_MODES
from .multipart import FormError, parse_form
from .outcome import Outcome, error

__all__ = ["UPLOAD_PATH", "route"]

UPLOAD_PATH = "/v1/files"
_ENDPOINTS = ("/v1/chat/completions",)
_OWNER = "factsift-devserver"
_META_KEYS, _META_KEY_CHARS, _META_VALUE_CHARS = 16, 64, 512

Handler = Callable[[Account, "Call"], Outcome]


class Call:
    """What an endpoint reads of a request: its path's parts, query, body and type."""

    def __init__(self, match: "re.Match[str]", query: Dict[str, str], raw: bytes, content_type: str) -> None:
        self.match = match
        self.query = query
        self.raw = raw
        self.content_type = content_type


def _ok(obj: object) -> Outcome:
    return Outcome(200, json_bytes(obj), {})


def _missing(kind: str, object_id: str) -> Outcome:
    return error(404, f"No such {kind} object: {object_id}", param="id")


def _model(model_id: str, account: Account) -> Dict[str, Any]:
    return {"id": model_id, "object": "model", "created": account.started, "owned_by": _OWNER}


def _models(account: Account, call: Call) -> Outcome:
    return _ok({"object": "list", "data": [_model(name, account) for name in SIMPLE_MODES]})


def _one_model(account: Account, call: Call) -> Outcome:
    # Any model id is served: a mode's name, or the default mode.
    return _ok(_model(urllib.parse.unquote(call.match.group(1)), account))


def _upload(account: Account, call: Call) -> Outcome:
    try:
        form = parse_form(call.content_type, call.raw)
    except FormError as exc:
        return error(400, str(exc))
    purpose, upload = form.get("purpose"), form.get("file")
    if purpose is None or upload is None or upload.filename is None:
        return error(400, "an upload needs the form fields 'purpose' and 'file' (a file)")
    if purpose.data != b"batch":
        return error(400, f"purpose {purpose.data.decode('utf-8', 'replace')!r} is not supported; "
                          "this service takes 'batch'", param="purpose")
    if len(upload.data) > account.max_file_bytes:
        return error(400, f"file of {len(upload.data)} bytes exceeds the limit of "
                          f"{account.max_file_bytes} bytes", param="file")
    try:
        info = account.files.add(upload.filename, "batch", upload.data)
    except StorageFull as exc:
        return error(400, str(exc))
    account.record("file.uploaded", id=info["id"], filename=info["filename"], bytes=info["bytes"])
    return _ok(info)


def _listing(items: List[Dict[str, Any]], query: Dict[str, str], most: int = 100,
             default: int = 20, ordered: bool = False) -> Outcome:
    """A page of a list (newest first, or oldest with order=asc when `ordered`): `limit`
    items (1 to `most`, else `default`) after the id `after`."""
    try:
        limit = int(query.get("limit", str(default)))
    except ValueError:
        return error(400, "limit must be a whole number", param="limit")
    if not 1 <= limit <= most:
        return error(400, f"limit must be 1-{most}", param="limit")
    order = query.get("order", "desc") if ordered else "desc"
    if order not in ("asc", "desc"):
        return error(400, "order must be 'asc' or 'desc'", param="order")
    items = items[::-1] if order == "asc" else items
    after = query.get("after")
    ids = [item["id"] for item in items]
    start = ids.index(after) + 1 if after in ids else 0
    page = items[start:start + limit]
    return _ok({"object": "list", "data": page, "first_id": page[0]["id"] if page else None,
                "last_id": page[-1]["id"] if page else None, "has_more": start + limit < len(items)})


def _files(account: Account, call: Call) -> Outcome:
    # As OpenAI's: up to 10,000 a page (all by default), in either order of creation.
    return _listing(account.files.listing(call.query.get("purpose")), call.query, 10_000, 10_000, True)


def _file(account: Account, call: Call) -> Outcome:
    stored = account.files.get(call.match.group(1))
    return _ok(stored.info) if stored else _missing("File", call.match.group(1))


def _content(account: Account, call: Call) -> Outcome:
    stored = account.files.get(call.match.group(1))
    if stored is None:
        return _missing("File", call.match.group(1))
    return Outcome(200, stored.data, {}, "application/octet-stream")


def _delete(account: Account, call: Call) -> Outcome:
    file_id = call.match.group(1)
    if not account.files.delete(file_id):
        return _missing("File", file_id)
    account.record("file.deleted", id=file_id)
    return _ok({"id": file_id, "object": "file", "deleted": True})


def _metadata_problem(metadata: Any) -> Optional[str]:
    if metadata is None:
        return None
    if not isinstance(metadata, dict) or len(metadata) > _META_KEYS:
        return f"metadata must be an object of at most {_META_KEYS} pairs"
    for key, value in metadata.items():
        if len(key) > _META_KEY_CHARS or not isinstance(value, str) or len(value) > _META_VALUE_CHARS:
            return (f"metadata keys are at most {_META_KEY_CHARS} characters, "
                    f"values strings of at most {_META_VALUE_CHARS}")
    return None


def _batch_faults(account: Account, metadata: Dict[str, str]) -> Tuple[float, Optional[int], Set[str]]:
    """The batch's time, expiry and failing ids from its metadata; ValueError if malformed."""
    duration = float(metadata.get("devserver_time", account.batch_time))
    if not (math.isfinite(duration) and 0 <= duration <= 86_400):
        raise ValueError("devserver_time must be 0-86400 seconds")
    expire = metadata.get("devserver_expire_after")
    expire_after = int(expire) if expire is not None else None
    if expire_after is not None and not 0 <= expire_after <= MAX_REQUESTS:
        raise ValueError(f"devserver_expire_after must be 0-{MAX_REQUESTS}")
    fail = {i.strip() for i in metadata.get("devserver_fail", "").split(",") if i.strip()}
    return duration, expire_after, fail


def _create_batch(account: Account, call: Call) -> Outcome:
    body = parse_json(call.raw)
    if not isinstance(body, dict) or not isinstance(body.get("input_file_id"), str):
        return error(400, "a batch needs 'input_file_id', 'endpoint' and 'completion_window'")
    if body.get("endpoint") not in _ENDPOINTS:
        return error(400, f"endpoint must be one of {', '.join(_ENDPOINTS)}", param="endpoint")
    if body.get("completion_window") != "24h":
        return error(400, "completion_window must be '24h'", param="completion_window")
    problem = _metadata_problem(body.get("metadata"))
    if problem:
        return error(400, problem, param="metadata")
    try:
        duration, expire_after, fail = _batch_faults(account, body.get("metadata") or {})
    except ValueError as exc:
        return error(400, f"bad metadata: {exc}", param="metadata")
    stored = account.files.get(body["input_file_id"])
    if stored is None:
        return _missing("File", body["input_file_id"])
    if stored.info["purpose"] != "batch":
        return error(400, "the input file's purpose must be 'batch'", param="input_file_id")
    try:
        account.files.check_room()
    except StorageFull as exc:
        return error(400, str(exc))
    info = account.batches.add(body, stored.data, duration, expire_after, fail)
    account.record("batch.created", id=info["id"], input_file_id=info["input_file_id"])
    return _ok(info)


def _batch(account: Account, call: Call) -> Outcome:
    info = account.batches.view(call.match.group(1))
    return _ok(info) if info else _missing("Batch", call.match.group(1))


def _batches(account: Account, call: Call) -> Outcome:
    return _listing(account.batches.listing(), call.query)


def _cancel(account: Account, call: Call) -> Outcome:
    info, state = account.batches.cancel(call.match.group(1))
    if info is None:
        return _missing("Batch", call.match.group(1))
    if state == "refused":
        return error(409, f"Cannot cancel a batch with status '{info['status']}'.")
    if state == "started":
        account.record("batch.cancelled", id=info["id"])
    return _ok(info)


_ID = r"([A-Za-z0-9_.:-]{1,200})"
_ROUTES: List[Tuple[str, "re.Pattern[str]", Handler]] = [
    (method, re.compile(pattern), handler) for method, pattern, handler in (
        ("GET", r"/v1/models", _models),
        ("GET", rf"/v1/models/([^/]{{1,200}})", _one_model),
        ("POST", r"/v1/files", _upload),
        ("GET", r"/v1/files", _files),
        ("GET", rf"/v1/files/{_ID}", _file),
        ("GET", rf"/v1/files/{_ID}/content", _content),
        ("DELETE", rf"/v1/files/{_ID}", _delete),
        ("POST", r"/v1/batches", _create_batch),
        ("GET", r"/v1/batches", _batches),
        ("GET", rf"/v1/batches/{_ID}", _batch),
        ("POST", rf"/v1/batches/{_ID}/cancel", _cancel),
    )]


def route(account: Account, method: str, path: str, query: Dict[str, str], raw: bytes,
          content_type: str) -> Optional[Outcome]:
    """The answer of the endpoint at `path` (with or without /v1), or None if there is none."""
    if not path.startswith("/v1/"):
        path = "/v1" + path
    for route_method, pattern, handler in _ROUTES:
        match = pattern.fullmatch(path)
        if match and route_method == method:
            return handler(account, Call(match, query, raw, content_type))
    return None
