"""One chat client per service and key, shared by every factsift call.

``factsift.factsift.AISummary`` builds a new client for every request,
``OpenAI(base_url=..., api_key=...)``, through the module global ``OpenAI``.
That keeps calls independent and makes a changed ``base_url`` or ``api_key``
take effect at once, but a real ``openai.OpenAI`` costs tens of milliseconds
of CPU to build (an SSL context, an HTTP connection pool) and is thrown away
after one request, keep-alive connections and all. In a batch of many short
requests on several threads, that construction becomes the bottleneck, and
it runs with the GIL held.

``share_clients()`` replaces the module global with a factory that hands out
one client per ``(base_url, api_key)`` pair, built on first use from the
``OpenAI`` that was installed before, and returns the same client for every
later request with that pair::

    from factsift import clients
    clients.share_clients()      # one client per (base_url, api_key) from now on
    ...
    clients.unshare_clients()    # back to a new client per request

    with clients.shared_clients():
        ...                      # shared inside the block only

Options for every client (retries, a time-out, an HTTP client with event
hooks) go in the same way, through the module global, inside a block::

    with clients.client_options(max_retries=5, timeout=30), clients.shared_clients():
        ...                      # shared clients, each built with those options

Enter ``client_options`` first: a sharing factory passes calls with other
options through unshared.

Settings are still read at every call: an instance whose ``base_url`` or
``api_key`` changes gets (or builds) the other pair's client, and
``model_id`` is passed with each request anyway.

Things to know:

* A shared client is used by several threads at once. ``openai.OpenAI`` and
  factsift's offline stand-in allow that; a replacement ``OpenAI`` installed
  before sharing must allow it too.
* Clients are kept while sharing is on, one per distinct pair seen, and are
  not closed when it ends (a request may still be using one); they go when
  the last reference does. A program that cycles through many keys keeps
  them all: call ``clear()`` on the factory now and then, or don't share.
* Values that cannot be dictionary keys (a list as ``base_url``) are not
  shared: such calls get a new client each, as without sharing. Pairs are
  told apart by type as well as value, so ``1`` and ``True`` never share.
* A forked child starts with no clients: a connection pool must not be used
  by two processes.
"""

import contextlib
import functools
import importlib
import os
import threading
import weakref

__all__ = ["SharedClients", "share_clients", "unshare_clients", "shared_clients", "client_options"]

_MODULE = "factsift.factsift"
_UNSET = object()
_install_lock = threading.Lock()  # share/unshare from two threads must not wrap twice
_live = weakref.WeakSet()
_SHARED_KEYWORDS = frozenset({"base_url", "api_key"})


class _Slot:
    __slots__ = ("lock", "client")

    def __init__(self):
        self.lock = threading.Lock()
        self.client = _UNSET


class SharedClients:
    """Callable that stands in for ``OpenAI``: one client per ``(base_url, api_key)``.

    ``original`` is the class (or factory) that builds the clients. Calls with
    anything other than exactly the keywords ``base_url`` and ``api_key`` are
    passed to it unchanged, so other options never end up in a shared client.
    """

    def __init__(self, original):
        self.original = original
        self._lock = threading.Lock()
        self._slots = {}
        _live.add(self)

    def __call__(self, *args, **kwargs):
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

    def count(self):
        """How many clients have been built and are being shared."""
        return sum(slot.client is not _UNSET for slot in list(self._slots.values()))

    def clear(self):
        """Forget every shared client; the next request for a pair builds a new one."""
        with self._lock:
            self._slots = {}

    def __repr__(self):
        return f"<factsift shared clients of {self.original!r}: {self.count()} built>"

    def _after_fork(self):
        self._lock = threading.Lock()
        self._slots = {}


def _after_fork_in_child():
    global _install_lock
    _install_lock = threading.Lock()
    for factory in list(_live):
        factory._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def _module():
    # Imported on first use: importing this helper must not need the client package.
    return importlib.import_module(_MODULE)


def _share():
    module = _module()
    with _install_lock:
        current = module.OpenAI
        if isinstance(current, SharedClients):
            return current, False
        factory = SharedClients(current)
        module.OpenAI = factory
        return factory, True


def share_clients():
    """Make factsift.factsift share one client per (base_url, api_key); return the factory.

    Calling it again while sharing is on changes nothing and returns the same
    factory: it never wraps a sharing factory in another one. The clients are
    built by whatever ``factsift.factsift.OpenAI`` was when sharing began.
    """
    return _share()[0]


def unshare_clients():
    """Put back the ``OpenAI`` that sharing replaced; return it (None if not sharing).

    If something else has been installed as ``factsift.factsift.OpenAI`` since
    sharing began, that is left in place.
    """
    module = _module()
    with _install_lock:
        current = module.OpenAI
        if not isinstance(current, SharedClients):
            return None
        module.OpenAI = current.original
        return current.original


@contextlib.contextmanager
def shared_clients():
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
def client_options(**options):
    """Inside a ``with`` block, build every factsift.factsift client with these keyword options.

    For example ``max_retries=``, ``timeout=`` or ``http_client=``, which
    ``openai.OpenAI`` takes. Yields the factory installed; on leaving, the
    previous ``OpenAI`` comes back unless something else has replaced the
    factory since.
    """
    module = _module()
    with _install_lock:
        original = module.OpenAI
        factory = functools.partial(original, **options)
        module.OpenAI = factory
    try:
        yield factory
    finally:
        _restore(factory, original)


def _restore(factory, original):
    """Put `original` back in place of `factory`, unless something else has replaced it since."""
    module = _module()
    with _install_lock:
        if module.OpenAI is factory:
            module.OpenAI = original
