"""Prompt caching as OpenAI reports it: the start a prompt shares with an earlier one.

A prompt's start is cached in steps of 128 tokens from 1024 on: a request whose prompt
begins with the first k tokens of an earlier prompt (k at least 1024) reports k,
rounded down to a multiple of 128, as cached. What is kept is a digest of each
prompt's starts at those steps, the oldest forgotten first.
"""

import hashlib
import threading
from typing import Any, Dict, List

from .lru import LRU
from .tokens import prompt_pieces

__all__ = ["PromptCache"]

MIN_CACHED = 1024
STEP = 128
REMEMBERED_PREFIXES = 100_000


def _digests(pieces: List[str]) -> List[bytes]:
    """The digest of the first k pieces for k = 1024, 1152, ... up to their number."""
    found: List[bytes] = []
    state = hashlib.blake2b(digest_size=16)
    for start in range(0, len(pieces) - len(pieces) % STEP, STEP):
        state.update("\0".join(pieces[start:start + STEP]).encode("utf-8", "surrogatepass") + b"\0\1")
        if start + STEP >= MIN_CACHED:
            found.append(state.copy().digest())
    return found


class PromptCache:
    def __init__(self, capacity: int = REMEMBERED_PREFIXES) -> None:
        self._lock = threading.Lock()
        self._seen: LRU[bytes, bool] = LRU(capacity)

    def cached_tokens(self, messages: List[Dict[str, Any]]) -> int:
        """The tokens of this prompt's start that an earlier prompt shared; the prompt is kept."""
        digests = _digests(prompt_pieces(messages))
        with self._lock:
            steps = [i for i, digest in enumerate(digests) if digest in self._seen]
            for digest in digests:
                self._seen.put(digest, True)
        return MIN_CACHED + STEP * steps[-1] if steps else 0
