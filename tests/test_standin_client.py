"""The openai client (the offline stand-in unless the real one is installed) against
factsift.devserver over real HTTP on 127.0.0.1."""

import contextlib
import socket

import pytest

from devserver_fixtures import USING_STANDIN, client, devserver, openai, read_log, user  # noqa: F401

ARTICLE = "据统计，2024年江州市GDP同比增长5.2%，居民人均收入达到6.8万元。"


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


@pytest.mark.parametrize("model, options, error_cls", [
    ("bad-json", {}, openai.APIResponseValidationError),
    ("drop", {}, openai.APIConnectionError),
    ("delay:30", {"timeout": 0.3}, openai.APITimeoutError),
])
def test_broken_replies_raise(devserver, model, options, error_cls):
    with pytest.raises(openai.APIError) as info:
        client(devserver, **options).chat.completions.create(model=model, messages=user("x"))
    assert type(info.value) is error_cls


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


@pytest.mark.parametrize("model, max_retries, expected_requests", [
    ("status:500", 2, 3),
    ("status:429", 1, 2),
    ("status:400", 2, 1),
    ("echo", 2, 1),
])
def test_retries_only_transient_failures(devserver, model, max_retries, expected_requests):
    with pytest.raises(openai.APIError) if model != "echo" else contextlib.nullcontext():
        client(devserver, max_retries=max_retries).chat.completions.create(
            model=model, messages=user("x"))
    assert len(read_log(devserver.log_path)) == expected_requests


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
