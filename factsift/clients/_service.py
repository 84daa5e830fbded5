"""A plain client of the client package for the service's files and batches, and what its errors mean.

The batch interface is driven by factsift itself, not by the module: one
client per run, built with the run's time-out and a transport that counts
its requests. It never retries on its own (``max_retries=0``): a request that
creates something at the service (an upload, a batch) may have reached it
even when its answer never came, so factsift looks before it sends one again
(factsift.clients._batches). It sends through factsift's transport, as a run's
clients do (the time-out as a whole, the environment's proxies), reading at
most ``MAX_FILE_BYTES`` of a reply: a batch's output file comes whole.
"""

from __future__ import annotations

from typing import Any

from factsift.clients._run import ClientSettings, Tally, client_options, client_package
from factsift.clients._transport import MAX_FILE_BYTES

RETRIED_STATUSES = frozenset({408, 409, 429})


def service_client(base_url: Any, api_key: Any, timeout: float | None) -> tuple[Any, Tally]:
    """A client of the package for `base_url`, and the Tally that counts its HTTP requests
    (``tally.begin()`` gives the Seen they are counted in)."""
    package = client_package()
    tally = Tally(None)
    options = client_options(ClientSettings(0, timeout, share=False), tally, package, MAX_FILE_BYTES)
    return package.OpenAI(base_url=base_url, api_key=api_key, **options), tally


def status_of(exc: BaseException) -> int | None:
    """The HTTP status of a client error that came with a reply; None for any other."""
    status = getattr(exc, "status_code", None)
    return status if isinstance(status, int) else None


def transient(exc: BaseException) -> bool:
    """Whether a client error may pass if the request is sent again later: no answer at all
    (a lost connection, a time-out), or HTTP 408, 409, 429 or 5xx."""
    status = status_of(exc)
    if status is not None:
        return status in RETRIED_STATUSES or status >= 500
    connection_error = getattr(client_package(), "APIConnectionError", None)
    return connection_error is not None and isinstance(exc, connection_error)


def plain(obj: Any) -> dict[str, Any]:
    """A reply object of the package (a FileObject, a Batch) as the JSON it came as."""
    to_dict = getattr(obj, "to_dict", None)
    value = to_dict() if to_dict is not None else obj
    if not isinstance(value, dict):
        raise TypeError(f"expected a JSON object from the service, got {type(value).__name__}")
    return value
