"""Runs through the service's batch interface (--batch-api, factsift.batch.submit): records identical to
an online run's, kill points with --resume and the service's counts, failed, expired, cancelled and
rejected batches, the split into batches, and the pieces (custom ids, the state, hostile result lines)."""

import contextlib
import functools
import importlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import openai
from conftest import child_env
from devserver_fixtures import http_reply, running_server, scripted_server
from factsift import clients
from factsift.batchapi import split, state as run_state
from factsift.batchapi.collect import LineError, Replay, Results, expected
from factsift.devserver import api, batches as service_batches, chat

TEXTS = ["第一篇：价格上涨3.5%。", "second, with punctuation!", "第三篇", "4th", "五", "six"]
IDS = ["n-1", 2, "a b", "n-4", "新闻", "x" * 70]  # mapped: 2, "a b", "新闻", the long one


@pytest.fixture
def server(tmp_path):
    with running_server(tmp_path / "service.jsonl", batch_time=0.3) as server:
        yield server


@pytest.fixture
def inputs(tmp_path):
    with open(tmp_path / "in.jsonl", "w", encoding="utf-8") as f:
        for key, text in zip(IDS, TEXTS):
            f.write(json.dumps({"id": key, "text": text}, ensure_ascii=False) + "\n")
        f.write("not json\n")
    return tmp_path / "in.jsonl"


def command(server, *extra, model="echo", output="out.jsonl", command="summarize", batch=True, jsonl="in.jsonl"):
    flags = ["--batch-api", "--poll", "0.05"] if batch else []
    return [sys.executable, "-m", "factsift", command, "--jsonl", jsonl, "--output", output, *flags,
            "--base-url", server.url, "--model", model, "--api-key", "sk-batch", "--max-retries", "0", *extra]


def env():
    base = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_") and k != "PYTHONPATH"}
    return child_env(base)


def run(tmp_path, args):
    result = subprocess.run(args, cwd=tmp_path, env=env(), capture_output=True, timeout=120)
    return result.returncode, result.stderr.decode()


def lines(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


_ONLINE = {}


def online(tmp_path, server, *extra, **options):
    """The exit status and lines of an online run of the same inputs (echoed: the same from any
    service, so made once for each set of options); the service's counts stay as they were."""
    key = (extra, tuple(sorted(options.items())))
    if key not in _ONLINE:
        counts = server.counts.copy()
        status, _ = run(tmp_path, command(server, *extra, output="online.jsonl", batch=False, **options))
        server.counts.clear()
        server.counts.update(counts)
        _ONLINE[key] = status, lines(tmp_path / "online.jsonl")
    return _ONLINE[key]


# -- end to end ---------------------------------------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("name, extra", [("summarize", []), ("title", ["--prompt", "起一个标题"]),
                                         ("summarize", ["--batch-size", "2"])])
def test_records_are_those_of_an_online_run(tmp_path, server, inputs, name, extra):
    status, stderr = run(tmp_path, command(server, *extra, command=name))
    expected_status, expected_lines = online(tmp_path, server, *extra, command=name)
    assert (status, expected_status) == (3, 3), stderr  # the line that is not JSON: unusable
    assert lines(tmp_path / "out.jsonl") == expected_lines
    assert [line["id"] for line in expected_lines] == [*IDS, 7]
    parts = 3 if "--batch-size" in extra else 1
    assert dict(server.counts) == {"file.uploaded": parts, "batch.created": parts, "file.output": parts,
                                   "file.deleted": 2 * parts}
    assert not os.path.exists(tmp_path / "out.jsonl.batches")
    assert f"6 ok, 1 error, 0 skipped" in stderr and f"through {parts} batch" in stderr
    assert stderr.rstrip().endswith("done, with 1 unusable input")


def test_split_by_size_and_records_in_input_order(tmp_path, server, s_service):
    from factsift import batch

    s = s_service(server)
    texts = [f"文本{i}" * (i + 1) for i in range(7)]
    with batch.submit(s.extract, texts, str(tmp_path / "run"), max_bytes=700) as run:
        sizes = [part.size for part in run.parts]
        assert len(sizes) > 2 and max(sizes) <= 700
        run.wait(0.05)
        with run.records(texts) as records:
            got = list(records)
    assert got == list(batch.run(s.extract, texts))
    assert server.counts["batch.created"] == len(sizes)


@pytest.fixture
def s_service(mod):
    return lambda server, model="echo": mod.AISummary(server.url, "sk-api", model)


@pytest.mark.parametrize("fault, statuses", [
    ({"devserver_fail": "1,3"}, ["ok", "error", "ok", "error", "ok"]),
    ({"devserver_expire_after": "2"}, ["ok", "ok", "error", "error", "error"]),
])
def test_failed_and_expired_lines_get_error_records(tmp_path, server, s_service,
                                                    fault, statuses):
    from factsift import batch

    s = s_service(server)
    pairs = [(str(i), f"text {i}") for i in range(5)]
    with batch.submit(s.refined_title, pairs, str(tmp_path / "run"), metadata=fault) as run:
        run.wait(0.05)
        got = list(run.records(pairs))
    assert [r["status"] for r in got] == statuses and [r["id"] for r in got] == [k for k, _ in pairs]
    for record in got:
        if "devserver_fail" in fault and record["status"] == "error":  # HTTP 500: as online
            assert record == {"title": "", "content": "", "status": "error", "id": record["id"]}
        elif record["status"] == "error":
            assert "batch_expired" in record["error"]
    again = [pair for pair, record in zip(pairs, got) if record["status"] == "error"]
    with batch.submit(s.refined_title, again, str(tmp_path / "run")) as run:  # only those are sent
        assert [part.requests for part in run.parts] == [len(again)]
        run.wait(0.05)
        assert all(r["status"] == "ok" for r in run.records(again))


def test_results_gone_from_the_service_give_error_records_and_are_sent_again(tmp_path, server, s_service):
    from factsift import batch

    s = s_service(server)
    with batch.submit(s.extract, TEXTS, str(tmp_path / "run")) as run:
        run.wait(0.05)
        assert server.files.delete(run.parts[0].output_file_id)
        got = list(run.records(TEXTS))
    assert [r["status"] for r in got] == ["error"] * 6 and "no longer at the service" in got[0]["error"]
    assert not os.path.exists(tmp_path / "run")
    with batch.submit(s.extract, TEXTS, str(tmp_path / "run")) as run:
        run.wait(0.05)
        assert list(run.records(TEXTS)) == list(batch.run(s.extract, TEXTS))


@pytest.mark.parametrize("then", ["wait", "cancel"])
def test_a_batch_the_service_lost_gives_error_records(tmp_path, server, s_service, then):
    from factsift import batch

    s = s_service(server)
    with batch.submit(s.extract, TEXTS, str(tmp_path / "run"), metadata={"devserver_time": "60"}) as run:
        server.batches._batches.clear()  # as after a restart of the local service
        run.cancel() if then == "cancel" else run.wait(0.05)
        got = list(run.records(TEXTS))
    assert [r["status"] for r in got] == ["error"] * 6
    assert all("no longer knows the batch" in r["error"] for r in got)


@pytest.mark.parametrize("source", ["missing.jsonl", "folder"])
def test_inputs_that_cannot_be_read_get_the_online_runs_record_and_leave_no_state(tmp_path, server, source):
    (tmp_path / "folder").mkdir()
    status, stderr = run(tmp_path, command(server, jsonl=source))
    online_status, online_lines = online(tmp_path, server, jsonl=source)
    assert (status, online_status) == (1, 1) and "Traceback" not in stderr
    assert lines(tmp_path / "out.jsonl") == online_lines
    assert online_lines[0]["error"].startswith(f"cannot read {source}: ")
    assert not os.path.exists(tmp_path / "out.jsonl.batches") and not server.counts  # nothing sent


@pytest.mark.slow
def test_an_online_run_goes_on_beside_a_state_folder_that_holds_no_run(tmp_path, server, inputs):
    os.mkdir(tmp_path / "out.jsonl.batches")  # a run killed before it wrote its state
    status, stderr = run(tmp_path, command(server, batch=False))
    assert status == 3, stderr
    assert len(lines(tmp_path / "out.jsonl")) == 7 and not server.counts  # sent online: no files, no batches


@pytest.mark.slow
def test_rejected_batch_gives_error_records_and_resume_sends_again(tmp_path, server, inputs, monkeypatch):
    real = service_batches.check_lines
    monkeypatch.setattr(service_batches, "check_lines", lambda data, endpoint: ([], [
        {"code": "duplicate_custom_id", "line": 2, "message": "The custom_id is a duplicate.", "param": None}]))
    status, _ = run(tmp_path, command(server))
    records = lines(tmp_path / "out.jsonl")
    assert status == 1 and [r["status"] for r in records] == ["error"] * 7
    assert "line 2: duplicate_custom_id" in records[0]["error"] and records[-1]["unusable"] is True
    monkeypatch.setattr(service_batches, "check_lines", real)
    status, _ = run(tmp_path, command(server, "--resume"))
    assert status == 3 and server.counts["batch.created"] == 2
    assert [r["status"] for r in lines(tmp_path / "out.jsonl")[7:]] == ["ok"] * 6


@pytest.mark.slow
def test_flaky_lines_are_sent_again_until_they_pass(tmp_path, server, inputs):
    status, _ = run(tmp_path, command(server, model="flaky:0.5"))
    for attempt in range(8):
        records = lines(tmp_path / "out.jsonl")
        errors = {r["id"] for r in records if r["status"] == "error" and not r.get("unusable")}
        if not errors:
            break
        created = server.counts["batch.created"]
        status, _ = run(tmp_path, command(server, "--resume", model="flaky:0.5"))
        newest = server.batches.listing()[0]
        assert server.counts["batch.created"] == created + 1
        assert newest["request_counts"]["total"] == len(errors)  # only those that failed
    assert status == 3 and not errors
    done = [r for r in lines(tmp_path / "out.jsonl") if r["status"] == "ok"]
    assert sorted(map(str, (r["id"] for r in done))) == sorted(map(str, IDS))


@pytest.mark.slow
@pytest.mark.parametrize("reply, where", [
    (http_reply(200, b"{}"), "has no id"),
    (http_reply(200, b"[1, 2]"), "JSON object"),
    (http_reply(200, b"not json", **{"Content-Type": "application/json"}), "upload"),
    (http_reply(400, b'{"error": {"message": "a bad file", "type": "invalid_request_error"}}'), "a bad file"),
], ids=["no id", "not an object", "not JSON", "HTTP 400"])
def test_a_hostile_service_never_crashes_the_run(tmp_path, inputs, reply, where):
    with scripted_server(lambda handler: handler.wfile.write(reply)) as server:
        status, stderr = run(tmp_path, command(server))
        assert len(server.seen) == 1  # the upload, and nothing after it
    records = lines(tmp_path / "out.jsonl") if os.path.exists(tmp_path / "out.jsonl") else []
    assert status == 1 and "Traceback" not in stderr
    assert where in stderr + json.dumps(records)
    assert all(record["status"] == "error" for record in records)


# -- kill points and Ctrl-C ---------------------------------------------------------------------

class Gate:
    """Holds the service's answer to the first request that matches until released; then does
    the work (complete) or drops it, as a service that never got the request whole would."""

    def __init__(self, method, pattern, complete):
        self.method, self.pattern, self.complete = method, re.compile(pattern), complete
        self.reached, self.release, self.used = threading.Event(), threading.Event(), False

    def install(self, monkeypatch):
        route = api.route

        def gated(server, method, path, query, raw, content_type):
            if not self.used and method == self.method and self.pattern.fullmatch(path):
                self.used = True
                self.reached.set()
                self.release.wait(60)
                if not self.complete:
                    return chat.error(503, "never made")
            return route(server, method, path, query, raw, content_type)
        monkeypatch.setattr(api, "route", gated)
        return self


def state_of(tmp_path):
    try:
        with open(tmp_path / "out.jsonl.batches" / "state.json") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def waiting(tmp_path):
    found = state_of(tmp_path)
    return bool(found and found["parts"] and found["parts"][0]["status"] == "in_progress")


KILL_POINTS = {  # name: (a gate held at the point, or None to watch the state file)
    "before the upload reached the service": ("POST", "/v1/files", False),
    "after the upload, before its answer": ("POST", "/v1/files", True),
    "before the batch was made": ("POST", "/v1/batches", False),
    "after the batch was made, before its answer": ("POST", "/v1/batches", True),
    "while waiting": None,
    "while collecting": ("GET", r"/v1/files/[^/]+/content", True),
    "after writing, before the clean-up": ("DELETE", r"/v1/files/.+", True),
    "after marking the batch collected, before its files were deleted": ("DELETE", r"/v1/files/.+", False),
}


def kill(tmp_path, server, monkeypatch, point):
    """Starts a batch run and SIGKILLs it at `point`."""
    gate = KILL_POINTS[point] and Gate(*KILL_POINTS[point]).install(monkeypatch)
    child = subprocess.Popen(command(server), cwd=tmp_path, env=env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not (gate.reached.is_set() if gate else waiting(tmp_path)):
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.02)
        child.send_signal(signal.SIGKILL)
        child.wait()
    finally:
        if gate:
            gate.release.set()
        with contextlib.suppress(OSError):
            child.kill()


@pytest.mark.slow
@pytest.mark.parametrize("point", KILL_POINTS)
def test_killed_runs_resume_without_sending_twice(tmp_path, inputs, monkeypatch, point):
    with running_server(tmp_path / "service.jsonl", batch_time=1.0) as server:
        kill(tmp_path, server, monkeypatch, point)
        if point == "while collecting":  # as if some lines had been written before the kill
            expected_lines = online(tmp_path, server)[1]
            with open(tmp_path / "out.jsonl", "w") as f:
                f.writelines(json.dumps(line, ensure_ascii=False) + "\n" for line in expected_lines[:2])
        status, stderr = run(tmp_path, command(server, "--resume"))
        assert status == 3, stderr
        assert server.counts["file.uploaded"] == server.counts["batch.created"] == 1
        assert lines(tmp_path / "out.jsonl") == online(tmp_path, server)[1]
        assert not os.path.exists(tmp_path / "out.jsonl.batches")
        assert server.files.listing(None) == []  # nothing left at the service either


@pytest.mark.slow
@pytest.mark.parametrize("then", ["online --resume", "a new batch run"])
def test_files_a_killed_collection_left_at_the_service_are_deleted_by_the_next_run(tmp_path, inputs,
                                                                                   monkeypatch, then):
    with running_server(tmp_path / "service.jsonl", batch_time=1.0) as server:
        kill(tmp_path, server, monkeypatch, "after marking the batch collected, before its files were deleted")
        written = lines(tmp_path / "out.jsonl")
        assert len(server.files.listing(None)) == 2 and len(written) == 7  # the input and output files
        if then == "online --resume":
            status, stderr = run(tmp_path, command(server, "--resume", batch=False))
            assert "/v1/chat/completions" not in [line.get("path") for line in lines(tmp_path / "service.jsonl")]
        else:
            os.unlink(tmp_path / "out.jsonl")
            status, stderr = run(tmp_path, command(server))
            assert server.counts["file.uploaded"] == server.counts["batch.created"] == 2
        assert status == 3, stderr
        assert server.files.listing(None) == [] and server.counts["file.deleted"] == 2 * (then != "online --resume") + 2
    assert lines(tmp_path / "out.jsonl") == written and not os.path.exists(tmp_path / "out.jsonl.batches")


@pytest.mark.slow
def test_a_resumed_run_whose_inputs_cannot_be_read_keeps_its_batches(tmp_path, inputs, monkeypatch):
    with running_server(tmp_path / "service.jsonl", batch_time=1.0) as server:
        kill(tmp_path, server, monkeypatch, "while waiting")
        os.rename(inputs, tmp_path / "moved.jsonl")
        status, stderr = run(tmp_path, command(server, "--resume"))
        assert status == 1 and "Traceback" not in stderr
        assert "cannot read in.jsonl" in stderr and "--resume" in stderr
        assert [part["collected"] for part in state_of(tmp_path)["parts"]] == [False]
        os.rename(tmp_path / "moved.jsonl", inputs)
        status, stderr = run(tmp_path, command(server, "--resume"))
        assert status == 3, stderr
        assert server.counts["file.uploaded"] == server.counts["batch.created"] == 1
        assert lines(tmp_path / "out.jsonl") == online(tmp_path, server)[1]


@pytest.mark.slow
def test_cancel_finds_the_batch_a_killed_run_never_heard_back_about(tmp_path, inputs, monkeypatch):
    with running_server(tmp_path / "service.jsonl", batch_time=30.0) as server:
        kill(tmp_path, server, monkeypatch, "after the batch was made, before its answer")
        status, stderr = run(tmp_path, command(server, "--cancel-batches"))
        assert status == 1, stderr
        assert server.counts["batch.created"] == server.counts["batch.cancelled"] == 1
    records = lines(tmp_path / "out.jsonl")
    # batch_cancelled in its error file; or none, when it was cancelled while it was being validated
    assert [("cancelled" in r["error"]) for r in records] == [True] * 6 + [False]  # and the unusable


@pytest.mark.slow
def test_ctrl_c_leaves_the_batches_running_then_cancel_collects_what_they_answered(tmp_path, inputs):
    # 30 s batches: the answers come at 11, 19 and 27 s; the children each take seconds to start
    with running_server(tmp_path / "service.jsonl", batch_time=30.0) as server:
        child = subprocess.Popen(command(server, "--batch-size", "3"), cwd=tmp_path, env=env(),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        while not waiting(tmp_path):
            assert child.poll() is None
            time.sleep(0.02)
        child.send_signal(signal.SIGINT)
        assert child.wait(30) == 130
        message = child.stderr.read().decode()
        assert "--resume" in message and "--cancel-batches" in message and "2 batches still running" in message
        assert "batch.cancelled" not in server.counts
        status, stderr = run(tmp_path, command(server))  # online or batch: refused while open
        assert status == 2 and "--resume" in stderr
        status, stderr = run(tmp_path, command(server, batch=False))
        assert status == 2 and "--cancel-batches" in stderr
        assert [line.get("path") for line in lines(tmp_path / "service.jsonl")].count("/v1/chat/completions") == 0
        while sum(b["request_counts"]["completed"] for b in server.batches.listing()) < 2:
            time.sleep(0.05)  # some requests answered, not all
        status, stderr = run(tmp_path, command(server, "--cancel-batches"))
        records = lines(tmp_path / "out.jsonl")
        assert status == 1 and server.counts["batch.cancelled"] == 2
        assert [r["id"] for r in records] == [*IDS, 7]
        cancelled = [r for r in records if "batch_cancelled" in r.get("error", "")]
        assert 0 < len(cancelled) < 6
        server.batch_time = 0.3
        status, _ = run(tmp_path, command(server, "--resume"))  # sends only the cancelled ones
        assert status == 3 and server.counts["batch.created"] == 3
        assert server.batches.listing()[0]["request_counts"]["total"] == len(cancelled)


@pytest.mark.parametrize("folder", [".", "mydata"])
def test_a_new_run_refuses_a_folder_that_holds_other_files(tmp_path, server, s_service,
                                                           monkeypatch, folder):
    from factsift import batch, batchapi

    (tmp_path / folder).mkdir(exist_ok=True)
    (tmp_path / folder / "notes.txt").write_text("mine")
    monkeypatch.chdir(tmp_path)
    before = sorted(os.listdir(tmp_path / folder))
    with pytest.raises(batchapi.StateError, match="did not make \\(.*notes.txt"):
        batch.submit(s_service(server).extract, TEXTS, folder)
    assert sorted(os.listdir(tmp_path / folder)) == before and not server.counts


@pytest.mark.parametrize("foreign", [["notes.txt"], []])
def test_collecting_removes_the_runs_own_files_and_nothing_else(tmp_path, server, s_service,
                                                                foreign):
    from factsift import batch

    s, folder = s_service(server), tmp_path / "run"
    with batch.submit(s.extract, TEXTS, str(folder)) as run:
        for name in foreign:  # put there while the batch runs
            (folder / name).write_text("mine")
        for name in (f"{run.parts[0].name}.output.jsonl.999.tmp", "state.json.999.tmp"):  # a killed run's
            (folder / name).write_bytes(b"torn")
        run.wait(0.05)
        with run.records(TEXTS) as records:
            assert list(records) == list(batch.run(s.extract, TEXTS))
    assert (sorted(os.listdir(folder)) if foreign else os.path.exists(folder)) == (foreign or False)


def test_inputs_that_cannot_be_read_again_keep_what_the_batch_answered(tmp_path, server, s_service):
    from factsift import batch, batchapi
    from factsift.cli.inputs import InputError

    s, pairs = s_service(server), [(str(i), text) for i, text in enumerate(TEXTS)]

    def cut_short():
        yield from pairs[:2]
        yield None, InputError("cannot read in.jsonl after line 2: gone")

    with batch.submit(s.extract, pairs, str(tmp_path / "run")) as run:
        run.wait(0.05)
        got = []
        with pytest.raises(batchapi.InputsError, match="after line 2: gone"), run.records(cut_short()) as records:
            got.extend(records)
        assert [record["id"] for record in got] == ["0", "1"] and not run.parts[0].collected
        with run.records(pairs[2:], skip=lambda key: key in ("0", "1")) as records:
            got.extend(records)
    assert got == list(batch.run(s.extract, pairs)) and server.counts["file.uploaded"] == 1
    assert not os.path.exists(tmp_path / "run") and server.files.listing(None) == []
    with pytest.raises(batchapi.InputsError, match="gone"):  # nothing sent: nothing is left
        batch.submit(s.extract, [(None, InputError("cannot read in.jsonl: gone"))], str(tmp_path / "again"))
    assert not os.path.exists(tmp_path / "again") and server.counts["file.uploaded"] == 1
    with pytest.raises(batchapi.InputsError, match="after line 2"):  # one batch sent: kept, and no .tmp
        batch.submit(s.extract, cut_short(), str(tmp_path / "again"), batch_size=1)
    kept = os.listdir(tmp_path / "again")
    assert server.counts["file.uploaded"] == 2 and "state.json" in kept and not [n for n in kept if ".tmp" in n]


# -- the pieces ---------------------------------------------------------------------------------

def test_custom_ids_map_what_is_not_a_plain_unique_string():
    part = split.PartFile(3, 10, 10**6, io.BytesIO())
    for key in ["n-1", 2, "a b", "n-4", "n-4", "新闻", "x" * 65, "factsift-3-0", "x" * 64]:
        part.add(split.Recorded(key, b'{"model": "m"}'))
    custom_ids = [entry[1] for entry in part.entries]
    assert custom_ids == ["n-1", "factsift-3-1", "factsift-3-2", "n-4", "factsift-3-4", "factsift-3-5",
                          "factsift-3-6", "factsift-3-7", "x" * 64]
    written = part.sink.getvalue().splitlines()
    assert [json.loads(line)["custom_id"] for line in written] == custom_ids
    assert [json.loads(line)["body"] for line in written] == [{"model": "m"}] * 9


@pytest.mark.parametrize("batch_size, max_bytes, parts", [(2, 10**6, [2, 2, 2]), (10, 500, [2, 2, 1])])
def test_split_keeps_both_limits(batch_size, max_bytes, parts):
    body = b'{"model": "m", "messages": "' + b"x" * 40 + b'"}'
    items = [split.Recorded(i, body) for i in range(5)] + [split.Recorded("big", b"y" * 1000)]
    made = list(split.split(iter(items), 1, batch_size, max_bytes, lambda number: io.BytesIO()))
    assert [p.requests for p in made] == parts and [p.number for p in made] == [1, 2, 3]
    assert all(p.size <= max_bytes and p.size == len(p.sink.getvalue()) for p in made)
    too_large = made[-1].entries[-1][3]  # larger than any file may be: never sent
    assert (too_large is not None and too_large.startswith("the request (1")) == (max_bytes == 500)


def test_state_is_locked_checked_and_survives_a_torn_write(tmp_path):
    folder, settings = str(tmp_path / "run"), {"model": "m", "prompt": ""}
    first = run_state.State.open(folder, settings)
    with pytest.raises(run_state.StateError, match="another factsift run"):
        run_state.State.open(folder, settings)
    first.parts.append(first.new_part(1))
    first.save()
    with open(os.path.join(folder, "state.json.123.tmp"), "w") as f:
        f.write('{"torn')  # a write killed before its rename
    first.close()
    with pytest.raises(run_state.StateError, match="other settings \\(prompt\\)"):
        run_state.State.open(folder, {"model": "m", "prompt": "other"})
    again = run_state.State.open(folder, settings)
    assert [part.name for part in again.parts] == [f"factsift-{again.run}-0001"]
    again.close()
    with open(os.path.join(folder, "state.json"), "w") as f:
        f.write("[]")
    with pytest.raises(run_state.StateError, match="not the state"):
        run_state.State.open(folder, settings)


@pytest.mark.parametrize("line, message", [
    (None, "without a result"),
    (b"not json", "without a result"),
    (b'{"custom_id": "c", "response": null, "error": {"code": "batch_expired", "message": "late"}}',
     "batch_expired: late"),
    (b'{"custom_id": "c", "response": {"status_code": "200", "body": {}}, "error": null}', "gave no reply"),
    (b'{"custom_id": "c", "response": [], "error": []}', "gave no reply"),
])
def test_hostile_result_lines_become_error_records(tmp_path, line, message):
    path = tmp_path / "out.jsonl"
    path.write_bytes(b"[1, 2]\n" + (line + b"\n" if line else b""))
    results = Results()
    results.add(1, str(path))
    part = run_state.Part(1, "p", status="completed")
    got = expected(part, ("k", "c", "digest", None), "text", results)
    assert isinstance(got, LineError) and message in str(got)
    results.close()
    ok = tmp_path / "ok.jsonl"
    ok.write_bytes(b'{"custom_id": "c", "response": {"status_code": 200, "body": {"choices": []}}, "error": null}\n')
    results = Results()
    results.add(1, str(ok))
    got = expected(part, ("k", "c", "digest", None), "text", results)
    assert isinstance(got, Replay) and (got.expected.status, got.expected.body) == (200, {"choices": []})
    results.close()


def test_a_result_line_too_long_is_never_read_whole_and_its_input_gets_an_error_record(tmp_path, monkeypatch):
    collect = importlib.import_module("factsift.batchapi.collect")  # the package's `collect` is a function
    monkeypatch.setattr(collect, "MAX_LINE", 1000)
    reply = {"status_code": 200, "body": {"choices": []}}
    rows = [{"id": "r1", "custom_id": "a", "response": reply, "padding": "x" * 5000},
            {"custom_id": "b", "response": reply, "padding": "x" * 5000},
            {"padding": "x" * 5000, "custom_id": "c"},  # its custom_id comes too late to be found
            {"custom_id": "d", "response": reply}, {"custom_id": "e", "response": reply}]
    path = tmp_path / "out.jsonl"
    path.write_text("".join(json.dumps(row) + "\n" for row in rows))
    reads = []

    class Reading(io.BytesIO):
        def readline(self, size=-1):
            reads.append(size)
            return super().readline(size)

    sizes = [len(json.dumps(row)) + 1 for row in rows]
    assert [(offset, length) for offset, _, length in collect._lines(Reading(path.read_bytes()))] == [
        (sum(sizes[:i]), size) for i, size in enumerate(sizes)]
    assert reads and all(0 < size <= 1 << 20 for size in reads)  # never a whole line, whatever its length
    results = Results({(1, key) for key in "abcd"})  # "e" is awaited by no input: not kept
    results.add(1, str(path))
    part = run_state.Part(1, "p", status="completed")
    got = {key: expected(part, ("k", key, "digest", None), "text", results) for key in "abcde"}
    results.close()
    assert [type(value).__name__ for value in got.values()] == ["LineError", "LineError", "LineError", "Replay",
                                                               "LineError"]
    assert all("bytes, more than a line may be (1000)" in str(got[key]) for key in "ab")
    assert "without a result" in str(got["c"]) and "without a result" in str(got["e"])


def _cut_short(body, cuts):
    """A file's content, its first `cuts` answers cut off half-way (the connection closes); file
    "small" holds a few bytes."""
    def answer(handler):  # no copy of the body: the memory the client uses is measured
        data = b"small" if "/small/" in handler.path else memoryview(body)
        handler.wfile.write(f"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                            f"{len(data)}\r\nConnection: close\r\n\r\n".encode())
        answered = sum("/file-1/" in seen.path for seen in handler.server.seen[:-1])
        handler.wfile.write(data[:len(data) // 2] if "/file-1/" in handler.path and answered < cuts else data)
    return answer


@pytest.mark.parametrize("cuts", [0, 1, 2])
def test_a_download_is_streamed_to_disk_and_kept_whole_or_not_at_all(tmp_path, cuts):
    import tracemalloc

    from factsift.batchapi.split import ENDPOINT
    from factsift.batchapi.state import write_atomically
    from factsift.clients import BatchService, ServiceError

    body = bytes(range(256)) * (16 << 12)  # 16 MiB
    path = tmp_path / "file.jsonl"
    with scripted_server(_cut_short(body, cuts)) as server:
        service = BatchService(server.url, "sk-test", ENDPOINT, retries=1, sleep=lambda seconds: None)
        try:
            # The client package loads what it needs.
            service.download("small", functools.partial(write_atomically, str(tmp_path / "small")))
            tracemalloc.start()
            with pytest.raises(ServiceError, match="reading file file-1") if cuts > 1 else contextlib.nullcontext():
                service.download("file-1", functools.partial(write_atomically, str(path)))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
            service.close()
        assert [seen.path for seen in server.seen][1:] == ["/v1/files/file-1/content"] * min(cuts + 1, 2)
    assert (path.read_bytes() == body) if cuts < 2 else not path.exists()
    assert sorted(os.listdir(tmp_path)) == (["file.jsonl"] if cuts < 2 else []) + ["small"]  # no temporary file
    assert peak < 8 << 20


@pytest.mark.parametrize("status, name", [(400, "BadRequestError"), (401, "AuthenticationError"),
                                          (404, "NotFoundError"), (429, "RateLimitError"),
                                          (418, "APIStatusError"), (503, "InternalServerError")])
def test_replayed_error_replies_raise_the_packages_status_errors(status, name):
    from factsift.clients._replay import status_error

    body = {"error": {"message": "no", "type": "t", "code": "c", "param": None}}
    error = status_error(openai, status, body)
    assert type(error) is getattr(openai, name)
    assert error.status_code == status and error.code == "c"
    assert str(error) == f"Error code: {status} - {body}"


def test_replaying_checks_the_request_and_makes_the_modules_record(mod):
    s = mod.AISummary("http://svc.test/v1", "k", "m")
    with clients.recording() as recorder:
        s.extract("甲。乙")
        [request] = recorder.take()
    recorded = split.digest(split.encode_body(request))
    body = {"choices": [{"message": {"role": "assistant", "content": "摘要"}}],
            "usage": {"prompt_tokens": 3, "completion_tokens": 1, "total_tokens": 4}}
    with clients.replaying() as replayer:
        for text, result in (("甲。乙", {"summary": "摘要", "content": "甲乙", "status": "ok"}),
                             ("甲乙丙", {"summary": "", "content": "", "status": "error"})):
            check = clients.Expected(lambda r: split.digest(split.encode_body(r)) == recorded, 200, body)
            with replayer.expecting(check) as outcome:
                assert s.extract(text) == result
            assert (outcome.problem is None) == (result["status"] == "ok")


def test_the_command_line_loads_none_of_it_without_batch_options(tmp_path):
    code = ("import sys; from factsift.cli import main; main(['title', 'a.txt', '--model', 'm', '--api-key', "
            "'k', '--base-url', 'http://127.0.0.1:9/v1', '--max-retries', '0', '--output', 'o.jsonl']); "
            "print(sorted(m for m in sys.modules if 'batchapi' in m))")
    (tmp_path / "a.txt").write_text("x")
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                            env=env(), timeout=60)
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize("args, message", [
    (["--batch-api", "a.txt"], "--output FILE"),
    (["--batch-api", "--output", "o.jsonl", "-"], "not standard input"),
    (["--cancel-batches", "--output", "o.jsonl", "a.txt"], "no batches to cancel"),
    (["--batch-api", "--output", "o.jsonl", "a.txt", "--batch-size", "50001"], "--batch-size"),
    (["--batch-api", "--output", "o.jsonl", "a.txt", "--poll", "0"], "--poll"),
])
def test_usage_errors(tmp_path, args, message):
    (tmp_path / "a.txt").write_text("x")
    args = [sys.executable, "-m", "factsift", "title", "--model", "m", "--api-key", "k",
            "--base-url", "http://127.0.0.1:9/v1", *args]
    status, stderr = run(tmp_path, args)
    assert status == 2 and message in stderr
