"""Clients that stand in for the service around a batch-interface run.

The module makes its requests itself, through the module global ``OpenAI``.
A run through the service's batch interface lets it make them twice without
sending anything: once with a recording client, which keeps the keyword
arguments of each ``chat.completions.create`` and answers with an empty
completion, so the requests can be written into the batch's input file; and
once, when the batch has ended, with a replaying client, which checks that
the request is the one recorded and hands back the reply the batch brought,
as the client package would have made it out of an online reply (a status of
400 or more raises the package's own status error). So each record is made
by the module exactly as an online run makes it.
"""

from __future__ import annotations

import contextlib
import importlib
import threading
from collections.abc import Callable, Iterator
from types import ModuleType, SimpleNamespace
from typing import Any

from factsift.clients._run import _httpx_of, client_package
from factsift.clients import _seam

Request = dict[str, Any]

# The package's status errors by status, as the client maps them.
_STATUS_ERRORS = {400: "BadRequestError", 401: "AuthenticationError", 403: "PermissionDeniedError",
                  404: "NotFoundError", 409: "ConflictError", 422: "UnprocessableEntityError",
                  429: "RateLimitError"}
_ENDPOINT_URL = "https://batch.invalid/v1/chat/completions"


class ReplayMismatch(Exception):
    """The module asked for something other than what was recorded for this input."""


# -- recording ---------------------------------------------------------------------------------

class _Completions:
    __slots__ = ("_sink",)

    def __init__(self, sink: Callable[[Request], None]) -> None:
        self._sink = sink

    def create(self, **request: Any) -> Any:
        self._sink(request)
        return _EMPTY_COMPLETION


_EMPTY_COMPLETION = SimpleNamespace(
    choices=[SimpleNamespace(message=SimpleNamespace(role="assistant", content=""))], usage=None)


class Recorder:
    """Stands in for ``OpenAI`` while requests are recorded: ``take()`` gives the calling thread's
    requests since its last ``take()``."""

    def __init__(self) -> None:
        self._local = threading.local()

    def _requests(self) -> list[Request]:
        requests: list[Request] | None = getattr(self._local, "requests", None)
        if requests is None:
            requests = self._local.requests = []
        return requests

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return SimpleNamespace(chat=SimpleNamespace(completions=_Completions(self._requests().append)))

    def take(self) -> list[Request]:
        requests = self._requests()
        self._local.requests = []
        return requests


@contextlib.contextmanager
def recording() -> Iterator[Recorder]:
    """Inside the block the calling thread's requests (and those of runs it starts) are recorded,
    not sent."""
    recorder = Recorder()
    with _seam.bound(recorder):
        yield recorder


# -- replaying ---------------------------------------------------------------------------------

class Expected:
    """What one input's call may ask and gets: `matches(request)` says whether a request is the
    one recorded (None: no request was recorded); `status` and `body` are the batch's reply."""

    __slots__ = ("matches", "status", "body", "problem")
    matches: Callable[[Request], bool] | None
    status: int
    body: Any
    problem: str | None

    def __init__(self, matches: Callable[[Request], bool] | None, status: int = 0, body: Any = None) -> None:
        self.matches, self.status, self.body = matches, status, body
        self.problem = None  # set when the call asked for something else


class Replayer:
    """Stands in for ``OpenAI`` while records are made from a batch's replies."""

    def __init__(self, package: ModuleType) -> None:
        self._package = package
        self._local = threading.local()
        self._completion = completion_builder(package)

    @contextlib.contextmanager
    def expecting(self, expected: Expected) -> Iterator[Expected]:
        """The calling thread's requests inside the block are answered from `expected`."""
        self._local.expected = expected
        try:
            yield expected
        finally:
            self._local.expected = None

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return SimpleNamespace(chat=SimpleNamespace(completions=SimpleNamespace(create=self._create)))

    def _create(self, **request: Any) -> Any:
        expected: Expected | None = getattr(self._local, "expected", None)
        if expected is None or expected.matches is None or not expected.matches(request):
            problem = ("the module's request differs from the one sent in the batch "
                       "(were the input or the settings changed?)")
            if expected is not None:
                expected.problem = problem
            raise ReplayMismatch(problem)
        expected.matches = None  # one request per input
        if expected.status >= 400:
            raise status_error(self._package, expected.status, expected.body)
        if not isinstance(expected.body, dict):
            raise ValueError(f"the batch's reply is not a JSON object: {expected.body!r:.200}")
        return self._completion(expected.body)


@contextlib.contextmanager
def replaying() -> Iterator[Replayer]:
    """Inside the block the calling thread's requests (and those of runs it starts) are answered
    by a Replayer, not sent."""
    replayer = Replayer(client_package())
    with _seam.bound(replayer):
        yield replayer


def completion_builder(package: ModuleType) -> Callable[[dict[str, Any]], Any]:
    """How the package makes a chat completion out of a reply's JSON, without validating it."""
    try:
        completion = importlib.import_module(package.__name__ + ".types.chat").ChatCompletion
    except (ImportError, AttributeError):
        completion = getattr(getattr(package, "_models", None), "ChatCompletion", None)
    if hasattr(completion, "construct"):  # the real client's models
        return lambda body: completion.construct(**body)
    return _plain_object


class _Plain(SimpleNamespace):
    def model_dump(self) -> dict[str, Any]:
        return {key: value.model_dump() if isinstance(value, _Plain) else value
                for key, value in vars(self).items()}


def _plain_object(value: Any) -> Any:
    """JSON objects as objects with attributes, for a client package whose models are unknown."""
    if isinstance(value, dict):
        return _Plain(**{str(key): _plain_object(item) for key, item in value.items()})
    if isinstance(value, list):
        return [_plain_object(item) for item in value]
    return value


def status_error(package: ModuleType, status: int, body: Any) -> Exception:
    """The package's error for a reply of `status` (400 or more), worded as the client words it."""
    name = "InternalServerError" if status >= 500 else _STATUS_ERRORS.get(status, "APIStatusError")
    cls = getattr(package, name, None) or package.APIStatusError
    data = body.get("error", body) if isinstance(body, dict) else body
    error: Exception = cls(f"Error code: {status} - {body}", response=_response(package, status, body), body=data)
    return error


def _response(package: ModuleType, status: int, body: Any) -> Any:
    httpx = _httpx_of(package)
    request = httpx.Request("POST", _ENDPOINT_URL)
    if isinstance(body, (dict, list)):
        return httpx.Response(status, json=body, request=request)
    return httpx.Response(status, text=str(body), request=request)
