"""What a chat-completion request gets: its limits, its mode's outcome, the reply body."""

import time
import uuid
from typing import Any, Callable, Dict, Mapping, NamedTuple, Optional, Tuple

from .admission import admit
from .chatrequest import Request, check_request, reply_text
from .jsonio import json_bytes
from .limits import FLAKY_RETRY_AFTER_MS, Limits, retry_after_headers
from .modes import Mode, scripted_headers
from .outcome import Outcome, error, error_object
from .promptcache import PromptCache
from .ratelimit import AccountLimits
from .stream import EVENT_STREAM, events
from .tokens import prompt_tokens, usage

__all__ = ["Context", "Outcome", "Request", "answer", "error", "error_object", "check_request"]

_ERROR_KINDS: Dict[int, Tuple[str, Optional[str]]] = {
    400: ("invalid_request_error", None), 401: ("invalid_request_error", "invalid_api_key"),
    403: ("invalid_request_error", None),
    404: ("invalid_request_error", "model_not_found"), 429: ("requests", "rate_limit_exceeded"),
}
_TRUNCATED = b'{"id": "chatcmpl-bad", "object": "chat.completion", "choices": [{"ind'


class Context(NamedTuple):
    """What answering a request needs beside the request: the account's parts it meets."""
    limits: Limits  # the modes' state
    # Online only: sleeps a delay and says whether the service is stopping. Without it
    # (a batch's line) delays and rate limits do not apply.
    wait: Optional[Callable[[float], bool]] = None
    delay: float = 0.0
    account: Optional[AccountLimits] = None
    cache: Optional[PromptCache] = None  # with one, usage reports the cached tokens
    routes: Mapping[str, str] = {}  # the model asked for -> the model that answers


def completion(model: str, prompt: int, content: Optional[str], with_choice: bool = True,
               cached: Optional[int] = None) -> Dict[str, Any]:
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
        "usage": usage(prompt, content, cached),
    }


def _status_outcome(status: int, mode: Mode, flaky: bool) -> Outcome:
    kind, code = _ERROR_KINDS.get(status, ("server_error" if status >= 500 else "invalid_request_error", None))
    headers = retry_after_headers(FLAKY_RETRY_AFTER_MS / 1000) if flaky and status == 503 else {}
    return error(status, f"simulated HTTP {status} (mode {mode[0]}:{mode[1]})", kind, code, headers=headers)


def answer(request: Request, context: Context, raw: bytes) -> Outcome:
    """The outcome of a checked request: its limits', else its mode's."""
    prompt = prompt_tokens(request.messages)
    headers: Dict[str, str] = {}
    if context.wait is not None:
        refusal, headers = admit(request, context.limits, context.account, prompt)
        if refusal is not None:
            return refusal
    outcome = _mode_outcome(request, context, raw, prompt)
    return outcome._replace(headers={**headers, **outcome.headers}) if headers else outcome


def _mode_outcome(request: Request, context: Context, raw: bytes, prompt: int) -> Outcome:
    name, arg = request.mode
    fault = context.limits.flaky_fault(float(arg or 0), raw) if name == "flaky" else None
    if context.wait is not None:
        delay = context.delay + (float(arg or 0) if name == "delay" else 0.0)
        if delay and context.wait(delay):
            return error(503, "server is shutting down", "server_error")
    if fault == "drop" or name == "drop":
        return Outcome(0, None, {})
    if isinstance(fault, int) or name == "status":
        return _status_outcome(fault if isinstance(fault, int) else int(arg or 0), request.mode,
                               fault is not None)
    if name == "refuse":
        return error(429, "simulated rate limit (mode refuse)", "requests", "rate_limit_exceeded",
                     headers=scripted_headers(name, str(arg)))
    return _reply(request, context, prompt)


def _reply(request: Request, context: Context, prompt: int) -> Outcome:
    """A 200 with the mode's reply, as JSON or server-sent events."""
    name, arg = request.mode
    headers = scripted_headers(name, str(arg)) if name == "headers" else {}
    stream = request.body.get("stream") is True
    if name == "bad-json":
        return Outcome(200, b"data: " + _TRUNCATED + b"\n\n" if stream else _TRUNCATED, headers)
    content = reply_text(request)
    if isinstance(content, Outcome):
        return content
    model = context.routes.get(request.model, request.model)
    cached = context.cache.cached_tokens(request.messages) if context.cache is not None else None
    if stream:
        options = request.body.get("stream_options")
        include_usage = isinstance(options, dict) and options.get("include_usage") is True
        data = events(model, prompt, content, name != "empty-choices", include_usage, cached)
        return Outcome(200, data, headers, EVENT_STREAM)
    reply = completion(model, prompt, content, name != "empty-choices", cached)
    return Outcome(200, json_bytes(reply), headers)
