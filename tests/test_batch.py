"""factsift.batch: records in input order from a bounded read-ahead, retried and counted."""

import asyncio
import contextlib
import itertools
import os
import re
import signal
import subprocess
import sys
import threading
import time
from types import SimpleNamespace as NS

import pytest

from devserver_fixtures import completion, devserver, http_reply, read_log, running_server, scripted_server  # noqa: F401
from factsift import batch, online
from factsift.factsift import AISummary

GUARD = 30  # seconds; a hang guard only


@pytest.fixture
def scripted(mod, monkeypatch):
    """The module's client: a request for text "t<i>" answers "r<i>"; state.gate(i) runs first."""
    state = NS(started=[], gate=lambda i: None, lock=threading.Lock())

    class Scripted:
        def __init__(self, **options):
            self.chat = NS(completions=NS(create=self.create))

        def create(self, *, model, messages, stream):
            i = int(messages[0]["content"].rsplit("t", 1)[1])
            with state.lock:
                state.started.append(i)
            state.gate(i)
            return NS(choices=[NS(message=NS(content=f"r{i}"))])

    monkeypatch.setattr(mod, "OpenAI", Scripted)
    return state


@pytest.mark.parametrize("form", ["bound", "named"])
@pytest.mark.parametrize("jobs", [1, 4])
def test_records_come_in_input_order_with_their_ids(S, scripted, form, jobs):
    # Later texts answer sooner, so with several jobs they finish out of order.
    scripted.gate = lambda i: time.sleep((8 - i) * 0.003)
    s = S("http://svc.test/v1", "k", "m")
    inputs = ["t0", ("a", "t1"), ("b", OSError("cannot read b")), "t3", ["c", "t4"], "t5", "t6", "t7"]
    run = batch.run(s.refined_title, inputs, jobs=jobs) if form == "bound" else \
        batch.run(s, inputs, method="refined_title", jobs=jobs)
    records = list(run)
    assert [t.name for t in threading.enumerate() if t.name.startswith("factsift-job")] == []  # none left
    assert [(r["id"], r["title"], r["status"]) for r in records] == [
        (0, "r0", "ok"), ("a", "r1", "ok"), ("b", "", "error"), (3, "r3", "ok"), ("c", "r4", "ok"),
        (5, "r5", "ok"), (6, "r6", "ok"), (7, "r7", "ok")]
    assert records[2]["error"] == "cannot read b"
    assert sorted(scripted.started) == [0, 1, 3, 4, 5, 6, 7]  # nothing sent for the unreadable one
    assert run.counts == batch.Counts(ok=7, error=1, retried=0, requests=0)  # no HTTP: no requests


@pytest.mark.parametrize("jobs, window, taken", [(1, None, 3), (2, 3, 5), (4, None, 1)])
def test_inputs_are_read_only_a_window_ahead_and_leaving_cancels_the_rest(S, scripted, jobs, window, taken):
    read = itertools.count()
    texts = (f"t{next(read)}" for _ in range(1_000_000))
    release = threading.Event()
    scripted.gate = lambda i: i >= taken and release.wait(GUARD)  # the rest wait until the run is left
    run = batch.run(S("u", "k", "m").extract, texts, jobs=jobs, window=window)
    ahead = window or online.WINDOW_PER_REQUEST * jobs
    assert [next(run)["id"] for _ in range(taken)] == list(range(taken))
    assert next(read) <= taken + ahead + 1  # next(read) itself counts one
    run.close()
    release.set()
    for thread in threading.enumerate():
        if thread.name.startswith("factsift-job-"):
            thread.join(GUARD)
    assert len(scripted.started) <= taken + jobs  # those in flight at close, no more


@pytest.mark.parametrize("mode, processes", [("flaky:0.3", 1), ("flaky:0.3", 2), ("rate-limit:10", 1)])
def test_retries_recover_every_record_and_each_request_is_counted(S, tmp_path, mode, processes):
    log = tmp_path / "requests.jsonl"
    # Seed 35 meets every kind of fault here, with at most one back-off (0.5 s) per record.
    with running_server(log, mode=mode, seed=35) as server:
        run = batch.run(S(server.url, "k", "m").extract, (f"第{i}篇。" for i in range(40)),
                        jobs=8, processes=processes, retries=8)
        records = list(run)
    assert [(r["id"], r["content"], r["status"]) for r in records] == [(i, f"第{i}篇", "ok") for i in range(40)]
    sent = read_log(log)
    texts = [entry["body"]["messages"][0]["content"] for entry in sent]
    assert run.counts.requests == len(sent) > 40
    assert run.counts.retried == sum(texts.count(t) > 1 for t in set(texts)) > 0


@pytest.mark.parametrize("options, problem", [
    ({"jobs": 0}, "jobs"), ({"retries": -1}, "retries"), ({"rpm": 0}, "rpm"),
    ({"timeout": float("nan")}, "timeout"), ({"processes": 1.5}, "processes"), ({"window": 0}, "window")])
def test_bad_options_are_refused_up_front(S, options, problem):
    with pytest.raises(ValueError, match=problem):
        batch.run(S("u", "k").extract, ["x"], **options)


@pytest.mark.parametrize("target, method", [(len, None), ("S", "translate"), ("S", None)])
def test_anything_but_a_summary_method_is_refused(S, target, method):
    with pytest.raises(TypeError, match="AISummary method"):
        batch.run(S("u", "k") if target == "S" else target, ["x"], method=method)



RAISED = {"cancel": asyncio.CancelledError("stop"), "exit-call": SystemExit(4)}


def deeply_nested():
    value = []
    for _ in range(100_000):
        value = [value]
    return value


def refuse():
    raise ValueError("refused")


class Unloadable:
    def __reduce__(self):
        return refuse, ()


class HostileSummary(AISummary):
    """For some texts, extract ends the worker process, raises what is not an Exception, returns
    what pickle cannot carry, or tells how many threads its process runs."""

    def extract(self, content, prompt="", length=200):
        if content == "exit":
            os._exit(3)
        if content in RAISED:
            raise RAISED[content]
        if content == "threads":
            return {"summary": threading.active_count(), "content": "", "status": "ok"}
        make = {"lambda": lambda: lambda: 0, "deep": deeply_nested, "unloadable": Unloadable}.get(content)
        if make:
            return {"summary": make(), "content": "", "status": "ok"}
        return super().extract(content, prompt, length)


@pytest.mark.parametrize("bad, error", [
    ("exit", "the worker process ended (exit code 3)"),
    ("lambda", "cannot be passed back"), ("deep", "cannot be passed back"),
    ("unloadable", "cannot be read: ValueError: refused")])
def test_a_worker_process_that_fails_loses_no_other_record(devserver, bad, error):
    texts = [f"t{i}" for i in range(12)]
    texts[4] = bad
    run = batch.run(HostileSummary(devserver.url, "k", "echo").extract, texts, jobs=2, processes=2)
    records = []
    reader = threading.Thread(target=lambda: records.extend(run), daemon=True)
    reader.start()
    reader.join(GUARD)
    assert not reader.is_alive(), "the run hangs"
    assert [r["id"] for r in records] == list(range(12))
    assert records[4]["status"] == "error" and error in records[4]["error"]
    # Inputs the dead worker had taken are lost with it; the other worker does the rest.
    lost = [r["id"] for r in records if r["status"] != "ok"]
    assert all(error in records[i]["error"] for i in lost) and 11 not in lost
    assert len(lost) == 1 or bad == "exit"


INTERRUPTED_CHILD = """
import signal, sys, threading, time
from types import SimpleNamespace as NS
import factsift.factsift as module
from factsift import batch

class Client:
    def __init__(self, **options):
        self.chat = NS(completions=self)

    def create(self, *, model, messages, stream):
        time.sleep(0.3)  # the consumer is waiting for this record by now
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)  # delivered to this thread
        threading.Event().wait()

module.OpenAI = Client
s = module.AISummary("u", "k")
try:
    for record in batch.run(s.extract, ["a", "b"], jobs=2, share_clients=False):
        pass
except KeyboardInterrupt:
    print("interrupted")
"""


def test_ctrl_c_delivered_to_a_worker_thread_still_stops_the_consumer(tmp_path):
    # Python runs signal handlers in the main thread only: a wait there must wake up to let it.
    from conftest import PRELUDE

    proc = subprocess.run([sys.executable, "-c", PRELUDE + INTERRUPTED_CHILD], cwd=tmp_path,
                          capture_output=True, text=True, timeout=GUARD)
    assert proc.stdout.splitlines() == ["interrupted"], proc.stderr


class _Alarm(BaseException):
    pass


def _raise_alarm(signum, frame):
    raise _Alarm


def _take_all_with_an_alarm(run, seconds):
    # The loop runs in a frame with no handlers, as the interrupt may skip them (see below).
    for n, _ in enumerate(run):
        if n == 10:  # both threads have started: threading's own waits are not interrupt-safe
            signal.setitimer(signal.ITIMER_REAL, seconds)


@pytest.mark.slow
def test_an_interrupt_at_any_point_of_the_hand_out_still_ends_the_job_threads(S, scripted):
    # CPython (3.11 to 3.13 at least) can skip the handlers of a loop's own frame when a signal
    # handler raises at the loop's jump back; a run left by an interrupt must end its threads all
    # the same, wherever the interrupt lands.
    import random

    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    chance = random.Random(5)
    s = S("u", "k", "m")
    try:
        for _ in range(2000):
            run = batch.run(s.extract, (f"t{i}" for i in range(100_000)), jobs=2, window=4)
            try:
                with run:
                    _take_all_with_an_alarm(run, chance.uniform(0.00005, 0.002))
            except _Alarm:
                pass
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    deadline = time.monotonic() + GUARD
    for thread in threading.enumerate():
        if thread.name.startswith("factsift-job-"):
            thread.join(max(0, deadline - time.monotonic()))
    assert not [t.name for t in threading.enumerate() if t.name.startswith("factsift-job-")]


@pytest.mark.parametrize("processes", [1, 2])
@pytest.mark.parametrize("bad", ["cancel", "exit-call"])
def test_what_is_not_an_exception_reaches_the_loop_from_threads_and_processes(devserver, processes, bad):
    run = batch.run(HostileSummary(devserver.url, "k", "echo").extract, ["t0", bad, "t2"], jobs=2,
                    processes=processes)
    outcome = []

    def take():
        try:
            for record in run:
                outcome.append(record["status"])
        except BaseException as exc:
            outcome.append(exc)

    reader = threading.Thread(target=take, daemon=True)
    reader.start()
    reader.join(GUARD)
    run.close()
    assert not reader.is_alive(), "the run hangs"
    assert outcome[0] == "ok" and type(outcome[1]) is type(RAISED[bad]) and len(outcome) == 2


class Broken(Exception):
    def __str__(self):
        raise RuntimeError("no message")


def five_then_failing():
    yield from ("t0", "t1", Broken(), "t3", "t4")
    raise OSError("the disk went away")


@pytest.mark.parametrize("jobs", [1, 4])
def test_records_already_sent_come_out_before_the_inputs_failure(S, scripted, jobs):
    run = batch.run(S("u", "k", "m").refined_title, five_then_failing(), jobs=jobs)
    taken = []
    with pytest.raises(OSError, match="disk went away"):
        for record in run:
            taken.append((record["id"], record["status"], record.get("error")))
    assert taken == [(0, "ok", None), (1, "ok", None), (2, "error", "Broken"), (3, "ok", None), (4, "ok", None)]


@pytest.mark.parametrize("options", [
    {"retries": None}, {"jobs": None}, {"processes": None}, {"timeout": True}, {"rpm": True}, {"jobs": True},
    {"rpm": 10**400}, {"timeout": 3e6}, {"rpm": 1e-9}, {"window": 2.0}, {"processes": 10**6}])
def test_every_option_outside_its_range_is_refused_by_name(S, options):
    (name, value), = options.items()
    with pytest.raises(ValueError, match=f"^{name} must be .* from .* to .*, not {re.escape(repr(value))}$"):
        batch.run(S("u", "k").extract, ["x"], **options)


def test_worker_processes_start_threads_as_inputs_need_them(devserver):
    run = batch.run(HostileSummary(devserver.url, "k", "echo").extract, ["threads"] * 4, jobs=500, processes=2)
    counts = [record["summary"] for record in run]
    assert len(counts) == 4 and max(counts) <= 6  # the main thread, one per input, and the client's own


@pytest.mark.parametrize("can_start", [0, 1])
def test_threads_that_cannot_start_leave_a_message_and_no_record_lost(S, scripted, monkeypatch, can_start):
    started, real_start = [], threading.Thread.start

    def start(thread):
        if not thread.name.startswith("factsift-job-") or len(started) < can_start:
            started.append(thread)
            return real_start(thread)
        raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threading.Thread, "start", start)
    with pytest.warns(RuntimeWarning, match="only 1 job threads") if can_start else contextlib.nullcontext():
        records = list(batch.run(S("u", "k", "m").refined_title, ["t0", "t1", "t2"], jobs=3))
    if can_start:
        assert [r["title"] for r in records] == ["r0", "r1", "r2"]
    else:
        assert {r["error"] for r in records} == {"cannot start a job thread: RuntimeError: can't start new thread"}


UNCLOSED_CHILD = """
from factsift import batch
from factsift.devserver import serve
import factsift.factsift as module

server = serve()
server.start()
run = batch.run(module.AISummary(server.url, "k", "echo").extract, iter(["a"] * 50), jobs=2,
                processes=int(sys.argv[1]))
next(run)
print("left open")
"""


@pytest.mark.parametrize("processes", ["1", "2"])
def test_a_run_left_open_at_exit_ends_quietly(tmp_path, processes):
    from conftest import PRELUDE

    proc = subprocess.run([sys.executable, "-c", PRELUDE + UNCLOSED_CHILD, processes], cwd=tmp_path,
                          capture_output=True, text=True, timeout=GUARD)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "left open\n", "")


@pytest.mark.slow
@pytest.mark.parametrize("slow_from", [0, -20], ids=["head", "body"])
def test_the_timeout_bounds_each_request_as_a_whole(S, capfd, slow_from):
    # After a fast start the rest arrives a byte every 0.1 s: each read is far within the
    # time-out, the whole reply (some 30 s) far beyond it.
    def answer(handler):
        data = http_reply(200, completion("x" * 300))
        handler.wfile.write(data[:slow_from])
        for byte in data[slow_from:]:
            handler.wfile.write(bytes([byte]))
            time.sleep(0.1)

    with scripted_server(answer) as server:
        started = time.monotonic()
        [record] = batch.run(S(server.url, "k", "m").extract, ["文本"], timeout=1, retries=0)
        took = time.monotonic() - started
    assert record["status"] == "error" and took < 10, took
    assert "APITimeoutError" in capfd.readouterr().err


@pytest.mark.parametrize("retry_after, message", [
    ("300", "HTTP 429: the service asked to wait 300 s, longer than the run waits (max_wait 2 s)"),
    ("0.4", "HTTP 429: held by the service's rate limit for 2 s in all, the most the run waits (max_wait 2 s)")])
def test_an_input_held_longer_than_max_wait_gets_an_error_record_that_says_so(S, retry_after, message):
    answer = http_reply(429, b'{"error": {"message": "slow down"}}', retry_after=retry_after)
    sent = []
    with scripted_server(lambda handler: sent.append(handler.wfile.write(answer))) as server:
        started = time.monotonic()
        [record] = batch.run(S(server.url, "k", "m").extract, ["文本"], retries=0, max_wait=2)
    assert (record["status"], record["error"]) == ("error", message)
    assert time.monotonic() - started < 10
    assert len(sent) == 1 if retry_after == "300" else 5 <= len(sent) <= 7  # then one each 0.4 s for 2 s


@pytest.mark.parametrize("timeout", [None, 30], ids=["no time-out", "whole-request deadline"])
def test_a_connection_the_service_closed_while_idle_is_not_used_again(S, timeout):
    # The first request's connection is kept; after the second the service closes it, while the
    # client keeps it as idle. The third, sent once it has, must go on a new connection rather than
    # fail on the closed one (no retries here): the client looks again before reusing it.
    answered = []

    def answer(handler):
        answered.append(handler.client_address[1])
        handler.close_connection = len(answered) == 2
        handler.wfile.write(http_reply(200, completion("r"), close=False))

    def paced(server):
        yield from ("一", "二")
        assert server.closed.acquire(timeout=GUARD)  # rather than a pause that a busy machine outlasts
        yield "三"

    with scripted_server(answer) as server:
        records = list(batch.run(S(server.url, "k", "m").extract, paced(server), jobs=1, retries=0,
                                 timeout=timeout))
    assert [r["status"] for r in records] == ["ok"] * 3
    assert answered[0] == answered[1] != answered[2]
