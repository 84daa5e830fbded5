"""A run's budget (--max-cost): it never passes the budget, leaves the rest for --resume, and a
resumed run finishes without paying twice."""

import json
import re

import pytest

from devserver_fixtures import completion, devserver, http_reply, read_log, running_server, scripted_server  # noqa: F401
from factsift import batch, budget, limits, options
from test_batchapi import command as batch_command, run as run_batch_command
from test_cli import needs_module, run_cli, service, write_jsonl

PRICE = (1.0, 2.0)
TEXTS = [f"第{i}篇新闻的正文，北京。" * 8 for i in range(48)]


def cost_of(records, price=PRICE):
    return sum(budget.cost(price, r["usage"]["prompt_tokens"], r["usage"]["completion_tokens"]) for r in records)


def sent_texts(log_path):
    """How often each input was sent to the chat endpoint, by its index in TEXTS."""
    counts = [0] * len(TEXTS)
    for entry in read_log(log_path):
        if entry["path"].endswith("/chat/completions"):
            content = entry["body"]["messages"][0]["content"]
            number = re.search(r"第(\d+)篇", content)
            counts[int(number.group(1))] += 1
    return counts


def output_records(path):
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


@needs_module
@pytest.mark.parametrize("pool", [["-j", "16"], ["-j", "4", "--processes", "2"]], ids=["threads", "processes"])
def test_a_budget_stops_a_run_part_way_and_a_resume_finishes_it_paying_nothing_twice(tmp_path, pool):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": text} for i, text in enumerate(TEXTS)])
    common = ["summarize", "--jsonl", "in.jsonl", "--output", "out.jsonl", "--price", "1/2", *pool]
    with running_server(tmp_path / "log.jsonl", delay=0.05) as server:
        status, _, stderr = run_cli(tmp_path, *common, "--max-cost", "0.01", *service(server))
        first = output_records(tmp_path / "out.jsonl")
        assert status == 4, stderr
        assert 0 < len(first) < len(TEXTS) and all(r["status"] == "ok" for r in first)
        spent = cost_of(first)
        assert spent <= 0.01
        shown = re.search(r", spent (\S+) of 0\.01; stopped at the budget: (\d+) inputs left unsent", stderr)
        assert float(shown.group(1)) == pytest.approx(spent, rel=1e-5)
        assert int(shown.group(2)) == len(TEXTS) - len(first)
        # Sent is paid for: every request sent has its record.
        assert sum(sent_texts(tmp_path / "log.jsonl")) == len(first)

        status, _, stderr = run_cli(tmp_path, *common, "--resume", "--max-cost", "1", *service(server))
    assert status == 0, stderr
    records = output_records(tmp_path / "out.jsonl")
    assert sorted(r["id"] for r in records) == list(range(len(TEXTS)))
    assert sent_texts(tmp_path / "log.jsonl") == [1] * len(TEXTS)


@needs_module
def test_the_batch_interface_submits_only_what_fits_and_a_resume_sends_the_rest(tmp_path):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": text} for i, text in enumerate(TEXTS)])
    with running_server(tmp_path / "service.jsonl", batch_time=0.2) as server:
        args = batch_command(server, "--price", "1/2", "--batch-size", "10")
        status, stderr = run_batch_command(tmp_path, [*args, "--max-cost", "0.005"])
        first = output_records(tmp_path / "out.jsonl")
        assert status == 4, stderr
        assert 0 < len(first) < len(TEXTS) and all(r["status"] == "ok" for r in first)
        assert cost_of(first, (0.5, 1.0)) <= 0.005  # the batch price: half
        left = int(re.search(r"stopped at the budget: (\d+) inputs left unsent", stderr).group(1))
        assert left == len(TEXTS) - len(first)
        status, stderr = run_batch_command(tmp_path, [*args, "--resume", "--max-cost", "1"])
    assert status == 0, stderr
    assert f"{left} requests in " in stderr  # only those left out are sent
    assert sorted(r["id"] for r in output_records(tmp_path / "out.jsonl")) == list(range(len(TEXTS)))


@needs_module
def test_a_reply_without_usage_is_counted_at_the_most_it_could_cost(tmp_path):
    def answer(handler):
        handler.wfile.write(http_reply(200, completion("一个标题")))  # no usage

    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"新闻{i}。" * 20} for i in range(3)])
    with scripted_server(answer) as server:
        status, records, stderr = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "-j", "1", "--price", "1/2",
                                          "--max-cost", "0.005", *service(server, "m"))
    # Each is counted at about 0.0022 (a reply of 1000 tokens at 2 a million): two fit, not three.
    assert status == 4, stderr
    assert len(records) == 2 and all(r["note"] == budget_note() for r in records)
    assert "(2 without usage counted at the most they could cost)" in stderr


def budget_note():
    from factsift.pools import AT_MOST

    return AT_MOST


@pytest.mark.parametrize("extra, message", [
    (["--max-cost", "1"], "--max-cost needs the prices to reckon with: give --price IN/OUT too"),
    (["--price", "1/2", "--max-cost", "0"], "max_cost must be a number"),
    (["--price", "1/2", "--max-cost=-1"], "max_cost must be a number"),
    (["--price", "1/2", "--max-cost", "nan"], "max_cost must be a number"),
    (["--price", "1/2", "--max-cost", "ten"], "max_cost must be a number"),
])
def test_a_budget_that_cannot_be_kept_is_a_usage_error(tmp_path, extra, message):
    status, _, stderr = run_cli(tmp_path, "title", "x.txt", "--model", "m", *extra)
    assert status == 2 and message in stderr


@pytest.mark.parametrize("given", [dict(max_cost=1.0), dict(max_cost=0, price=PRICE), dict(max_cost=True, price=PRICE)])
def test_batch_run_refuses_a_budget_it_cannot_keep(given):
    target = batch.Summarizer("http://127.0.0.1:9/v1", "k", "m")
    with pytest.raises(options.OptionError, match="max_cost"):
        batch.run(target, [], method="extract", **given)


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def a_budget(limit, price=PRICE):
    return budget.Budget(limits.local_state(budget.SIZE), limit, price)


def test_a_request_waits_for_those_in_flight_and_the_run_stops_only_when_none_are_left():
    spending = a_budget(0.005)
    first = spending.reserve(100)  # (100 + 200 instruction) * 1.25 prompt, 1000 reply: 0.002375
    second = spending.reserve(100)
    assert first == second == pytest.approx(375 / 1e6 + 2000 / 1e6)
    spending.settle(first, {"prompt_tokens": 300, "completion_tokens": 100}, instruction=150)
    # Spent 0.0005; the longest reply is now 100: a reply of 200 is reckoned, 0.000775 a request.
    third = spending.reserve(100)
    assert third == pytest.approx(313 / 1e6 + 400 / 1e6)
    assert spending.spent().stopped is False
    spending.settle(second, None, charged=False)  # refused or failed: nothing spent
    spending.settle(third, None)  # no usage: counted at what it was reserved
    state = spending.spent()
    assert state.spent == pytest.approx(0.0005 + third) and state.at_most == 1
    huge = spending.reserve(10**6)
    assert huge is None and spending.spent().stopped
    assert spending.reserve(1) is None  # once stopped, nothing more goes


def test_a_budget_is_shared_by_the_threads_that_wait_on_it():
    import threading

    spending = a_budget(0.0048)  # two requests of 0.002375 fit at once, not three
    held = [spending.reserve(100), spending.reserve(100)]
    results = []
    waiter = threading.Thread(target=lambda: results.append(spending.reserve(100)))
    waiter.start()
    waiter.join(0.3)
    assert waiter.is_alive()  # waits for those in flight
    spending.settle(held[0], {"prompt_tokens": 10, "completion_tokens": 10})
    waiter.join(5)
    assert results and results[0] is not None


@pytest.mark.parametrize("price, tokens, expected", [
    ((1.0, 2.0), (1000, 500, 0), (1000 + 1000) / 1e6),
    ((1.0, 2.0, 0.25), (1000, 500, 400), (600 + 100 + 1000) / 1e6),
    ((1.0, 2.0), (1000, 500, 400), (1000 + 1000) / 1e6),  # no cached price: cached tokens cost in full
])
def test_cost_prices_cached_tokens_only_when_given_a_price_for_them(price, tokens, expected):
    assert budget.cost(price, *tokens) == pytest.approx(expected)


def test_a_spent_budget_in_python_leaves_the_rest_unread_and_unsent(S, devserver):
    texts = [f"第{i}条。" * 30 for i in range(40)]
    run = batch.run(S(devserver.url, "k", "echo").extract, iter(texts), jobs=4, window=8, price=PRICE,
                    max_cost=0.004)
    records = list(run)
    state = run.budget()
    assert state.stopped and state.spent <= 0.004 and records
    assert run.counts.cost == pytest.approx(state.spent)
    assert len(records) + run.unsent + sum(1 for _ in run.unread()) == len(texts)


def test_a_line_is_written_when_what_looked_ready_after_it_brings_no_record():
    # The next input was ready, but it was one the budget left unsent: the run ends without it.
    from factsift.cli.output import Output
    from factsift.cli.progress import LineGuard
    from factsift.cli.writing import write_records

    class Results:
        def __iter__(self):
            yield {"title": "t", "content": "", "status": "ok", "id": 0}

        def ready(self):
            return True

    out = []
    written = batch.Counts()
    ending = write_records(Results(), Output("out", out.append), written, LineGuard())
    assert ending is None and len(out) == 1 and b'"id": 0' in out[0] and written.ok == 1


def test_a_wait_for_room_that_nothing_in_flight_ends_stops_the_run(monkeypatch):
    monkeypatch.setattr(budget, "PATIENCE", 0.3)
    spending = a_budget(0.003)
    spending.reserve(100)  # never settled: its worker process died
    assert spending.reserve(100) is None and spending.spent().stopped
