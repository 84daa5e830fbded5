"""The module global ``OpenAI``: the one seam through which runs give the module their clients.

``factsift.factsift.AISummary`` builds each client with whatever its module
global ``OpenAI`` is. Outside any run that is the user's (``openai.OpenAI``,
or what they set). While a run is open, the global is a ``Dispatch``: a call
from one of the run's own threads goes to that run's factory (kept in a
thread-local the thread sets when it starts), and any other call to the base,
what was there before. So runs overlap, nest and close in any order; a plain
call in the middle of a run gets the user's client, not the run's; and when
the last run closes, the base is put back as the global.

Sharing clients and ``client_options`` change the base, under a dispatcher as
well as without one. A user who sets the global themselves gets what they
set: it replaces the dispatcher, which is then neither used nor put back (a
run opened later dispatches over it).
"""

from __future__ import annotations

import contextlib
import importlib
import os
import threading
from collections.abc import Callable, Iterator
from types import ModuleType

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    Factory = Callable[..., Any]
else:
    Factory = Callable

_MODULE = "factsift.factsift"
_GLOBAL = "OpenAI"
_lock = threading.Lock()
# factory: what the thread's calls build clients with; base: what runs it starts build on
_local = threading.local()


class Dispatch:
    """The module global while runs are open: each call to the calling thread's run, or the base."""

    __slots__ = ("base", "users")
    base: Factory
    users: int

    def __init__(self, base: Factory) -> None:
        self.base, self.users = base, 0

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        factory = getattr(_local, "factory", None)
        return (self.base if factory is None else factory)(*args, **kwargs)

    def __repr__(self) -> str:
        return f"<factsift dispatch over {self.base!r}: {self.users} open>"


_dispatch: Dispatch | None = None  # the one in place, while a run is open


def module() -> ModuleType:
    # Imported on first use: importing the client layer must not need the client package.
    return importlib.import_module(_MODULE)


def run_base() -> Factory:
    """What a run started in the calling thread builds its clients on: the base, or in a thread
    bound to a factory, what that thread's run was built on (a run started in a job of another
    gets the same clients, not the other's wrapped once more)."""
    found = getattr(module(), _GLOBAL)
    if not isinstance(found, Dispatch):
        return found  # type: ignore[no-any-return]
    factory: Factory | None = getattr(_local, "base", None)
    return found.base if factory is None else factory


def exchange_base(change: Callable[[Factory], Factory | None]) -> tuple[Factory, Factory]:
    """Replaces the base with ``change(base)`` unless that is None, in one step; returns (old, new)."""
    with _lock:
        target = module()
        found = getattr(target, _GLOBAL)
        old = found.base if isinstance(found, Dispatch) else found
        new = change(old)
        if new is None:
            return old, old
        if isinstance(found, Dispatch):
            found.base = new
        else:
            setattr(target, _GLOBAL, new)
        return old, new


@contextlib.contextmanager
def opened() -> Iterator[None]:
    """The dispatcher in place inside the block, for the threads of a run to bind their factory."""
    global _dispatch
    target = module()
    with _lock:
        found = getattr(target, _GLOBAL)
        dispatch = _dispatch
        if dispatch is None:
            dispatch = _dispatch = Dispatch(found)
        elif found is not dispatch:  # set by hand meanwhile: dispatch over what was set
            dispatch.base = found
        setattr(target, _GLOBAL, dispatch)
        dispatch.users += 1
    try:
        yield
    finally:
        with _lock:
            dispatch.users -= 1
            if dispatch.users == 0:
                if getattr(target, _GLOBAL) is dispatch:
                    setattr(target, _GLOBAL, dispatch.base)
                _dispatch = None


def bind_thread(factory: Factory, base: Factory) -> None:
    """The calling thread works for a run from now on: its calls build clients with `factory`, and
    the runs it starts on `base`."""
    _local.factory, _local.base = factory, base


@contextlib.contextmanager
def bound(factory: Factory) -> Iterator[Factory]:
    """Inside the block, the calling thread's calls, and the runs it starts, build their clients
    with `factory`."""
    with opened():
        previous = getattr(_local, "factory", None), getattr(_local, "base", None)
        _local.factory = _local.base = factory
        try:
            yield factory
        finally:
            _local.factory, _local.base = previous


def _after_fork_in_child() -> None:
    global _lock
    _lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)
