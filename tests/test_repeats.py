"""Repeats: an input whose request is the same as an earlier one's is not sent, and shares its reply."""

import re

import pytest

from devserver_fixtures import devserver, read_log, running_server  # noqa: F401
from factsift import batch, budget, repeats
from test_budget import output_records
from test_cli import needs_module, run_cli, service, write_jsonl

# 0 and 2 clean to the same text, as do 1 and 4 (the same words, other punctuation); 3 is alone.
TEXTS = ["北京，今天下雨。", "上海：股市上涨3.5%！", "北京今天下雨", "广州新闻。", "上海股市上涨35"]
FIRSTS = [None, None, 0, None, 1]


def chat_requests(log_path):
    return [e for e in read_log(log_path) if e["path"].endswith("/chat/completions")]


@needs_module
@pytest.mark.parametrize("send_repeats", [False, True])
def test_repeats_share_the_first_reply_and_cost_nothing(tmp_path, send_repeats):
    write_jsonl(tmp_path / "in.jsonl", [{"id": f"n{i}", "text": t} for i, t in enumerate(TEXTS)])
    with running_server(tmp_path / "log.jsonl") as server:
        status, records, stderr = run_cli(tmp_path, "summarize", "--jsonl", "in.jsonl", "-j", "4", "--price", "1/2",
                                          *(["--send-repeats"] if send_repeats else []), *service(server))
    assert status == 0, stderr
    assert [r["id"] for r in records] == [f"n{i}" for i in range(len(TEXTS))]
    if send_repeats:
        assert len(chat_requests(tmp_path / "log.jsonl")) == len(TEXTS)
        assert not any("same_as" in r for r in records) and "repeat" not in stderr
        return
    assert len(chat_requests(tmp_path / "log.jsonl")) == 3
    for record, first in zip(records, FIRSTS):
        if first is None:
            assert "same_as" not in record and "usage" in record
            continue
        assert record["same_as"] == f"n{first}" and "usage" not in record
        assert record["summary"] == records[first]["summary"] and record["content"] == records[first]["content"]
        assert list(record) == ["summary", "content", "status", "id", "same_as", "model"]
    saved = sum(budget.cost((1, 2), records[f]["usage"]["prompt_tokens"], records[f]["usage"]["completion_tokens"])
                for f in FIRSTS if f is not None)
    shown = re.search(r", 2 repeats not sent \(saved (\S+)\)", stderr)
    assert float(shown.group(1)) == pytest.approx(saved, rel=1e-5)


@needs_module
def test_a_resumed_run_does_not_send_again_what_the_output_answered(tmp_path):
    write_jsonl(tmp_path / "first.jsonl", [{"id": 0, "text": TEXTS[0]}, {"id": 1, "text": "失败"}])
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": t} for i, t in enumerate(TEXTS)] + [{"id": 9, "text": "失败。"}])
    common = ["summarize", "--output", "out.jsonl", "--price", "1/2", "-j", "2"]
    with running_server(tmp_path / "log.jsonl") as server:
        run_cli(tmp_path, *common, "--jsonl", "first.jsonl", *service(server))
        assert len(chat_requests(tmp_path / "log.jsonl")) == 2
        status, estimate, _ = run_cli(tmp_path, *common, "--jsonl", "in.jsonl", "--resume", "--estimate",
                                      *service(server), raw=True)
        assert status == 0 and re.match(r"factsift: 2 requests, .*; 2 skipped; 2 repeats not sent \(", estimate)
        status, _, stderr = run_cli(tmp_path, *common, "--jsonl", "in.jsonl", "--resume", *service(server))
    assert status == 0, stderr
    records = {r["id"]: r for r in output_records(tmp_path / "out.jsonl")}
    # 0 and 1 are done; 2 repeats 0 and 9 repeats 1 ("失败" once cleaned): only 3 and 4 are sent.
    assert len(chat_requests(tmp_path / "log.jsonl")) == 2 + 2
    assert records[2]["same_as"] == 0 and records[9]["same_as"] == 1
    assert records[2]["summary"] == records[0]["summary"]


@pytest.mark.parametrize("other", [
    dict(method="refined_title"), dict(model="m2"), dict(prompt="要求"), dict(length=100), dict(text="北京今天下雪")])
def test_a_request_that_differs_in_anything_it_sends_is_no_repeat(other):
    settings = dict(method="extract", model="m", prompt="", length=200)
    settings.update({k: v for k, v in other.items() if k != "text"})
    base = repeats.digest(repeats.settings("extract", "m", "", 200), TEXTS[0])
    assert repeats.digest(repeats.settings(**settings), other.get("text", TEXTS[0])) != base
    assert repeats.digest(repeats.settings("extract", "m", "", 200), TEXTS[2]) == base


def test_a_title_does_not_depend_on_the_length_and_odd_settings_are_never_deduplicated():
    title = repeats.settings("refined_title", "m", "", 200)
    assert title == repeats.settings("refined_title", "m", "", 999)
    assert [repeats.settings("extract", *odd) for odd in (("m", 3, 200), ("m", "", 2.5), (None, "", 200))] == [None] * 3


def test_a_repeat_whose_first_is_no_longer_kept_is_sent_again(S, devserver, monkeypatch):
    monkeypatch.setattr(repeats, "KEPT", 2)
    texts = ["甲。", "乙。", "丙。", "丁。", "甲", "丁"]  # 甲 is forgotten by the time its repeat comes
    run = batch.run(S(devserver.url, "k", "echo").extract, texts, jobs=1, window=1)
    records = list(run)
    assert [r.get("same_as") for r in records] == [None] * 5 + [3]
    assert len(chat_requests(devserver.log_path)) == 5 and run.counts.repeats == 1


def test_a_repeat_shares_its_first_error(S, devserver):
    run = batch.run(S(devserver.url, "k", "status:500").refined_title, ["坏。", "坏"], retries=0)
    records = list(run)
    assert [r["status"] for r in records] == ["error", "error"]
    assert records[1]["same_as"] == 0 and records[1]["content"] == ""
    assert {k: v for k, v in records[1].items() if k not in ("id", "same_as")} == \
        {k: v for k, v in records[0].items() if k not in ("id", "usage")}
    assert (run.counts.error, run.counts.repeats, run.counts.requests) == (2, 1, 1)


@needs_module
def test_through_the_batch_interface_repeats_are_not_sent_and_their_lines_are_the_online_ones(tmp_path):
    from test_batchapi import command as batch_command, run as run_batch_command

    texts = TEXTS + ["北京今天，下雨！", "广州新闻"]  # and repeats of what the first run answered
    write_jsonl(tmp_path / "first.jsonl", [{"id": i, "text": t} for i, t in enumerate(TEXTS[:2])])
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": t} for i, t in enumerate(texts)])
    with running_server(tmp_path / "service.jsonl", batch_time=0.2) as server:
        for output in ("batch.jsonl", "online.jsonl"):
            batch = output == "batch.jsonl"
            for jsonl, resume in (("first.jsonl", []), ("in.jsonl", ["--resume"])):
                status, stderr = run_batch_command(tmp_path, batch_command(server, *resume, output=output,
                                                                           jsonl=jsonl, batch=batch))
                assert status == 0, stderr
            if batch:  # 0 and 1 answered first; then 2 repeats 0, 4 repeats 1, 5 repeats 0, 6 repeats 3
                assert "1 requests in 1 batch" in stderr and ", 4 repeats not sent" in stderr
    online, through_batches = (output_records(tmp_path / name) for name in ("online.jsonl", "batch.jsonl"))
    assert through_batches == online
    assert [r.get("same_as") for r in online] == [None, None, 0, None, 1, 0, 3]
