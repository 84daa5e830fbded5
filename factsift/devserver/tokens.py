"""How the service counts tokens: the one rule behind every reply's usage and token limit.

A text's tokens: each run of ASCII letters, digits and underscores is one token, and
each other character but white space is one (so each CJK character is one, and so is
each punctuation mark). A request's prompt is counted as OpenAI roughly counts a
messages list: 3 tokens for each message, plus its role's and its text's tokens (and
its name's, plus 1, when it has one), plus 3 that prime the reply. The completion is
the reply text's tokens (0 for no text).
"""

import re
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["count_tokens", "message_text", "prompt_pieces", "prompt_tokens", "usage"]

_PER_MESSAGE = 3
_PER_NAME = 1
_REPLY_PRIMING = 3
_ROLES = dict.fromkeys(("user", "assistant", "system", "developer", "tool"), 1)

_WORD = re.compile(r"[A-Za-z0-9_]+")
_TOKEN = re.compile(r"\s*(?:[A-Za-z0-9_]+|\S)")  # a token, with the white space before it


# The last text counted, and its count: an echo's reply is the very string its prompt ended with.
_last: Tuple[Optional[str], int] = (None, 0)


def count_tokens(text: str) -> int:
    """Runs of ASCII word characters, and each other character but white space.

    Counted without making a string of every token (what re.findall does), which
    was a tenth of the service's CPU at a thousand requests a second.
    """
    global _last
    last = _last  # one read: another thread may replace it, never tear it
    if last[0] is text:
        return last[1]
    words = _WORD.findall(text)
    count = len("".join(text.split())) - sum(map(len, words)) + len(words)
    _last = (text, count)
    return count


def message_text(message: Dict[str, Any]) -> str:
    content = message.get("content")
    if isinstance(content, list):
        return "".join(p.get("text", "") for p in content)
    return content or ""


def prompt_tokens(messages: List[Dict[str, Any]]) -> int:
    """The tokens of a checked messages list (each message an object with a string role)."""
    total = _REPLY_PRIMING
    for message in messages:
        role = message["role"]
        total += _PER_MESSAGE + (_ROLES.get(role) or count_tokens(role)) + count_tokens(message_text(message))
        name = message.get("name")
        if isinstance(name, str):
            total += _PER_NAME + count_tokens(name)
    return total


def _pieces(text: str) -> List[str]:
    return _TOKEN.findall(text)


def prompt_pieces(messages: List[Dict[str, Any]]) -> List[str]:
    """The prompt's tokens as texts, as many as prompt_tokens() counts, in the order of the
    chat format: each message's start, role (and name), a separator, its text and its end;
    then the three that prime the reply."""
    pieces: List[str] = []
    for message in messages:
        role = message["role"]
        pieces += ["<|start|>", role] if role in _ROLES else ["<|start|>", *_pieces(role)]
        name = message.get("name")
        if isinstance(name, str):
            pieces += ["<|name|>", *_pieces(name)]
        pieces += ["<|message|>", *_pieces(message_text(message)), "<|end|>"]
    return pieces + ["<|start|>", "assistant", "<|message|>"]


def usage(prompt: int, content: object, cached: Optional[int] = None) -> Dict[str, Any]:
    """A reply's usage; with a count of cached tokens, the details OpenAI's replies carry too."""
    completion = count_tokens(content) if isinstance(content, str) else 0
    counts: Dict[str, Any] = {"prompt_tokens": prompt, "completion_tokens": completion,
                              "total_tokens": prompt + completion}
    if cached is not None:
        counts["prompt_tokens_details"] = {"cached_tokens": cached, "audio_tokens": 0}
        counts["completion_tokens_details"] = {"reasoning_tokens": 0, "audio_tokens": 0,
                                               "accepted_prediction_tokens": 0,
                                               "rejected_prediction_tokens": 0}
    return counts
