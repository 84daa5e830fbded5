"""Where the command line's lines go: JSON lines written whole, to standard output or a file."""

from __future__ import annotations

import contextlib
import json
import os
import stat
import sys
from collections.abc import Callable

from factsift.cli.inputs import id_text
from factsift.records import Record, describe

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any, TextIO

try:
    import fcntl
except ImportError:  # not on Windows: two runs on one --output are not detected there
    fcntl = None  # type: ignore[assignment]

# One encoder for every line: json.dumps builds a new one whenever it is given options.
_ENCODE = json.JSONEncoder(ensure_ascii=False, allow_nan=False).encode


class Refused(Exception):
    """The output cannot be used as asked: a usage error."""


class WriteError(OSError):
    """A write failed after `lines` whole lines of it had gone out."""

    def __init__(self, error: OSError, lines: int) -> None:
        super().__init__(error.errno, error.strerror)
        self.error: OSError = error
        self.lines: int = lines


def encode_record(record: Record) -> tuple[bytes, Any]:
    """The JSON line (UTF-8 bytes) for one result record, and the status it carries.

    Never raises. A lone surrogate (an undecodable byte of a file name, or
    one in a reply) becomes its \\uXXXX escape, which a JSON reader turns back
    into the same string. A record that JSON cannot hold at all (NaN, an
    object of another type, nesting too deep) is replaced by an "error"
    record with the same keys, the same file and the reason.
    """
    try:
        return _json_line(record), record.get("status")
    except Exception as exc:  # whatever the values' own methods raise, too
        return _json_line(_unwritable(record, exc)), "error"


def _json_line(record: Record) -> bytes:
    text = _ENCODE(record)
    # Only surrogates cannot be UTF-8, and backslashreplace writes them as JSON's \uXXXX escape.
    return text.encode("utf-8", "backslashreplace") + b"\n"


def _unwritable(record: Record, exc: Exception) -> Record:
    error = {key: "" for key in record if isinstance(key, str) and key != "usage"}
    error.update(status="error", error=f"the result cannot be written as JSON: {describe(exc)}")
    for key in ("file", "id"):
        if type(record.get(key)) in (str, int):
            error[key] = record[key]
    return error


class Output:
    """Where the lines go. `write` writes lines whole (or raises WriteError); `done` maps the
    keys of the inputs an --output file being resumed already has a final line for to whether
    that line says the input is unusable."""

    def __init__(self, name: str, write: Callable[[bytes], None], done: dict[str, bool] | None = None,
                 terminal: bool = False, close: Callable[[], None] | None = None, regular: bool = False) -> None:
        self.name: str = name
        self.regular: bool = regular  # a file, which a later run may resume
        self.write: Callable[[bytes], None] = write
        self.terminal: bool = terminal
        self.done: dict[str, bool] = done or {}
        self.close: Callable[[], None] = close or (lambda: None)
        self.earlier: dict[bytes, int] = {}  # see file_output()


class Answered:
    """The "ok" lines of an output being resumed by the digest of their request (file_output's
    `earlier`): ``digest in answered``, and ``answered(digest)``, the line's id and record, read
    back from the file."""

    def __init__(self, path: str, offsets: dict[bytes, int], key_field: str) -> None:
        self._path, self._offsets, self._key_field = path, offsets, key_field

    @classmethod
    def of(cls, output: Output, key_field: str) -> Answered | None:
        return cls(output.name, output.earlier, key_field) if output.earlier else None

    def __contains__(self, digest: object) -> bool:
        return digest in self._offsets

    def __call__(self, digest: bytes) -> tuple[Any, Record] | None:
        offset = self._offsets.get(digest)
        if offset is None:
            return None
        try:
            with open(self._path, "rb") as f:
                f.seek(offset)
                record = _parsed(f.readline())
        except OSError:
            return None
        if record is None or self._key_field not in record:
            return None
        return record.pop(self._key_field), record


def isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, OSError, ValueError):
        return False


def stdout_output() -> Output:
    return Output("standard output", _line_writer(sys.stdout), terminal=isatty(sys.stdout))


def _line_writer(stream: TextIO) -> Callable[[bytes], None]:
    """A function that writes encoded lines to standard output and flushes them."""
    buffer = getattr(stream, "buffer", None)
    if buffer is None:  # a text-only stand-in (io.StringIO and the like): the line is valid UTF-8
        def write_text(lines: bytes) -> None:
            stream.write(lines.decode("utf-8"))
            stream.flush()
        return write_text
    stream.flush()  # text already written must come first

    def write(lines: bytes) -> None:
        try:
            buffer.write(lines)
            buffer.flush()
        except OSError as exc:  # a buffered stream cannot say how much went out
            raise WriteError(exc, 0) from exc
    return write


def discard_output(stream: Any) -> None:
    """After a broken pipe: point standard output at the null device.

    The data left in its buffer is lost anyway; otherwise the flush at exit
    fails again and prints a message.
    """
    with contextlib.suppress(AttributeError, OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)


def file_output(path: str, resume: bool, key_field: str, inputs: list[str],
                index: Callable[[str], bytes | None] | None = None) -> Output:
    """--output FILE: locked, appended to, and read back first with --resume; then with `index`,
    the "ok" lines' offsets are kept by index(their content) in the output's `earlier`."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    try:
        _refuse_inputs(os.fstat(fd), path, inputs)
        done: dict[str, bool] = {}
        earlier: dict[bytes, int] = {}
        regular = stat.S_ISREG(os.fstat(fd).st_mode)  # not a pipe or a device
        if regular:
            _lock(fd, path)
            if resume:
                done = _finished(fd, path, key_field, index, earlier)
            elif os.fstat(fd).st_size or _size(journal_path(path)):
                raise Refused(_holds_results(path))
    except BaseException:
        os.close(fd)
        raise
    output = Output(path, _descriptor_writer(fd), done, close=lambda: os.close(fd), regular=regular)
    output.earlier = earlier
    return output


def journal_path(output: str) -> str:
    """Where a run writing to `output` keeps the answers it has not written yet (factsift.cli.journal)."""
    return output + ".journal"


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def refusal(path: str, resume: bool, inputs: list[str]) -> str | None:
    """Why file_output() would refuse `path`, found without opening or making it; None if it would not."""
    try:
        mine = os.stat(path)
    except OSError:  # none yet, or one file_output() fails to open: not refused
        return None
    try:
        _refuse_inputs(mine, path, inputs)
    except Refused as exc:
        return str(exc)
    if stat.S_ISREG(mine.st_mode) and not resume and (mine.st_size or _size(journal_path(path))):
        return _holds_results(path)
    return None


def _holds_results(path: str) -> str:
    return f"{path} already holds results: pass --resume to go on with it, or remove it"


def _refuse_inputs(mine: os.stat_result, path: str, inputs: list[str]) -> None:
    """The output must not be one of the inputs, however named: the run would read its own lines."""
    if not stat.S_ISREG(mine.st_mode):
        return
    for name in inputs:
        with contextlib.suppress(OSError):
            theirs = os.stat(name) if name != "-" else os.fstat(0)
            if (theirs.st_dev, theirs.st_ino) == (mine.st_dev, mine.st_ino):
                raise Refused(f"{path} is also an input ({name}): write the output to another file")


def _lock(fd: int, path: str) -> None:
    if fcntl is None:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise OSError(f"another factsift run is writing to {path}") from None


def finished_keys(path: str, key_field: str, index: Callable[[str], bytes | None] | None = None,
                  earlier: dict[bytes, int] | None = None) -> dict[str, bool]:
    """Keys of the inputs with a final record in the file ("ok", or "unusable"), each with whether
    it is unusable; an incomplete last line is left out. With `index`, as file_output()."""
    return _read_finished(path, key_field, index, earlier)[0]


def _read_finished(path: str, key_field: str, index: Callable[[str], bytes | None] | None = None,
                   earlier: dict[bytes, int] | None = None) -> tuple[dict[str, bool], int]:
    """finished_keys(), and where the complete lines end; with `index`, the "ok" lines' offsets
    by index(content) go to `earlier`."""
    done: dict[str, bool] = {}
    end = 0
    with open(path, "rb") as f:
        for line in f:
            if not line.endswith(b"\n"):
                break
            start, end = end, end + len(line)
            record = _parsed(line)
            final = None if record is None else _final(record, key_field)
            if record is not None and final is not None:
                key, unusable = final
                done[key] = done.get(key, True) and unusable  # an "ok" line wins
                content = record.get("content")
                if index is not None and earlier is not None and not unusable and isinstance(content, str):
                    digest = index(content)
                    if digest is not None:
                        earlier.setdefault(digest, start)
    return done, end


def _finished(fd: int, path: str, key_field: str, index: Callable[[str], bytes | None] | None = None,
              earlier: dict[bytes, int] | None = None) -> dict[str, bool]:
    """finished_keys(); cuts off a last line left incomplete by a crash."""
    done, end = _read_finished(path, key_field, index, earlier)
    if end < os.fstat(fd).st_size:
        os.ftruncate(fd, end)
        print(f"factsift: {path}: removed an incomplete last line", file=sys.stderr)
    return done


def final_key(line: bytes, key_field: str) -> tuple[str, bool] | None:
    record = _parsed(line)
    return None if record is None else _final(record, key_field)


def _parsed(line: bytes) -> dict[str, Any] | None:
    try:
        record = json.loads(line)
    except (ValueError, RecursionError):
        return None
    return record if isinstance(record, dict) else None


def _final(record: dict[str, Any], key_field: str) -> tuple[str, bool] | None:
    unusable = record.get("status") != "ok"
    if unusable and record.get("unusable") is not True:
        return None
    key = record.get(key_field)
    if key_field == "file":
        return (key, unusable) if isinstance(key, str) else None
    return (id_text(key), unusable) if type(key) in (str, int) else None


def _descriptor_writer(fd: int) -> Callable[[bytes], None]:
    def write(lines: bytes) -> None:
        view = memoryview(lines)
        while view:
            try:
                view = view[os.write(fd, view):]
            except OSError as exc:
                written = len(lines) - len(view)
                raise WriteError(exc, lines.count(b"\n", 0, written)) from exc
    return write
