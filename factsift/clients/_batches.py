"""The calls to the service's batch interface: upload, create, look, cancel, download, delete.

The client layer's part of a run through the batch interface (factsift.batchapi).

Reads (a batch, a file's content, a listing) are sent again after a passing
failure (no answer, HTTP 408, 409, 429 or 5xx), up to `retries` times, after
the wait the service asks for or a back-off. An upload or a batch creation
that fails that way may still have reached the service: before sending it
again the run looks for what it would have made (a file of the part's name
and size, a batch of the part's input file), and so it does first when a
run is resumed with a part whose upload or batch it never heard back about.
"""

from __future__ import annotations

import pathlib
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TypeVar

from factsift.clients._refusals import retry_after
from factsift.clients._service import plain, service_client, status_of, transient
from factsift.records import describe

__all__ = ["BatchService", "ServiceError", "Refused"]

T = TypeVar("T")
COMPLETION_WINDOW = "24h"
LOOKBACK = 3600.0  # seconds before a part was made that a listing is searched back to (clocks differ)
MAX_WAIT = 60.0
CHUNK = 1 << 20  # bytes of a file's content read at a time


class ServiceError(Exception):
    """The service could not be reached or kept failing; the run can go on later (resume)."""


class Refused(Exception):
    """The service refused a request for good (HTTP 4xx other than 408, 409 and 429)."""

    def __init__(self, text: str, status: int | None) -> None:
        super().__init__(text)
        self.status = status


class BatchService:
    """One client of the service for a run's batch interface, whose batches make requests to
    `endpoint`; `requests` counts its HTTP requests."""

    def __init__(self, base_url: Any, api_key: Any, endpoint: str, retries: int = 2, timeout: float | None = None,
                 sleep: Callable[[float], None] = time.sleep) -> None:
        self._client, tally = service_client(base_url, api_key, timeout)
        self._seen = tally.begin()
        self._endpoint, self._retries, self._sleep = endpoint, retries, sleep

    @property
    def requests(self) -> int:
        return self._seen.requests

    def close(self) -> None:
        close = getattr(self._client, "close", None)
        if close is not None:
            close()

    def _call(self, what: str, call: Callable[[], T], look: Callable[[], T | None] | None = None,
              unsure: bool = False) -> T:
        """`call()`, sent again after passing failures; Refused or ServiceError when it cannot be.
        With `look`: what it finds, if anything, before each attempt that an earlier one may have
        done already at the service (each but the first, and that too if `unsure`)."""
        for attempt in range(self._retries + 1):
            found = look() if look is not None and (attempt or unsure) else None
            if found is not None:
                return found
            try:
                return call()
            except Exception as exc:
                self._failed(what, exc, attempt)
        raise AssertionError("unreachable")

    def _failed(self, what: str, exc: Exception, attempt: int) -> None:
        """Waits before the next attempt, or raises what the failure means."""
        if not transient(exc) and not isinstance(exc, _Cut):
            status = status_of(exc)
            if status is not None or _is_client_error(exc):
                raise Refused(f"{what}: {describe(exc)}", status) from exc
            if isinstance(exc, ServiceError):
                raise exc
            raise ServiceError(f"{what}: {describe(exc)}") from exc  # an answer of another shape
        if attempt >= self._retries:
            raise ServiceError(f"{what}: {exc if isinstance(exc, _Cut) else describe(exc)}") from exc
        self._sleep(_wait(exc, attempt))

    # -- files ---------------------------------------------------------------------------------

    def upload(self, path: str, size: int, since: float, unsure: bool) -> dict[str, Any]:
        """The FileObject of `path` uploaded for a batch (an earlier upload of it where one is found)."""
        name = pathlib.Path(path).name
        return self._call(f"uploading {name}",
                          lambda: _with_id(plain(self._client.files.create(file=pathlib.Path(path), purpose="batch"))),
                          lambda: self.find_file(name, size, since), unsure)

    def find_file(self, name: str, size: int, since: float) -> dict[str, Any] | None:
        return self._call("listing the files", lambda: _newest(
            self._client.files.list(purpose="batch"), since,
            lambda info: info.get("filename") == name and info.get("bytes") == size))

    def download(self, file_id: str, write: Callable[[Iterator[bytes]], None]) -> None:
        """Hands a file's content to `write` as it arrives, never all of it in memory (`write` keeps
        it whole or not at all); sent again from the start after a passing failure, one mid-way
        included."""
        self._call(f"reading file {file_id}", lambda: self._download(file_id, write))

    def _download(self, file_id: str, write: Callable[[Iterator[bytes]], None]) -> None:
        with self._client.files.with_streaming_response.content(file_id) as response:
            write(_pieces(response.iter_bytes(CHUNK)))

    def delete(self, file_id: str) -> bool:
        """Removes a file; whether it is gone (False: it could not be deleted now)."""
        try:
            self._call(f"deleting file {file_id}", lambda: self._client.files.delete(file_id))
        except Refused as exc:
            return exc.status == 404
        except ServiceError:
            return False
        return True

    # -- batches -------------------------------------------------------------------------------

    def create(self, file_id: str, metadata: dict[str, str], since: float, unsure: bool) -> dict[str, Any]:
        """A batch of the input file `file_id` (an earlier one of it where one is found)."""
        return self._call(f"creating the batch of {file_id}", lambda: _with_id(plain(self._client.batches.create(
            input_file_id=file_id, endpoint=self._endpoint, completion_window=COMPLETION_WINDOW, metadata=metadata))),
            lambda: self.find_batch(file_id, since), unsure)

    def find_batch(self, file_id: str, since: float) -> dict[str, Any] | None:
        return self._call("listing the batches", lambda: _newest(
            self._client.batches.list(limit=100), since, lambda info: info.get("input_file_id") == file_id))

    def batch(self, batch_id: str) -> dict[str, Any]:
        return self._call(f"looking at batch {batch_id}",
                          lambda: plain(self._client.batches.retrieve(batch_id)))

    def cancel(self, batch_id: str) -> dict[str, Any]:
        """Asks the service to cancel a batch; one that has ended already is only looked at."""
        try:
            return self._call(f"cancelling batch {batch_id}",
                              lambda: plain(self._client.batches.cancel(batch_id)))
        except Refused as exc:
            if exc.status != 409:
                raise
            return self.batch(batch_id)


class _Cut(Exception):
    """A reply's body stopped coming mid-way (the connection failed): a passing failure."""


def _pieces(chunks: Iterable[Any]) -> Iterator[bytes]:
    """The chunks of a reply's body; _Cut if reading them fails."""
    iterator = iter(chunks)
    while True:
        try:
            chunk = next(iterator)
        except StopIteration:
            return
        except Exception as exc:  # what the client's HTTP package raises for a broken connection
            raise _Cut(f"the reply stopped mid-way: {describe(exc)}") from exc
        if not isinstance(chunk, bytes):
            raise ServiceError("the reply is not the file's bytes")
        yield chunk


def _with_id(info: dict[str, Any]) -> dict[str, Any]:
    """An object the service made; without an id it cannot be found again (a later run looks for it)."""
    if not isinstance(info.get("id"), str) or not info["id"]:
        raise ServiceError(f"the service's answer has no id: {info!r:.200}")
    return info


def _is_client_error(exc: Exception) -> bool:
    # What the package raises for a request it refuses to send (an empty id): a plain ValueError.
    return isinstance(exc, ValueError)


def _wait(exc: Exception, attempt: int) -> float:
    response = getattr(exc, "response", None)
    asked = retry_after(getattr(response, "headers", None) or {})
    if asked is not None and 0 <= asked <= MAX_WAIT:
        return asked
    return float(min(8.0, 0.5 * 2 ** attempt))


def _newest(listing: Iterable[Any], since: float,
            wanted: Callable[[dict[str, Any]], bool]) -> dict[str, Any] | None:
    """The first object of a listing (newest first) that is `wanted`, searched back to `since`."""
    for item in listing:
        info = plain(item)
        if wanted(info) and isinstance(info.get("id"), str) and info["id"]:
            return info
        created = info.get("created_at")
        if isinstance(created, (int, float)) and created < since - LOOKBACK:
            return None
    return None
