"""The clients of a batch run: built with its options, and watched for what each input used."""

from __future__ import annotations

import contextlib
import importlib
import math
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping
from types import ModuleType

from factsift.clients import _refusals, _seam, _transport
from factsift.clients._seam import Factory
from factsift.clients._sharing import SharedClients
from factsift.usage import usage_problem

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    from typing import Protocol

    from factsift.tokens import Tokens

    class Budget(Protocol):
        """What a run's budget offers its tally (factsift.budget.Budget)."""

        def reserve(self, text: float) -> float | None: ...

        def settle(self, reserved: float, usage: Mapping[str, Any] | None, charged: bool = True,
                   instruction: float | None = None) -> bool: ...

DONE, AGAIN, FINAL = _transport.DONE, _transport.AGAIN, _transport.FINAL
SAFETY = 1.05  # a token limit holds this much more than a request's estimated tokens
MAX_MODEL_NAME = 200  # a model's name is kept to this many characters: far beyond any service's


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
    """What the requests for one input saw: HTTP requests sent (retries and requests sent again
    after a refusal's wait included), the usage and the model the reply reported, and `note`,
    what the record is to say of a failure the client does not word (a reply too large, a
    refusal not waited out). For the pace: the prompt's tokens as counted, the seconds held by
    refusals, and the ticket of the request last admitted. For a budget: the input's text as
    counted and what it was reserved, whether the service may have `charged` a request that
    told no usage (it got no reply, or a reply without one), and whether the input was counted
    `at_most` (at what it was reserved)."""

    __slots__ = ("requests", "usage", "model", "note", "counted", "held", "ticket", "text_counted", "reserved",
                 "charged", "at_most")
    requests: int
    usage: dict[str, Any] | None
    model: str | None
    note: str | None
    counted: float
    held: float
    ticket: Any
    text_counted: float
    reserved: float | None
    charged: bool
    at_most: bool

    def __init__(self) -> None:
        self.requests, self.usage, self.model, self.note = 0, None, None, None
        self.counted, self.held, self.ticket = 0.0, 0.0, None
        self.text_counted, self.reserved, self.charged, self.at_most = 0.0, None, False, False


class Pacer:
    """What a run's pace offers its transports (factsift.limits.Pace)."""

    max_wait: float

    def admit(self, tokens: Callable[[], float], held: float) -> tuple[Any, float]:
        """Waits for a request's turn, for as many tokens as `tokens()` says at each look; returns
        its ticket (None: held longer than max_wait, not to be sent) and the input's seconds held."""
        raise NotImplementedError

    def answered(self, ticket: Any, status: int, headers: Mapping[str, str],
                 refused: bool = False, wait: float | None = None, unit: int | None = None) -> bool:
        """A reply's status and headers; for a refusal, whether the request is to go again."""
        raise NotImplementedError

    def used(self, ticket: Any, tokens: float) -> None:
        """The tokens the reply to `ticket` says it used."""
        raise NotImplementedError

    def lost(self, ticket: Any) -> None:
        """The request of `ticket` got no reply."""
        raise NotImplementedError


class Tally(_transport.Gate):
    """The gate of a run's transports, counting for the input each thread works on, and pacing
    its requests with `pacer`.

    With `tokens` (a factsift.tokens.Tokens), each request's prompt is counted
    before it is sent, to be charged against the token budgets; with `budget`
    (a factsift.budget.Budget), each input is reserved the most it can cost
    before its requests are made (``reserve``), and settled when it is done
    (``end``) by what its reply's usage says.
    """

    def __init__(self, pacer: Pacer | None, tokens: Tokens | None = None, budget: Budget | None = None) -> None:
        self._pacer, self._tokens, self._budget = pacer, tokens, budget
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
        """A chat request about to go: counts its prompt's tokens for the budgets."""
        if self._tokens is not None:
            self._seen().counted = self._tokens.counted(request.get("messages") or (), request.get("model"))

    def _charge(self) -> int:
        """What the thread's request is to be charged now: its prompt as the replies so far scale
        it, and the mean reply. An estimate errs on the safe side; the usage sets what was used."""
        tokens = self._tokens
        if tokens is None:
            return 0
        return math.ceil((tokens.prompt(self._seen().counted) + tokens.reply) * SAFETY)

    def admit(self) -> bool:
        """The transport is about to send a request: waits for its turn; False when it has been
        held as long as the run allows (the request is not sent, and the note says why)."""
        seen = self._seen()
        if self._pacer is not None:
            seen.ticket, seen.held = self._pacer.admit(self._charge, seen.held)
            if seen.ticket is None:
                seen.note = (f"HTTP 429: held by the service's rate limit for {seen.held:.0f} s in all, "
                             f"the most the run waits (max_wait {self._pacer.max_wait:g} s)")
                return False
        seen.requests += 1
        return True

    def answered(self, status: int, headers: Mapping[str, str], body: bytes | None) -> str:
        """A reply to the request last admitted, with the start of its body for a refusal: DONE
        (hand it on), AGAIN (held: send it again) or FINAL (a refusal no wait will pass: the
        client is not to retry it)."""
        seen, pacer = self._seen(), self._pacer
        seen.charged |= status < 400
        if pacer is None or seen.ticket is None:
            return DONE
        found = None if body is None else _refusals.refusal(status, headers, body)
        if found is None or found.final:
            pacer.answered(seen.ticket, status, headers)
            if found is None:
                return DONE
            seen.note = f"HTTP {status}: {found.message}"
            return FINAL
        if pacer.answered(seen.ticket, status, headers, True, found.wait, found.unit):
            return AGAIN
        seen.note = (f"HTTP {status}: the service asked to wait {found.wait:g} s, longer than the run "
                     f"waits (max_wait {pacer.max_wait:g} s)")
        return FINAL

    def lost(self) -> None:
        """The request last admitted got no reply."""
        seen = self._seen()
        seen.charged = True  # it may have reached the service
        if self._pacer is not None and seen.ticket is not None:
            self._pacer.lost(seen.ticket)

    def too_large(self, limit: int) -> None:
        """The transport stopped reading a reply longer than `limit` bytes."""
        self._seen().note = f"the reply was too large: longer than {limit} bytes, the most factsift reads"

    def replied(self, reply: Any) -> None:
        """The completion a request returned: keeps its usage, and tells the pace what it used
        (a usage whose counts are not sane tells it nothing)."""
        seen = self._seen()
        model = getattr(reply, "model", None)
        seen.model = model[:MAX_MODEL_NAME] if isinstance(model, str) and model else None
        usage = getattr(reply, "usage", None)
        seen.usage = None if usage is None else plain_usage(usage)
        if seen.usage is None or usage_problem(seen.usage) is not None:
            return
        if self._tokens is not None:
            self._tokens.learn(seen.counted, seen.usage)
        total = seen.usage.get("total_tokens")
        if self._pacer is not None and seen.ticket is not None and isinstance(total, int):
            self._pacer.used(seen.ticket, total)

    def reserve(self, messages: Iterable[Any], model: object) -> bool:
        """With a budget, before the calling thread's input is worked on: waits until the most its
        request can cost fits (`messages` are its texts as the caller gave them: the request adds
        the module's instruction); False when the budget has no room left (the input is not to be
        sent)."""
        if self._budget is None:
            return True
        seen, tokens = self._seen(), self._tokens
        seen.text_counted = 0.0 if tokens is None else tokens.counted(messages, model)
        seen.reserved = self._budget.reserve(0.0 if tokens is None else tokens.prompt(seen.text_counted))
        return seen.reserved is not None

    def end(self) -> None:
        """The calling thread's input is done: its reservation is settled by its usage, and where
        there is none, at the most it could cost if the service may have charged it."""
        seen = self._seen()
        if self._budget is None or seen.reserved is None:
            return
        usage = seen.usage if seen.usage is not None and usage_problem(seen.usage) is None else None
        added = seen.counted - seen.text_counted if seen.counted else None  # the module's instruction
        seen.at_most = self._budget.settle(seen.reserved, usage, seen.charged, added)
        seen.reserved = None


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


def client_options(settings: ClientSettings, tally: Tally, package: ModuleType,
                   limit: int | None = None) -> dict[str, Any]:
    """The keyword options of every client of the run: an HTTP client that sends through
    factsift's transport (the whole-request time-out, replies of at most `limit` bytes, by default
    MAX_REPLY_BYTES; the environment's proxies; the run's pace, through `tally`: see
    factsift.clients._transport)."""
    httpx = _httpx_of(package)
    options: dict[str, Any] = {"max_retries": settings.retries}
    if settings.timeout is not None:
        options["timeout"] = settings.timeout
    limit = _transport.MAX_REPLY_BYTES if limit is None else limit
    http = _transport.client_options(httpx, settings.timeout, limit, tally.too_large, tally)
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
               base: Factory | None = None, budget: Budget | None = None) -> Iterator[RunClients]:
    """The clients of a run, for the threads that bind them, inside a ``with`` block.

    Their factory builds each client from `base` (default: what a run started
    in the calling thread builds on, ``_seam.run_base()``) with
    ``max_retries=``, ``timeout=`` and an ``http_client`` whose hooks wait for
    the rate limit and count the requests; with ``settings.share``, one client
    per service and key. Only the threads that call ``bind_thread()`` use it:
    the module global dispatches their calls to it while the block runs.
    """
    package = client_package()
    tally = Tally(pacer, tokens, budget)
    options = client_options(settings, tally, package)
    base = _seam.run_base() if base is None else base
    building = _Building(base, options, tally)
    with _seam.opened():
        yield RunClients(SharedClients(building) if settings.share else building, base, tally)
