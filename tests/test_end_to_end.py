"""The module, the client package, HTTP and the local service together."""
import threading

import openai
import pytest
from conftest import request_text
from devserver_fixtures import devserver, read_log  # noqa: F401

# A lone surrogate in the prompt (the cleaning leaves the prompt as it is) meets what the client's
# generation makes of it: openai 1.x (httpx 0.23) writes its JSON in ASCII, the surrogate as the
# escape \ud800, which JSON's grammar allows, so the request goes out and the reply decides; openai
# 3.x (httpx2) writes UTF-8, which cannot carry it, and the call fails before anything is sent.
SENDS_LONE_SURROGATES = getattr(openai, "__version__", "").startswith("1.")

ARTICLE = "记者12月8日报道：江州市今年GDP增长5.2%，“数字经济”贡献最大！\n第二段\u3000结束。"
CLEANED = "记者12月8日报道江州市今年GDP增长52数字经济贡献最大\n第二段\u3000结束"


def test_request_and_reply_round_trip_exactly(S, devserver, capfd):
    s = S(devserver.url, "sk-e2e", "echo")
    record = s.extract(ARTICLE, prompt="只写事实", length=80)
    sent = request_text("extract", CLEANED, "只写事实", "80")
    assert record == {"summary": sent, "content": CLEANED, "status": "ok"}
    (entry,) = read_log(devserver.log_path)
    assert entry["path"] == "/v1/chat/completions"
    assert entry["headers"]["Authorization"] == "Bearer sk-e2e"
    assert entry["body"] == {"model": "echo", "messages": [{"role": "user", "content": sent}], "stream": False}
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("mode, payload, status", [
    ("null-content", None, "ok"),
    ("fixed: 标题。\n", " 标题。\n", "ok"),
    ("empty-choices", "", "error"),
    ("bad-json", "", "error"),
    ("drop", "", "error"),
    ("status:401", "", "error"),
    ("status:404", "", "error"),
    ("status:500", "", "error"),
])
def test_each_service_fault_gives_its_record(S, devserver, capfd, mode, payload, status):
    record = S(devserver.url, "k", mode).refined_title("一段文字。", "起标题")
    content = "一段文字" if status == "ok" else ""
    assert record == {"title": payload, "content": content, "status": status}
    err = capfd.readouterr().err
    assert err.count("in factsift.factsift.AISummary.refined_title") == (status == "error")


def test_service_down_gives_error_record(S, capfd):
    record = S("http://127.0.0.1:9/v1", "k", "echo").extract("文本")
    assert record["status"] == "error"
    assert 'File "factsift/factsift.cpp", line 22, in factsift.factsift.AISummary.extract' in capfd.readouterr().err


def test_eight_threads_share_one_instance(S, devserver):
    s = S(devserver.url, "k", "echo")
    results = {}

    def work(n):
        for i in range(5):
            text = f"线程{n}，第{i}次！"
            results[n, i] = (text, s.extract(text) if i % 2 else s.refined_title(text, f"p{n}"))

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 40
    for (n, i), (text, record) in results.items():
        cleaned = text.replace("，", "").replace("！", "")
        method, key = ("extract", "summary") if i % 2 else ("refined_title", "title")
        expected = request_text(method, cleaned, "" if i % 2 else f"p{n}")
        assert record == {key: expected, "content": cleaned, "status": "ok"}


@pytest.mark.parametrize("content, prompt, status", [
    ("words, " * 1_500_000, "", "ok"),
    ("文本", "\ud800", "ok" if SENDS_LONE_SURROGATES else "error"),  # see above
    ("\udfff文本\ud800", "", "ok"),  # the cleaning removes them from the text
    (b"bytes", "", "error"),
], ids=["10MB", "surrogate-prompt", "surrogate-content", "bytes"])
def test_bad_input_never_escapes(S, devserver, capfd, content, prompt, status):
    record = S(devserver.url, "k", "null-content").refined_title(content, prompt)
    assert record["status"] == status
    assert ("Traceback" in capfd.readouterr().err) == (status == "error")
    if prompt:
        sent = [entry["body"]["messages"][0]["content"] for entry in read_log(devserver.log_path)]
        assert sent == ([request_text("refined_title", "文本", prompt)] if SENDS_LONE_SURROGATES else [])
