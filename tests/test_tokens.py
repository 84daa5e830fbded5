"""Tokens: the usage in each record and in the totals, a token limit, the service's rate-limit
headers, and prices."""

import json
import os
import re
import socket
import subprocess

import pytest

from conftest import ROOT
from devserver_fixtures import completion, devserver, http_reply, read_log, running_server, scripted_server  # noqa: F401
from factsift import batch, clients, limits, online, tokens
from test_cli import run_cli, service, write_jsonl


def usages(records):
    return [r["usage"] for r in records]


@pytest.mark.parametrize("price, cost", [(None, None), ("0.5/2", "0.000[0-9]+")])
def test_records_carry_usage_and_the_summary_adds_it_up(tmp_path, price, cost):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇新闻的正文。" * (i + 1)} for i in range(6)])
    with running_server(tmp_path / "log.jsonl") as server:
        status, records, stderr = run_cli(tmp_path, "summarize", "--jsonl", "in.jsonl", "-j", "3",
                                          *(["--price", price] if price else []), *service(server))
    assert status == 0 and [r["id"] for r in records] == list(range(6))
    for usage in usages(records):
        assert usage["total_tokens"] == usage["prompt_tokens"] + usage["completion_tokens"] > 0
    prompt = sum(u["prompt_tokens"] for u in usages(records))
    completion_ = sum(u["completion_tokens"] for u in usages(records))
    totals = f", {prompt + completion_} tokens ({prompt} prompt, {completion_} completion)"
    assert totals in stderr
    if cost:
        shown = float(re.search(r", cost (\S+)$", stderr.strip()).group(1))
        assert shown == pytest.approx((prompt * 0.5 + completion_ * 2) / 1e6, rel=1e-5)


def test_cached_tokens_are_summed_and_priced_apart_and_records_name_the_model(tmp_path):
    start = "甲乙丙丁" * 400  # a prompt's start of more than 1024 tokens: cached the second time
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"{start}第{i}篇。"} for i in range(2)])
    with running_server(tmp_path / "log.jsonl", prompt_cache=True, routes={"m": "m-2026-01-01"}) as server:
        status, records, stderr = run_cli(tmp_path, "summarize", "--jsonl", "in.jsonl", "-j", "1",
                                          "--price", "1/4/0.25", *service(server, "m"))
    assert status == 0 and [r["model"] for r in records] == ["m-2026-01-01"] * 2
    cached = [r["usage"].get("prompt_tokens_details", {}).get("cached_tokens", 0) for r in records]
    assert cached[0] == 0 and cached[1] >= 1024
    prompt = sum(u["prompt_tokens"] for u in usages(records))
    completion_ = sum(u["completion_tokens"] for u in usages(records))
    assert f"({prompt} prompt, {cached[1]} of them cached, {completion_} completion)" in stderr
    assert "answered by" not in stderr  # one model
    shown = float(re.search(r", cost (\S+)$", stderr.strip()).group(1))
    assert shown == pytest.approx(((prompt - cached[1]) * 1 + cached[1] * 0.25 + completion_ * 4) / 1e6, rel=1e-5)


@pytest.mark.parametrize("models, shown", [
    (["a", "a"], None), (["a", "b", "a", None], "answered by a (2), b (1)"),
    ([f"m{i}" for i in range(online.MAX_MODELS + 5)], f"m{online.MAX_MODELS - 1} (1)")])
def test_the_summary_names_the_models_when_more_than_one_answered(models, shown):
    counts = batch.Counts()
    for model in models:
        counts.add({"status": "ok", **({"model": model} if model else {})}, 1)
    assert len(counts.models) <= online.MAX_MODELS
    assert (shown in counts.tokens_text()) if shown else "answered by" not in counts.tokens_text()


@pytest.mark.parametrize("text", ["1", "1/2/3/4", "1//2", "a/b", "-1/2", "1/2/-3"])
def test_a_price_that_is_not_two_or_three_numbers_is_a_usage_error(tmp_path, text):
    status, _, stderr = run_cli(tmp_path, "title", "x.txt", f"--price={text}")
    assert status == 2 and "price must be" in stderr


def test_batch_counts_add_up_the_records_usage_and_cost(S, devserver):
    run = batch.run(S(devserver.url, "k", "echo").extract, ["一二三。", "四五六七。"], price=(1.0, 3.0))
    records = list(run)
    prompt = sum(r["usage"]["prompt_tokens"] for r in records)
    completion_ = sum(r["usage"]["completion_tokens"] for r in records)
    assert (run.counts.prompt_tokens, run.counts.completion_tokens) == (prompt, completion_)
    assert run.counts.total_tokens == prompt + completion_
    assert run.counts.cost == pytest.approx((prompt * 1.0 + completion_ * 3.0) / 1e6)


@pytest.mark.slow
def test_the_token_limit_keeps_a_run_under_the_services(tmp_path):
    # Eleven requests of 99 tokens each (prompt and echoed reply, as the service counts them)
    # against a service that allows 1000 a minute: the first eight fit, and then the service's
    # headers say what is left, so the run waits (some five seconds) rather than be refused, with
    # --tpm 1000 or without.
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇。" * 15} for i in range(11)])
    outcomes = {}
    for tpm in ([], ["--tpm", "1000"]):
        log = tmp_path / f"log{len(tpm)}.jsonl"
        with running_server(log, mode="token-limit:1000") as server:
            status, records, _ = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "-j", "8",
                                         "--max-retries", "0", *tpm, *service(server, "m"))
        outcomes[bool(tpm)] = status, [r["status"] for r in records], [e.get("status") for e in read_log(log)]
    status, statuses, answered = outcomes[False]
    assert status == 0 and statuses == ["ok"] * 11 and 429 not in answered
    status, statuses, answered = outcomes[True]
    assert status == 0 and statuses == ["ok"] * 11 and 429 not in answered


def test_a_reply_saying_none_are_left_stops_requests_until_its_reset(S):
    answers = iter([{"x_ratelimit_remaining_requests": "0", "x_ratelimit_reset_requests": "1.5s"}, {}, {}])

    def answer(handler):
        handler.wfile.write(http_reply(200, completion("r"), **next(answers)))

    with scripted_server(answer) as server:
        run = batch.run(S(server.url, "k", "m").extract, ["一", "二", "三"], jobs=1, rpm=6000)
        assert [r["status"] for r in run] == ["ok"] * 3
        arrived = [request.at for request in server.seen]
    assert arrived[1] - arrived[0] >= 1.4 and arrived[2] - arrived[1] < 1.0


@pytest.mark.parametrize("text, seconds", [
    ("1s", 1.0), ("20ms", 0.02), ("6m0s", 360.0), ("1.5s", 1.5), ("1h2m3s", 3723.0), ("17", 17.0),
    ("", None), ("soon", None), ("5x", None)])
def test_reset_values_are_read_as_the_service_writes_them(text, seconds):
    assert limits.reset_seconds(text) == seconds


@pytest.mark.parametrize("text, low, high", [
    ("某市统计局12月8日发布数据：前11个月全市GDP同比增长5.2%。", 20, 40),
    ("The quick brown fox jumps over the lazy dog.", 9, 13),
    ("", 0, 0)])
def test_the_estimate_counts_by_script(text, low, high):
    assert low <= tokens.estimate(text) <= high


def test_counts_learn_from_what_the_replies_report():
    counter = tokens.Tokens(first_reply=100)
    counted = counter.counted([{"role": "user", "content": "一二三四五六七八九十"}], "model-x")
    assert counter.prompt(counted) == round(counted) and counter.reply == 100
    counter.learn(counted, {"prompt_tokens": round(counted * 1.5), "completion_tokens": 40})
    assert counter.prompt(counted) == pytest.approx(counted * 1.5, abs=1) and counter.reply == 40


def test_tiktoken_counts_exactly_where_its_encoding_is_cached_and_never_downloads(tmp_path, monkeypatch):
    tiktoken = pytest.importorskip("tiktoken")
    fetch = os.path.join(ROOT, "tools", "fetch-encodings")
    if not os.path.exists(fetch):
        pytest.skip("tools/fetch-encodings is in the checkout only")
    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", str(tmp_path))  # empty: nothing cached
    monkeypatch.setattr(socket, "create_connection", None)  # any download would fail loudly
    assert tokens.text_counter("gpt-4o")[1] == "estimate"
    cached = subprocess.run([fetch], capture_output=True, text=True, check=True).stdout.strip()
    monkeypatch.setenv("TIKTOKEN_CACHE_DIR", cached)
    count, method = tokens.text_counter("gpt-4o")
    text = open(os.path.join(ROOT, "examples", "article-zh.txt"), encoding="utf-8").read()
    assert method == "o200k_base" and count(text) == len(tiktoken.get_encoding("o200k_base").encode(text))
    assert tokens.text_counter("a-model-tiktoken-does-not-know")[1] == "o200k_base"


@pytest.mark.parametrize("language, within", [("zh", 0.25), ("en", 0.1)])
def test_an_estimate_sends_nothing_and_comes_near_the_run(tmp_path, language, within):
    # The local service counts a token for each CJK character, where OpenAI's encodings (and the
    # estimate by script) count about 0.8: the documented error for Chinese text is a fifth.
    source = "examples/article-zh.txt" if language == "zh" else "LICENSE"
    paragraphs = [p for p in open(os.path.join(ROOT, source), encoding="utf-8").read().split("\n\n") if p.strip()]
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": p} for i, p in enumerate(paragraphs)])
    common = ["summarize", "--jsonl", "in.jsonl", "--price", "2/8"]
    with running_server(tmp_path / "log.jsonl") as server:
        # An empty tiktoken cache: the estimate by script, whatever tiktoken has cached on this machine.
        status, out, _ = run_cli(tmp_path, *common, "--estimate", *service(server), raw=True,
                                 env={"TIKTOKEN_CACHE_DIR": str(tmp_path)})
        assert status == 0 and read_log(tmp_path / "log.jsonl") == []
        estimate = ESTIMATED.fullmatch(out.strip())
        status, records, _ = run_cli(tmp_path, *common, *service(server))
    prompt = sum(r["usage"]["prompt_tokens"] for r in records)
    assert int(estimate["requests"]) == len(records) == len(paragraphs)
    assert abs(int(estimate["prompt"]) - prompt) <= within * prompt
    assert float(estimate["cost"]) == pytest.approx(int(estimate["prompt"]) * 2 / 1e6)


ESTIMATED = re.compile(r"factsift: (?P<requests>\d+) requests, (?P<prompt>\d+) prompt tokens \(estimated by script\), "
                       r"prompts' cost (?P<cost>\S+)$")


def test_an_estimate_leaves_out_what_a_resumed_run_would_skip(tmp_path):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇。"} for i in range(5)] + [{"id": 5}])
    (tmp_path / "out.jsonl").write_text('{"status": "ok", "id": 1}\n{"status": "error", "id": 2}\n')
    status, lines, _ = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "--output", "out.jsonl", "--resume",
                               "--estimate", "--shard", "0/1", "--model", "m", "--base-url", "http://127.0.0.1:9/v1",
                               "--api-key", "k", raw=True)
    assert status == 0 and re.fullmatch(r"factsift: 4 requests, \d+ prompt tokens \(.*\); 1 skipped; 1 unusable\n",
                                        lines)
    assert (tmp_path / "out.jsonl").read_text() == '{"status": "ok", "id": 1}\n{"status": "error", "id": 2}\n'


NOT_COUNTS = [10**400, clients.MAX_TOKENS + 1, -1, 1.5, "12", True, [3]]


@pytest.mark.parametrize("field", ["prompt_tokens", "completion_tokens", "total_tokens"])
@pytest.mark.parametrize("value", NOT_COUNTS, ids=["huge", "past-the-bound", "negative", "float", "text", "bool",
                                                   "list"])
def test_a_usage_that_is_no_sane_count_is_kept_as_sent_but_never_added(field, value):
    usage = {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15, field: value}
    bad = {"status": "ok", "usage": dict(usage)}
    largest = {"status": "ok", "usage": {"prompt_tokens": clients.MAX_TOKENS, "completion_tokens": 0,
                                         "total_tokens": clients.MAX_TOKENS}}
    counts = batch.Counts(price=(1.0, 2.0))
    counts.add(largest, 1)
    counts.add(bad, 1)
    assert (counts.ok, counts.prompt_tokens, counts.completion_tokens) == (2, clients.MAX_TOKENS, 0)
    assert counts.cost == pytest.approx(clients.MAX_TOKENS / 1e6)
    assert bad["usage"] == usage and "note" not in largest
    assert bad["note"] == f"usage not counted: {field} is not a count of tokens from 0 to {clients.MAX_TOKENS}"
    counter = tokens.Tokens(first_reply=100)
    counter.learn(10.0, usage)
    assert (counter.prompt(10.0), counter.reply) == (10, 100)  # nothing learnt


def test_an_absurd_count_in_a_reply_leaves_the_run_and_its_sums_whole(tmp_path):
    # The second reply says its prompt took a 1 and 400 zeros of tokens.
    def answer(handler):
        absurd = "二" in json.loads(handler.server.seen[-1].body)["messages"][0]["content"]
        usage = {"prompt_tokens": 10**400 if absurd else 10, "completion_tokens": 2, "total_tokens": 12}
        reply = json.loads(completion("r"))
        handler.wfile.write(http_reply(200, json.dumps({**reply, "usage": usage}).encode()))

    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": text} for i, text in enumerate(["一。", "二。", "三。"])])
    with scripted_server(answer) as server:
        status, records, stderr = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "-j", "1", "--price", "1/2",
                                          "--tpm", "100000", *service(server, "m"))
    assert status == 0, stderr
    assert [r["status"] for r in records] == ["ok"] * 3 and [("note" in r) for r in records] == [False, True, False]
    assert records[1]["usage"]["prompt_tokens"] == 10**400
    assert records[1]["note"] == f"usage not counted: prompt_tokens is not a count of tokens from 0 to {clients.MAX_TOKENS}"
    assert ", 24 tokens (20 prompt, 4 completion), cost 2.8e-05" in stderr
