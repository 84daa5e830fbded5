"""The clients of a batch run: built with its options, and watched for what each input used."""

from __future__ import annotations

import contextlib
import importlib
import math
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from types import ModuleType

from factsift.clients import _seam, _transport
from factsift.clients._seam import Factory
from factsift.clients._sharing import SharedClients

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    from factsift.tokens import Tokens

RETRIED_STATUSES = frozenset({408, 409, 429})
# openai 1.x waits as long as a reply asks for up to a minute, 3.x up to two.
OLD_MAX_RETRY_AFTER = 60.0
SAFETY = 1.05  # a token limit holds this much more than a request's estimated tokens
MAX_TOKENS = 10**9  # the most a usage's count may say: far beyond any model's context and reply
USAGE_COUNTS = ("prompt_tokens", "completion_tokens", "total_tokens")


class ClientSettings:
    """How a run's clients are built: retries, a whole-request time-out, one per service and key."""

    __slots__ = ("retries", "timeout", "share")
    retries: int
    timeout: float | None
    share: bool

    def __init__(self, retries: int = 2, timeout: float | None = None, share: bool = True) -> None:
        self.retries, self.timeout, self.share = retries, timeout, share

    def __reduce__(self) -> tuple[type, tuple[int, float | None, bool]]:
        return ClientSettings, (self.retries, self.timeout, self.share)


class Seen:
    """What the requests for one input saw: HTTP requests sent (retries included), the usage
    the reply reported, and `note`, a wait the service asked for that the client would not make.
    With a token limit: the request's prompt tokens as counted, and the tokens the limit holds
    for it (-1: none)."""

    __slots__ = ("requests", "usage", "note", "counted", "held")
    requests: int
    usage: dict[str, Any] | None
    note: str | None
    counted: float
    held: int

    def __init__(self) -> None:
        self.requests, self.usage, self.note = 0, None, None
        self.counted, self.held = 0.0, -1


class Pacer:
    """What a run's rate limits offer the hooks (factsift.limits.Limits)."""

    def wait(self, tokens: Callable[[], int]) -> int:
        """Waits for a request's turn, for as many tokens as `tokens()` says at each look (what
        the replies meanwhile tell may change it); returns those held for it (-1: none counted)."""
        raise NotImplementedError

    def charged(self, held: int, tokens: float) -> None:
        """A request for which `held` tokens were held used `tokens`."""
        raise NotImplementedError

    def heard(self, headers: Mapping[str, str]) -> None:
        """A reply's headers (its rate-limit headers)."""
        raise NotImplementedError


class Tally:
    """The event hooks of a run's clients, counting for the input each thread works on.

    With `tokens` (a factsift.tokens.Tokens), each request's prompt is counted
    before it is sent, to be charged against a token limit.
    """

    def __init__(self, pacer: Pacer | None, max_retry_after: float, tokens: Tokens | None = None) -> None:
        self._pacer, self._tokens = pacer, tokens
        self._max_retry_after = max_retry_after
        self._local = threading.local()

    def begin(self) -> Seen:
        """Start counting for the calling thread's next input."""
        seen = Seen()
        self._local.seen = seen
        return seen

    def _seen(self) -> Seen:
        seen: Seen | None = getattr(self._local, "seen", None)
        return seen if seen is not None else self.begin()

    def sending(self, request: Mapping[str, Any]) -> None:
        """A chat request about to go: counts its prompt's tokens for the limit."""
        if self._tokens is not None:
            self._seen().counted = self._tokens.counted(request.get("messages") or (), request.get("model"))

    def _charge(self) -> int:
        """What the thread's request is to be charged now: its prompt as the replies so far scale
        it, and the mean reply. An estimate errs on the safe side; the usage sets what was used."""
        tokens = self._tokens
        if tokens is None:
            return 0
        return math.ceil((tokens.prompt(self._seen().counted) + tokens.reply) * SAFETY)

    def on_request(self, request: object) -> None:
        """httpx's request hook: runs before every HTTP request, retries included."""
        seen = self._seen()
        if self._pacer is not None:
            seen.held = self._pacer.wait(self._charge)
        seen.requests += 1

    def on_response(self, response: Any) -> None:
        """httpx's response hook: the limits hear the reply's headers; notes a wait the client
        will not make."""
        status = response.status_code
        if self._pacer is not None:
            self._pacer.heard(response.headers)
            if status == 429:  # refused: the service used none of the request's tokens
                seen = self._seen()
                self._pacer.charged(seen.held, 0)
                seen.held = -1
        if status in RETRIED_STATUSES or status >= 500:
            after = retry_after(response.headers)
            if after is not None and after > self._max_retry_after:
                self._seen().note = (f"HTTP {status}: the service asked to wait {after:g} s before "
                                     f"trying again, longer than the client waits "
                                     f"({self._max_retry_after:g} s)")

    def too_large(self, limit: int) -> None:
        """The transport stopped reading a reply longer than `limit` bytes."""
        self._seen().note = f"the reply was too large: longer than {limit} bytes, the most factsift reads"

    def replied(self, reply: Any) -> None:
        """The completion a request returned: keeps its usage, and tells the limits what it used
        (a usage whose counts are not sane tells them nothing)."""
        usage = getattr(reply, "usage", None)
        if usage is None:
            return
        seen = self._seen()
        seen.usage = plain_usage(usage)
        if seen.usage is None or usage_problem(seen.usage) is not None:
            return
        if self._tokens is not None:
            self._tokens.learn(seen.counted, seen.usage)
        total = seen.usage.get("total_tokens")
        if self._pacer is not None and isinstance(total, int):
            self._pacer.charged(seen.held, total)
            seen.held = -1


def plain_usage(usage: Any) -> dict[str, Any] | None:
    """The usage as the service sent it, in plain values (ints, dicts): the fields it sent only."""
    to_dict = getattr(usage, "to_dict", None)  # openai's models have it
    if to_dict is not None:
        value = to_dict()
    elif isinstance(usage, Mapping):
        value = dict(usage)
    else:
        dump = getattr(usage, "model_dump", None)
        value = None if dump is None else dump(exclude_unset=True)
    return value if isinstance(value, dict) else None


def usage_problem(usage: Mapping[str, Any]) -> str | None:
    """Why a usage's counts cannot be added up, or None when they can: each of them that is there
    must be an int from 0 to MAX_TOKENS."""
    for name in USAGE_COUNTS:
        value = usage.get(name)
        if value is not None and not (value.__class__ is int and 0 <= value <= MAX_TOKENS):
            return f"usage not counted: {name} is not a count of tokens from 0 to {MAX_TOKENS}"
    return None


def retry_after(headers: Mapping[str, str]) -> float | None:
    """The wait a reply asks for, in seconds, as the openai client reads it (None: none)."""
    for name, scale in (("retry-after-ms", 1000.0), ("retry-after", 1.0)):
        try:
            return float(headers.get(name)) / scale  # type: ignore[arg-type]  # None: TypeError
        except (TypeError, ValueError):
            pass
    import email.utils  # only for a date: its import costs more than a request

    try:
        date = email.utils.parsedate_tz(headers.get("retry-after", ""))
        return None if date is None else email.utils.mktime_tz(date) - time.time()
    except (TypeError, ValueError, OverflowError):
        return None


class _Completions:
    __slots__ = ("_create", "_tally")

    def __init__(self, create: Callable[..., Any], tally: Tally) -> None:
        self._create, self._tally = create, tally

    def create(self, **request: Any) -> Any:
        self._tally.sending(request)
        reply = self._create(**request)
        self._tally.replied(reply)
        return reply


class _Chat:
    __slots__ = ("completions",)
    completions: _Completions

    def __init__(self, completions: _Completions) -> None:
        self.completions = completions


class Watched:
    """A client as the module sees it: ``chat.completions.create`` of the client built, watched."""

    __slots__ = ("chat", "client")
    chat: _Chat
    client: Any

    def __init__(self, client: Any, tally: Tally) -> None:
        self.client = client
        self.chat = _Chat(_Completions(client.chat.completions.create, tally))


class _Building:
    """The factory of a run: the previous ``OpenAI`` with the run's options, each client watched."""

    def __init__(self, original: Factory, options: dict[str, Any], tally: Tally) -> None:
        self.original, self._options, self._tally = original, options, tally

    def __call__(self, *args: Any, **kwargs: Any) -> Watched:
        return Watched(self.original(*args, **kwargs, **self._options), self._tally)


def client_package() -> ModuleType:
    """The package the module's clients come from."""
    return importlib.import_module("openai")


def _httpx_of(package: ModuleType) -> ModuleType:
    """The httpx package behind the client package's DefaultHttpxClient (httpx or httpx2)."""
    for cls in getattr(package, "DefaultHttpxClient", object).__mro__:
        top = cls.__module__.partition(".")[0]
        if top.startswith("httpx"):
            return importlib.import_module(top)
    raise RuntimeError("factsift's batches need openai 1.17 or later (openai.DefaultHttpxClient)")


def max_retry_after(package: ModuleType) -> float:
    """The longest wait a reply may ask for that the client still makes."""
    try:
        constants = importlib.import_module(package.__name__ + "._constants")
    except ImportError:
        return OLD_MAX_RETRY_AFTER
    return float(getattr(constants, "MAX_RETRY_AFTER_DELAY", OLD_MAX_RETRY_AFTER))


def client_options(settings: ClientSettings, tally: Tally, package: ModuleType,
                   limit: int | None = None) -> dict[str, Any]:
    """The keyword options of every client of the run: with the real client package, an HTTP
    client that sends through factsift's transport (the whole-request time-out, replies of at
    most `limit` bytes, by default MAX_REPLY_BYTES; the environment's proxies: see
    factsift.clients._transport)."""
    httpx = _httpx_of(package)
    http: dict[str, Any] = {"event_hooks": {"request": [tally.on_request], "response": [tally.on_response]}}
    options: dict[str, Any] = {"max_retries": settings.retries}
    if settings.timeout is not None:
        options["timeout"] = settings.timeout
    limit = _transport.MAX_REPLY_BYTES if limit is None else limit
    http.update(_transport.client_options(httpx, settings.timeout, limit, tally.too_large))
    options["http_client"] = package.DefaultHttpxClient(**http)
    return options


class RunClients:
    """A run's clients as its threads use them: `factory` builds them from `base`, `tally` counts
    for them."""

    __slots__ = ("factory", "base", "tally")
    factory: Factory
    base: Factory
    tally: Tally

    def __init__(self, factory: Factory, base: Factory, tally: Tally) -> None:
        self.factory, self.base, self.tally = factory, base, tally

    def bind_thread(self) -> None:
        """The calling thread, one of the run's own, builds its clients with the run's factory."""
        _seam.bind_thread(self.factory, self.base)


@contextlib.contextmanager
def configured(settings: ClientSettings, pacer: Pacer | None = None, tokens: Tokens | None = None,
               base: Factory | None = None) -> Iterator[RunClients]:
    """The clients of a run, for the threads that bind them, inside a ``with`` block.

    Their factory builds each client from `base` (default: what a run started
    in the calling thread builds on, ``_seam.run_base()``) with
    ``max_retries=``, ``timeout=`` and an ``http_client`` whose hooks wait for
    the rate limit and count the requests; with ``settings.share``, one client
    per service and key. Only the threads that call ``bind_thread()`` use it:
    the module global dispatches their calls to it while the block runs.
    """
    package = client_package()
    tally = Tally(pacer, max_retry_after(package), tokens)
    options = client_options(settings, tally, package)
    base = _seam.run_base() if base is None else base
    building = _Building(base, options, tally)
    with _seam.opened():
        yield RunClients(SharedClients(building) if settings.share else building, base, tally)
