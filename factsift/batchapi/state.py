"""The state of a batch-interface run: a folder that says what was sent, so nothing is sent twice.

The folder (for the command line, ``OUTPUT.batches`` beside ``--output``) holds:

* ``state.json``: the run's settings and its parts, rewritten whole and
  atomically (a new file renamed over the old) at every change;
* for each part ``NAME.jsonl``, its batch input file exactly as uploaded,
  and ``NAME.inputs.jsonl``, which inputs it holds in input order, both
  written before the part enters ``state.json`` and never changed;
* ``NAME.output.jsonl`` and ``NAME.errors.jsonl``: the batch's output and
  error files once downloaded;
* ``lock``: held by the run that uses the folder;
* now and then a temporary file (``NAME.tmp``, ``NAME.PID.tmp``) that
  becomes one of the above, or is left by a run that was killed.

A new run takes only a new or empty folder, or one that holds only a run's
own files (what a killed run left): it never removes what it did not make.
When every part is collected and its files are deleted at the service, the
run's own files go, and the folder with them unless something else is in it.

A part's ``NAME`` is ``factsift-<run>-<number>``, which is also the name its
file is uploaded under: a run that was killed after sending an upload, or
the creation of a batch, finds what the service made of it by that name (and
the batch by its input file) before it sends anything again.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import re
import secrets
import time
from collections.abc import Iterable, Iterator
from typing import IO, Any

try:
    import fcntl
except ImportError:  # not on Windows: two runs on one folder are not detected there
    fcntl = None  # type: ignore[assignment]

__all__ = ["ENDED", "Part", "State", "StateError", "Entry", "pending"]

FORMAT = "factsift batch-interface run"
VERSION = 1
# The statuses a batch ends in; "unsent": a part that has nothing to send, or could not be sent.
ENDED = frozenset({"completed", "failed", "expired", "cancelled", "unsent"})
# The names of the files a run makes in its folder, temporaries included (of any run: one whose
# removal was cut short leaves some).
_OWN = re.compile(r"(?:lock|state\.json|factsift-[0-9a-f]+-[0-9]+\.(?:inputs\.|output\.|errors\.)?jsonl)"
                  r"(?:\.[0-9]+\.tmp|\.tmp)?")


class StateError(Exception):
    """The state folder cannot be used: unreadable, of another format, or for other settings."""


@dataclasses.dataclass
class Part:
    """One batch of the run, as far as it got."""

    number: int
    name: str
    requests: int = 0
    size: int = 0  # bytes of the input file
    prepared_at: float = 0.0
    file_id: str | None = None
    batch_id: str | None = None
    status: str = "prepared"  # the batch's status as last seen; "prepared" before it exists
    counts: dict[str, int] | None = None  # the batch's request_counts
    output_file_id: str | None = None
    error_file_id: str | None = None
    problem: str | None = None  # why the batch failed or the part was not sent, for its records
    downloaded: bool = False
    collected: bool = False  # its records were handed out
    cleaned: bool = False  # and its files deleted at the service

    @property
    def ended(self) -> bool:
        return self.status in ENDED

    def to_json(self) -> dict[str, Any]:
        return dataclasses.asdict(self)

    @classmethod
    def from_json(cls, value: Any) -> Part:
        names = {field.name for field in dataclasses.fields(cls)}
        if not isinstance(value, dict) or not names >= value.keys() or "number" not in value:
            raise StateError(f"a part of unknown shape: {value!r:.200}")
        return cls(**value)


# One input of a part: its id, its custom_id (None: nothing was sent for it), the digest of the
# request recorded for it, and why it could not be sent (None: it was, or it needed no request).
Entry = tuple[Any, str | None, str | None, str | None]


class State:
    """A run's state folder, locked while the State is open; `save()` after every change."""

    folder: str
    run: str  # the run's random id, in its parts' names
    settings: dict[str, Any]
    parts: list[Part]

    def __init__(self, folder: str, run: str, settings: dict[str, Any], parts: list[Part],
                 lock: IO[bytes]) -> None:
        self.folder, self.run, self.settings, self.parts = folder, run, settings, parts
        self._lock = lock

    @classmethod
    def open(cls, folder: str, settings: dict[str, Any]) -> State:
        """The run in `folder`, made there if there is none; StateError if it is for other settings
        (and has batches to collect or files at the service to delete), or if the folder holds
        anything but a run's own files."""
        try:
            os.makedirs(folder, exist_ok=True)
        except FileExistsError:
            raise StateError(f"{folder} is not a folder: give a new or an empty folder for the run's state") from None
        if not os.path.exists(os.path.join(folder, "state.json")):
            refuse_foreign(folder)  # before the lock is made there
        lock = _locked(os.path.join(folder, "lock"))
        try:
            state = cls._load(folder, lock)
            if state is None:
                refuse_foreign(folder)
                state = cls(folder, secrets.token_hex(6), settings, [], lock)
                state.save()
            elif state.settings != settings and not state.settled:
                raise StateError(_changed(folder, state.settings, settings))
        except BaseException:
            lock.close()
            raise
        return state

    @classmethod
    def _load(cls, folder: str, lock: IO[bytes]) -> State | None:
        path = os.path.join(folder, "state.json")
        try:
            with open(path, "rb") as f:
                data = json.load(f)
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as exc:
            raise StateError(f"cannot read {path}: {exc}") from None
        if not isinstance(data, dict) or data.get("format") != FORMAT or data.get("version") != VERSION:
            raise StateError(f"{path} is not the state of a factsift batch-interface run (version {VERSION})")
        try:
            parts = [Part.from_json(part) for part in data["parts"]]
            return cls(folder, str(data["run"]), data["settings"], parts, lock)
        except (KeyError, TypeError) as exc:
            raise StateError(f"{path}: {exc}") from None

    def save(self) -> None:
        data = {"format": FORMAT, "version": VERSION, "run": self.run, "settings": self.settings,
                "saved_at": time.time(), "parts": [part.to_json() for part in self.parts]}
        write_atomically(self.path("state.json"), json.dumps(data, indent=1).encode("utf-8") + b"\n")

    def path(self, name: str) -> str:
        return os.path.join(self.folder, name)

    def next_number(self) -> int:
        return max((part.number for part in self.parts), default=0) + 1

    def new_part(self, number: int) -> Part:
        return Part(number, f"factsift-{self.run}-{number:04d}", prepared_at=time.time())

    def open_parts(self) -> list[Part]:
        return [part for part in self.parts if not part.collected]

    @property
    def settled(self) -> bool:
        """Every part collected, and its files deleted at the service: nothing left to do."""
        return all(part.collected and part.cleaned for part in self.parts)

    def close(self) -> None:
        self._lock.close()

    def restart(self, settings: dict[str, Any]) -> None:
        """A new run in the folder of a settled one: the old one's files go, the lock stays held."""
        assert self.settled
        self._remove_files()
        refuse_foreign(self.folder)
        self.run, self.settings, self.parts = secrets.token_hex(6), settings, []
        self.save()

    def remove(self) -> None:
        """The run is settled: its own files go, then the folder if nothing else is in it."""
        self._remove_files()
        for name in ("state.json", "lock"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path(name))
        self.close()
        with contextlib.suppress(OSError):  # something else is in it, or it is the current folder
            os.rmdir(self.folder)

    def _remove_files(self) -> None:
        """The run's own files but its state and lock (which say that the rest are its own)."""
        for name in own_files(self.folder):
            if name not in ("state.json", "lock"):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(self.path(name))


def pending(folder: str) -> bool:
    """Whether the run in `folder`, if there is one, may have batches not yet collected (also when
    its state cannot be read: opening it says why)."""
    try:
        with open(os.path.join(folder, "state.json"), "rb") as f:
            parts = json.load(f)["parts"]
        return any(not part["collected"] for part in parts)
    except FileNotFoundError:
        return False
    except (OSError, ValueError, LookupError, TypeError):
        return True


def own_files(folder: str) -> list[str]:
    return sorted(name for name in os.listdir(folder) if _OWN.fullmatch(name))


def refuse_foreign(folder: str) -> None:
    """StateError naming what in `folder` is not a run's own file: a new run's folder holds nothing else."""
    foreign = sorted(name for name in os.listdir(folder) if not _OWN.fullmatch(name))
    if foreign:
        shown = ", ".join(foreign[:5]) + (f" and {len(foreign) - 5} more" if len(foreign) > 5 else "")
        raise StateError(f"{folder} holds files that a batch-interface run did not make ({shown}): give a new "
                         f"or an empty folder for the run's state")


def _changed(folder: str, old: dict[str, Any], new: dict[str, Any]) -> str:
    names = ", ".join(sorted(key for key in old.keys() | new.keys() if old.get(key) != new.get(key)))
    return (f"the batches in {folder} were made with other settings ({names}): give the ones they were "
            f"made with, to collect them or to cancel them")


def _locked(path: str) -> IO[bytes]:
    lock = open(path, "ab")
    if fcntl is not None:
        try:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            raise StateError(f"another factsift run is using {os.path.dirname(path)}") from None
    return lock


def write_atomically(path: str, data: bytes | Iterable[bytes]) -> None:
    """`path` holds `data` (bytes, or pieces of them) whole, or what it held before, whenever the
    process dies."""
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        with open(temporary, "wb") as f:
            for piece in (data,) if isinstance(data, bytes) else data:
                f.write(piece)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _sync_folder(os.path.dirname(path) or ".")


def _sync_folder(folder: str) -> None:
    with contextlib.suppress(OSError):  # not every file system lets a folder be synced
        fd = os.open(folder, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def write_entries(path: str, entries: list[Entry]) -> None:
    # ASCII escapes: a file name's lone surrogates come back as they were.
    write_atomically(path, b"".join(json.dumps(list(entry)).encode("ascii") + b"\n" for entry in entries))


def read_entries(path: str) -> Iterator[Entry]:
    with open(path, "rb") as f:
        for line in f:
            key, custom_id, digest, problem = json.loads(line)
            yield key, custom_id, digest, problem
