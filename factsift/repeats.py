"""Repeats: inputs whose request would be the same as an earlier input's, answered by its reply.

Two inputs make the same request when their texts clean to the same text (the
module deletes every character that is neither a word character nor white
space) and the method, model, prompt and (for ``extract``) length are the
same. Only the first is sent; each repeat gets a record of its own with the
first's reply (or its error), its own id, and ``same_as``: the id of the input
whose reply it shares. A repeat costs nothing: its record has no usage.

Memory: a 16-byte digest and the first input's id for each distinct request,
and the records of the KEPT latest distinct requests (without their text);
the repeat of a request whose record is no longer kept is sent again.

An earlier run's answers can be given too (``earlier``: a digest's first
input and record, looked up as the digest first comes), so that a resumed
run does not send again what an output file already holds.
"""

from __future__ import annotations

import collections
import re

from factsift.records import Record

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any, Protocol

    Earlier = Callable[[bytes], tuple[Any, Record] | None]

    class Answers(Protocol):
        """An earlier run's answers by the digest of their request: looked up, and looked for."""

        def __call__(self, digest: bytes) -> tuple[Any, Record] | None: ...

        def __contains__(self, digest: object) -> bool: ...

__all__ = ["KEPT", "Repeats", "cleaned", "digest", "settings"]

KEPT = 10_000
_PUNCTUATION = re.compile(r"[^\w\s]")


def cleaned(text: str) -> str:
    """The text as the module sends it: without what is neither a word character nor white space."""
    return _PUNCTUATION.sub("", text)


def settings(method: str, model: Any, prompt: Any, length: Any) -> bytes | None:
    """What the requests of a run share, as digests start; None when they cannot be told apart by
    it (a prompt, length or model of a kind the module may turn into text otherwise)."""
    if not (type(model) is str and type(prompt) is str and type(length) in (int, str)):
        return None
    parts = [method, model, prompt] + ([str(length)] if method == "extract" else [])
    return "\0".join(parts).encode("utf-8", "surrogatepass") + b"\0"


def digest(shared: bytes, text: str) -> bytes:
    """The digest of the request for `text` (cleaning a cleaned text changes nothing)."""
    import hashlib  # here: it loads a TLS library, which the command line's start need not wait for

    return hashlib.blake2b(shared + cleaned(text).encode("utf-8", "surrogatepass"), digest_size=16).digest()


class Repeats:
    """The distinct requests of a run: which input was sent for each, and the latest records."""

    def __init__(self, method: str, model: Any, prompt: Any, length: Any, window: int,
                 earlier: Earlier | None = None, text_of: Callable[[Any], tuple[Any, bool]] | None = None) -> None:
        self._settings = settings(method, model, prompt, length)
        self._earlier, self._text_of = earlier, text_of
        self._first: dict[bytes, Any] = {}
        self._records: collections.OrderedDict[bytes, Record] = collections.OrderedDict()
        self._pending: set[bytes] = set()  # of first inputs not yet handed out
        self._kept = max(KEPT, window + 1)  # a repeat's first stays kept until it is handed out

    def digest(self, item: Any) -> tuple[bytes | None, bool]:
        """The digest of an input's request (None when this run's requests cannot be told apart by
        it), and whether it may be a repeat (text_of, given, says which inputs may not)."""
        text, may_repeat = (item, True) if self._text_of is None else self._text_of(item)
        if self._settings is None or type(text) is not str:
            return None, False
        return digest(self._settings, text), may_repeat

    def first_of(self, digest: bytes, key: Any, may_repeat: bool = True) -> Any:
        """The id of the input whose reply the input `key` with this digest is to share; or, when
        it is to be sent, the sentinel SEND (and it is the first of its request now)."""
        first = self._first.get(digest, SEND)
        if may_repeat and first is not SEND and (digest in self._pending or digest in self._records):
            if digest in self._records:
                self._records.move_to_end(digest)
            return first
        found = self._earlier(digest) if self._earlier is not None and first is SEND and may_repeat else None
        if found is not None and found[1].get("status") == "ok":
            first = self._first[digest] = found[1].get("same_as", found[0])
            self._keep(digest, found[1], None)
            return first
        self._first[digest] = key
        self._pending.add(digest)
        return SEND

    def handed_out(self, digest: bytes, record: Record, id_key: str) -> None:
        """The record of a first input, as handed out: kept for its repeats."""
        self._pending.discard(digest)
        self._keep(digest, record, id_key)

    def _keep(self, digest: bytes, record: Record, id_key: str | None) -> None:
        left_out = (id_key, "content", "note", "same_as")
        self._records[digest] = {name: value for name, value in record.items() if name not in left_out}
        if len(self._records) > self._kept:
            self._records.popitem(last=False)

    def record(self, digest: bytes, text: Any) -> tuple[Record, Any] | None:
        """A repeat's record, its first's but for its text, and the first's usage (what the repeat
        did not spend); None when its first was never handed out (a budget left it unsent)."""
        shared = self._records.get(digest)
        if shared is None:
            return None
        record: Record = {}
        for name, value in shared.items():  # the content after the text generated, as the module has it
            record[name] = value
            if len(record) == 1:
                ok = shared.get("status") == "ok"
                record["content"] = cleaned(text if self._text_of is None else self._text_of(text)[0]) if ok else ""
        return record, record.pop("usage", None)


SEND: Any = object()
