"""Tokens of a request before it is sent: for a token limit, and for an estimate of a run.

Where the ``tiktoken`` package is installed and its encoding for the model is
already in tiktoken's cache (``TIKTOKEN_CACHE_DIR``, or the folder it uses
by default), the texts are counted exactly as OpenAI's models count them
(o200k_base for a model tiktoken does not know). Nothing is ever downloaded:
without a cached encoding, and without tiktoken, a text's tokens are
estimated by script, which comes within about 10% of o200k_base on Chinese
news and English prose:

* each CJK character (Han, kana, Hangul) 0.8 of a token;
* each run of other letters one token per nine letters or part of nine;
* each group of up to three digits one token, and each other character but
  white space one.

A messages list adds 3 tokens per message and 3 for the reply, as OpenAI
counts chat requests. Other services' tokenizers count otherwise (Chinese text
in cl100k_base, say, takes half as many tokens again), so the count of a run
learns as it goes: every reply's ``usage`` says what its prompt really was, and
later counts are scaled by the ratio of what the replies said to what was
counted for them.
"""

from __future__ import annotations

import hashlib
import os
import re
import tempfile
import threading
from collections.abc import Callable, Iterable, Mapping

from factsift.usage import usage_problem

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

__all__ = ["Tokens", "estimate", "text_counter"]

CJK_TOKEN = 0.8
LETTERS_PER_TOKEN = 9
PER_MESSAGE, REPLY_PRIMING = 3, 3
DEFAULT_ENCODING = "o200k_base"
_ADDRESS = "https://openaipublic.blob.core.windows.net/encodings/{}.tiktoken"  # tiktoken's cache key

_CJK = re.compile("[\u1100-\u11ff\u2e80-\u2fdf\u3040-\u30ff\u3100-\u31ff\u3400-\u4dbf\u4e00-\u9fff"
                  "\ua960-\ua97f\uac00-\ud7ff\uf900-\ufaff\U00020000-\U0003ffff]")
_PIECE = re.compile(r"[^\W\d_]+|\d{1,3}|\S")


def estimate(text: str) -> float:
    """The estimated tokens of a text, by script (see above)."""
    cjk = len(_CJK.findall(text))
    if cjk:
        text = _CJK.sub(" ", text)
    tokens = cjk * CJK_TOKEN
    for piece in _PIECE.findall(text):
        tokens += 1 + (len(piece) - 1) // LETTERS_PER_TOKEN if piece[0].isalpha() else 1
    return tokens


def _cached(encoding: str) -> bool:
    """Whether tiktoken has the encoding in its cache: loading it then needs no network."""
    folder = (os.environ.get("TIKTOKEN_CACHE_DIR") or os.environ.get("DATA_GYM_CACHE_DIR")
              or os.path.join(tempfile.gettempdir(), "data-gym-cache"))
    key = hashlib.sha1(_ADDRESS.format(encoding).encode()).hexdigest()
    return os.path.isfile(os.path.join(folder, key))


def text_counter(model: str) -> tuple[Callable[[str], float], str]:
    """A function counting a text's tokens for `model`, and what it is ("o200k_base", "estimate")."""
    try:
        import tiktoken
    except ImportError:
        return estimate, "estimate"
    try:
        name = tiktoken.encoding_name_for_model(model)
    except KeyError:
        name = DEFAULT_ENCODING
    if not _cached(name):
        return estimate, "estimate"
    encode = tiktoken.get_encoding(name).encode_ordinary
    return (lambda text: len(encode(text))), name


def _message_text(message: Any) -> str:
    content = message.get("content") if isinstance(message, Mapping) else None
    if isinstance(content, list):
        return "".join(part.get("text", "") for part in content if isinstance(part, Mapping))
    return content if isinstance(content, str) else ""


class Tokens:
    """The tokens of a run's requests: counted, then scaled by what the replies said.

    `reply` is the expected completion, the mean of the replies so far (at
    first `first_reply`).
    """

    def __init__(self, first_reply: int = 200) -> None:
        self._counters: dict[str, tuple[Callable[[str], float], str]] = {}
        self._lock = threading.Lock()
        self._counted = self._reported = 0.0  # prompt tokens counted / reported, over the replies
        self._replies = self._completions = 0
        self._first_reply = first_reply

    def method(self, model: object) -> str:
        """How the model's texts are counted: an encoding's name, or "estimate"."""
        return self._counter(model)[1]

    def _counter(self, model: object) -> tuple[Callable[[str], float], str]:
        key = model if isinstance(model, str) else ""
        counter = self._counters.get(key)
        if counter is None:
            counter = self._counters[key] = text_counter(key)
        return counter

    def counted(self, messages: Iterable[Any], model: object = "") -> float:
        """The prompt tokens of a messages list as counted for `model`, before scaling."""
        count = self._counter(model)[0]
        total = float(REPLY_PRIMING)
        for message in messages:
            total += PER_MESSAGE + count(_message_text(message))
        return total

    def prompt(self, counted: float) -> int:
        """A count scaled by what the replies so far reported."""
        scale = self._reported / self._counted if self._counted else 1.0
        return round(counted * scale)

    @property
    def reply(self) -> int:
        return round(self._completions / self._replies) if self._replies else self._first_reply

    def learn(self, counted: float, usage: Mapping[str, Any]) -> None:
        """What a reply's usage says of a request whose prompt was counted as `counted`."""
        if usage_problem(usage) is not None:  # no count to learn from
            return
        prompt, completion = usage.get("prompt_tokens"), usage.get("completion_tokens")
        with self._lock:
            if isinstance(prompt, int) and prompt > 0 and counted > 0:
                self._counted += counted
                self._reported += prompt
            if isinstance(completion, int) and completion >= 0:
                self._replies += 1
                self._completions += completion
