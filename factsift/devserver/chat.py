"""What a chat-completion request gets: its checks, its mode's outcome, the reply body."""

import math
import time
import uuid
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from .jsonio import json_bytes
from .limits import FLAKY_RETRY_AFTER_MS, Limits, duration_text, retry_after_headers
from .modes import Mode, ModeError, parse_mode
from .outcome import Outcome, error, error_object
from .stream import EVENT_STREAM, events
from .tokens import count_tokens, message_text, prompt_tokens, usage

__all__ = ["Outcome", "Request", "answer", "error", "error_object", "check_request"]

Messages = List[Dict[str, Any]]
_ERROR_KINDS: Dict[int, Tuple[str, Optional[str]]] = {
    400: ("invalid_request_error", None), 401: ("invalid_request_error", "invalid_api_key"),
    403: ("invalid_request_error", None),
    404: ("invalid_request_error", "model_not_found"), 429: ("requests", "rate_limit_exceeded"),
}
_TRUNCATED = b'{"id": "chatcmpl-bad", "object": "chat.completion", "choices": [{"ind'


class Request(NamedTuple):
    model: str
    messages: Messages
    mode: Mode
    body: Dict[str, Any]


def _type_problem(messages: List[Any]) -> Optional[Tuple[str, str]]:
    """(param, expected type) for the first malformed part of a messages list, or None."""
    for i, message in enumerate(messages):
        where = f"messages[{i}]"
        if not isinstance(message, dict):
            return where, "an object"
        if not isinstance(message.get("role"), str):
            return f"{where}.role", "a string"
        content = message.get("content")
        if isinstance(content, list):
            for j, part in enumerate(content):
                if not isinstance(part, dict):
                    return f"{where}.content[{j}]", "an object"
                if not isinstance(part.get("text", ""), str):
                    return f"{where}.content[{j}].text", "a string"
        elif content is not None and not isinstance(content, str):
            return f"{where}.content", "a string, an array of content parts or null"
    return None


def check_request(body: Any, default: Mode) -> Union[Request, Outcome]:
    """The request's model, messages and mode, or the 400 its body deserves."""
    if not isinstance(body, dict):
        return error(400, "request body must be a JSON object")
    model, messages = body.get("model"), body.get("messages")
    if not isinstance(model, str) or not isinstance(messages, list) or not messages:
        return error(400, "'model' (string) and 'messages' (non-empty list) are required")
    problem = _type_problem(messages)
    if problem:
        param, expected = problem
        return error(400, f"Invalid type for '{param}': expected {expected}.", code="invalid_type",
                     param=param)
    try:
        mode = parse_mode(model) or default
    except ModeError as exc:
        return error(400, f"bad mode in model field: {exc}")
    return Request(model, messages, mode, body)


def completion(model: str, prompt: int, content: Optional[str], with_choice: bool = True) -> Dict[str, Any]:
    return {
        "id": f"chatcmpl-{uuid.uuid4().hex[:24]}",
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": [{
            "index": 0,
            "message": {"role": "assistant", "content": content},
            "logprobs": None,
            "finish_reason": "stop",
        }] if with_choice else [],
        "usage": usage(prompt, content),
    }


def _status_outcome(status: int, mode: Mode, flaky: bool) -> Outcome:
    kind, code = _ERROR_KINDS.get(status, ("server_error" if status >= 500 else "invalid_request_error", None))
    headers = retry_after_headers(FLAKY_RETRY_AFTER_MS / 1000) if flaky and status == 503 else {}
    return error(status, f"simulated HTTP {status} (mode {mode[0]}:{mode[1]})", kind, code, headers=headers)


def answer(request: Request, limits: Limits, raw: bytes,
           wait: Optional[Callable[[float], bool]], delay: float = 0.0) -> Outcome:
    """The outcome of a checked request under its mode.

    `wait(seconds)` sleeps for a delay and says whether the server is stopping; without
    it (a batch line) delays and rate limits do not apply.
    """
    name, arg = request.mode
    prompt = prompt_tokens(request.messages)
    headers: Dict[str, str] = {}
    if wait is not None and name in ("rate-limit", "token-limit"):
        refusal = _limit(request, limits, prompt, headers)
        if refusal is not None:
            return refusal
    fault = limits.flaky_fault(float(arg or 0), raw) if name == "flaky" else None
    if wait is not None:
        delay += float(arg or 0) if name == "delay" else 0.0
        if delay and wait(delay):
            return error(503, "server is shutting down", "server_error")
    if fault == "drop" or name == "drop":
        return Outcome(0, None, {})
    if isinstance(fault, int) or name == "status":
        return _status_outcome(fault if isinstance(fault, int) else int(arg or 0), request.mode,
                               fault is not None)
    stream = request.body.get("stream") is True
    if name == "bad-json":
        return Outcome(200, b"data: " + _TRUNCATED + b"\n\n" if stream else _TRUNCATED, headers)
    content = reply_text(request)
    if isinstance(content, Outcome):
        return content
    if stream:
        options = request.body.get("stream_options")
        include_usage = isinstance(options, dict) and options.get("include_usage") is True
        data = events(request.model, prompt, content, name != "empty-choices", include_usage)
        return Outcome(200, data, headers, EVENT_STREAM)
    reply = completion(request.model, prompt, content, name != "empty-choices")
    return Outcome(200, json_bytes(reply), headers)


def reply_text(request: Request) -> Union[Optional[str], Outcome]:
    """The reply's text under the request's mode (None for null content), or a 400."""
    name, arg = request.mode
    if name == "fixed":
        return str(arg)
    if name in ("null-content", "empty-choices"):
        return None
    users = [m for m in request.messages if m["role"] == "user"]
    if not users:
        return error(400, "echo mode needs a message with role 'user'")
    return message_text(users[-1])


def charged_tokens(request: Request, prompt: int) -> int:
    """What a request costs against a token limit: its prompt, and its max_tokens or else its reply."""
    for key in ("max_completion_tokens", "max_tokens"):
        value = request.body.get(key)
        if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
            return prompt + value
    content = reply_text(request)
    return prompt + (count_tokens(content) if isinstance(content, str) else 0)


def _limit(request: Request, limits: Limits, prompt: int, headers: Dict[str, str]) -> Optional[Outcome]:
    """The 429 for a request past its mode's limit, else None; the limit's headers go into `headers`."""
    name, arg = request.mode
    assert isinstance(arg, int)
    if name == "rate-limit":
        verdict = limits.take_request(arg)
        headers.update(verdict.headers("requests"))
        message = f"simulated rate limit of {arg} requests per second"
    else:
        charge = charged_tokens(request, prompt)
        verdict = limits.take_tokens(arg, charge)
        headers.update(verdict.headers("tokens"))
        if math.isinf(verdict.wait):
            return error(429, f"Request too large for tokens per min (TPM): Limit {arg}, "
                              f"Requested {charge}.", "tokens", "rate_limit_exceeded", headers=headers)
        message = (f"Rate limit reached for tokens per min (TPM): Limit {arg}, Used {arg - verdict.remaining}, "
                   f"Requested {charge}. Please try again in {duration_text(verdict.wait)}.")
    if not verdict.wait:
        return None
    headers.update(retry_after_headers(verdict.wait))
    kind = "requests" if name == "rate-limit" else "tokens"
    return error(429, message, kind, "rate_limit_exceeded", headers=headers)
