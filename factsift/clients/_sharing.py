"""One client per (base_url, api_key), and options for every client, behind the module global."""

from __future__ import annotations

import contextlib
import functools
import os
import threading
import weakref
from collections.abc import Iterator

from factsift.clients import _seam
from factsift.clients._seam import Factory

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

_UNSET: Any = object()
_live: weakref.WeakSet[SharedClients] = weakref.WeakSet()
_SHARED_KEYWORDS = frozenset({"base_url", "api_key"})


class _Slot:
    __slots__ = ("lock", "client")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.client: Any = _UNSET


class SharedClients:
    """Callable that stands in for ``OpenAI``: one client per ``(base_url, api_key)``.

    ``original`` is the class (or factory) that builds the clients. Calls with
    anything other than exactly the keywords ``base_url`` and ``api_key`` are
    passed to it unchanged, so other options never end up in a shared client.
    """

    def __init__(self, original: Factory) -> None:
        self.original = original
        self._lock = threading.Lock()
        self._slots: dict[tuple[type, object, type, object], _Slot] = {}
        _live.add(self)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        if args or kwargs.keys() != _SHARED_KEYWORDS:
            return self.original(*args, **kwargs)
        base_url, api_key = kwargs["base_url"], kwargs["api_key"]
        key = (type(base_url), base_url, type(api_key), api_key)
        try:
            slot = self._slots.get(key)
        except TypeError:  # unhashable
            return self.original(base_url=base_url, api_key=api_key)
        if slot is None:
            with self._lock:
                slot = self._slots.setdefault(key, _Slot())
        client = slot.client
        if client is _UNSET:
            # One lock per pair: two threads never build two clients for one pair,
            # and a slow build for one service does not hold up the others.
            with slot.lock:
                if slot.client is _UNSET:
                    # A build that raises stores nothing; the next call tries again.
                    slot.client = self.original(base_url=base_url, api_key=api_key)
                client = slot.client
        return client

    def count(self) -> int:
        """How many clients have been built and are being shared."""
        return sum(slot.client is not _UNSET for slot in list(self._slots.values()))

    def clear(self) -> None:
        """Forget every shared client; the next request for a pair builds a new one."""
        with self._lock:
            self._slots = {}

    def __repr__(self) -> str:
        return f"<factsift shared clients of {self.original!r}: {self.count()} built>"

    def _after_fork(self) -> None:
        self._lock = threading.Lock()
        self._slots = {}


def _after_fork_in_child() -> None:
    for factory in list(_live):
        factory._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _share() -> tuple[SharedClients, bool]:
    old, new = _seam.exchange_base(lambda base: None if isinstance(base, SharedClients) else SharedClients(base))
    return new, new is not old  # type: ignore[return-value]


def share_clients() -> SharedClients:
    """Make factsift.factsift share one client per (base_url, api_key); return the factory.

    Calling it again while sharing is on changes nothing and returns the same
    factory: it never wraps a sharing factory in another one. The clients are
    built by whatever ``factsift.factsift.OpenAI`` was when sharing began.
    Runs in progress keep the clients they were started with.
    """
    return _share()[0]


def unshare_clients() -> Factory | None:
    """Put back the ``OpenAI`` that sharing replaced; return it (None if not sharing).

    If something else has been installed as ``factsift.factsift.OpenAI`` since
    sharing began, that is left in place.
    """
    old, new = _seam.exchange_base(lambda base: base.original if isinstance(base, SharedClients) else None)
    return new if new is not old else None


@contextlib.contextmanager
def shared_clients() -> Iterator[SharedClients]:
    """Share clients inside a ``with`` block; yields the factory.

    On leaving, sharing ends only if this block started it, so an enclosing
    ``share_clients()`` or ``with`` stays in force.
    """
    factory, started = _share()
    try:
        yield factory
    finally:
        if started:
            _restore(factory, factory.original)


@contextlib.contextmanager
def client_options(**options: Any) -> Iterator[Factory]:
    """Inside a ``with`` block, build every factsift.factsift client with these keyword options.

    For example ``max_retries=``, ``timeout=`` or ``http_client=``, which
    ``openai.OpenAI`` takes. Yields the factory installed; on leaving, the
    previous ``OpenAI`` comes back unless something else has replaced the
    factory since.
    """
    original, factory = _seam.exchange_base(lambda base: functools.partial(base, **options))
    try:
        yield factory
    finally:
        _restore(factory, original)


def _restore(factory: Factory, original: Factory) -> None:
    """Put `original` back in place of `factory`, unless something else has replaced it since."""
    _seam.exchange_base(lambda base: original if base is factory else None)
