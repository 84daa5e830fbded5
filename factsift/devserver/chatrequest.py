"""A chat-completion request as the service reads it: its checks, its mode, what it costs."""

from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

from .modes import Mode, ModeError, parse_mode
from .outcome import Outcome, error
from .tokens import count_tokens, message_text

__all__ = ["Request", "charged_tokens", "check_request", "reply_text"]

Messages = List[Dict[str, Any]]


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
