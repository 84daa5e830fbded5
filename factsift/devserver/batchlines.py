"""A batch's input checked line by line, and the lines of its output and error files."""

import uuid
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

from .jsonio import json_bytes, parse_json

__all__ = ["Line", "MAX_REQUESTS", "check_lines", "result_line", "error_line"]

MAX_REQUESTS = 50_000
_MAX_ERRORS = 100


class Line(NamedTuple):
    custom_id: str
    body: Dict[str, Any]


def _problem(number: int, code: str, message: str, param: Optional[str] = None) -> Dict[str, Any]:
    return {"code": code, "line": number, "message": message, "param": param}


def _line_problem(row: Any, number: int, endpoint: str, seen: Dict[str, int]) -> Optional[Dict[str, Any]]:
    if not isinstance(row, dict):
        return _problem(number, "invalid_json_line", "This line is not parseable as valid JSON.")
    custom_id = row.get("custom_id")
    if not isinstance(custom_id, str) or not custom_id:
        return _problem(number, "missing_required_parameter", "custom_id must be a non-empty string.",
                        "custom_id")
    if custom_id in seen:
        return _problem(number, "duplicate_custom_id", "The custom_id for this request is a duplicate "
                        f"of the one on line {seen[custom_id]}; each must be unique.", "custom_id")
    seen[custom_id] = number
    if row.get("method") != "POST":
        return _problem(number, "invalid_method", "method must be POST.", "method")
    if row.get("url") != endpoint:
        return _problem(number, "invalid_url", f"url must be the batch's endpoint {endpoint}.", "url")
    body = row.get("body")
    if not isinstance(body, dict) or not isinstance(body.get("model"), str):
        return _problem(number, "missing_required_parameter", "body must be an object with a model.",
                        "body.model")
    return None


def check_lines(data: bytes, endpoint: str) -> Tuple[List[Line], List[Dict[str, Any]]]:
    """The requests of a batch input file, and its problems (BatchError objects), if any.

    Every line must be a JSON object with a unique custom_id, method POST, the batch's
    endpoint as url and a body naming a model, the same model on every line.
    """
    rows = [row for row in data.split(b"\n") if row.strip()]
    if not rows:
        return [], [_problem(0, "empty_file", "The input file has no requests.")]
    if len(rows) > MAX_REQUESTS:
        return [], [_problem(0, "too_many_requests",
                             f"The input file has {len(rows)} requests; at most {MAX_REQUESTS} are allowed.")]
    lines: List[Line] = []
    problems: List[Dict[str, Any]] = []
    seen: Dict[str, int] = {}
    for number, raw in enumerate(rows, 1):
        row = parse_json(raw)
        problem = _line_problem(row, number, endpoint, seen)
        if problem is None and lines and row["body"]["model"] != lines[0].body["model"]:
            problem = _problem(number, "mismatched_model", "Every request in a batch must use the "
                               f"same model; line 1 has {lines[0].body['model']!r}.", "body.model")
        if problem is not None:
            problems.append(problem)
            if len(problems) == _MAX_ERRORS:
                break
        elif not problems:
            lines.append(Line(row["custom_id"], row["body"]))
    return lines, problems


def result_line(line: Line, status: int, body: Any) -> bytes:
    """An output (or error) file line for a request that got an answer."""
    return json_bytes({"id": f"batch_req_{uuid.uuid4().hex[:24]}", "custom_id": line.custom_id,
                       "response": {"status_code": status, "request_id": f"req_{uuid.uuid4().hex[:16]}",
                                    "body": body},
                       "error": None})


def error_line(line: Line, code: str, message: str) -> bytes:
    """An error file line for a request that got no answer."""
    return json_bytes({"id": f"batch_req_{uuid.uuid4().hex[:24]}", "custom_id": line.custom_id,
                       "response": None, "error": {"code": code, "message": message}})
