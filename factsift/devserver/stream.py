"""A chat completion as server-sent events, for requests with "stream": true."""

import time
import uuid
from typing import Any, Dict, List, Optional

from .jsonio import json_bytes
from .tokens import usage

__all__ = ["EVENT_STREAM", "events"]

EVENT_STREAM = "text/event-stream; charset=utf-8"
_PIECE = 16  # characters of the reply in each chunk


def _chunk(base: Dict[str, Any], choices: List[Dict[str, Any]], with_usage: bool) -> bytes:
    chunk = dict(base, choices=choices)
    if with_usage:
        chunk["usage"] = None
    return b"data: " + json_bytes(chunk) + b"\n\n"


def _choice(delta: Dict[str, Any], finish: Optional[str] = None) -> List[Dict[str, Any]]:
    return [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish}]


def events(model: str, prompt: int, content: Optional[str], with_choice: bool,
           include_usage: bool, cached: Optional[int] = None) -> bytes:
    """The whole stream: a role chunk, the text in pieces, a stop chunk, usage if asked, [DONE]."""
    base = {"id": f"chatcmpl-{uuid.uuid4().hex[:24]}", "object": "chat.completion.chunk",
            "created": int(time.time()), "model": model, "system_fingerprint": None}
    parts = []
    if with_choice:
        parts.append(_chunk(base, _choice({"role": "assistant", "content": "" if content else None}),
                            include_usage))
        for start in range(0, len(content or ""), _PIECE):
            parts.append(_chunk(base, _choice({"content": (content or "")[start:start + _PIECE]}),
                                include_usage))
        parts.append(_chunk(base, _choice({}, "stop"), include_usage))
    if include_usage or not with_choice:
        last = dict(base, choices=[], usage=usage(prompt, content, cached) if include_usage else None)
        parts.append(b"data: " + json_bytes(last) + b"\n\n")
    parts.append(b"data: [DONE]\n\n")
    return b"".join(parts)
