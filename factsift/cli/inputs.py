"""The command line's inputs: text files or JSON Lines, less other shards' and those done."""

from __future__ import annotations

import contextlib
import json
import sys
from collections.abc import Iterator, Mapping

from factsift.records import UnusableInput, describe

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import IO, Any

    from factsift.cli.args import Options


class InputError(Exception):
    """An input that cannot be read now (another run may read it): an "error" record says why."""


def read_text(name: str) -> str:
    """A UTF-8 text file (- for standard input), with universal newlines."""
    if name == "-":
        if sys.stdin is None:  # started with descriptor 0 closed
            raise OSError("standard input is closed")
        return sys.stdin.buffer.read().decode("utf-8")
    # Bytes, then text, as a text-mode open() would give it (universal newlines) in
    # fewer system calls: each one lets the other threads contend for the interpreter lock.
    with open(name, "rb", buffering=0) as f:
        text = f.read().decode("utf-8")
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


class Inputs:
    """The run's (id, text) pairs, less other shards' inputs and those already done.

    A text that cannot be read is an exception in its place: an UnusableInput
    for one that can never succeed, an InputError for one another run may read.
    `total` is the number of inputs (None for JSON Lines, read as they are
    needed), `skipped` how many were already done, `skipped_unusable` how many of those were
    found unusable by an earlier run.
    """

    def __init__(self, args: Options, done: Mapping[str, bool]) -> None:
        self._args, self._done = args, done
        self.skipped: int = 0
        self.skipped_unusable: int = 0
        self.names: list[str] | None = None
        if args.jsonl is None:
            self.names = [name for name in args.files if self._keep(name)]
        self.total: int | None = None if self.names is None else len(self.names)

    def _keep(self, key: str) -> bool:
        shard = self._args.shard
        if shard is not None and shard_of(key, shard[1]) != shard[0]:
            return False
        unusable = self._done.get(key)
        if unusable is not None:
            self.skipped += 1
            self.skipped_unusable += unusable
            return False
        return True

    def __iter__(self) -> Iterator[tuple[Any, Any]]:
        jsonl = self._args.jsonl
        return self._lines(jsonl) if jsonl is not None else self._files(self.names or [])

    @staticmethod
    def _files(names: list[str]) -> Iterator[tuple[str, Any]]:
        for name in names:
            try:
                yield name, read_text(name)
            except UnicodeDecodeError as exc:
                yield name, UnusableInput(f"cannot read {name}: {exc}")
            except OSError as exc:
                yield name, InputError(f"cannot read {name}: {exc}")

    def _lines(self, jsonl: str) -> Iterator[tuple[Any, Any]]:
        args, number = self._args, 0
        try:
            with binary_input(jsonl) as stream:
                for number, line in enumerate(stream, 1):
                    if line.strip():
                        key, text = parse_line(line, number, args.text_field, args.id_field)
                        if self._keep(id_text(key)):
                            yield key, text
        except OSError as exc:
            where = f" after line {number}" if number else ""
            yield None, InputError(f"cannot read {jsonl}{where}: {exc}")


def binary_input(name: str) -> contextlib.AbstractContextManager[IO[bytes]]:
    if name != "-":
        return open(name, "rb")
    if sys.stdin is None:  # started with descriptor 0 closed
        raise OSError("standard input is closed")
    return contextlib.nullcontext(sys.stdin.buffer)


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not JSON")


def parse_line(line: bytes, number: int, text_field: str, id_field: str) -> tuple[Any, Any]:
    """(id, text) of one JSON Lines input; the text is an UnusableInput if the line cannot be used.

    A line without a usable id has its line number as its id, so that its
    record can be found again by a resumed run.
    """
    try:
        fields = json.loads(line, parse_constant=_reject_constant)
    except (ValueError, RecursionError) as exc:
        return number, UnusableInput(f"line {number} is not JSON: {describe(exc)}")
    if not isinstance(fields, dict):
        return number, UnusableInput(f"line {number} is not a JSON object")
    key = fields.get(id_field, number)
    if type(key) not in (str, int):
        return number, UnusableInput(f"line {number}: the id {id_field!r} must be a string or a whole number")
    text = fields.get(text_field)
    if not isinstance(text, str):
        return key, UnusableInput(f"line {number}: the text {text_field!r} must be a string")
    return key, text


def id_text(key: Any) -> str:
    """The form in which ids are compared across runs (and hashed for shards)."""
    return json.dumps(key, ensure_ascii=False)


def shard_of(key: str, count: int) -> int:
    """A hash of the key modulo count: the same in every process and on every machine."""
    import hashlib  # here: only --shard needs it, and it loads a TLS library

    digest = hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % count
