"""The openai client against factsift.devserver and scripted servers over real HTTP on 127.0.0.1.

Tests that take `oa` run with each client this interpreter has (ids "real",
"standin": both on CPython 3.14 and later), and so show the stand-in doing
what the real openai 3.6 does. Tests that take `standin` check what only the
stand-in has: its whole-request deadline, its bounds, its parser and waits.
"""

import asyncio
import contextlib
import email.utils
import gc
import gzip
import json
import math
import socket
import threading
import time
import warnings
import zlib
from unittest import mock

import pytest

import openai_standin
from devserver_fixtures import completion, devserver, http_reply, read_log, scripted_server, user  # noqa: F401

ARTICLE = "据统计，2024年江州市GDP同比增长5.2%，居民人均收入达到6.8万元。"
KINDS = ["sync", "async"]
# "sync-timeouts": the stand-in's blocking client waiting through socket time-outs, as it does over TLS.
KINDS_WAITS = ["sync", "sync-timeouts", "async"]


@pytest.fixture
def oa(openai_package):
    """Each client package in turn: the behaviour both must share."""
    return openai_package


@pytest.fixture
def standin():
    """The stand-in package, beside the real one where that is installed."""
    return openai_standin.package(openai_standin.STANDIN)


def is_standin(package):
    return openai_standin.which(package) == openai_standin.STANDIN


def client(oa, server, **options):
    options.setdefault("api_key", "sk-test")
    options.setdefault("max_retries", 0)
    return oa.OpenAI(base_url=server.url, **options)


def converse(oa, kind, server, models, before=None, requests=None, **options):
    """The reply texts to one request per model, in turn, through one client of that kind.

    before(i), if given, runs before request i (in a worker thread for the async client).
    Each HTTP request the client sends is appended to `requests`, if given, by its
    HTTP client's request hook. Returns the exception instead of a reply when a request raises.
    """
    if requests is not None:
        options["http_client"] = hooked(oa, kind, request=requests.append)
    if kind == "sync-timeouts":
        if not is_standin(oa):
            pytest.skip("the stand-in's own ways of waiting")
        with mock.patch.object(oa._connection, "PLAIN_CONNECTION", oa._connection.Connection):
            return converse(oa, "sync", server, models, before, **options)
    if kind == "sync":
        c = client(oa, server, **options)
        return [_outcome(oa, lambda: c.chat.completions.create(model=m, messages=user(f"#{i}")), before, i)
                for i, m in enumerate(models)]

    async def run():
        options.setdefault("api_key", "sk-test")
        options.setdefault("max_retries", 0)
        async with oa.AsyncOpenAI(base_url=server.url, **options) as c:
            replies = []
            for i, model in enumerate(models):
                if before:
                    await asyncio.to_thread(before, i)
                try:
                    replies.append(_text(await c.chat.completions.create(model=model, messages=user(f"#{i}"))))
                except oa.APIError as exc:
                    replies.append(exc)
            return replies
    return asyncio.run(run())


def hooked(oa, kind, **hooks):
    """An HTTP client of that kind whose hooks call the given functions (awaited ones for async)."""
    if kind != "async":
        return oa.DefaultHttpxClient(event_hooks={event: [call] for event, call in hooks.items()})

    def awaited(call):
        async def hook(target):
            call(target)
        return hook
    return oa.DefaultAsyncHttpxClient(event_hooks={event: [awaited(call)] for event, call in hooks.items()})


def _outcome(oa, call, before, i):
    if before:
        before(i)
    try:
        return _text(call())
    except oa.APIError as exc:
        return exc


def _text(reply):
    return reply.choices[0].message.content


def ask(oa, kind, server, model="m", **options):
    """The reply text to one request through a new client of that kind; raises what it raises."""
    [outcome] = converse(oa, kind, server, [model], **options)
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


def serve(*answers):
    """A scripted server giving these raw replies in turn."""
    replies = iter(answers)
    return scripted_server(lambda handler: handler.wfile.write(next(replies)))


@pytest.fixture
def no_waits(oa, monkeypatch):
    """The stand-in's waits between attempts, recorded instead of slept (the real client sleeps)."""
    waits = []
    if is_standin(oa):
        async def sleep(seconds):
            waits.append(seconds)
        monkeypatch.setattr(oa._transport, "sleep", waits.append)
        monkeypatch.setattr(asyncio, "sleep", sleep)
    return waits


@pytest.mark.parametrize("base, path", [
    ("{url}", "/v1/chat/completions"),
    ("{url}/", "/v1/chat/completions"),
    ("{root}", "/chat/completions"),
])
def test_request_is_sent_as_given_and_reply_parsed(oa, devserver, base, path):
    messages = [{"role": "system", "content": "你是事实核查助手"}] + user(ARTICLE)
    c = oa.OpenAI(base_url=base.format(url=devserver.url, root=devserver.url[:-len("/v1")]), api_key="sk-test")
    reply = c.chat.completions.create(model="echo", messages=messages, stream=False, temperature=0.2)

    [entry] = read_log(devserver.log_path)
    assert entry["path"] == path
    assert entry["headers"]["Authorization"] == "Bearer sk-test"
    assert entry["headers"]["Content-Type"].startswith("application/json")
    assert entry["body"] == {"model": "echo", "messages": messages, "stream": False, "temperature": 0.2}
    assert reply.choices[0].message.content == ARTICLE
    assert reply.choices[0].message.role == "assistant"
    assert reply.model == "echo" and reply.id.startswith("chatcmpl-")
    assert reply.usage.total_tokens == reply.usage.prompt_tokens + reply.usage.completion_tokens > 0


@pytest.mark.parametrize("status, error", [
    (400, "BadRequestError"), (401, "AuthenticationError"), (403, "PermissionDeniedError"),
    (404, "NotFoundError"), (418, "APIStatusError"), (429, "RateLimitError"),
    (500, "InternalServerError"), (503, "InternalServerError"),
])
def test_http_errors_raise_the_matching_status_error(oa, devserver, status, error):
    with pytest.raises(oa.APIStatusError) as info:
        client(oa, devserver).chat.completions.create(model=f"status:{status}", messages=user("x"))
    assert type(info.value) is getattr(oa, error)
    assert info.value.status_code == info.value.response.status_code == status
    assert f"HTTP {status}" in info.value.message and info.value.message.startswith(f"Error code: {status} - ")
    assert isinstance(info.value.body, dict) and f"HTTP {status}" in info.value.body["message"]


@pytest.mark.parametrize("body, message, error_body", [
    (b'{"error": {"message": "m", "code": "c"}}', "Error code: 400 - {'error': {'message': 'm', 'code': 'c'}}",
     {"message": "m", "code": "c"}),
    (b"  not json ", "not json", "not json"),
    (b"", "Error code: 400", ""),
    (b"[" * 100_000, "[" * 100_000, "[" * 100_000),
], ids=["json", "text", "empty", "nested"])
def test_status_errors_carry_the_reply_as_the_real_client_words_it(oa, body, message, error_body):
    with serve(http_reply(400, body, X_Request_Id="req-1")) as server:
        with pytest.raises(oa.BadRequestError) as info:
            client(oa, server).chat.completions.create(model="m", messages=user("x"))
    assert (info.value.message, info.value.body, info.value.request_id) == (message, error_body, "req-1")
    assert info.value.code == (error_body["code"] if isinstance(error_body, dict) else None)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("model, options, error", [
    ("status:429", {}, "RateLimitError"),
    ("bad-json", {}, json.JSONDecodeError),  # not wrapped: the real client lets it through
    ("drop", {}, "APIConnectionError"),
    ("delay:30", {"timeout": 0.3}, "APITimeoutError"),
])
def test_broken_replies_raise(oa, devserver, kind, model, options, error):
    with pytest.raises(Exception) as info:
        ask(oa, kind, devserver, model, **options)
    assert type(info.value) is (getattr(oa, error) if isinstance(error, str) else error)


@pytest.mark.parametrize("headers, body, expected", [
    ({"Content-Type": "application/json"}, b"[" * 100_000, RecursionError),
    ({"Content-Type": "application/json"}, b"[1, 2]", [1, 2]),
    ({"Content-Type": "application/json"}, b"null", None),
    ({}, b"[" * 100_000, "[" * 100_000),  # not said to be JSON: its text
    ({"Content-Type": "text/plain"}, completion("好"), "好"),  # JSON whatever it says
], ids=["nested", "array", "null", "nested-untyped", "text-type"])
def test_replies_that_are_not_completions_come_back_as_the_real_client_gives_them(oa, headers, body, expected):
    with serve(http_reply(200, body, **headers)) as server:
        with pytest.raises(expected) if expected is RecursionError else contextlib.nullcontext():
            reply = client(oa, server).chat.completions.create(model="m", messages=user("x"))
    if expected is not RecursionError:
        assert (_text(reply) if isinstance(expected, str) and expected == "好" else reply) == expected


@pytest.mark.parametrize("kind", KINDS_WAITS)
def test_a_request_cut_off_by_its_deadline_leaves_no_reply_behind(oa, devserver, kind):
    # Were the connection kept, the next request would read the late reply to the first.
    replies = converse(oa, kind, devserver, ["delay:0.6", "echo"], timeout=0.3,
                       before=lambda i: i and time.sleep(0.6))
    assert type(replies[0]) is oa.APITimeoutError and replies[1] == "#1"


@pytest.mark.parametrize("kind", KINDS_WAITS)
def test_connections_are_kept_alive_and_replaced_once_the_server_closes_them(oa, kind):
    # The server keeps the first connection for two requests, then closes it without a word.
    def answer(handler):
        handler.close_connection = len(handler.server.seen) == 2
        handler.wfile.write(http_reply(200, completion(str(len(handler.server.seen))), close=False))

    with scripted_server(answer) as server:
        replies = converse(oa, kind, server, ["m"] * 3,
                           before=lambda i: i == 2 and server.closed.acquire(timeout=10))
    ports = [request.port for request in server.seen]
    assert replies == ["1", "2", "3"] and ports[0] == ports[1] != ports[2]


@pytest.mark.parametrize("kind", KINDS)
def test_a_dropped_client_closes_its_connections_at_once(standin, kind):
    # factsift builds a client per call unless clients are shared: kept connections must not pile up.
    def answer(handler):
        handler.close_connection = False
        handler.wfile.write(http_reply(200, completion("x"), close=False))

    async def drop_async(server):
        c = standin.AsyncOpenAI(base_url=server.url, api_key="k")
        await c.chat.completions.create(model="m", messages=user("x"))
        del c
        return await asyncio.to_thread(server.closed.acquire, True, 5)

    with scripted_server(answer) as server:
        if kind == "async":
            closed = asyncio.run(drop_async(server))
        else:
            client(standin, server).chat.completions.create(model="m", messages=user("x"))
            closed = server.closed.acquire(timeout=5)
    assert closed


def test_a_connection_in_use_when_its_client_closes_is_closed_after_its_exchange(standin):
    def answer(handler):
        handler.close_connection = False
        handler.wfile.write(http_reply(200, completion("x"), close=False))

    with scripted_server(answer) as server:
        c = client(standin, server, http_client=standin.DefaultHttpxClient(event_hooks={"request": [lambda r: c.close()]}))
        assert _text(c.chat.completions.create(model="m", messages=user("x"))) == "x"
        assert server.closed.acquire(timeout=5)


def test_an_async_client_serves_a_later_event_loop(standin, devserver):
    # The real client fails there with a connection error.
    c = standin.AsyncOpenAI(base_url=devserver.url, api_key="k", max_retries=0)
    create = c.chat.completions.create
    # asyncio warns of the connection the first loop left open when it closed.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        replies = [asyncio.run(create(model="echo", messages=user(text))) for text in ("a", "b")]
        del c, create
        gc.collect()
    assert [_text(reply) for reply in replies] == ["a", "b"]


REPLY = completion("好")
# JSON may hold a blank CRLF line between its tokens: it is not the end of a head.
REPLY_WITH_BLANK_LINE = REPLY.replace(b'"choices": [', b'"choices": [\r\n\r\n')


def chunked(body, size):
    pieces = [body[i:i + size] for i in range(0, len(body), size)]
    return b"".join(b"%x;ext=1\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\nX-Trailer: 1\r\n\r\n"


def deflated(data):
    compressor = zlib.compressobj(wbits=-zlib.MAX_WBITS)
    return compressor.compress(data) + compressor.flush()


FRAMINGS = {
    "chunked": (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(REPLY, 7), "好"),
    "interim": (b"HTTP/1.1 100 Continue\r\n\r\n" + http_reply(200, REPLY), "好"),
    "until-close": (b"HTTP/1.1 200 OK\r\nX-Folded: a\r\n b\r\n\r\n" + REPLY, "好"),
    "bare-lf-head": (b"HTTP/1.1 200 OK\nContent-Length: %d\n\n" % len(REPLY_WITH_BLANK_LINE)
                     + REPLY_WITH_BLANK_LINE, "好"),
    "gzip": (http_reply(200, gzip.compress(REPLY), Content_Encoding="gzip"), "好"),
    "gzip-twice": (http_reply(200, gzip.compress(gzip.compress(REPLY)), Content_Encoding="GZIP, gzip"), "好"),
    "deflate": (http_reply(200, zlib.compress(REPLY), Content_Encoding="deflate"), "好"),
    "raw-deflate": (http_reply(200, deflated(REPLY), Content_Encoding="deflate"), "好"),
    "unknown-coding": (http_reply(200, REPLY, Content_Encoding="x-unknown"), "好"),
    "bad-gzip": (http_reply(200, REPLY, Content_Encoding="gzip"), "APIConnectionError"),
    "nothing": (b"", "APIConnectionError"),
    "status-line": (b"HTTP/1.1 2OO OK\r\n\r\n", "APIConnectionError"),
    "header-line": (b"HTTP/1.1 200 OK\r\nno colon\r\n\r\n", "APIConnectionError"),
    "length": (b"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", "APIConnectionError"),
    "cut-short": (b"HTTP/1.1 200 OK\r\nContent-Length: 99999\r\n\r\n" + REPLY, "APIConnectionError"),
    "chunk-size": (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "APIConnectionError"),
}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("framing", FRAMINGS)
def test_replies_are_read_as_http_frames_them(oa, kind, framing):
    raw, expected = FRAMINGS[framing]
    with scripted_server(lambda handler: handler.wfile.write(raw)) as server:  # all in one write
        [outcome] = converse(oa, kind, server, ["m"])
    assert outcome == expected if expected == "好" else type(outcome) is getattr(oa, expected)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("api_key, error", [("sk-1\r\nX-Injected: 1", "APIConnectionError"),
                                            ("ключ", UnicodeEncodeError), ("clé", UnicodeEncodeError)])
def test_headers_http_cannot_carry_are_refused_before_sending(oa, devserver, kind, api_key, error):
    with pytest.raises(getattr(oa, error) if isinstance(error, str) else error):
        ask(oa, kind, devserver, api_key=api_key, max_retries=2)
    assert read_log(devserver.log_path) == []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("host, path", [
    ("127.0.0.1\0.invalid", "/v1"),  # the socket layer would stop at the NUL: 127.0.0.1
    ("127.0.0.1\t", "/v1"),
    ("127.0.0.1\x7f", "/v1"),
    ("127.0.0.1", "/v\0"),
], ids=["nul-host", "tab-host", "del-host", "nul-path"])
def test_a_url_with_a_control_character_is_refused_before_anything_is_sent(oa, client_choice, kind, host, path):
    with serve(http_reply(200, REPLY)) as server:
        port = server.url.split(":")[-1].split("/")[0]
        url = f"http://{host}:{port}{path}"
        # The real client refuses the URL when it is made (httpx's InvalidURL), the stand-in when it is used.
        with pytest.raises(Exception) as info:
            if kind == "sync":
                oa.OpenAI(base_url=url, api_key="k", max_retries=0).chat.completions.create(model="m", messages=user("x"))
            else:
                asyncio.run(oa.AsyncOpenAI(base_url=url, api_key="k", max_retries=0).chat.completions.create(
                    model="m", messages=user("x")))
    assert type(info.value).__name__ == {"real": "InvalidURL", "standin": "APIConnectionError"}[client_choice]
    assert server.seen == []


def test_refused_connection_is_a_connection_error(oa):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    c = oa.OpenAI(base_url=f"http://127.0.0.1:{port}/v1", api_key="k", max_retries=0)
    with pytest.raises(oa.APIConnectionError) as info:
        c.chat.completions.create(model="echo", messages=user("x"))
    assert not isinstance(info.value, oa.APITimeoutError)


@pytest.mark.parametrize("model, choices", [
    ("empty-choices", []),
    ("null-content", [None]),
])
def test_degenerate_completions_pass_through(oa, devserver, model, choices):
    reply = client(oa, devserver).chat.completions.create(model=model, messages=user("x"))
    assert [choice.message.content for choice in reply.choices] == choices


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("model, max_retries, expected_requests", [
    ("status:500", 2, 3),
    ("status:503", 1, 2),
    ("status:429", 1, 2),
    ("status:408", 1, 2),
    ("status:409", 1, 2),
    ("drop", 1, 2),
    ("delay:30", 1, 2),  # a time-out
    ("status:400", 2, 1),
    ("status:404", 2, 1),
    ("echo", 2, 1),
])
def test_retries_only_transient_failures(oa, devserver, no_waits, kind, model, max_retries, expected_requests):
    requests = []
    [outcome] = converse(oa, kind, devserver, [model], requests=requests, max_retries=max_retries, timeout=0.3)
    assert isinstance(outcome, str if model == "echo" else oa.APIError)
    assert len(read_log(devserver.log_path)) == len(requests) == expected_requests
    assert all(r.method == "POST" and str(r.url).endswith("/v1/chat/completions") for r in requests)


def test_a_client_retries_twice_unless_told_otherwise(oa, devserver, no_waits):
    with pytest.raises(oa.InternalServerError):
        oa.OpenAI(base_url=devserver.url, api_key="k").chat.completions.create(model="status:500", messages=user("x"))
    assert len(read_log(devserver.log_path)) == 3


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("status, headers, sent", [
    (429, {"Retry-After": "121"}, 1),  # asks for longer than two minutes: not retried
    (429, {"retry-after-ms": "121000"}, 1),
    (500, {"x-should-retry": "false"}, 1),
    (400, {"x-should-retry": "true", "retry-after-ms": "10"}, 2),
    (400, {"x-should-retry": "True"}, 1),  # the exact word only
    (400, {"x-should-retry": "true", "Retry-After": "121"}, 1),
    (503, {"retry-after-ms": "10"}, 2),
])
def test_the_reply_decides_whether_it_is_retried(oa, kind, status, headers, sent):
    with serve(http_reply(status, b"{}", **headers), http_reply(200, completion("ok"))) as server:
        [outcome] = converse(oa, kind, server, ["m"], max_retries=1)
    assert len(server.seen) == sent
    assert outcome == "ok" if sent == 2 else outcome.status_code == status


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("event", ["request", "response"])
def test_a_hook_that_waits_spends_none_of_the_timeout(oa, devserver, kind, event):
    # A rate limit waits in the hook; the request itself must still get its whole time-out.
    http_client = hooked(oa, kind, **{event: lambda target: time.sleep(0.5)})
    assert ask(oa, kind, devserver, "echo", timeout=0.3, http_client=http_client) == "#0"


@pytest.mark.parametrize("kind", KINDS)
def test_response_hooks_see_every_response_after_its_head_and_before_its_body(oa, kind):
    # Each body is held back until the hook has seen its response: read first, it would never come.
    seen, body_may_come = [], threading.Event()

    def answer(handler):
        n = len(handler.server.seen)
        status, headers, body = [(307, {"Location": "/v1/again"}, b""), (500, {"retry-after-ms": "10"}, b"{}"),
                                 (200, {}, completion("done"))][n - 1]
        raw = http_reply(status, body, X_Hop=str(n), **headers)
        head, _, rest = raw.partition(b"\r\n\r\n")
        handler.wfile.write(head + b"\r\n\r\n")
        handler.wfile.flush()
        if body_may_come.wait(5):
            body_may_come.clear()
            handler.wfile.write(rest)

    def response(r):
        seen.append((r.status_code, r.headers["x-hop"], r.headers.get("X-HOP"), r.request.method,
                     str(r.request.url).rsplit("/", 1)[-1]))
        body_may_come.set()

    with scripted_server(answer) as server:
        reply = ask(oa, kind, server, max_retries=1, http_client=hooked(oa, kind, response=response))
    assert reply == "done"
    assert seen == [(307, "1", "1", "POST", "completions"), (500, "2", "2", "POST", "again"),
                    (200, "3", "3", "POST", "completions")]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("event", ["request", "response"])
def test_a_hook_that_raises_fails_its_attempt_as_a_connection_error(oa, kind, event, no_waits):
    calls = []

    def fail(target):
        calls.append(target)
        raise KeyError("hook")

    with serve(*[http_reply(200, REPLY)] * 3) as server:
        with pytest.raises(oa.APIConnectionError) as info:
            ask(oa, kind, server, max_retries=2, http_client=hooked(oa, kind, **{event: fail}))
    assert isinstance(info.value.__cause__, KeyError) and len(calls) == 3
    assert len(server.seen) == (0 if event == "request" else 3)


@pytest.mark.parametrize("kind", KINDS)
def test_a_hook_that_raises_an_api_error_ends_the_call_with_it(oa, kind):
    def stop(request):
        raise oa.APIConnectionError(message="stopped by the hook", request=request)

    with serve(http_reply(200, REPLY)) as server:
        with pytest.raises(oa.APIConnectionError, match="stopped by the hook"):
            ask(oa, kind, server, max_retries=2, http_client=hooked(oa, kind, request=stop))
    assert server.seen == []


@pytest.mark.parametrize("kind", KINDS)
def test_an_http_client_gives_its_headers_timeout_and_redirect_choice(oa, kind, devserver):
    options = {"headers": {"X-From-Client": "1"}, "follow_redirects": False, "timeout": 0.3,
               "trust_env": False, "max_redirects": 3}
    http_client = (oa.DefaultAsyncHttpxClient if kind == "async" else oa.DefaultHttpxClient)
    with pytest.raises(oa.APITimeoutError):
        ask(oa, kind, devserver, "delay:30", http_client=http_client(**options))
    with serve(http_reply(307, b"", Location="/v1/final")) as server:
        with pytest.raises(oa.APIStatusError) as info:
            ask(oa, kind, server, http_client=http_client(**options))
    assert info.value.status_code == 307 and len(server.seen) == 1
    assert server.seen[0].headers["X-From-Client"] == "1"


def test_options_the_stand_in_has_no_use_for_are_accepted(standin, devserver):
    http_client = standin.DefaultHttpxClient(transport=object(), limits=object(), proxy="http://proxy.test:1",
                                             verify=False, cert=None, http2=True, mounts={})
    c = client(standin, devserver, http_client=http_client, organization=None, websocket_base_url=None)
    assert _text(c.chat.completions.create(model="echo", messages=user("x"))) == "x"


@pytest.mark.parametrize("kind", KINDS_WAITS)
@pytest.mark.parametrize("timeout", [3e6, 1e12, math.inf])
def test_a_time_out_of_any_size_is_waited_for(oa, devserver, kind, timeout):
    if timeout > 1e9 and not is_standin(oa):
        pytest.skip("the real client cannot wait that long (it fails with a connection error)")
    assert ask(oa, kind, devserver, "echo", timeout=timeout) == "#0"


USAGE = {"prompt_tokens": 9, "completion_tokens": 3, "total_tokens": 12,
         "prompt_tokens_details": {"cached_tokens": 4}, "completion_tokens_details": {"reasoning_tokens": 1, "x": 2}}


def test_usage_and_its_details_are_attributes_and_dumped_as_the_real_models_dump_them(oa):
    body = json.loads(completion("好"))
    body["usage"], body["extra"] = USAGE, [1]
    with serve(http_reply(200, json.dumps(body).encode()), http_reply(200, completion("好"))) as server:
        c = client(oa, server)
        reply, bare = (c.chat.completions.create(model="m", messages=user("x")) for _ in range(2))
    usage = reply.usage
    assert (usage.prompt_tokens, usage.prompt_tokens_details.cached_tokens) == (9, 4)
    assert (usage.completion_tokens_details.reasoning_tokens, usage.completion_tokens_details.audio_tokens) == (1, None)
    assert usage.completion_tokens_details.x == 2 and reply.extra == [1] and reply.system_fingerprint is None
    assert reply.to_dict() == body
    assert reply.model_dump()["usage"] == {
        "completion_tokens": 3, "prompt_tokens": 9, "total_tokens": 12,
        "completion_tokens_details": {"accepted_prediction_tokens": None, "audio_tokens": None, "reasoning_tokens": 1,
                                      "rejected_prediction_tokens": None, "text_tokens": None, "x": 2},
        "compute_units": None,
        "prompt_tokens_details": {"audio_tokens": None, "cache_write_tokens": None, "cached_tokens": 4,
                                  "image_tokens": None, "text_tokens": None}}
    assert list(reply.model_dump()) == ["id", "choices", "created", "model", "object", "metadata", "moderation",
                                        "service_tier", "system_fingerprint", "usage", "extra"]
    assert bare.usage is None and bare.model_dump()["choices"][0]["message"]["tool_calls"] is None


def test_settings_fall_back_to_environment(oa, devserver, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-from-env")
    monkeypatch.setenv("OPENAI_BASE_URL", devserver.url)
    oa.OpenAI(max_retries=0).chat.completions.create(model="echo", messages=user("x"))
    [entry] = read_log(devserver.log_path)
    assert entry["headers"]["Authorization"] == "Bearer sk-from-env"


def test_missing_api_key_is_refused_up_front(oa, monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(oa.OpenAIError, match="api_key"):
        oa.OpenAI(base_url="http://127.0.0.1:9/v1")


@pytest.mark.parametrize("messages", [[{"role": "user", "content": "a\ud800"}], [{"role": "user", "content": math.nan}]],
                         ids=["lone-surrogate", "nan"])
def test_a_body_json_cannot_carry_is_refused_before_sending(oa, devserver, messages):
    with pytest.raises((UnicodeEncodeError, ValueError)):
        client(oa, devserver).chat.completions.create(model="echo", messages=messages)
    assert read_log(devserver.log_path) == []


def test_streaming_is_refused_before_sending(standin, devserver):
    with pytest.raises(NotImplementedError):
        client(standin, devserver).chat.completions.create(model="echo", messages=user("x"), stream=True)
    assert read_log(devserver.log_path) == []


@pytest.mark.parametrize("status, location, followed, error", [
    # A completion in a redirect's body is never taken as the reply.
    (302, None, [], "APIStatusError"),
    (307, "/v1/final", [("POST", "/v1/final", True, True)], None),
    (308, "/v1/final", [("POST", "/v1/final", True, True)], None),
    (301, "/v1/final", [("GET", "/v1/final", False, True)], None),
    # Another origin does not get the key.
    (303, "http://localhost:{port}/v1/final", [("GET", "/v1/final", False, False)], None),
    (307, "/v1/chat/completions", [("POST", "/v1/chat/completions", True, True)] * 20, "APIConnectionError"),
])
@pytest.mark.parametrize("kind", KINDS)
def test_redirects_are_followed_as_the_real_client_does(oa, kind, status, location, followed, error):
    def answer(handler):
        if handler.path == "/v1/final":
            return handler.wfile.write(http_reply(200, completion("followed")))
        port = handler.server.server_address[1]
        headers = {"Location": location.format(port=port)} if location else {}
        handler.wfile.write(http_reply(status, completion("redirect body"), **headers))

    requests = []
    with scripted_server(answer) as server:
        with pytest.raises(getattr(oa, error)) if error else contextlib.nullcontext():
            reply = ask(oa, kind, server, requests=requests)
    assert [(r.method, r.path, bool(r.body), "Authorization" in r.headers)
            for r in server.seen[1:]] == followed
    assert len(requests) == len(server.seen)  # the hook sees every hop
    if not error:
        assert reply == "followed"


# The stand-in's own: its whole-request deadline, waits, bounds and parser.

@pytest.mark.parametrize("kind", KINDS_WAITS)
@pytest.mark.parametrize("slow_from", [0, -20], ids=["headers", "body"])
def test_timeout_bounds_the_whole_request(standin, kind, slow_from):
    # After a fast start the rest arrives one byte every 0.1 s: each read is far
    # within the time-out, the whole reply (some 30 s) far beyond it.
    def answer(handler):
        data = http_reply(200, completion("x" * 300))
        handler.wfile.write(data[:slow_from])
        for byte in data[slow_from:]:
            handler.wfile.write(bytes([byte]))
            time.sleep(0.1)

    with scripted_server(answer) as server:
        with pytest.raises(standin.APITimeoutError):
            ask(standin, kind, server, timeout=1.0)


def test_every_address_of_a_host_shares_the_one_deadline(standin, monkeypatch):
    # The first address refuses after 0.2 s, the second never answers: it has what is left of 0.4 s.
    given = []

    class Unanswered:
        def __init__(self, family, kind, proto=0):
            self.timeout = None

        def settimeout(self, seconds):
            self.timeout = seconds

        def connect(self, address):
            given.append(self.timeout)
            time.sleep(min(self.timeout, 0.2) if address[0] == "192.0.2.1" else self.timeout)
            raise ConnectionRefusedError() if address[0] == "192.0.2.1" else TimeoutError("timed out")

        def close(self):
            pass

    addresses = [(socket.AF_INET, socket.SOCK_STREAM, 6, "", (ip, 80)) for ip in ("192.0.2.1", "192.0.2.2")]
    monkeypatch.setattr(socket, "getaddrinfo", lambda *args, **kwargs: addresses)
    monkeypatch.setattr(socket, "socket", Unanswered)
    c = standin.OpenAI(base_url="http://two-addresses.test/v1", api_key="k", max_retries=0, timeout=0.4)
    with pytest.raises(standin.APITimeoutError):
        c.chat.completions.create(model="m", messages=user("x"))
    assert len(given) == 2 and given[0] == pytest.approx(0.4, abs=0.05) and given[1] < 0.3


@pytest.fixture
def waits(standin, monkeypatch):
    waits = []

    async def sleep(seconds):
        waits.append(seconds)
    monkeypatch.setattr(standin._transport, "sleep", waits.append)
    monkeypatch.setattr(asyncio, "sleep", sleep)
    return waits


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("status", [429, 503])
@pytest.mark.parametrize("headers, low, high", [
    ({"retry-after-ms": "250"}, 0.25, 0.25),
    ({"Retry-After": "3"}, 3, 3),
    ({"Retry-After": "3", "retry-after-ms": "40"}, 0.04, 0.04),
    ({"Retry-After": "an HTTP date 30 s ahead"}, 28, 30),
    ({"Retry-After": "120"}, 120, 120),  # up to two minutes
    ({"Retry-After": "0"}, 0.375, 0.5),  # else the back-off
    ({"Retry-After": "-5"}, 0.375, 0.5),
    ({"retry-after-ms": "nan", "Retry-After": "inf"}, 0.375, 0.5),
    ({"Retry-After": "soon"}, 0.375, 0.5),
    ({"Retry-After": "Mon, 01 Jan 99999 00:00:00 GMT"}, 0.375, 0.5),  # a date no clock holds
    ({}, 0.375, 0.5),
])
def test_waits_as_long_as_the_reply_asks(standin, waits, kind, status, headers, low, high):
    if "date" in headers.get("Retry-After", ""):
        headers = {"Retry-After": email.utils.formatdate(time.time() + 30, usegmt=True)}
    with serve(http_reply(status, b"{}", **headers), http_reply(200, completion("ok"))) as server:
        reply = ask(standin, kind, server, max_retries=1)
    assert reply == "ok"
    [wait] = waits
    assert low <= wait <= high


@pytest.mark.parametrize("kind", KINDS)
def test_back_off_doubles_up_to_a_cap_with_jitter(standin, waits, kind):
    with scripted_server(lambda handler: handler.wfile.write(http_reply(500, b"{}"))) as server:
        with pytest.raises(standin.InternalServerError):
            ask(standin, kind, server, max_retries=7)
    bases = [0.5, 1, 2, 4, 8, 8, 8]
    assert len(waits) == len(bases) and len(server.seen) == 8
    assert all(0.75 * base <= wait <= base for wait, base in zip(waits, bases))
    assert len({round(wait / base, 9) for wait, base in zip(waits, bases)}) > 1


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("framing", ["length", "chunked", "until-close", "huge-length", "gzip"])
def test_reply_body_is_bounded(standin, monkeypatch, kind, framing):
    monkeypatch.setattr(standin._transport, "MAX_RESPONSE_BYTES", 1 << 16)
    body = completion("x" * (1 << 17))

    def answer(handler):
        if framing in ("length", "gzip"):  # a small gzip body that decodes to more than the bound
            return handler.wfile.write(http_reply(200, gzip.compress(body), Content_Encoding="gzip")
                                       if framing == "gzip" else http_reply(200, body))
        if framing == "huge-length":  # more digits than int() takes
            return handler.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %s\r\n\r\n" % (b"9" * 5000))
        handler.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n"
                            + (b"Transfer-Encoding: chunked\r\n\r\n" if framing == "chunked" else b"\r\n"))
        for i in range(0, len(body), 4096):
            piece = body[i:i + 4096]
            handler.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked" else piece)
        handler.wfile.write(b"0\r\n\r\n" if framing == "chunked" else b"")

    with scripted_server(answer) as server:
        with pytest.raises(standin.APIResponseValidationError, match=str(1 << 16)):
            ask(standin, kind, server)


@pytest.mark.parametrize("raw", [
    http_reply(200, REPLY),
    b"HTTP/1.1 100 Continue\r\n\r\n" + http_reply(200, REPLY),
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(REPLY, 7),
    b"HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n" + chunked(REPLY, 3).replace(b"\r\n", b"\n"),
    b"HTTP/1.1 200 OK\nContent-Length: %d\n\n" % len(REPLY_WITH_BLANK_LINE) + REPLY_WITH_BLANK_LINE,
], ids=["length", "interim", "chunked", "bare-lf", "bare-lf-head-crlf-body"])
@pytest.mark.parametrize("piece", [1, 5, 40, 64, 1 << 20])
def test_a_reply_read_in_pieces_is_read_as_a_whole(standin, raw, piece):
    parser = standin._parser.ReplyParser(1 << 20)
    for i in range(0, len(raw), piece):
        parser.feed(raw[i:i + piece])
    assert parser.done
    reply = parser.reply()
    assert json.loads(reply.body) == json.loads(REPLY) and reply.status == 200


def test_tiny_chunks_cost_no_more_memory_than_their_body(standin):
    import tracemalloc

    body = b"x" * (1 << 18)
    raw = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(body, 2)
    parser = standin._parser.ReplyParser(1 << 20)
    tracemalloc.start()
    try:
        for i in range(0, len(raw), 1 << 16):  # as the client reads
            parser.feed(raw[i:i + (1 << 16)])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert parser.reply().body == body
    assert peak < 4 * len(body)  # the body and a read or two, not an object per chunk (22 times)


@pytest.mark.parametrize("content", [{"事实": ["a", 1, {"b": None}]}, ["x", {"y": [2]}]])
def test_content_that_is_not_a_string_comes_back_as_plain_json_values(oa, content):
    with serve(http_reply(200, completion(content))) as server:
        reply = client(oa, server).chat.completions.create(model="m", messages=user("x"))
    got = reply.choices[0].message.content
    assert type(got) is type(content) and json.loads(json.dumps(got)) == content
