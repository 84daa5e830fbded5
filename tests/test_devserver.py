"""factsift.devserver: its HTTP behaviour, modes, request log and command line."""

import ast
import concurrent.futures
import http.client
import io
import json
import os
import pathlib
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, strategies as st

from devserver_fixtures import (ROOT, client, devserver, openai, read_log,  # noqa: F401
                                running_server, user)
from factsift.devserver import serve


def exchange(server, body, path="/v1/chat/completions", method="POST"):
    """(status, headers, parsed body) of one request."""
    data = body if isinstance(body, bytes) else json.dumps(body).encode("utf-8")
    host, port = server.server_address[:2]
    conn = http.client.HTTPConnection(host, port, timeout=30)
    try:
        conn.request(method, path, body=data, headers={"Content-Type": "application/json"})
        response = conn.getresponse()
        return response.status, response.headers, json.loads(response.read())
    finally:
        conn.close()


def post(server, body, path="/v1/chat/completions", method="POST"):
    status, _, reply = exchange(server, body, path, method)
    return status, reply


def body_of_size(size):
    def body(n):
        return json.dumps({"model": "echo", "messages": user("x" * n)}).encode()
    return body(size - len(body(0)))


@pytest.mark.parametrize("size, status", [(1024, 200), (1025, 413), (50_000, 413)])
def test_request_body_is_bounded(tmp_path, size, status):
    with running_server(tmp_path / "log.jsonl", max_body=1024) as server:
        got, reply = post(server, body_of_size(size))
    assert got == status
    if status == 413:
        assert "1024" in reply["error"]["message"]
        assert read_log(tmp_path / "log.jsonl")[0]["body_bytes"] == size


@pytest.mark.parametrize("path, body", [
    ("/v1/completions", {"model": "echo", "messages": user("x")}),
    ("/v1/chat/completions", b"not json"),
    ("/v1/chat/completions", ["a list"]),
    ("/v1/chat/completions", {"model": "echo"}),
    ("/v1/chat/completions", {"model": "echo", "messages": []}),
    ("/v1/chat/completions", {"model": "echo", "messages": [{"role": "system", "content": "x"}]}),
    ("/v1/chat/completions", {"model": "status:abc", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "status:200", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "delay:nan", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "rate-limit:0", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "rate-limit:inf", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "rate-limit:0.5", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "flaky:1.5", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "fixed", "messages": user("x")}),
    ("/v1/chat/completions", {"model": "echo", "messages": user("x") + ["x"]}),
    ("/v1/chat/completions", {"model": "fixed:a", "messages": [["x"]]}),
    ("/v1/chat/completions", {"model": "null-content", "messages": [7]}),
    ("/v1/chat/completions", {"model": "echo", "messages": [{"role": "user", "content": 7}]}),
    ("/v1/chat/completions", {"model": "echo", "messages": user("x") + [{"role": 7, "content": "x"}]}),
    ("/v1/chat/completions", {"model": "echo", "messages": [
        {"role": "user", "content": [{"type": "text", "text": ["x"]}]}]}),
    ("/v1/chat/completions", {"model": "echo", "messages": [{"role": "user", "content": ["x"]}]}),
    pytest.param("/v1/chat/completions", b"[" * 100_000, id="deeply-nested"),
    ("/v1/chat/completions", b'{"model": "echo", "messages": [{"role": "user", "content": NaN}]}'),
])
def test_bad_requests_get_an_openai_style_error_and_a_log_line(devserver, path, body):
    status, reply = post(devserver, body, path)
    assert status == (404 if path == "/v1/completions" else 400)
    assert reply["error"]["type"] == "invalid_request_error" and reply["error"]["message"]
    assert len(read_log(devserver.log_path)) == 1


@pytest.mark.parametrize("method, status", [("GET", 404), ("DELETE", 404), ("BREW", 501)])
def test_other_methods_get_an_openai_style_error_and_a_log_line(devserver, method, status):
    got, reply = post(devserver, b"", method=method)
    assert got == status and reply["error"]["message"]
    [entry] = read_log(devserver.log_path)
    assert (entry["method"], entry["path"]) == (method, "/v1/chat/completions")


def test_a_malformed_request_on_a_kept_alive_connection_is_logged_as_its_own(devserver):
    host, port = devserver.server_address[:2]
    body = json.dumps({"model": "echo", "messages": user("x")}).encode()
    with socket.create_connection((host, port), timeout=30) as sock:
        sock.sendall(b"POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer SECRET\r\n"
                     b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        sock.sendall(b"garbage\r\n\r\n")
        sock.shutdown(socket.SHUT_WR)
        while sock.recv(65536):
            pass
    first, second = read_log(devserver.log_path)
    assert first["headers"]["Authorization"] == "Bearer SECRET"
    assert (second["method"], second["path"], second["headers"]["Authorization"]) == (None, None, None)


@pytest.mark.parametrize("model, text, expected", [
    ("echo", "前\ud800后", "前\ud800后"),
    ("fixed:\udfff", "x", "\udfff"),
])
def test_lone_surrogates_are_answered_and_logged(devserver, model, text, expected):
    status, reply = post(devserver, {"model": model, "messages": user(text)})
    assert (status, reply["choices"][0]["message"]["content"]) == (200, expected)
    assert reply["model"] == model
    [entry] = read_log(devserver.log_path)
    assert entry["body"]["messages"] == user(text)


@pytest.mark.parametrize("existing", [None, 0o644, 0o640])
def test_the_log_is_made_for_its_owner_alone_and_an_existing_one_keeps_its_mode(tmp_path, existing):
    # It holds the Authorization headers as sent: a real key must not be readable by all.
    log = tmp_path / "log.jsonl"
    if existing is not None:
        log.touch()
        os.chmod(log, existing)
    old = os.umask(0o022)
    try:
        with running_server(log) as server:
            post(server, {"model": "echo", "messages": user("x")})
    finally:
        os.umask(old)
    assert os.stat(log).st_mode & 0o777 == (existing or 0o600) and len(read_log(log)) == 1


def test_log_keeps_a_non_json_body_as_text(devserver):
    post(devserver, "正文 not json".encode("utf-8"))
    [entry] = read_log(devserver.log_path)
    assert entry["body"] == "正文 not json"
    assert entry["path"] == "/v1/chat/completions" and entry["time"]


@pytest.mark.parametrize("options, model, messages, expected", [
    ({}, "echo", user("第一") + [{"role": "assistant", "content": "a"}] + user("第二"), (200, "第二")),
    ({}, "echo", [{"role": "user", "content": [{"type": "text", "text": "部分一"},
                                                {"type": "text", "text": "部分二"}]}],
     (200, "部分一部分二")),
    ({}, "fixed:答案: 是", user("x"), (200, "答案: 是")),
    ({}, "delay:0", user("稍后"), (200, "稍后")),
    ({}, "echo:x", user("不是模式"), (200, "不是模式")),
    ({"mode": "fixed:默认"}, "gpt-4o-mini", user("x"), (200, "默认")),
    ({"mode": "status:503"}, "gpt-4o-mini", user("x"), (503, None)),
    ({"mode": "status:503"}, "echo", user("覆盖"), (200, "覆盖")),
])
def test_mode_comes_from_model_field_else_server_default(tmp_path, options, model, messages,
                                                         expected):
    with running_server(tmp_path / "log.jsonl", **options) as server:
        status, reply = post(server, {"model": model, "messages": messages})
    content = reply["choices"][0]["message"]["content"] if status == 200 else None
    assert (status, content) == expected
    if status == 200:
        assert reply["object"] == "chat.completion" and reply["model"] == model


@given(st.text(st.sampled_from("aZ09_ \t\n\x1c\x85\xa0\u2028\u3000中，é")))
def test_token_count_is_word_runs_and_other_characters_but_white_space(text):
    from factsift.devserver import _count_tokens

    assert _count_tokens(text) == len(re.findall(r"[A-Za-z0-9_]+|\S", text))


def test_rate_limit_answers_429_with_retry_after_above_the_rate(devserver):
    first = [exchange(devserver, {"model": "rate-limit:4", "messages": user(f"{i}")}) for i in range(6)]
    assert [status for status, _, _ in first] == [200] * 4 + [429] * 2
    _, headers, reply = first[-1]
    wait = int(headers["retry-after-ms"]) / 1000
    assert 0 < wait <= 1 and headers["Retry-After"] == "1"
    assert reply["error"]["code"] == "rate_limit_exceeded"
    time.sleep(wait)
    assert exchange(devserver, {"model": "rate-limit:4", "messages": user("later")})[0] == 200


def flaky_outcomes(server, texts):
    """What each request met: its status, or "drop"."""
    outcomes = []
    for text in texts:
        try:
            status, headers, _ = exchange(server, {"model": "flaky:0.5", "messages": user(text)})
        except http.client.RemoteDisconnected:
            status, headers = "drop", {}
        outcomes.append((status, headers.get("retry-after-ms")))
    return outcomes


def test_flaky_failures_depend_on_the_seed_and_the_request_not_the_order(tmp_path):
    texts = [f"doc{i}" for i in range(30)] * 2  # each sent twice: an attempt and a retry
    runs = {}
    for seed, order in ((7, 1), (7, -1), (8, 1)):
        with running_server(tmp_path / f"{seed}{order}.jsonl", seed=seed) as server:
            got = dict(zip(range(len(texts))[::order], flaky_outcomes(server, texts[::order])))
        runs[seed, order] = [got[i] for i in range(len(texts))]
    assert runs[7, 1] != runs[8, 1]
    outcomes = runs[7, 1]
    # Reversed, each text's first and second request change places.
    assert runs[7, -1] == outcomes[len(texts) // 2:] + outcomes[:len(texts) // 2]
    assert {outcome for outcome in outcomes} == {(200, None), (500, None), (503, "20"), ("drop", None)}
    assert 10 <= sum(status != 200 for status, _ in outcomes) <= 50


def test_requests_are_served_concurrently(tmp_path):
    log = tmp_path / "log.jsonl"
    # The server stops (cutting the delays short) before the pool waits for its threads.
    with concurrent.futures.ThreadPoolExecutor(3) as pool, running_server(log) as server:
        slow = [pool.submit(client(server).chat.completions.create,
                            model="delay:120", messages=user(f"慢{i}")) for i in range(3)]
        for _ in range(400):
            if len(read_log(log)) == 3:
                break
            time.sleep(0.05)
        # Three requests are being delayed at once; another is still answered.
        assert len(read_log(log)) == 3
        fast = client(server, timeout=30).chat.completions.create(model="echo",
                                                                  messages=user("快"))
        assert fast.choices[0].message.content == "快"
        assert not any(f.done() for f in slow)
    errors = [f.exception() for f in slow]
    assert all(isinstance(e, openai.InternalServerError) and e.status_code == 503 for e in errors)


def run_cli(*args):
    env = dict(os.environ, PYTHONPATH=ROOT)
    return subprocess.run([sys.executable, "-m", "factsift.devserver", *args], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, status, text", [
    (["--help"], 0, "null-content"),
    (["--mode", "bogus"], 2, "unknown mode"),
    (["--mode", "status:200"], 2, "400-599"),
    (["--mode", "flaky:2"], 2, "0-1"),
    (["--seed", "x"], 2, "--seed"),
    (["--port", "0", "--delay", "-1"], 2, "negative"),
    (["--port", "0", "--max-connections", "0"], 2, "positive"),
    (["--port", "0", "--request-timeout", "nan"], 2, "positive"),
    (["--port", "0", "--batch-time", "-1"], 2, "0-86400"),
    (["--port", "0", "--max-stored-bytes", "-1"], 2, "not negative"),
    (["--help"], 0, "devserver_expire_after"),
    (["--help"], 0, "--no-ratelimit-headers"),
    (["--help"], 0, "--prompt-cache"),
    (["--port", "0", "--route", "gpt-4o"], 2, "ALIAS=MODEL"),
    (["--port", "0", "--rpm", "0"], 2, "at least 1"),
    (["--port", "0", "--tpm", "x"], 2, "--tpm"),
    (["--port", "0", "--log", "no-such-directory/log.jsonl"], 1, "cannot write the log"),
])
def test_command_line_arguments(args, status, text):
    result = run_cli(*args)
    assert result.returncode == status
    assert text in result.stdout + result.stderr


def test_command_line_server_answers_and_stops_on_ctrl_c(tmp_path):
    log = tmp_path / "log.jsonl"
    proc = subprocess.Popen(
        [sys.executable, "-m", "factsift.devserver", "--port", "0", "--reply", "固定回答",
         "--log", str(log), "--quiet"],
        cwd=ROOT, env=dict(os.environ, PYTHONPATH=ROOT), stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("factsift.devserver listening on http://127.0.0.1:")
        c = openai.OpenAI(base_url=line.split()[-1], api_key="k", max_retries=0)
        reply = c.chat.completions.create(model="m", messages=user("x"))
        assert reply.choices[0].message.content == "固定回答"
        assert os.stat(log).st_mode & 0o777 == 0o600
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
    assert [e["body"]["model"] for e in read_log(log)] == ["m"]


def raw_exchange(server, data):
    """The statuses of every answer to raw bytes sent on one connection, read until the server closes."""
    host, port = server.server_address[:2]
    with socket.create_connection((host, port), timeout=30) as sock:
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
        received = _Received()
        while chunk := sock.recv(65536):
            received.write(chunk)
    received.seek(0)
    statuses = []
    while received.tell() < len(received.getvalue()):
        response = http.client.HTTPResponse(received)
        response.begin()
        response.read()
        statuses.append(response.status)
    return statuses


class _Received(io.BytesIO):
    """Answers read back to back: each response's reader leaves the buffer open."""

    def makefile(self, mode):
        return self

    def close(self):
        pass


def head(lines, body=b""):
    return b"\r\n".join([b"POST /v1/chat/completions HTTP/1.1", b"Host: x", *lines, b"", b""]) + body


ECHO = json.dumps({"model": "echo", "messages": user("x")}).encode()
SMUGGLED = head([b"Content-Length: %d" % len(ECHO)], ECHO)


@pytest.mark.parametrize("request_bytes, status", [
    pytest.param(head([b"Content-Length: %d" % len(ECHO), b"Transfer-Encoding: chunked"],
                      ECHO + SMUGGLED), 400, id="length-and-chunked"),
    pytest.param(head([b"Transfer-Encoding: chunked", b"Content-Length: %d" % len(ECHO)],
                      ECHO + SMUGGLED), 400, id="chunked-and-length"),
    pytest.param(head([b"Content-Length: %d" % len(ECHO), b"Content-Length: %d" % (len(ECHO) + len(SMUGGLED))],
                      ECHO + SMUGGLED), 411, id="two-lengths"),
    pytest.param(head([b"Content-Length: %d_0" % (len(ECHO) // 10)], ECHO + SMUGGLED), 411, id="underscore"),
    pytest.param(head([b"Content-Length: +%d" % len(ECHO)], ECHO + SMUGGLED), 411, id="plus-sign"),
    pytest.param(head([b"Transfer-Encoding: gzip, chunked"], b"0\r\n\r\n" + SMUGGLED), 501, id="gzip"),
    pytest.param(head([b"Transfer-Encoding: chunked"], b"zz\r\n" + SMUGGLED), 400, id="bad-chunk-size"),
    pytest.param(head([b"Transfer-Encoding: chunked"], b"3\r\nabcXX" + SMUGGLED), 400, id="bad-chunk-end"),
    pytest.param(b"GET /v1/models/x HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n%s"
                 % (len(ECHO) + len(SMUGGLED), ECHO + SMUGGLED), None, id="get-with-a-body"),
])
def test_a_request_body_is_framed_one_way_or_refused(devserver, request_bytes, status):
    # Whatever rides in a body is never answered as a request of its own.
    statuses = raw_exchange(devserver, request_bytes)
    assert len(statuses) == 1 and (status is None or statuses == [status])
    assert len(read_log(devserver.log_path)) == 1


@pytest.mark.parametrize("chunks", [
    [ECHO],
    [ECHO[:1], ECHO[1:20], ECHO[20:]],
])
def test_a_chunked_body_is_read_whole_and_the_connection_kept(devserver, chunks):
    body = b"".join(b"%x;ext=1\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\nTrailer: x\r\n\r\n"
    statuses = raw_exchange(devserver, head([b"Transfer-Encoding: chunked"], body) * 2)
    assert statuses == [200, 200]
    assert [e["body"] for e in read_log(devserver.log_path)] == [json.loads(ECHO)] * 2


def test_a_chunked_body_past_the_limit_gets_413(tmp_path):
    with running_server(tmp_path / "log.jsonl", max_body=1024) as server:
        chunk = b"x" * 1000
        body = b"".join(b"%x\r\n%s\r\n" % (len(chunk), chunk) for _ in range(3)) + b"0\r\n\r\n"
        assert raw_exchange(server, head([b"Transfer-Encoding: chunked"], body)) == [413]


def open_connections(server, count):
    host, port = server.server_address[:2]
    return [socket.create_connection((host, port), timeout=30) for _ in range(count)]


def test_connections_past_the_bound_get_503_and_free_ones_are_served_again(tmp_path):
    with running_server(tmp_path / "log.jsonl", max_connections=3) as server:
        threads = threading.active_count()
        idle = open_connections(server, 3)
        try:
            with open_connections(server, 1)[0] as extra:
                extra.settimeout(5)
                reply = b""
                while chunk := extra.recv(65536):
                    reply += chunk
            assert reply.startswith(b"HTTP/1.1 503 ") and b"Connection: close" in reply
            assert threading.active_count() <= threads + 3
        finally:
            for sock in idle:
                sock.close()
        for _ in range(200):  # the server notices the closed connections
            try:
                if post(server, {"model": "echo", "messages": user("again")})[0] == 200:
                    break
            except ConnectionError:
                pass
            time.sleep(0.05)
        else:
            pytest.fail("no connection was served after the idle ones closed")
    assert read_log(tmp_path / "log.jsonl")[0]["refused"] == "too many connections"


def trickle(server, data, every):
    """Send data a byte at a time; the seconds until the server closed, or None if it never did."""
    host, port = server.server_address[:2]
    start = time.monotonic()
    with socket.create_connection((host, port), timeout=30) as sock:
        try:
            for byte in data:
                sock.sendall(bytes([byte]))
                time.sleep(every)
                if select.select([sock], [], [], 0)[0] and not sock.recv(65536):
                    return time.monotonic() - start
        except ConnectionError:
            return time.monotonic() - start
    return None


@pytest.mark.parametrize("options, data", [
    pytest.param({"request_timeout": 0.5}, head([b"Content-Length: %d" % len(ECHO)], ECHO), id="body"),
    pytest.param({"request_timeout": 0.5}, b"POST /v1/chat/completions HTTP/1.1\r\n", id="request-line"),
    pytest.param({"idle_timeout": 0.5}, b"", id="idle"),
])
def test_a_slow_or_idle_client_is_cut_off_at_its_deadline(tmp_path, options, data):
    with running_server(tmp_path / "log.jsonl", **options) as server:
        if data:
            closed_after = trickle(server, data, 0.05)
        else:
            start = time.monotonic()
            with open_connections(server, 1)[0] as sock:
                assert sock.recv(10) == b""
            closed_after = time.monotonic() - start
    assert closed_after is not None and closed_after < 0.5 + 0.5 * 5


@pytest.mark.parametrize("seconds, text", [
    (0, "0s"), (0.0001, "1ms"), (0.02, "20ms"), (0.9994, "1s"), (1, "1s"), (1.5, "1.5s"),
    (59.88, "59.88s"), (360, "6m0s"), (61.25, "1m1.25s"), (3600, "1h0m0s"),
])
def test_reset_times_are_written_as_openai_writes_them(seconds, text):
    from factsift.devserver.limits import duration_text

    assert duration_text(seconds) == text


@pytest.mark.parametrize("messages, content, prompt", [
    (user("hello world 42"), "hello world 42", 3 + 3 + 1 + 3),
    ([{"role": "system", "content": "你好，世界"}] + user("hi"), "hi", 3 + (3 + 1 + 5) + (3 + 1 + 1)),
    ([{"role": "user", "name": "ann_1", "content": [{"type": "text", "text": "a b"},
                                                    {"type": "text", "text": " c"}]}], "a b c",
     3 + 3 + 1 + 3 + 1 + 1),
    ([{"role": "user", "content": None}] + user(""), "", 3 + 4 + 4),
])
def test_usage_counts_the_messages_list_and_the_reply(devserver, messages, content, prompt):
    status, reply = post(devserver, {"model": "echo", "messages": messages})
    assert status == 200 and reply["choices"][0]["message"]["content"] == content
    completion = len(content.split())
    assert reply["usage"] == {"prompt_tokens": prompt, "completion_tokens": completion,
                              "total_tokens": prompt + completion}


def test_rate_limit_headers_are_on_every_reply(devserver):
    replies = [exchange(devserver, {"model": "rate-limit:2", "messages": user(f"{i}")}) for i in range(3)]
    assert [status for status, _, _ in replies] == [200, 200, 429]
    assert [h["x-ratelimit-remaining-requests"] for _, h, _ in replies] == ["1", "0", "0"]
    for _, headers, _ in replies:
        assert headers["x-ratelimit-limit-requests"] == "2"
        assert re.fullmatch(r"[0-9]+ms|1s", headers["x-ratelimit-reset-requests"])
        assert "x-ratelimit-limit-tokens" not in headers


def token_request(text, **extra):
    # Prompt: 3 + (3 + 1 + the text's tokens).
    return {"model": "token-limit:100", "messages": user(text), **extra}


def test_token_limit_charges_prompt_and_max_tokens_or_the_reply_and_answers_429_past_it(devserver):
    first = [exchange(devserver, token_request("a b c", max_tokens=20)) for _ in range(3)]  # 10 + 20 each
    assert [status for status, _, _ in first] == [200] * 3
    assert [int(h["x-ratelimit-remaining-tokens"]) // 10 for _, h, _ in first] == [7, 4, 1]
    status, headers, reply = exchange(devserver, token_request("a b c d e f g h i j"))  # 17 + 10
    assert status == 429 and reply["error"]["code"] == "rate_limit_exceeded"
    assert reply["error"]["type"] == "tokens" and "Requested 27" in reply["error"]["message"]
    # 27 tokens, about 10 left, 100 a minute: about 10 seconds.
    assert 9000 < int(headers["retry-after-ms"]) <= 10200 and headers["Retry-After"] in ("10", "11")
    assert headers["x-ratelimit-limit-tokens"] == "100"
    assert re.fullmatch(r"5[0-4](\.[0-9]+)?s", headers["x-ratelimit-reset-tokens"])
    status, headers, reply = exchange(devserver, token_request("x", max_tokens=101))
    assert status == 429 and "Request too large" in reply["error"]["message"]
    assert "Retry-After" not in headers


class FakeClock:
    def __init__(self):
        self.now = 1000.0

    def monotonic(self):
        return self.now


@given(st.lists(st.tuples(st.floats(0, 90), st.integers(1, 100)), max_size=40))
def test_token_limit_accepts_whatever_keeps_within_any_minutes_budget(schedule):
    from factsift.devserver import limits

    clock, sent, accepted = FakeClock(), [], []
    state = limits.Limits(0)
    real_time, limits.time = limits.time, clock
    try:
        for gap, tokens in schedule:
            clock.now += gap
            if sum(t for when, t in sent if when > clock.now - 60) + tokens <= 100:
                sent.append((clock.now, tokens))
                accepted.append(state.take_tokens(100, tokens).wait == 0)
    finally:
        limits.time = real_time
    assert all(accepted)


def test_the_modes_remember_their_newest_windows_and_buckets_only():
    from factsift.devserver.limits import Limits

    state = Limits(0, limits=2)
    accepted = [state.take_request(rate).wait == 0 for rate in (1, 1, 2, 3, 1, 3, 3, 3)]
    # rate-limit:1's full window was the oldest when 3 came: forgotten, so 1 is accepted again.
    assert accepted == [True, False, True, True, True, True, True, False]
    state.take_request(5)  # forgets 1, used longer ago than 3
    assert state.take_request(3).wait > 0 and state.take_request(1).wait == 0
    assert [state.take_tokens(100, 100).wait == 0 for _ in range(2)] == [True, False]
    state.take_tokens(200, 1), state.take_tokens(300, 1)
    assert state.take_tokens(100, 100).wait == 0


def test_the_flaky_mode_forgets_the_bodies_it_saw_longest_ago():
    from factsift.devserver.limits import Limits

    bodies = [f"body {i}".encode() for i in range(20)]
    unbounded = Limits(0)
    runs = {body: [unbounded.flaky_fault(0.5, body) for _ in range(2)] for body in bodies}
    assert any(first != second for first, second in runs.values())  # else forgetting would not show
    bounded = Limits(0, bodies=1)
    for body in bodies:
        bounded.flaky_fault(0.5, body)
        bounded.flaky_fault(0.5, b"another")  # the body is forgotten: its next request counts as its first
        assert bounded.flaky_fault(0.5, body) == runs[body][0]


def call(server, method, path, body=None, raw=None, content_type="application/json", headers=None):
    """(status, headers, the parsed JSON or the raw bytes) of one request to the service's API."""
    host, port = server.server_address[:2]
    conn = http.client.HTTPConnection(host, port, timeout=30)
    try:
        data = raw if raw is not None else None if body is None else json.dumps(body).encode()
        sent = {"Content-Type": content_type} if data is not None else {}
        conn.request(method, path, body=data, headers={**sent, **(headers or {})})
        response = conn.getresponse()
        payload = response.read()
        kind = response.headers.get("Content-Type", "")
        return response.status, response.headers, json.loads(payload) if kind.startswith("application/json") else payload
    finally:
        conn.close()


def form(fields, boundary="b0undary"):
    """A multipart/form-data body of (name, filename or None, data) fields, and its Content-Type."""
    parts = [b'--%s\r\nContent-Disposition: form-data; name="%s"%s\r\n\r\n%s\r\n'
             % (boundary.encode(), name.encode(), b'; filename="%s"' % filename.encode() if filename else b"", data)
             for name, filename, data in fields]
    return b"".join(parts) + b"--%s--\r\n" % boundary.encode(), f'multipart/form-data; boundary="{boundary}"'


def upload(server, data, purpose=b"batch", filename="in.jsonl", headers=None):
    body, kind = form([("purpose", None, purpose), ("file", filename, data)])
    return call(server, "POST", "/v1/files", raw=body, content_type=kind, headers=headers)


def batch_input(ids, model="echo", **line):
    rows = [{"custom_id": i, "method": "POST", "url": "/v1/chat/completions",
             "body": {"model": model, "messages": user(f"text {i}")}, **line} for i in ids]
    return b"".join(json.dumps(row).encode() + b"\n" for row in rows)


def run_batch(server, data, metadata=None, cancel_after=None):
    """Upload, create and poll a batch to its end: (the batch, output lines, error lines)."""
    status, _, file = upload(server, data)
    assert status == 200, file
    status, _, batch = call(server, "POST", "/v1/batches", {
        "input_file_id": file["id"], "endpoint": "/v1/chat/completions", "completion_window": "24h",
        "metadata": {"devserver_time": "0.3", **(metadata or {})}})
    assert status == 200 and batch["status"] == "validating", batch
    seen = {batch["status"]}
    for _ in range(600):
        if cancel_after in seen:
            assert call(server, "POST", f"/v1/batches/{batch['id']}/cancel")[0] == 200
            cancel_after = None
        batch = call(server, "GET", f"/v1/batches/{batch['id']}")[2]
        seen.add(batch["status"])
        if batch["status"] in ("completed", "failed", "expired", "cancelled"):
            break
        time.sleep(0.02)
    files = [call(server, "GET", f"/v1/files/{batch[key]}/content")[2] if batch[key] else b""
             for key in ("output_file_id", "error_file_id")]
    return batch, *([json.loads(line) for line in f.splitlines()] for f in files)


IDS = ["a", "b", "c", "d"]


@pytest.mark.parametrize("model, metadata, status, failed", [
    ("echo", {}, "completed", {}),
    ("echo", {"devserver_fail": "b, d"}, "completed", {"b": 500, "d": 500}),
    ("status:503", {}, "completed", dict.fromkeys(IDS, 503)),
    ("echo", {"devserver_expire_after": "1"}, "expired", dict.fromkeys("bcd", "batch_expired")),
    ("echo", {"devserver_expire_after": "0"}, "expired", dict.fromkeys(IDS, "batch_expired")),
    ("null-content", {"devserver_time": "0"}, "completed", {}),
])
def test_a_batch_runs_its_lines_through_the_modes(devserver, model, metadata, status, failed):
    batch, output, errors = run_batch(devserver, batch_input(IDS, model), metadata)
    assert batch["status"] == status and batch[f"{status}_at"] >= batch["created_at"]
    assert batch["request_counts"] == {"total": 4, "completed": 4 - len(failed), "failed": len(failed)}
    assert sorted(line["custom_id"] for line in output + errors) == IDS
    assert {e["custom_id"]: (e["response"] or {}).get("status_code") or e["error"]["code"]
            for e in errors} == failed
    for line in output:
        assert line["response"]["status_code"] == 200 and line["error"] is None
        assert line["id"].startswith("batch_req_") and line["response"]["request_id"]
        reply = line["response"]["body"]
        expected = f"text {line['custom_id']}" if model == "echo" else None
        assert reply["model"] == model and reply["choices"][0]["message"]["content"] == expected
    assert batch["usage"]["input_tokens"] == sum(o["response"]["body"]["usage"]["prompt_tokens"] for o in output)
    assert batch["usage"]["total_tokens"] == sum(o["response"]["body"]["usage"]["total_tokens"] for o in output)
    assert (batch["output_file_id"] is None) == (not output) and (batch["error_file_id"] is None) == (not errors)
    assert devserver.counts == {"file.uploaded": 1, "batch.created": 1, "file.output": bool(output) + bool(errors)}
    events = [e["event"] for e in read_log(devserver.log_path) if "event" in e]
    assert sorted(events) == sorted(devserver.counts.elements())


def test_flaky_lines_fail_as_online_requests_would(tmp_path):
    with running_server(tmp_path / "log.jsonl", seed=3) as server:
        batch, output, errors = run_batch(server, batch_input([f"id{i}" for i in range(40)], "flaky:0.5"))
    codes = {(e["response"] or {}).get("status_code") or e["error"]["code"] for e in errors}
    assert batch["status"] == "completed" and 5 <= len(errors) <= 35 and len(output) + len(errors) == 40
    assert codes == {500, 503, "server_error"}


def test_a_cancelled_batch_keeps_its_answers_and_cancels_the_rest(devserver):
    batch, output, errors = run_batch(devserver, batch_input(IDS), {"devserver_time": "30"},
                                      cancel_after="in_progress")
    assert batch["status"] == "cancelled" and batch["cancelling_at"] <= batch["cancelled_at"]
    assert {e["error"]["code"] for e in errors} == {"batch_cancelled"}
    assert sorted(line["custom_id"] for line in output + errors) == IDS
    assert batch["request_counts"]["failed"] == len(errors)
    assert devserver.counts["batch.cancelled"] == 1
    status, _, reply = call(devserver, "POST", f"/v1/batches/{batch['id']}/cancel")
    assert status == 200 and reply["status"] == "cancelled"
    completed = run_batch(devserver, batch_input(IDS), {"devserver_time": "0"})[0]
    assert call(devserver, "POST", f"/v1/batches/{completed['id']}/cancel")[0] == 409


def line(custom_id="x", **changes):
    row = {"custom_id": custom_id, "method": "POST", "url": "/v1/chat/completions",
           "body": {"model": "echo", "messages": user("x")}}
    row.update(changes)
    return json.dumps(row).encode() + b"\n"


@pytest.mark.parametrize("data, problems", [
    (line("a") + line("b") + line("a"), [("duplicate_custom_id", 3, "custom_id")]),
    (line("a") + b"{not json\n" + line("c"), [("invalid_json_line", 2, None)]),
    (line("a") + line("b", body={"model": "other", "messages": user("x")}), [("mismatched_model", 2, "body.model")]),
    (line("a", url="/v1/embeddings") + line("b", method="GET"),
     [("invalid_url", 1, "url"), ("invalid_method", 2, "method")]),
    (line("a", body=[]) + line(""), [("missing_required_parameter", 1, "body.model"),
                                     ("missing_required_parameter", 2, "custom_id")]),
    (b"\n \n", [("empty_file", 0, None)]),
])
def test_a_batch_that_fails_validation_says_where(devserver, data, problems):
    batch, output, errors = run_batch(devserver, data)
    assert batch["status"] == "failed" and batch["failed_at"] and (output, errors) == ([], [])
    assert batch["errors"]["object"] == "list"
    assert [(e["code"], e["line"], e["param"]) for e in batch["errors"]["data"]] == problems
    assert devserver.counts["file.output"] == 0


@pytest.mark.parametrize("body, content_type, message", [
    (b"purpose=batch", "application/x-www-form-urlencoded", "multipart/form-data"),
    (form([("purpose", None, b"batch")])[0], "multipart/form-data", "boundary"),
    (form([("purpose", None, b"batch")])[0], 'multipart/form-data; boundary="other"', "boundary"),
    (form([("purpose", None, b"batch")])[0], 'multipart/form-data; boundary="b0undary"', "'file'"),
    (form([("purpose", None, b"batch"), ("file", None, b"x")])[0], 'multipart/form-data; boundary=b0undary',
     "'file'"),
    (form([("purpose", None, b"fine-tune"), ("file", "a.jsonl", b"x")])[0],
     'multipart/form-data; boundary=b0undary', "purpose"),
    (form([("purpose", None, b"batch"), ("file", "a.jsonl", b"x" * 101)])[0],
     'multipart/form-data; boundary=b0undary', "limit of 100 bytes"),
    (form([("purpose", None, b"batch"), ("file", "a.jsonl", b"x")])[0][:-12],
     'multipart/form-data; boundary=b0undary', "closing boundary"),
    (form([(f"f{i}", None, b"") for i in range(21)])[0], 'multipart/form-data; boundary=b0undary', "parts"),
    (b'--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--', 'multipart/form-data; boundary=b', "Disposition"),
    (b'--b\r\nContent-Disposition: form-data; name="purpose"\r\nX-Pad: ' + b"x" * 8192 + b'\r\n\r\nbatch\r\n--b--',
     'multipart/form-data; boundary=b', "headers' end"),
    (b'--b\r\nContent-Disposition: attachment; name="file"; filename="a"\r\n\r\nx\r\n--b--',
     'multipart/form-data; boundary=b', "form-data"),
], ids=["not-a-form", "no-boundary", "other-boundary", "no-file", "file-without-name", "purpose", "too-large",
        "cut-short", "too-many-parts", "no-disposition", "long-head", "not-form-data"])
def test_a_bad_upload_gets_400_and_makes_nothing(tmp_path, body, content_type, message):
    with running_server(tmp_path / "log.jsonl", max_file_bytes=100) as server:
        status, _, reply = call(server, "POST", "/v1/files", raw=body, content_type=content_type)
        assert status == 400 and message in reply["error"]["message"]
        assert not server.counts and call(server, "GET", "/v1/files")[2]["data"] == []
    entry = read_log(tmp_path / "log.jsonl")[0]
    assert (entry["path"], entry["body"], entry["body_bytes"]) == ("/v1/files", None, len(body))


@pytest.mark.parametrize("disposition, filename", [
    (b'form-data; name=file; filename="plain.jsonl"', "plain.jsonl"),
    (b"form-data; name=\"file\"; filename*=UTF-8''%E4%B8%AD%E6%96%87.jsonl", "中文.jsonl"),
    (b'form-data; name="file"; filename="\xe4\xb8\xad.jsonl"', "中.jsonl"),
])
def test_an_upload_names_its_file_as_a_form_may(devserver, disposition, filename):
    body = (b'--b\r\nContent-Disposition: form-data; name="purpose"\r\n\r\nbatch\r\n'
            b"--b\r\nContent-Disposition: " + disposition + b"\r\nContent-Type: application/jsonl\r\n\r\n"
            b"{}\n\r\n--b--\r\n")
    status, _, info = call(devserver, "POST", "/v1/files", raw=body, content_type="multipart/form-data; boundary=b")
    assert (status, info["filename"], info["bytes"]) == (200, filename, 3)


def test_files_are_listed_retrieved_read_and_deleted(devserver):
    data = batch_input(IDS)
    body, kind = form([("purpose", None, b"batch"), ("file", 'we\\"ird \xe5.jsonl', data)], boundary="x--y")
    status, _, info = call(devserver, "POST", "/files", raw=body, content_type=kind)
    assert status == 200 and (info["object"], info["bytes"], info["purpose"]) == ("file", len(data), "batch")
    assert info["filename"] == 'we"ird \xe5.jsonl'
    assert call(devserver, "GET", f"/v1/files/{info['id']}")[2] == info
    assert call(devserver, "GET", f"/v1/files/{info['id']}/content")[2] == data
    assert call(devserver, "GET", "/v1/files?purpose=batch")[2]["data"] == [info]
    assert call(devserver, "GET", "/v1/files?purpose=batch_output")[2]["data"] == []
    assert call(devserver, "DELETE", f"/v1/files/{info['id']}")[2] == {"id": info["id"], "object": "file",
                                                                       "deleted": True}
    for method, path in (("GET", ""), ("GET", "/content"), ("DELETE", "")):
        status, _, reply = call(devserver, method, f"/v1/files/{info['id']}{path}")
        assert status == 404 and info["id"] in reply["error"]["message"]
    assert devserver.counts == {"file.uploaded": 1, "file.deleted": 1}


def test_the_stored_files_are_bounded_in_all_and_deleting_one_makes_room(tmp_path):
    def made(server, size):
        status, _, info = upload(server, b"x" * size)
        assert status in (200, 400), info
        return info.get("id") if status == 200 else info["error"]["message"]

    with running_server(tmp_path / "log.jsonl", max_file_bytes=100, max_stored_bytes=250) as server:
        first, second = made(server, 100), made(server, 100)
        refusal = made(server, 100)
        assert "file storage quota" in refusal and "at most 250 bytes" in refusal
        assert made(server, 50).startswith("file-")  # 250: full
        request = {"input_file_id": first, "endpoint": "/v1/chat/completions", "completion_window": "24h"}
        status, _, reply = call(server, "POST", "/v1/batches", request)  # its output would not fit
        assert status == 400 and "output" in reply["error"]["message"]
        assert call(server, "DELETE", f"/v1/files/{second}")[0] == 200
        assert call(server, "POST", "/v1/batches", request)[0] == 200
        assert made(server, 100).startswith("file-")
        assert server.counts == {"file.uploaded": 4, "file.deleted": 1, "batch.created": 1}


def test_the_stored_files_are_bounded_in_number_too_and_output_is_always_kept():
    from factsift.devserver.files import FileStore, StorageFull

    store = FileStore(max_bytes=10, max_files=2)
    made = [store.add("a", "batch", b"")["id"], store.add("b", "batch", b"")["id"]]
    with pytest.raises(StorageFull, match="at most 2 files"):
        store.add("c", "batch", b"")
    store.add("output", "batch_output", b"x" * 20, bounded=False)
    with pytest.raises(StorageFull):
        store.check_room()
    assert store.delete(made[0]) and not store.delete(made[0])
    assert [f["filename"] for f in store.listing(None)] == ["output", "b"]


def test_files_are_listed_in_either_order_up_to_ten_thousand_a_page(devserver):
    made = [upload(devserver, b"%d" % i)[2]["id"] for i in range(3)]

    def ids(query):
        status, _, reply = call(devserver, "GET", f"/v1/files?{query}")
        return [f["id"] for f in reply["data"]] + [reply["has_more"]] if status == 200 else reply["error"]["param"]

    assert ids("") == ids("order=desc") == ids("limit=10000") == made[::-1] + [False]
    assert ids("order=asc&limit=2") == made[:2] + [True]
    assert ids(f"order=asc&after={made[1]}") == made[2:] + [False]
    assert ids(f"order=desc&limit=1&after={made[2]}") == made[1:2] + [True]
    assert [ids("limit=10001"), ids("limit=0"), ids("order=newest")] == ["limit", "limit", "order"]
    assert call(devserver, "GET", "/v1/batches?limit=101")[0] == 400  # batches: 1-100, as OpenAI's


@pytest.mark.parametrize("changes, status, param", [
    ({"input_file_id": "file-nope"}, 404, "id"),
    ({"endpoint": "/v1/embeddings"}, 400, "endpoint"),
    ({"completion_window": "1h"}, 400, "completion_window"),
    ({"metadata": {"devserver_time": "soon"}}, 400, "metadata"),
    ({"metadata": {"devserver_expire_after": "-1"}}, 400, "metadata"),
    ({"metadata": {"devserver_time": "nan"}}, 400, "metadata"),
    ({"metadata": {"k": 1}}, 400, "metadata"),
    ({"metadata": {f"k{i}": "v" for i in range(17)}}, 400, "metadata"),
    ({"input_file_id": None}, 400, None),
])
def test_a_bad_batch_request_gets_an_error_and_makes_nothing(devserver, changes, status, param):
    file_id = upload(devserver, batch_input(IDS))[2]["id"]
    request = {"input_file_id": file_id, "endpoint": "/v1/chat/completions", "completion_window": "24h"}
    got, _, reply = call(devserver, "POST", "/v1/batches", {**request, **changes})
    assert (got, reply["error"]["param"]) == (status, param)
    assert devserver.counts == {"file.uploaded": 1}


def test_batches_are_listed_newest_first_a_page_at_a_time(devserver):
    file_id = upload(devserver, batch_input(IDS))[2]["id"]
    request = {"input_file_id": file_id, "endpoint": "/v1/chat/completions", "completion_window": "24h"}
    made = [call(devserver, "POST", "/v1/batches", request)[2]["id"] for _ in range(5)]
    first = call(devserver, "GET", "/v1/batches?limit=3")[2]
    assert [b["id"] for b in first["data"]] == made[::-1][:3] and first["has_more"]
    rest = call(devserver, "GET", f"/v1/batches?limit=3&after={first['last_id']}")[2]
    assert [b["id"] for b in rest["data"]] == made[::-1][3:] and not rest["has_more"]
    assert call(devserver, "GET", "/v1/batches?limit=0")[0] == 400
    assert call(devserver, "GET", "/v1/batches/batch_nope")[0] == 404
    assert devserver.counts["batch.created"] == 5


def test_models_are_listed_and_any_id_is_served(devserver):
    status, _, models = call(devserver, "GET", "/v1/models")
    assert status == 200 and models["object"] == "list"
    assert {m["id"] for m in models["data"]} >= {"echo", "null-content"}
    status, _, model = call(devserver, "GET", "/v1/models/fixed%3Aok")
    assert (status, model["id"], model["object"]) == (200, "fixed:ok", "model")


def stream_events(server, body):
    status, headers, raw = call(server, "POST", "/v1/chat/completions", {**body, "stream": True})
    assert status == 200 and headers["Content-Type"].startswith("text/event-stream")
    events = [line[len(b"data: "):] for line in raw.split(b"\n\n") if line]
    assert events[-1] == b"[DONE]"
    return [json.loads(e) for e in events[:-1]]


@pytest.mark.parametrize("model, text, include_usage", [
    ("echo", "一段比十六个字符更长的文字，分几块送出。 and more", False),
    ("echo", "short", True),
    ("null-content", "x", True),
])
def test_stream_true_answers_with_server_sent_events(devserver, model, text, include_usage):
    body = {"model": model, "messages": user(text)}
    if include_usage:
        body["stream_options"] = {"include_usage": True}
    chunks = stream_events(devserver, body)
    assert {c["object"] for c in chunks} == {"chat.completion.chunk"} and len({c["id"] for c in chunks}) == 1
    deltas = [c["choices"][0]["delta"] for c in chunks if c["choices"]]
    assert deltas[0]["role"] == "assistant" and chunks[-1 - include_usage]["choices"][0]["finish_reason"] == "stop"
    expected = text if model == "echo" else ""
    assert "".join(d.get("content") or "" for d in deltas) == expected
    if include_usage:
        assert chunks[-1]["choices"] == [] and chunks[-1]["usage"] == post(devserver, body | {"stream": False})[1]["usage"]
    else:
        assert all("usage" not in c for c in chunks)


@pytest.fixture
def real_openai():
    import openai

    return openai


def test_the_real_client_reads_every_object_the_service_makes(devserver, real_openai):
    c = real_openai.OpenAI(base_url=devserver.url, api_key="k", max_retries=0)
    uploaded = c.files.create(file=("in.jsonl", batch_input(IDS)), purpose="batch")
    made = [c.batches.create(input_file_id=uploaded.id, endpoint="/v1/chat/completions",
                             completion_window="24h", metadata={"devserver_time": time})
            for time in ("0.2", "60")]
    assert c.batches.cancel(made[1].id).status == "cancelling"
    for _ in range(500):
        done = c.batches.retrieve(made[0].id)
        if done.status == "completed":
            break
        time.sleep(0.02)
    # openai 1.x models no batch usage: it keeps the field as the service sent it.
    usage = done.usage if isinstance(done.usage, dict) else done.usage.model_dump()
    assert done.request_counts.completed == 4 and usage["total_tokens"] > 0
    output = c.files.content(done.output_file_id).read().splitlines()
    assert sorted(json.loads(line)["custom_id"] for line in output) == IDS
    assert [b.id for b in c.batches.list(limit=1)] == [m.id for m in reversed(made)]
    assert c.models.retrieve("echo").id == "echo" and "echo" in [m.id for m in c.models.list()]
    assert c.files.delete(uploaded.id).deleted
    events = c.chat.completions.create(model="echo", messages=user("流式的回答, streamed"), stream=True)
    assert "".join(e.choices[0].delta.content or "" for e in events if e.choices) == "流式的回答, streamed"
    # The raw objects meet the client's own types exactly, not only as it reads them leniently.
    types = real_openai.types
    batch = call(devserver, "GET", f"/v1/batches/{made[0].id}")[2]
    for kind, obj in ((types.Batch, batch), (types.Batch, call(devserver, "GET", f"/v1/batches/{made[1].id}")[2]),
                      (types.FileObject, call(devserver, "GET", f"/v1/files/{done.output_file_id}")[2]),
                      (types.Model, call(devserver, "GET", "/v1/models/echo")[2])):
        validate = getattr(kind, "model_validate", None) or kind.parse_obj  # pydantic 2, else 1
        assert validate(obj).model_dump(exclude_unset=True) == obj


# -- an API key, and a service reachable from other machines -------------------------------------

KEY = "sk-devserver-0123456789"
ECHO_BODY = {"model": "echo", "messages": [{"role": "user", "content": "x"}]}


@pytest.mark.parametrize("authorization, message", [
    (None, "You didn't provide an API key"),
    ("Bearer sk-wrong-key-999", "Incorrect API key provided: sk-*********-999."),
    ("Basic " + KEY, "Incorrect API key provided: "),
    ("Bearer " + KEY + "x", "Incorrect API key provided: "),
    ("bearer  " + KEY, None),
    ("Bearer " + KEY, None),
])
@pytest.mark.parametrize("method, path, body", [
    ("POST", "/v1/chat/completions", ECHO_BODY),
    ("GET", "/v1/files", None),
    ("POST", "/v1/batches", {"input_file_id": "file-x", "endpoint": "/v1/chat/completions",
                             "completion_window": "24h"}),
])
def test_with_an_api_key_every_request_must_bear_it(tmp_path, authorization, message, method, path, body):
    headers = {"Authorization": authorization} if authorization else {}
    with running_server(tmp_path / "log.jsonl", api_key=KEY) as server:
        status, _, reply = call(server, method, path, body, headers=headers)
        uploaded = upload(server, b"x", headers=headers)[0]
    if message is None:
        assert status != 401 and uploaded == 200 and server.counts == {"file.uploaded": 1}
        return
    assert (status, uploaded) == (401, 401)
    assert reply == {"error": {"message": reply["error"]["message"], "type": "invalid_request_error",
                               "param": None, "code": "invalid_api_key"}}
    assert reply["error"]["message"].startswith(message) and KEY not in reply["error"]["message"]
    assert not server.counts


@pytest.mark.parametrize("host, api_key, refused", [
    ("0.0.0.0", None, True), ("", None, True), ("0.0.0.0", KEY, False), ("127.0.0.2", None, False),
    ("localhost", None, False),
])
def test_a_service_reachable_from_other_machines_needs_an_api_key(host, api_key, refused):
    if refused:
        with pytest.raises(ValueError, match="api.key"):
            serve(host, 0, api_key=api_key)
        return
    server = serve(host, 0, api_key=api_key)
    server.start()
    try:
        status, _, reply = call(server, "POST", "/v1/chat/completions", ECHO_BODY)
        assert status == (401 if api_key else 200)
    finally:
        server.stop()


def test_the_command_line_refuses_to_serve_other_machines_without_a_key_and_warns_with_one():
    result = run_cli("--host", "0.0.0.0", "--port", "0")
    assert result.returncode == 2 and "--api-key" in result.stderr
    proc = subprocess.Popen([sys.executable, "-m", "factsift.devserver", "--host", "0.0.0.0", "--port", "0",
                             "--api-key", KEY, "--quiet"], cwd=ROOT, env=dict(os.environ, PYTHONPATH=ROOT),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = proc.stdout.readline().split()[-1]
        c = openai.OpenAI(base_url=url.replace("0.0.0.0", "127.0.0.1"), api_key=KEY, max_retries=0)
        assert c.chat.completions.create(model="echo", messages=user("x")).choices[0].message.content == "x"
        with pytest.raises(openai.AuthenticationError):
            openai.OpenAI(base_url=c.base_url, api_key="other", max_retries=0).models.list()
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 0
        assert "reachable from other machines" in proc.stderr.read()
    finally:
        proc.kill()
        proc.wait()
        proc.stdout.close()
        proc.stderr.close()


# -- the service's modules ------------------------------------------------------------------------

def import_graph(folder, package="factsift.devserver"):
    """Which of the package's modules each of its modules imports, wherever the import stands
    (in a function, under TYPE_CHECKING); `from . import x` imports the package and its module x."""
    modules = {package if p.stem == "__init__" else f"{package}.{p.stem}": p for p in folder.glob("*.py")}

    def targets(base, name):
        return {base, f"{base}.{name}"}

    graph = {}
    for name, path in modules.items():
        here = package if name == package else name.rpartition(".")[0]
        edges = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                edges.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = here if node.level else node.module
                if node.level and node.module:
                    base = f"{here}.{node.module}"
                edges.update(*(targets(base, alias.name) for alias in node.names))
        graph[name] = {edge for edge in edges if edge in modules and edge != name}
    return graph


def cycle_in(graph):
    """A list of modules that import each other round, or None."""
    done, path = set(), []

    def visit(name):
        if name in path:
            return path[path.index(name):] + [name]
        if name in done:
            return None
        path.append(name)
        found = next(filter(None, map(visit, sorted(graph[name]))), None)
        path.pop()
        done.add(name)
        return found

    return next(filter(None, map(visit, sorted(graph))), None)


def test_the_services_modules_import_one_way():
    import factsift.devserver

    graph = import_graph(pathlib.Path(factsift.devserver.__file__).parent)  # the checkout's, or installed
    assert graph["factsift.devserver.router"] >= {"factsift.devserver.api", "factsift.devserver.account"}
    assert cycle_in(graph) is None, cycle_in(graph)
    assert cycle_in({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}) == ["a", "b", "c", "a"]


def test_an_account_answers_without_a_socket_and_a_server_serves_the_one_it_is_given(tmp_path):
    from factsift.devserver import Account, router

    account = Account(mode="fixed:好", log_path=str(tmp_path / "log.jsonl"))
    raw = json.dumps({"model": "gpt-x", "messages": user("x")}).encode()
    outcome = router.answer(account, "POST", "/v1/chat/completions", {}, "application/json", raw, json.loads(raw))
    assert outcome.status == 200 and json.loads(outcome.body)["choices"][0]["message"]["content"] == "好"
    body, kind = form([("purpose", None, b"batch"), ("file", "in.jsonl", b"{}")])
    outcome = router.answer(account, "POST", "/files", {}, kind, body, None)
    assert outcome.status == 200 and account.counts == {"file.uploaded": 1}
    server = serve(account=account)
    server.start()
    try:
        assert server.counts is account.counts and server.files is account.files
        assert post(server, {"model": "gpt-x", "messages": user("x")})[1]["choices"][0]["message"]["content"] == "好"
        assert [f["filename"] for f in call(server, "GET", "/v1/files")[2]["data"]] == ["in.jsonl"]
    finally:
        server.stop()


# -- the account's rate limits, as OpenAI's API keeps them ----------------------------------------

LEARN_MORE = " Visit https://platform.openai.com/account/rate-limits to learn more."
QUOTA_MESSAGE = ("You exceeded your current quota, please check your plan and billing details. For more "
                 "information on this error, read the docs: "
                 "https://platform.openai.com/docs/guides/error-codes/api-errors.")


def limited(clock, **options):
    from factsift.devserver.ratelimit import AccountLimits

    return AccountLimits(**options, clock=clock.monotonic)


def refusal_of(admitted):
    refusal, headers = admitted
    return None if refusal is None else (refusal.status, json.loads(refusal.body)["error"], refusal.headers)


def test_requests_a_minute_refill_evenly_and_a_refusal_says_when_one_fits():
    clock = FakeClock()
    limits = limited(clock, rpm=3)
    assert [refusal_of(limits.admit("m", 10)) for _ in range(3)] == [None] * 3
    clock.now += 5  # a quarter of a request back
    status, body, headers = refusal_of(limits.admit("m", 10))
    assert (status, body["type"], body["code"], body["param"]) == (429, "requests", "rate_limit_exceeded", None)
    assert body["message"] == ("Rate limit reached for m in organization org-factsift on requests per min (RPM): "
                               "Limit 3, Used 3, Requested 1. Please try again in 15s." + LEARN_MORE)
    assert (headers["retry-after-ms"], headers["Retry-After"]) == ("15000", "15")
    assert (headers["x-ratelimit-remaining-requests"], headers["x-ratelimit-reset-requests"]) == ("0", "55s")
    assert "x-ratelimit-limit-tokens" not in headers
    clock.now += 15
    refusal, headers = limits.admit("m", 10)
    assert refusal is None and headers["x-ratelimit-remaining-requests"] == "0"


def test_tokens_a_minute_charge_on_arrival_and_a_refused_request_takes_nothing():
    clock = FakeClock()
    limits = limited(clock, rpm=100, tpm=1000)
    refusal, headers = limits.admit("m", 600)
    assert refusal is None and headers == {
        "x-ratelimit-limit-requests": "100", "x-ratelimit-remaining-requests": "99",
        "x-ratelimit-reset-requests": "600ms", "x-ratelimit-limit-tokens": "1000",
        "x-ratelimit-remaining-tokens": "400", "x-ratelimit-reset-tokens": "36s"}
    for _ in range(2):  # 200 short: 12 s at 1000 a minute, each time
        status, body, headers = refusal_of(limits.admit("gpt-4o-mini", 600))
        assert body["message"] == ("Rate limit reached for gpt-4o-mini in organization org-factsift on tokens "
                                   "per min (TPM): Limit 1000, Used 600, Requested 600. Please try again in 12s."
                                   + LEARN_MORE)
        assert (status, body["type"], headers["Retry-After"], headers["x-ratelimit-remaining-tokens"]) == \
            (429, "tokens", "12", "400")
        assert headers["x-ratelimit-remaining-requests"] == "99"
    clock.now += 0.3
    status, body, headers = refusal_of(limits.admit("m", 600))
    assert "try again in 11.7s." in body["message"] and headers["retry-after-ms"] == "11700"


@pytest.mark.parametrize("options, tokens, message, kind, should_retry", [
    ({"tpm": 1000}, 1001, "Request too large for m in organization org-factsift on tokens per min (TPM): Limit "
     "1000, Requested 1001. The input or output tokens must be reduced in order to run successfully." + LEARN_MORE,
     "tokens", "false"),
    ({"quota": 1000}, 1001, QUOTA_MESSAGE, "insufficient_quota", None),
    ({"quota": 1000, "tpm": 10}, 500, QUOTA_MESSAGE, "insufficient_quota", None),
])
def test_a_request_that_can_never_fit_is_refused_without_a_time_to_retry(options, tokens, message, kind,
                                                                         should_retry):
    limits = limited(FakeClock(), **options)
    if options.get("tpm") == 10:
        limits.quota_used = 600  # the quota's tokens outlast any minute
    status, body, headers = refusal_of(limits.admit("m", tokens))
    assert (status, body["message"], body["type"]) == (429, message, kind)
    assert body["code"] == ("rate_limit_exceeded" if kind == "tokens" else "insufficient_quota")
    assert headers.get("x-should-retry") == should_retry
    assert not {"Retry-After", "retry-after-ms"} & set(headers)


def test_a_quota_lasts_the_life_of_the_service_and_counts_what_was_let_in():
    clock = FakeClock()
    limits = limited(clock, quota=100, tpm=60)
    assert refusal_of(limits.admit("m", 60)) is None
    assert refusal_of(limits.admit("m", 30))[1]["type"] == "tokens"  # the minute's budget: not the quota
    clock.now += 3600
    assert refusal_of(limits.admit("m", 40)) is None
    assert refusal_of(limits.admit("m", 1))[1]["type"] == "insufficient_quota"


@given(st.lists(st.tuples(st.floats(0, 90), st.integers(1, 100)), max_size=40))
def test_the_token_budget_lets_in_what_keeps_within_any_minute_and_never_more(schedule):
    clock = FakeClock()
    limits, fitting = limited(clock, tpm=100), limited(clock, tpm=100)
    sent, accepted = [], []
    for gap, tokens in schedule:
        clock.now += gap
        if limits.admit("m", tokens)[0] is None:
            accepted.append((clock.now, tokens))
        if sum(t for when, t in sent if when > clock.now - 60) + tokens <= 100:
            sent.append((clock.now, tokens))
            assert fitting.admit("m", tokens)[0] is None
    for start, _ in accepted:  # what it lets in over any span: the budget, and its refill over the span
        for end, _ in accepted:
            if end >= start:
                taken = sum(t for when, t in accepted if start <= when <= end)
                assert taken <= 100 + (end - start) * 100 / 60 + 1e-6


def chat_body(text="x", model="gpt-x", **extra):
    return {"model": model, "messages": user(text), **extra}


def test_the_service_limits_requests_over_all_connections_and_modes_and_counts_its_refusals(tmp_path):
    with running_server(tmp_path / "log.jsonl", rpm=3) as server:
        replies = [exchange(server, chat_body(model=model)) for model in ("echo", "status:500", "delay:0")]
        status, headers, reply = exchange(server, chat_body(model="fixed:no"))
        assert [r[0] for r in replies] == [200, 500, 200]
        assert [r[1]["x-ratelimit-remaining-requests"] for r in replies] == ["2", "1", "0"]
        assert all(r[1]["x-ratelimit-limit-requests"] == "3" for r in replies)
        assert re.fullmatch(r"Rate limit reached for fixed:no in organization org-factsift on requests per min "
                            r"\(RPM\): Limit 3, Used 3, Requested 1\. Please try again in 19\.[0-9]+s\. Visit .*",
                            reply["error"]["message"])
        assert (status, headers["Retry-After"], reply["error"]["type"]) == (429, "20", "requests")
        assert 19_000 < int(headers["retry-after-ms"]) <= 20_000
        assert post(server, {"model": "echo"})[0] == 400  # malformed: counted in the replies, not the budget
        assert dict(server.replies) == {200: 2, 500: 1, 429: 1, 400: 1} and server.answered == 5


def test_a_chat_reply_says_how_the_token_budget_stands_unless_told_not_to(tmp_path):
    # Prompt: 3 + 3 + 1 + 1 = 8 tokens, and max_tokens.
    with running_server(tmp_path / "log.jsonl", tpm=100) as server:
        _, headers, _ = exchange(server, chat_body(max_tokens=42))
        assert headers["x-ratelimit-remaining-tokens"] == "50" and headers["x-ratelimit-limit-tokens"] == "100"
        _, headers, _ = exchange(server, {"model": "echo"})
        assert headers["x-ratelimit-remaining-tokens"] == "50"  # a 400 takes nothing
        status, headers, reply = exchange(server, chat_body(max_tokens=93))
        assert status == 429 and "Requested 101" in reply["error"]["message"] and "Request too large" in \
            reply["error"]["message"] and headers["x-should-retry"] == "false" and "Retry-After" not in headers
        assert exchange(server, chat_body(model="echo"))[1]["x-ratelimit-remaining-tokens"] == "41"
    with running_server(tmp_path / "quiet.jsonl", tpm=10, ratelimit_headers=False) as server:
        first, second = (exchange(server, chat_body()) for _ in range(2))
    assert (first[0], second[0]) == (200, 429) and second[1]["Retry-After"] == "48"  # 9 of 10, 8 short
    assert not [name for name in (*first[1], *second[1]) if name.lower().startswith("x-ratelimit")]


def test_past_the_quota_every_request_gets_insufficient_quota(tmp_path):
    with running_server(tmp_path / "log.jsonl", quota=20) as server:
        assert exchange(server, chat_body(max_tokens=10))[0] == 200  # 18 of 20
        status, headers, reply = exchange(server, chat_body(max_tokens=10))
    assert (status, reply) == (429, {"error": {"message": QUOTA_MESSAGE, "type": "insufficient_quota",
                                               "param": None, "code": "insufficient_quota"}})
    assert not {"Retry-After", "retry-after-ms", "x-should-retry"} & set(headers)


@pytest.mark.parametrize("model, status, expected", [
    ("refuse:1e9", 429, {"Retry-After": "1e9"}),
    ("refuse:-5", 429, {"Retry-After": "-5"}),
    ("refuse:Wed, 21 Oct 2015 07:28:00 GMT", 429, {"Retry-After": "Wed, 21 Oct 2015 07:28:00 GMT"}),
    ("refuse:soon", 429, {"Retry-After": "soon"}),
    ("refuse:", 429, {}),
    ("refuse:retry-after-ms=10; Retry-After=600", 429, {"retry-after-ms": "10", "Retry-After": "600"}),
    ("refuse:x-ratelimit-remaining-requests=0", 429, {"x-ratelimit-remaining-requests": "0"}),
    ("headers:x-ratelimit-limit-tokens=0;x-ratelimit-remaining-tokens=9", 200,
     {"x-ratelimit-limit-tokens": "0", "x-ratelimit-remaining-tokens": "9"}),
    ("headers:x-ratelimit-reset-tokens=-1s;x-ratelimit-limit-tokens=lots", 200,
     {"x-ratelimit-reset-tokens": "-1s", "x-ratelimit-limit-tokens": "lots"}),
])
def test_a_mode_sends_the_rate_limit_headers_a_test_chooses(devserver, model, status, expected):
    got, headers, reply = exchange(devserver, chat_body(model=model))
    scripted = {name: value for name, value in headers.items()
                if name.lower().startswith(("x-ratelimit", "retry-after"))}
    assert (got, scripted) == (status, expected)
    if status == 429:
        assert (reply["error"]["type"], reply["error"]["code"]) == ("requests", "rate_limit_exceeded")
    else:
        assert reply["choices"][0]["message"]["content"] == "x"


@pytest.mark.parametrize("model, problem", [
    ("refuse:Content-Length=5", "Content-Length"),
    ("headers:Connection=close", "Connection"),
    ("headers:x-a=one\ntwo", "printable"),
    ("refuse:" + ";".join(f"x-h{i}=1" for i in range(11)), "at most 10"),
    ("headers:x-a=" + "v" * 201, "200 characters"),
])
def test_a_mode_may_set_no_header_that_frames_the_answer(devserver, model, problem):
    status, reply = post(devserver, chat_body(model=model))
    assert status == 400 and problem in reply["error"]["message"]


def test_a_scripted_header_wins_over_the_accounts_own(tmp_path):
    with running_server(tmp_path / "log.jsonl", tpm=1000) as server:
        _, headers, _ = exchange(server, chat_body(model="headers:x-ratelimit-remaining-tokens=0"))
    assert (headers["x-ratelimit-remaining-tokens"], headers["x-ratelimit-limit-tokens"]) == ("0", "1000")


# -- prompt caching and the model that answered --------------------------------------------------

@given(st.lists(st.fixed_dictionaries(
    {"role": st.sampled_from(["user", "system", "tool", "my role"]),
     "content": st.one_of(st.none(), st.text(st.sampled_from("ab1_ ,\n中\u3000")))},
    optional={"name": st.text(st.sampled_from("ab_ -"), max_size=5)}), min_size=1, max_size=5))
def test_a_prompts_pieces_are_as_many_as_its_tokens(messages):
    from factsift.devserver.tokens import prompt_pieces, prompt_tokens

    assert len(prompt_pieces(messages)) == prompt_tokens(messages)


def words(count, start=0):
    return " ".join(f"w{i}" for i in range(start, start + count))


def cached_of(reply):
    return reply["usage"]["prompt_tokens_details"]["cached_tokens"]


def test_a_prompt_that_starts_as_an_earlier_one_did_reports_the_shared_start_as_cached(tmp_path):
    system = {"role": "system", "content": words(2036)}
    with running_server(tmp_path / "log.jsonl", prompt_cache=True) as server:
        first = post(server, {"model": "echo", "messages": [system] + user("one")})[1]
        assert first["usage"]["prompt_tokens"] == 3 + 2040 + 5 and cached_of(first) == 0
        assert first["usage"]["completion_tokens_details"] == {
            "reasoning_tokens": 0, "audio_tokens": 0, "accepted_prediction_tokens": 0,
            "rejected_prediction_tokens": 0}
        # Shared: the system message (2040 pieces) and the next one's start (3): 2043, in steps of 128.
        second = post(server, {"model": "echo", "messages": [system] + user("two")})[1]
        assert cached_of(second) == 1920
        again = client(server).chat.completions.create(model="echo", messages=[system] + user("two"))
        assert again.usage.prompt_tokens_details.cached_tokens == 2048  # the whole prompt
        short = post(server, {"model": "echo", "messages": user(words(1100))})[1]
        changed = post(server, {"model": "echo", "messages": user(words(1000) + " x " + words(100, 1001))})[1]
        assert (cached_of(short), cached_of(changed)) == (0, 0)  # 1003 shared: under 1024
        chunks = stream_events(server, {"model": "echo", "messages": user(words(1100)),
                                        "stream_options": {"include_usage": True}})
        assert chunks[-1]["usage"]["prompt_tokens_details"]["cached_tokens"] == 1024
    with running_server(tmp_path / "off.jsonl") as server:
        replies = [post(server, {"model": "echo", "messages": [system] + user("one")})[1] for _ in range(2)]
    assert all("prompt_tokens_details" not in r["usage"] for r in replies)


def test_the_prompt_cache_forgets_the_oldest_prompts_first():
    from factsift.devserver.promptcache import PromptCache

    cache = PromptCache(capacity=3)
    prompts = [user(words(1030, start=10_000 * i)) for i in range(3)]  # one 1024-token start each
    assert [cache.cached_tokens(p) for p in prompts] == [0, 0, 0]
    assert cache.cached_tokens(prompts[0]) == 1024  # now the newest
    cache.cached_tokens(user(words(1030, start=50_000)))  # forgets prompts[1]
    assert [cache.cached_tokens(p) for p in (prompts[1], prompts[0])] == [0, 1024]


def test_a_batch_adds_up_its_lines_cached_tokens(tmp_path):
    lines = b"".join(json.dumps({"custom_id": i, "method": "POST", "url": "/v1/chat/completions",
                                 "body": {"model": "echo", "messages": user(words(1200))}}).encode() + b"\n"
                     for i in ("a", "b", "c"))
    with running_server(tmp_path / "log.jsonl", prompt_cache=True) as server:
        batch, output, _ = run_batch(server, lines)
    assert [cached_of(line["response"]["body"]) for line in output] == [0, 1152, 1152]
    assert batch["usage"]["input_tokens_details"] == {"cached_tokens": 2304}


@pytest.mark.parametrize("model, answered_as", [
    ("gpt-4o-mini", "gpt-4o-mini-2024-07-18"), ("echo", "echo-v2"), ("gpt-4o", "gpt-4o"),
])
def test_a_route_names_the_model_that_answered(tmp_path, model, answered_as):
    routes = {"gpt-4o-mini": "gpt-4o-mini-2024-07-18", "echo": "echo-v2"}
    with running_server(tmp_path / "log.jsonl", mode="fixed:ok", routes=routes) as server:
        status, reply = post(server, {"model": model, "messages": user("routed")})
        chunks = stream_events(server, {"model": model, "messages": user("routed")})
        batch, output, _ = run_batch(server, batch_input(["a"], model))
    expected = "routed" if model == "echo" else "ok"  # the mode is the one asked for
    assert (status, reply["model"], reply["choices"][0]["message"]["content"]) == (200, answered_as, expected)
    assert {c["model"] for c in chunks} == {answered_as}
    assert output[0]["response"]["body"]["model"] == answered_as
