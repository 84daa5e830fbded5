"""The openai client (the offline stand-in unless the real one is installed) against
factsift.devserver over real HTTP on 127.0.0.1."""

import asyncio
import contextlib
import email.utils
import gc
import json
import socket
import time
import warnings
from types import SimpleNamespace as NS
from unittest import mock

import pytest

from devserver_fixtures import (USING_STANDIN, client, completion, devserver, http_reply,  # noqa: F401
                                openai, read_log, scripted_server, user)

ARTICLE = "据统计，2024年江州市GDP同比增长5.2%，居民人均收入达到6.8万元。"
KINDS = ["sync", "async"]
# "sync-timeouts": the blocking client waiting through socket time-outs, as it does over TLS.
KINDS_WAITS = ["sync", "sync-timeouts", "async"]


def converse(kind, server, models, before=None, requests=None, **options):
    """The reply texts to one request per model, in turn, through one client of that kind.

    before(i), if given, runs before request i (in a worker thread for the async client).
    Each HTTP request the client sends is appended to `requests`, if given, by its
    HTTP client's request hook. Returns the exception instead of a reply when a request raises.
    """
    if requests is not None:
        options["http_client"] = _hooked_http_client(kind, requests)
    if kind == "sync-timeouts":
        if not USING_STANDIN:
            pytest.skip("the stand-in's own ways of waiting")
        with mock.patch.object(openai._http, "PLAIN_CONNECTION", openai._http.Connection):
            return converse("sync", server, models, before, **options)
    if kind == "sync":
        c = client(server, **options)
        return [_outcome(lambda: c.chat.completions.create(model=m, messages=user(f"#{i}")), before, i)
                for i, m in enumerate(models)]

    async def run():
        options.setdefault("api_key", "sk-test")
        async with openai.AsyncOpenAI(base_url=server.url, max_retries=options.pop("max_retries", 0),
                                      **options) as c:
            replies = []
            for i, model in enumerate(models):
                if before:
                    await asyncio.to_thread(before, i)
                try:
                    replies.append(_text(await c.chat.completions.create(model=model, messages=user(f"#{i}"))))
                except openai.APIError as exc:
                    replies.append(exc)
            return replies
    return asyncio.run(run())


def _hooked_http_client(kind, requests):
    if kind == "sync":
        return openai.DefaultHttpxClient(event_hooks={"request": [requests.append]})

    async def hook(request):  # an async HTTP client awaits its hooks
        requests.append(request)
    return openai.DefaultAsyncHttpxClient(event_hooks={"request": [hook]})


def _outcome(call, before, i):
    if before:
        before(i)
    try:
        return _text(call())
    except openai.APIError as exc:
        return exc


def _text(reply):
    return reply.choices[0].message.content


def ask(kind, server, model="m", **options):
    """The reply text to one request through a new client of that kind; raises what it raises."""
    [outcome] = converse(kind, server, [model], **options)
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


@pytest.mark.parametrize("base, path", [
    ("{url}", "/v1/chat/completions"),
    ("{url}/", "/v1/chat/completions"),
    ("{root}", "/chat/completions"),
])
def test_request_is_sent_as_given_and_reply_parsed(devserver, base, path):
    messages = [{"role": "system", "content": "你是事实核查助手"}] + user(ARTICLE)
    c = openai.OpenAI(base_url=base.format(url=devserver.url, root=devserver.url[:-len("/v1")]),
                      api_key="sk-test")
    reply = c.chat.completions.create(model="echo", messages=messages, stream=False,
                                      temperature=0.2)

    [entry] = read_log(devserver.log_path)
    assert entry["path"] == path
    assert entry["headers"]["Authorization"] == "Bearer sk-test"
    assert entry["headers"]["Content-Type"].startswith("application/json")
    assert entry["body"] == {"model": "echo", "messages": messages, "stream": False,
                             "temperature": 0.2}
    assert reply.choices[0].message.content == ARTICLE
    assert reply.choices[0].message.role == "assistant"
    assert reply.model == "echo" and reply.id.startswith("chatcmpl-")
    assert reply.usage.total_tokens == reply.usage.prompt_tokens + reply.usage.completion_tokens > 0


@pytest.mark.parametrize("status, error_cls", [
    (400, openai.BadRequestError),
    (401, openai.AuthenticationError),
    (403, openai.PermissionDeniedError),
    (404, openai.NotFoundError),
    (418, openai.APIStatusError),
    (429, openai.RateLimitError),
    (500, openai.InternalServerError),
    (503, openai.InternalServerError),
])
def test_http_errors_raise_the_matching_status_error(devserver, status, error_cls):
    with pytest.raises(openai.APIStatusError) as info:
        client(devserver).chat.completions.create(model=f"status:{status}", messages=user("x"))
    assert type(info.value) is error_cls
    assert info.value.status_code == status
    assert f"HTTP {status}" in info.value.message


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("model, options, error_cls", [
    ("status:429", {}, openai.RateLimitError),
    ("bad-json", {}, openai.APIResponseValidationError),
    ("drop", {}, openai.APIConnectionError),
    ("delay:30", {"timeout": 0.3}, openai.APITimeoutError),
])
def test_broken_replies_raise(devserver, kind, model, options, error_cls):
    with pytest.raises(openai.APIError) as info:
        ask(kind, devserver, model, **options)
    assert type(info.value) is error_cls


@pytest.mark.parametrize("kind", KINDS_WAITS)
def test_a_request_cut_off_by_its_deadline_leaves_no_reply_behind(devserver, kind):
    # Were the connection kept, the next request would read the late reply to the first.
    replies = converse(kind, devserver, ["delay:0.6", "echo"], timeout=0.3,
                       before=lambda i: i and time.sleep(0.6))
    assert type(replies[0]) is openai.APITimeoutError and replies[1] == "#1"


@pytest.mark.parametrize("kind", KINDS_WAITS)
def test_connections_are_kept_alive_and_replaced_once_the_server_closes_them(kind):
    # The server keeps the first connection for two requests, then closes it without a word.
    def answer(handler):
        handler.close_connection = len(handler.server.seen) == 2
        handler.wfile.write(http_reply(200, completion(str(len(handler.server.seen))), close=False))

    with scripted_server(answer) as server:
        replies = converse(kind, server, ["m"] * 3,
                           before=lambda i: i == 2 and server.closed.acquire(timeout=10))
    ports = [request.port for request in server.seen]
    assert replies == ["1", "2", "3"] and ports[0] == ports[1] != ports[2]


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own lifetime")
@pytest.mark.parametrize("kind", KINDS)
def test_a_dropped_client_closes_its_connections_at_once(kind):
    # factsift builds a client per call unless clients are shared: kept connections must not pile up.
    def answer(handler):
        handler.close_connection = False
        handler.wfile.write(http_reply(200, completion("x"), close=False))

    async def drop_async(server):
        c = openai.AsyncOpenAI(base_url=server.url, api_key="k")
        await c.chat.completions.create(model="m", messages=user("x"))
        del c
        return await asyncio.to_thread(server.closed.acquire, True, 5)

    with scripted_server(answer) as server:
        if kind == "async":
            closed = asyncio.run(drop_async(server))
        else:
            client(server).chat.completions.create(model="m", messages=user("x"))
            closed = server.closed.acquire(timeout=5)
    assert closed


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own lifetime")
def test_a_connection_in_use_when_its_client_closes_is_closed_after_its_exchange():
    def answer(handler):
        handler.close_connection = False
        handler.wfile.write(http_reply(200, completion("x"), close=False))

    with scripted_server(answer) as server:
        c = client(server, http_client=openai.DefaultHttpxClient(event_hooks={"request": [lambda r: c.close()]}))
        assert c.chat.completions.create(model="m", messages=user("x")).choices[0].message.content == "x"
        assert server.closed.acquire(timeout=5)


def test_an_async_client_serves_a_later_event_loop(devserver):
    c = openai.AsyncOpenAI(base_url=devserver.url, api_key="k", max_retries=0)
    ask = c.chat.completions.create
    # asyncio warns of the connection the first loop left open when it closed.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        replies = [asyncio.run(ask(model="echo", messages=user(text))) for text in ("a", "b")]
        del c, ask
        gc.collect()
    assert [_text(reply) for reply in replies] == ["a", "b"]


REPLY = completion("好")


def chunked(body, size):
    pieces = [body[i:i + size] for i in range(0, len(body), size)]
    return b"".join(b"%x;ext=1\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\nX-Trailer: 1\r\n\r\n"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("raw, expected", [
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(REPLY, 7), "好"),
    (b"HTTP/1.1 100 Continue\r\n\r\n" + http_reply(200, REPLY), "好"),
    (b"HTTP/1.1 200 OK\r\nX-Folded: a\r\n b\r\n\r\n" + REPLY, "好"),  # until the server closes
    (b"", openai.APIConnectionError),
    (b"HTTP/1.1 2OO OK\r\n\r\n", openai.APIConnectionError),
    (b"HTTP/1.1 200 OK\r\nno colon\r\n\r\n", openai.APIConnectionError),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", openai.APIConnectionError),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 99999\r\n\r\n" + REPLY, openai.APIConnectionError),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", openai.APIConnectionError),
], ids=["chunked", "interim", "until-close", "nothing", "status-line", "header-line", "length",
        "cut-short", "chunk-size"])
def test_replies_are_read_as_http_frames_them(kind, raw, expected):
    with scripted_server(lambda handler: handler.wfile.write(raw)) as server:
        [outcome] = converse(kind, server, ["m"])
    assert outcome == expected if isinstance(expected, str) else type(outcome) is expected


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own error")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("api_key", ["sk-1\r\nX-Injected: 1", "ключ"])
def test_headers_http_cannot_carry_are_refused_before_sending(devserver, kind, api_key):
    with pytest.raises(openai.APIConnectionError, match="cannot be sent"):
        ask(kind, devserver, api_key=api_key)
    assert read_log(devserver.log_path) == []


def test_refused_connection_is_a_connection_error():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    c = openai.OpenAI(base_url=f"http://127.0.0.1:{port}/v1", api_key="k", max_retries=0)
    with pytest.raises(openai.APIConnectionError) as info:
        c.chat.completions.create(model="echo", messages=user("x"))
    assert not isinstance(info.value, openai.APITimeoutError)


@pytest.mark.parametrize("model, choices", [
    ("empty-choices", []),
    ("null-content", [None]),
])
def test_degenerate_completions_pass_through(devserver, model, choices):
    reply = client(devserver).chat.completions.create(model=model, messages=user("x"))
    assert [choice.message.content for choice in reply.choices] == choices


@pytest.fixture
def waits(monkeypatch):
    """The stand-in's waits between attempts, recorded instead of slept (real waits with the real client)."""
    waits = []
    if USING_STANDIN:
        async def sleep(seconds):
            waits.append(seconds)
        monkeypatch.setattr(openai, "time", NS(sleep=waits.append, monotonic=time.monotonic, time=time.time))
        monkeypatch.setattr(asyncio, "sleep", sleep)
    return waits


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
def test_retries_only_transient_failures(devserver, waits, kind, model, max_retries, expected_requests):
    requests = []
    [outcome] = converse(kind, devserver, [model], requests=requests, max_retries=max_retries, timeout=0.3)
    assert isinstance(outcome, str if model == "echo" else openai.APIError)
    assert len(read_log(devserver.log_path)) == len(requests) == expected_requests
    assert all(r.method == "POST" and str(r.url).endswith("/v1/chat/completions") for r in requests)


@pytest.mark.parametrize("kind", KINDS)
def test_a_request_hook_that_waits_spends_none_of_the_timeout(devserver, kind):
    # A rate limit waits in the hook; the request itself must still get its whole time-out.
    if kind == "sync":
        hooks = [lambda request: time.sleep(0.5)]
        http_client = openai.DefaultHttpxClient(event_hooks={"request": hooks})
    else:
        async def wait(request):
            await asyncio.sleep(0.5)
        http_client = openai.DefaultAsyncHttpxClient(event_hooks={"request": [wait]})
    assert ask(kind, devserver, "echo", timeout=0.3, http_client=http_client) == "#0"


@pytest.mark.skipif(not USING_STANDIN, reason="records the stand-in's waits")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("status", [429, 503])
@pytest.mark.parametrize("headers, low, high", [
    ({"retry-after-ms": "250"}, 0.25, 0.25),
    ({"Retry-After": "3"}, 3, 3),
    ({"Retry-After": "3", "retry-after-ms": "40"}, 0.04, 0.04),
    ({"Retry-After": "an HTTP date 30 s ahead"}, 28, 30),
    ({"Retry-After": "120"}, 0.375, 0.5),  # over a minute: the back-off instead
    ({"Retry-After": "soon"}, 0.375, 0.5),
    ({"Retry-After": "Mon, 01 Jan 99999 00:00:00 GMT"}, 0.375, 0.5),  # a date no clock holds
    ({}, 0.375, 0.5),
])
def test_waits_as_long_as_the_reply_asks(waits, kind, status, headers, low, high):
    if "date" in headers.get("Retry-After", ""):
        headers = {"Retry-After": email.utils.formatdate(time.time() + 30, usegmt=True)}
    answers = iter([http_reply(status, b"{}", **headers), http_reply(200, completion("ok"))])
    with scripted_server(lambda handler: handler.wfile.write(next(answers))) as server:
        reply = ask(kind, server, max_retries=1)
    assert reply == "ok"
    [wait] = waits
    assert low <= wait <= high


@pytest.mark.skipif(not USING_STANDIN, reason="records the stand-in's waits")
@pytest.mark.parametrize("kind", KINDS)
def test_back_off_doubles_up_to_a_cap_with_jitter(waits, kind):
    with scripted_server(lambda handler: handler.wfile.write(http_reply(500, b"{}"))) as server:
        with pytest.raises(openai.InternalServerError):
            ask(kind, server, max_retries=7)
    bases = [0.5, 1, 2, 4, 8, 8, 8]
    assert len(waits) == len(bases) and len(server.seen) == 8
    assert all(0.75 * base <= wait <= base for wait, base in zip(waits, bases))
    assert len({round(wait / base, 9) for wait, base in zip(waits, bases)}) > 1


def test_settings_fall_back_to_environment(devserver, monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", "sk-from-env")
    monkeypatch.setenv("OPENAI_BASE_URL", devserver.url)
    openai.OpenAI(max_retries=0).chat.completions.create(model="echo", messages=user("x"))
    [entry] = read_log(devserver.log_path)
    assert entry["headers"]["Authorization"] == "Bearer sk-from-env"


def test_missing_api_key_is_refused_up_front(monkeypatch):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(openai.OpenAIError, match="api_key"):
        openai.OpenAI(base_url="http://127.0.0.1:9/v1")


@pytest.mark.skipif(not USING_STANDIN, reason="the real client streams")
def test_streaming_is_refused_before_sending(devserver):
    with pytest.raises(NotImplementedError):
        client(devserver).chat.completions.create(model="echo", messages=user("x"), stream=True)
    assert read_log(devserver.log_path) == []


@pytest.mark.parametrize("status, location, followed, error", [
    # A completion in a redirect's body is never taken as the reply.
    (302, None, [], openai.APIStatusError),
    (307, "/v1/final", [("POST", "/v1/final", True, True)], None),
    (308, "/v1/final", [("POST", "/v1/final", True, True)], None),
    (301, "/v1/final", [("GET", "/v1/final", False, True)], None),
    # Another origin does not get the key.
    (303, "http://localhost:{port}/v1/final", [("GET", "/v1/final", False, False)], None),
    (307, "/v1/chat/completions", [("POST", "/v1/chat/completions", True, True)] * 20,
     openai.APIConnectionError),
])
@pytest.mark.parametrize("kind", KINDS)
def test_redirects_are_followed_as_the_real_client_does(kind, status, location, followed, error):
    def answer(handler):
        if handler.path == "/v1/final":
            return handler.wfile.write(http_reply(200, completion("followed")))
        port = handler.server.server_address[1]
        headers = {"Location": location.format(port=port)} if location else {}
        handler.wfile.write(http_reply(status, completion("redirect body"), **headers))

    requests = []
    with scripted_server(answer) as server:
        with pytest.raises(error) if error else contextlib.nullcontext():
            reply = ask(kind, server, requests=requests)
    assert [(r.method, r.path, bool(r.body), "Authorization" in r.headers)
            for r in server.seen[1:]] == followed
    assert len(requests) == len(server.seen)  # the hook sees every hop
    if not error:
        assert reply == "followed"


@pytest.mark.parametrize("kind", KINDS_WAITS)
@pytest.mark.parametrize("slow_from", [0, -20], ids=["headers", "body"])
def test_timeout_bounds_the_whole_request(kind, slow_from):
    # After a fast start the rest arrives one byte every 0.1 s: each read is far
    # within the time-out, the whole reply (some 30 s) far beyond it.
    def answer(handler):
        data = http_reply(200, completion("x" * 300))
        handler.wfile.write(data[:slow_from])
        for byte in data[slow_from:]:
            handler.wfile.write(bytes([byte]))
            time.sleep(0.1)

    with scripted_server(answer) as server:
        with pytest.raises(openai.APITimeoutError):
            ask(kind, server, timeout=1.0)


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own bound")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("framing", ["length", "chunked", "until-close", "huge-length"])
def test_reply_body_is_bounded(monkeypatch, kind, framing):
    monkeypatch.setattr(openai, "MAX_RESPONSE_BYTES", 1 << 16)
    body = completion("x" * (1 << 17))

    def answer(handler):
        if framing == "length":
            return handler.wfile.write(http_reply(200, body))
        if framing == "huge-length":  # more digits than int() takes
            return handler.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Length: %s\r\n\r\n" % (b"9" * 5000))
        handler.wfile.write(b"HTTP/1.1 200 OK\r\nConnection: close\r\n"
                            + (b"Transfer-Encoding: chunked\r\n\r\n" if framing == "chunked" else b"\r\n"))
        for i in range(0, len(body), 4096):
            piece = body[i:i + 4096]
            handler.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if framing == "chunked" else piece)
        handler.wfile.write(b"0\r\n\r\n" if framing == "chunked" else b"")

    with scripted_server(answer) as server:
        with pytest.raises(openai.APIResponseValidationError, match=str(1 << 16)):
            ask(kind, server)


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own parser")
@pytest.mark.parametrize("raw", [
    http_reply(200, REPLY),
    b"HTTP/1.1 100 Continue\r\n\r\n" + http_reply(200, REPLY),
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(REPLY, 7),
    b"HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n" + chunked(REPLY, 3).replace(b"\r\n", b"\n"),
], ids=["length", "interim", "chunked", "bare-lf"])
@pytest.mark.parametrize("piece", [1, 5, 40, 64])
def test_a_reply_read_in_pieces_is_read_as_a_whole(raw, piece):
    def parsed(size):
        parser = openai._http.ReplyParser(1 << 20)
        for i in range(0, len(raw), size):
            parser.feed(raw[i:i + size])
        assert parser.done
        reply = parser.reply()
        return reply.status, reply.body
    assert parsed(piece) == parsed(len(raw)) == (200, REPLY)


@pytest.mark.skipif(not USING_STANDIN, reason="the stand-in's own parser")
def test_tiny_chunks_cost_no_more_memory_than_their_body():
    import tracemalloc

    body = b"x" * (1 << 18)
    raw = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(body, 2)
    parser = openai._http.ReplyParser(1 << 20)
    tracemalloc.start()
    try:
        for i in range(0, len(raw), 1 << 16):  # as the client reads
            parser.feed(raw[i:i + (1 << 16)])
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert parser.reply().body == body
    assert peak < 4 * len(body)  # the body and a read or two, not an object per chunk (22 times)


@pytest.mark.parametrize("status, error", [
    (200, openai.APIResponseValidationError),
    (500, openai.InternalServerError),
])
def test_deeply_nested_replies_raise_api_errors(status, error):
    with scripted_server(lambda handler: handler.wfile.write(http_reply(status, b"[" * 100_000))) as server:
        with pytest.raises(error):
            client(server).chat.completions.create(model="m", messages=user("x"))


@pytest.mark.parametrize("content", [{"事实": ["a", 1, {"b": None}]}, ["x", {"y": [2]}]])
def test_content_that_is_not_a_string_comes_back_as_plain_json_values(content):
    with scripted_server(lambda handler: handler.wfile.write(http_reply(200, completion(content)))) as server:
        reply = client(server).chat.completions.create(model="m", messages=user("x"))
    got = reply.choices[0].message.content
    assert type(got) is type(content) and json.loads(json.dumps(got)) == content
