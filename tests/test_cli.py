"""`python -m factsift` end to end: the CLI, the compiled module and factsift.devserver."""

import bisect
import collections
import contextlib
import fcntl
import importlib.util
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from types import SimpleNamespace as NS

import pytest

from conftest import child_env
from devserver_fixtures import (ROOT, completion, devserver, http_reply, read_log, running_server,  # noqa: F401
                                scripted_server)

# Built in the checkout or installed (tools/check-installed runs the suite outside the checkout).
HAVE_MODULE = importlib.util.find_spec("factsift.factsift") is not None
needs_module = pytest.mark.skipif(not HAVE_MODULE, reason="factsift.factsift is not built (make build)")

ARTICLE = os.path.join(ROOT, "examples", "article-zh.txt")


def cleaned(text):
    return re.sub(r"[^\w\s]", "", text)


def cli_env(env=None):
    """The environment of a command-line run: none of the user's OPENAI_ settings."""
    base = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_") and k != "PYTHONPATH"}
    full_env = child_env(base)
    full_env.update(env or {})
    return full_env


def run_cli(cwd, *args, stdin=b"", env=None, python_args=("-m", "factsift"), raw=False):
    """(exit status, the JSON lines written, standard error); with `raw`, standard output as text."""
    full_env = cli_env(env)
    result = subprocess.run([sys.executable, *python_args, *args], cwd=cwd, env=full_env,
                            input=stdin, capture_output=True, timeout=120)
    out = result.stdout.decode("utf-8")
    return result.returncode, out if raw else [json.loads(line) for line in out.splitlines()], \
        result.stderr.decode("utf-8")


def service(server, model="echo"):
    # Failures are not retried here: retries have tests of their own.
    retries = ["--max-retries", "0"] if model.startswith(("status:", "drop")) else []
    return ["--base-url", server.url, "--model", model, "--api-key", "sk-cli", *retries]


def summary_line(ok, error, retried=0, skipped=0, unusable=0):
    """The summary's pattern: with errors, whether another run may mend them."""
    line = (rf"factsift: {ok} ok, {error} error, {retried} retried, {skipped} skipped "
            r"in \d+\.\d s, \d+\.\d documents/s(?:, \d+ tokens \(\d+ prompt, \d+ completion\))?"
            r"(?:, \d+ refused, held \d+\.\d s by the service)?")
    if error > unusable:
        return line + rf"; {error - unusable} errors? may pass on another run: run again"
    return line + (rf"; done, with {unusable} unusable inputs?" if unusable else "")


@pytest.fixture
def main_here(tmp_path, monkeypatch, capsys):
    """main() in this process, in tmp_path, with no OPENAI_* settings but `env`: (status, stdout, stderr)."""
    from factsift.cli import main

    monkeypatch.chdir(tmp_path)
    for name in [k for k in os.environ if k.startswith("OPENAI_")]:
        monkeypatch.delenv(name)

    def run(*args, env=None):
        for name, value in (env or {}).items():
            monkeypatch.setenv(name, value)
        status = main(list(args))
        out, err = capsys.readouterr()
        return status, out, err
    return run


@pytest.fixture
def article(tmp_path):
    with open(ARTICLE, encoding="utf-8") as src:
        text = src.read()
    (tmp_path / "article.txt").write_text(text, encoding="utf-8")
    return text


@needs_module
@pytest.mark.parametrize("command, key", [("summarize", "summary"), ("title", "title")])
def test_one_file(tmp_path, devserver, article, command, key):
    status, records, _ = run_cli(tmp_path, command, "article.txt", "--prompt", "请核实",
                                 "--length", "80", *service(devserver))
    assert status == 0
    [record] = records
    assert list(record) == [key, "content", "status", "file", "model", "usage"]
    assert record["usage"]["total_tokens"] == record["usage"]["prompt_tokens"] + record["usage"]["completion_tokens"]
    assert record["status"] == "ok" and record["file"] == "article.txt"
    assert record["content"] == cleaned(article)
    [entry] = read_log(devserver.log_path)
    assert entry["headers"]["Authorization"] == "Bearer sk-cli"
    assert entry["body"]["model"] == "echo"
    [message] = entry["body"]["messages"]
    assert record[key] == message["content"]
    assert cleaned(article) in message["content"]
    if command == "title":
        assert message["content"] == "请核实。" + cleaned(article)


@needs_module
def test_prompt_and_length_reach_the_request(tmp_path, devserver):
    (tmp_path / "a.txt").write_text("今天天气晴朗。", encoding="utf-8")
    for length in ("50", "300"):
        assert run_cli(tmp_path, "summarize", "a.txt", "--prompt", "只写一句话", "--length", length,
                       *service(devserver))[0] == 0
    first, second = [e["body"]["messages"][0]["content"] for e in read_log(devserver.log_path)]
    assert "只写一句话" in first and first != second


@needs_module
def test_stdin_and_files_keep_input_order_with_settings_from_environment(tmp_path, devserver):
    (tmp_path / "a.txt").write_text("第一篇：价格上涨3.5%。", encoding="utf-8")
    (tmp_path / "b.txt").write_text("第三篇，完。", encoding="utf-8")
    status, records, _ = run_cli(
        tmp_path, "title", "a.txt", "-", "b.txt", "--model", "echo", stdin="第二篇！".encode(),
        env={"OPENAI_BASE_URL": devserver.url, "OPENAI_API_KEY": "sk-env"})
    assert status == 0
    assert [(r["file"], r["content"], r["status"]) for r in records] == [
        ("a.txt", "第一篇价格上涨35", "ok"), ("-", "第二篇", "ok"), ("b.txt", "第三篇完", "ok")]
    assert {e["headers"]["Authorization"] for e in read_log(devserver.log_path)} == {"Bearer sk-env"}


@needs_module
def test_files_are_read_with_universal_newlines(tmp_path, devserver):
    (tmp_path / "a.txt").write_bytes("一。\r\n二，\r三\n".encode())
    status, [record], _ = run_cli(tmp_path, "title", "a.txt", *service(devserver))
    assert status == 0 and record["content"] == "一\n二\n三\n"


@needs_module
@pytest.mark.parametrize("model, files, statuses, exit_status", [
    ("status:500", ["good.txt"], ["error"], 1),
    ("drop", ["good.txt"], ["error"], 1),
    ("echo", ["missing.txt", "good.txt"], ["error", "ok"], 1),
    ("echo", ["latin1.txt", "good.txt"], ["error", "ok"], 3),  # can never succeed: done
])
def test_failures_become_error_records_and_exit_1(tmp_path, devserver, model, files, statuses, exit_status):
    (tmp_path / "good.txt").write_text("正常的文本。", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes("café".encode("latin-1"))
    status, records, _ = run_cli(tmp_path, "summarize", *files, *service(devserver, model))
    assert status == exit_status
    assert [(r["file"], r["status"]) for r in records] == list(zip(files, statuses))
    for record in records:
        if record["status"] == "error":
            assert record["summary"] == "" and record["content"] == ""


@needs_module
def test_closed_stdin_gives_an_error_record(tmp_path, devserver):
    (tmp_path / "good.txt").write_text("正常的文本。", encoding="utf-8")
    code = ("import sys; sys.stdin = None; from factsift.cli import main; "  # as when started with <&-
            "sys.exit(main(sys.argv[1:]))")
    status, records, _ = run_cli(tmp_path, "title", "-", "good.txt", *service(devserver),
                                 python_args=("-c", code))
    assert status == 1
    assert [(r["file"], r["status"]) for r in records] == [("-", "error"), ("good.txt", "ok")]


@pytest.mark.parametrize("args, env, message", [
    (["summarize", "a.txt", "--model", "m", "--base-url", "http://127.0.0.1:9/v1"], {},
     "OPENAI_API_KEY"),
    (["summarize", "a.txt", "--model", "m", "--api-key", "k"], {}, "OPENAI_BASE_URL"),
    (["summarize", "a.txt", "--model", "m"], {"OPENAI_BASE_URL": "http://127.0.0.1:9/v1"},
     "OPENAI_API_KEY"),
    (["summarize", "--model", "m"], {}, "FILE"),
    (["title", "a.txt", "--model", "m", "--length", "-5"], {}, "--length"),
    (["translate", "a.txt"], {}, "invalid choice"),
    (["summarize", "a.txt", "--model", "m", "--jobs", "0"], {}, "--jobs"),
    (["summarize", "a.txt", "--model", "m", "-j", "-2"], {}, "-j"),
    (["title", "a.txt", "--model", "m", "--jobs", "many"], {}, "--jobs"),
    (["title", "-", "a.txt", "-", "--model", "m"], {}, "standard input"),
    (["title", "a.txt", "--model", "m", "--timeout", "0"], {}, "--timeout"),
    (["title", "a.txt", "--jsonl", "in.jsonl", "--model", "m"], {}, "not both"),
    (["title", "a.txt", "--model", "m", "--resume"], {}, "--output"),
    (["title", "a.txt", "--model", "m", "--max-retries", "-1"], {}, "argument --max-retries"),
    (["title", "a.txt", "--model", "m", "--rpm", "0"], {}, "argument --rpm"),
    (["title", "a.txt", "--model", "m", "--processes", "0"], {}, "argument --processes"),
    (["title", "a.txt", "--model", "m", "--shard", "2/2"], {}, "argument --shard"),
    (["title", "a.txt", "--model", "m", "--shard", "1"], {}, "argument --shard"),
    (["title", "a.txt", "--model", "m", "--output", "full.jsonl", "--base-url", "http://127.0.0.1:9/v1",
      "--api-key", "k"], {}, "--resume"),  # a file with results is never overwritten
])
def test_usage_errors_exit_2(main_here, tmp_path, args, env, message):
    (tmp_path / "full.jsonl").write_text('{"status": "ok", "file": "a.txt"}\n')
    status, out, err = main_here(*args, env=env)
    assert (status, out) == (2, "")
    assert message in err


@pytest.mark.parametrize("args", [["--help"], ["summarize", "--help"], ["title", "-h"]])
def test_help(main_here, args):
    status, out, _ = main_here(*args)
    assert status == 0
    for text in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "--model", "python -m factsift", "--jobs"):
        assert text in out, text


def test_every_option_parsed_reaches_the_typed_options():
    from factsift.cli.args import Options, build_parser

    parser = build_parser()
    commands = next(action for action in parser._actions if action.dest == "command")
    for sub in commands.choices.values():
        dests = {action.dest for action in sub._actions if action.dest != "help"}
        assert dests | {"command"} == set(Options.__slots__)
    options = Options(parser.parse_args(["title", "--jsonl", "in.jsonl", "--model", "m"]))
    assert (options.method, options.key_field, options.output) == ("refined_title", "id", None)
    with pytest.raises(ValueError, match="no --output FILE"):
        options.output_file()


def test_the_command_runs_as_a_module_and_as_its_script(tmp_path):
    for command in ([sys.executable, "-m", "factsift"], [os.path.join(os.path.dirname(sys.executable), "factsift")]):
        if os.path.exists(command[0]):
            result = subprocess.run([*command, "--help"], cwd=tmp_path, env=cli_env(), capture_output=True,
                                    text=True, timeout=60)
            assert result.returncode == 0 and "python -m factsift" in result.stdout, command


def test_missing_openai_package_is_explained(tmp_path):
    code = ("import sys; sys.modules['openai'] = None; from factsift.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    status, records, stderr = run_cli(tmp_path, "summarize", "a.txt", "--model", "m",
                                      "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k",
                                      python_args=("-c", code))
    assert (status, records) == (2, [])
    assert ("'openai' package" if HAVE_MODULE else "make build") in stderr


@needs_module
@pytest.mark.parametrize("reply, env", [
    ("plain", {"LC_ALL": "C.UTF-8"}),  # stdout would pass the file name's raw byte through
    ("前\ud800后", {"PYTHONIOENCODING": "utf-8"}),  # a strict UTF-8 stdout
    ({"事实": ["a", 1, None]}, {"LC_ALL": "C.UTF-8"}),
])
def test_every_line_is_utf8_json_that_keeps_the_values(tmp_path, reply, env):
    name = b"caf\xe9.txt"  # not UTF-8
    for file in (os.fsdecode(name), "ok.txt"):
        (tmp_path / file).write_text("正文。", encoding="utf-8")
    with scripted_server(lambda handler: handler.wfile.write(http_reply(200, completion(reply)))) as server:
        status, records, stderr = run_cli(tmp_path, "title", name, "ok.txt", "--base-url", server.url,
                                          "--model", "m", "--api-key", "k", "--no-progress", env=env)
    assert status == 0, stderr
    assert [(os.fsencode(r["file"]), r["title"], r["status"]) for r in records] == [
        (name, reply, "ok"), (b"ok.txt", reply, "ok")]


PIPE_CHILD = r"""
import select, sys
from types import SimpleNamespace as NS
import factsift.factsift as module
from factsift.cli import main

class Scripted:
    def __init__(self, **kwargs):
        self.chat = NS(completions=NS(create=self.create))

    def create(self, *, model, messages, stream):
        if "doc0" not in messages[0]["content"]:  # the others wait until the reader has gone
            poll = select.poll()
            poll.register(sys.stdout.fileno(), select.POLLERR)
            poll.poll(60_000)
        return NS(choices=[NS(message=NS(content="r"))])

module.OpenAI = Scripted
sys.exit(main(sys.argv[1:]))
"""


@needs_module
@pytest.mark.parametrize("jobs", ["1", "3"])
def test_a_closed_pipe_ends_quietly_with_status_141(tmp_path, jobs):
    names = [f"doc{i}.txt" for i in range(5)]
    for name in names:
        (tmp_path / name).write_text(name[:-4], encoding="utf-8")
    with subprocess.Popen(
            [sys.executable, "-c", PIPE_CHILD, "title", *names, "--jobs", jobs, "--model", "m",
             "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k"],
            cwd=tmp_path, env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        first = proc.stdout.readline()
        proc.stdout.close()  # as `| head -1` does
        stderr = proc.stderr.read().decode()
        assert (proc.wait(GUARD), stderr) == (141, "")
    assert json.loads(first)["file"] == "doc0.txt"


# --- several files at once: --jobs, progress, shared clients, Ctrl-C ---

GUARD = 30  # seconds; a hang guard only, never a measurement


def no_constant(name):
    raise ValueError(f"{name} is not JSON")


class LineSink:
    """Standard output stand-in, as strict as a UTF-8 stream and a JSON reader;
    a request can wait in it until n lines are out."""

    encoding = "utf-8"

    def __init__(self):
        self.lines, self._partial, self._changed = [], "", threading.Condition()

    def write(self, text):
        text.encode("utf-8")
        with self._changed:
            *done, self._partial = (self._partial + text).split("\n")
            self.lines += [json.loads(line, parse_constant=no_constant) for line in done]
            self._changed.notify_all()

    def flush(self):
        pass

    def wait_for(self, n):
        with self._changed:
            assert self._changed.wait_for(lambda: len(self.lines) >= n, GUARD)


@pytest.fixture
def inproc(tmp_path, monkeypatch):
    """main() in this process, against a client class whose requests run state.hook(doc number)."""
    import factsift.factsift as module
    from factsift.cli import main

    state = NS(builds=[], threads=set(), active=0, most_active=0, lock=threading.Lock(),
               hook=lambda i: None, reply=lambda i: f"reply{i}")

    class Scripted:
        def __init__(self, **kwargs):
            state.builds.append(kwargs)
            self.chat = NS(completions=NS(create=self.create))

        def create(self, *, model, messages, stream):
            i = int(re.search(r"doc(\d+)", messages[0]["content"]).group(1))
            with state.lock:
                state.threads.add(threading.get_ident())
                state.active += 1
                state.most_active = max(state.most_active, state.active)
            try:
                state.hook(i)
            finally:
                with state.lock:
                    state.active -= 1
            return NS(choices=[NS(message=NS(content=state.reply(i)))])

    def run(count, *args):
        names = [f"doc{i}.txt" for i in range(count)]
        for name in names:
            (tmp_path / name).write_text(name[:-4] + "。", encoding="utf-8")
        # Set here: pytest's capturing resets sys.stdout after fixtures are set up.
        real_stdout, sys.stdout = sys.stdout, state.stdout
        try:
            return main(["title", *names, "--model", "m", "--base-url", "http://svc.test/v1",
                         "--api-key", "k", *args])
        finally:
            sys.stdout = real_stdout

    monkeypatch.setattr(module, "OpenAI", Scripted)
    monkeypatch.chdir(tmp_path)
    state.run, state.stdout = run, LineSink()
    return state


@needs_module
@pytest.mark.parametrize("jobs_args, count, jobs", [
    (["--jobs", "1"], 3, 1), (["--jobs", "2"], 6, 2), (["-j", "3"], 7, 3), ([], 3, 3), ([], 12, 8)])
def test_jobs_run_at_once_and_lines_keep_input_order(inproc, jobs_args, count, jobs):
    # Files go in groups of `jobs`. A group's last request waits until the whole
    # group has started, every other one until the next has finished: each group
    # runs all at once and finishes back to front. A group's first request also
    # waits until every earlier line is on stdout: lines are not held back.
    finished = [threading.Event() for _ in range(count)]
    started, starting = collections.Counter(), threading.Condition()

    def hook(i):
        group = range(i - i % jobs, min(count, i - i % jobs + jobs))
        if i == group.start:
            inproc.stdout.wait_for(i)
        with starting:
            started[group.start] += 1
            starting.notify_all()
            if i == group[-1]:
                assert starting.wait_for(lambda: started[group.start] == len(group), GUARD)
        if i != group[-1]:
            assert finished[i + 1].wait(GUARD)
        finished[i].set()

    inproc.hook = hook
    assert inproc.run(count, *jobs_args) == 0
    assert [(r["file"], r["title"]) for r in inproc.stdout.lines] == [
        (f"doc{i}.txt", f"reply{i}") for i in range(count)]
    assert inproc.most_active == len(inproc.threads) == jobs


@needs_module
@pytest.mark.parametrize("share_args, builds, options", [
    ([], 1, {"max_retries": 2}), (["--no-share-clients"], 5, {"max_retries": 2}),
    (["--timeout", "2.5", "--max-retries", "0"], 1, {"timeout": 2.5, "max_retries": 0})])
def test_clients_are_shared_unless_told_not_to(inproc, share_args, builds, options):
    import factsift.factsift as module

    original = module.OpenAI
    assert inproc.run(5, "--jobs", "2", *share_args) == 0
    gates = [build.pop("http_client")._transport._gate for build in inproc.builds]
    assert inproc.builds == [{"base_url": "http://svc.test/v1", "api_key": "k", **options}] * builds
    assert all(gate is gates[0] for gate in gates)  # one count and one pace for the whole run
    assert module.OpenAI is original


def deeply_nested():
    value = []
    for _ in range(100_000):
        value = [value]
    return value


@needs_module
@pytest.mark.parametrize("make_reply", [lambda: float("nan"), lambda: NS(text="x"), deeply_nested],
                         ids=["nan", "object", "deeply-nested"])
def test_a_reply_json_cannot_hold_gives_an_error_line_and_stops_nothing(inproc, make_reply, capsys):
    reply = make_reply()
    inproc.reply = lambda i: reply if i == 1 else f"reply{i}"
    assert inproc.run(3, "--jobs", "1") == 1
    assert [(r["file"], r["title"], r["status"]) for r in inproc.stdout.lines] == [
        ("doc0.txt", "reply0", "ok"), ("doc1.txt", "", "error"), ("doc2.txt", "reply2", "ok")]
    assert "JSON" in inproc.stdout.lines[1]["error"]
    # The summary counts the lines as written.
    assert re.fullmatch(summary_line(2, 1), capsys.readouterr().err.splitlines()[-1])


@needs_module
@pytest.mark.parametrize("names, args, progress", [
    (["a.txt", "b.txt", "missing.txt", "c.txt", "d.txt"], ["--jobs", "1"], summary_line(4, 1) + "\n"),
    (["a.txt", "b.txt", "missing.txt", "c.txt", "d.txt"], ["-j", "16"], summary_line(4, 1) + "\n"),
    (["a.txt", "missing.txt", "b.txt"], ["--no-progress"], ""),
    (["missing.txt"], [], ""),
])
def test_service_runs_keep_order_and_count_once_off_a_terminal(tmp_path, devserver, names, args, progress):
    for name in "abcd":
        (tmp_path / f"{name}.txt").write_text(f"文件{name}。", encoding="utf-8")
    status, records, stderr = run_cli(tmp_path, "summarize", *names, *args, *service(devserver, "delay:0.05"))
    assert status == 1 and re.fullmatch(progress, stderr)
    assert [(r["file"], r["content"]) for r in records] == [
        (n, "" if n == "missing.txt" else f"文件{n[0]}") for n in names]
    assert len(read_log(devserver.log_path)) == len(names) - 1


def terminal_lines(text):
    """What a terminal shows: \r returns to column 0, ESC[K erases to the end of the line."""
    lines = []
    for raw in text.replace("\r\n", "\n").split("\n"):
        line, col = "", 0
        for token in re.split(r"(\r|\x1b\[K)", raw):
            if token == "\r":
                col = 0
            elif token == "\x1b[K":
                line = line[:col]
            else:
                line, col = line[:col] + token + line[col + len(token):], col + len(token)
        lines.append(line)
    return lines


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("model, shared_terminal", [
    ("echo", False), ("status:500", False), ("echo", True), ("status:500", True)])
def test_progress_bar_on_a_terminal_leaves_other_lines_whole(tmp_path, devserver, model, shared_terminal):
    for i in range(4):
        (tmp_path / f"{i}.txt").write_text(f"第{i}篇。", encoding="utf-8")
    master, slave = os.openpty()
    proc = subprocess.Popen(
        [sys.executable, "-m", "factsift", "title", "0.txt", "1.txt", "2.txt", "3.txt", "-j", "1",
         *service(devserver, model)], cwd=tmp_path, env=cli_env(), stderr=slave,
        stdout=slave if shared_terminal else subprocess.PIPE)
    os.close(slave)
    chunks = []
    with contextlib.suppress(OSError):  # EIO once the child has closed the terminal
        while chunk := os.read(master, 65536):
            chunks.append(chunk)
    os.close(master)
    piped = proc.stdout.read().decode().splitlines() if proc.stdout else []
    if proc.stdout:
        proc.stdout.close()
    failed = model != "echo"
    assert proc.wait(GUARD) == int(failed)
    raw = b"".join(chunks).decode()
    assert "[##############################] 4/4 done" + (", 4 failed" if failed else "") in raw
    *shown, summary, end = terminal_lines(raw)
    assert end == "" and re.fullmatch(summary_line(0, 4) if failed else summary_line(4, 0), summary)
    assert not any("done" in line for line in shown)  # the bar is never left in another line
    out = [line for line in shown if line.startswith("{")] if shared_terminal else piped
    assert [json.loads(line)["file"] for line in out] == ["0.txt", "1.txt", "2.txt", "3.txt"]
    assert shown.count("Traceback (most recent call last):") == (4 if failed else 0)


CTRL_C_CHILD = r"""
import json, re, sys, threading
from types import SimpleNamespace as NS
import factsift.factsift as module
from factsift.cli import main

started, first_three, release = [], threading.Barrier(3, timeout=60), threading.Event()

class Scripted:
    def __init__(self, **kwargs):
        self.chat = NS(completions=NS(create=self.create))

    def create(self, *, model, messages, stream):
        i = int(re.search(r"doc(\d+)", messages[0]["content"]).group(1))
        started.append(i)
        if i < 3:
            first_three.wait()
        if i == 3:  # taken by doc 0's thread; the test waits for this before pressing Ctrl-C
            print("doc3 started", file=sys.stderr, flush=True)
        if i > 0:
            release.wait(60)
        return NS(choices=[NS(message=NS(content="r"))])

module.OpenAI = Scripted
code = main(sys.argv[2:])
if sys.argv[1] == "release":
    release.set()
    for thread in threading.enumerate():
        if thread is not threading.main_thread():
            thread.join(60)
    print("STARTED", json.dumps(sorted(started)), file=sys.stderr)
sys.exit(code)  # with "hang", docs 1-3 are still waiting: exiting must not wait for them
"""


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("after, progress_args", [("release", []), ("release", ["--no-progress"]),
                                                  ("hang", [])])
def test_ctrl_c_keeps_written_lines_cancels_the_rest_and_exits_130(tmp_path, after, progress_args):
    # Docs 0-2 start together; 0 finishes and its thread takes doc 3; 1-3 wait until
    # the child releases them after main() returns, so docs 4 or 5 starting means
    # that pending work was not cancelled.
    names = [f"doc{i}.txt" for i in range(6)]
    for name in names:
        (tmp_path / name).write_text(name[:-4], encoding="utf-8")
    proc = subprocess.Popen(
        [sys.executable, "-c", CTRL_C_CHILD, after, "summarize", *names, "--jobs", "3", "--model", "m",
         "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k", *progress_args],
        cwd=tmp_path, env=cli_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = proc.stdout.readline()
    assert proc.stderr.readline() == b"doc3 started\n"
    proc.send_signal(signal.SIGINT)
    rest, stderr = proc.communicate(timeout=GUARD)
    stderr = stderr.decode()
    assert proc.returncode == 130, stderr
    assert json.loads(first)["file"] == "doc0.txt" and rest == b""
    assert "Traceback" not in stderr and "interrupted; 1 of 6 results written" in stderr
    assert ("STARTED [0, 1, 2, 3]" in stderr) == (after == "release")


# --- batches: JSON Lines, --output and --resume, retries, --rpm, --processes, --shard ---

def write_jsonl(path, records):
    path.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records), encoding="utf-8")


@needs_module
@pytest.mark.parametrize("source, fields", [
    ("in.jsonl", ("text", "id")), ("-", ("text", "id")), ("in.jsonl", ("body", "key"))])
def test_json_lines_keep_order_and_ids_and_bad_lines_become_error_records(tmp_path, devserver, source, fields):
    text, key = fields
    lines = [json.dumps({key: "n1", text: "第一篇。"}), json.dumps({text: "没有编号。"}), "", "not json", "[" * 100_000,
             json.dumps({key: 7, text: 7}), json.dumps({key: [1], text: "x"}), json.dumps({key: 9, text: "九！"})]
    data = ("\n".join(lines) + "\n").encode()
    (tmp_path / "in.jsonl").write_bytes(data)
    extra = [] if key == "id" else ["--text-field", text, "--id-field", key]
    status, records, stderr = run_cli(tmp_path, "title", "--jsonl", source, *extra, *service(devserver),
                                      stdin=data if source == "-" else b"")
    assert status == 3  # done: no error another run could mend
    # A line without a usable id has its line number as its id.
    assert [(r["id"], r["content"], r["status"], r.get("error", "")[:7], r.get("unusable")) for r in records] == [
        ("n1", "第一篇", "ok", "", None), (2, "没有编号", "ok", "", None), (4, "", "error", "line 4 ", True),
        (5, "", "error", "line 5 ", True), (7, "", "error", "line 6:", True), (7, "", "error", "line 7:", True),
        (9, "九", "ok", "", None)]
    assert re.fullmatch(summary_line(3, 4, unusable=4) + "\n", stderr)
    assert len(read_log(devserver.log_path)) == 3


@needs_module
def test_a_resumed_run_sends_none_of_the_unusable_inputs_again(tmp_path, devserver):
    write_jsonl(tmp_path / "in.jsonl", [{"id": "a", "text": "甲。"}, {"id": "b", "text": 2}, {"id": "c", "text": "丙"}])
    (tmp_path / "in.jsonl").write_text((tmp_path / "in.jsonl").read_text() + "not json\n")
    args = ["title", "--jsonl", "in.jsonl", "--output", "out.jsonl", "--resume"]
    first = run_cli(tmp_path, *args, *service(devserver, "status:503"))
    # The last line of standard error; the module printed the failed requests' tracebacks before it.
    assert first[0] == 1 and re.fullmatch(summary_line(0, 4, unusable=2), first[2].splitlines()[-1])
    # The service mends; the unusable inputs stay as they were.
    second = run_cli(tmp_path, *args, *service(devserver))
    assert second[0] == 3 and re.fullmatch(summary_line(2, 0, skipped=2, unusable=2) + "\n", second[2])
    third = run_cli(tmp_path, *args, *service(devserver))
    assert third[0] == 3 and re.fullmatch(summary_line(0, 0, skipped=4, unusable=2) + "\n", third[2])
    lines = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert [(r["id"], r["status"], r.get("unusable", False)) for r in lines] == [
        ("a", "error", False), ("b", "error", True), ("c", "error", False), (4, "error", True),
        ("a", "ok", False), ("c", "ok", False)]


def requests_per_text(log_path):
    return collections.Counter(e["body"]["messages"][0]["content"] for e in read_log(log_path))


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("mode, args", [
    ("flaky:0.3", []), ("flaky:0.3", ["--processes", "2"]),
    ("rate-limit:25", ["--max-retries", "8"])])
def test_retries_recover_every_record_and_the_summary_counts_them(tmp_path, mode, args):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇。"} for i in range(30)])
    # Seed 0: every kind of fault, never three in a row for one record (--max-retries 2), for the
    # bodies both clients send (the same bytes).
    with running_server(tmp_path / "log.jsonl", mode=mode, seed=0) as server:
        status, records, stderr = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "-j", "8", *args,
                                          *service(server, "m"))
    assert status == 0, stderr
    assert [(r["id"], r["status"]) for r in records] == [(i, "ok") for i in range(30)]
    sent = requests_per_text(tmp_path / "log.jsonl")
    retried = sum(count > 1 for count in sent.values())
    assert retried > 0 and re.fullmatch(summary_line(30, 0, retried) + "\n", stderr)


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("processes", ["1", "2"])
def test_rpm_holds_across_jobs_and_processes(tmp_path, devserver, processes):
    # --rpm 120: a budget of 120 that refills at two a second. 130 requests: 120 at once, then the
    # ten others at two a second, in any process.
    write_jsonl(tmp_path / "in.jsonl", [{"id": f"n{i}", "text": f"第{i}篇。"} for i in range(130)])
    status, records, _ = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "--rpm", "120", "-j", "8",
                                 "--processes", processes, *service(devserver))
    assert status == 0 and [r["id"] for r in records] == [f"n{i}" for i in range(130)]
    times = sorted(e["timestamp"] for e in read_log(devserver.log_path))
    assert len(times) == 130 and times[-1] - times[0] > 4.5
    # No span holds more than the budget and what refills in it (0.2 s for the network's jitter).
    assert all(bisect.bisect_right(times, t + span) - i <= 120 + 2 * (span + 0.2)
               for i, t in enumerate(times) for span in (1.0, 3.0, 5.0))


@needs_module
@pytest.mark.parametrize("source, count", [("jsonl", 3), ("files", 2)])
def test_shards_partition_the_inputs_in_every_process(tmp_path, devserver, source, count):
    keys = [f"doc{i}.txt" for i in range(20)]
    for name in keys:
        (tmp_path / name).write_text(name, encoding="utf-8")
    write_jsonl(tmp_path / "in.jsonl", [{"id": name, "text": name} for name in keys])
    inputs, field = (["--jsonl", "in.jsonl"], "id") if source == "jsonl" else (keys, "file")
    shards = []
    for k in range(count):  # each run its own interpreter, with its own string hash seed
        status, records, _ = run_cli(tmp_path, "title", *inputs, "--shard", f"{k}/{count}", *service(devserver))
        assert status == 0
        shards.append([r[field] for r in records])
    assert sorted(sum(shards, [])) == sorted(keys) and all(shards)
    assert all(shard == [key for key in keys if key in shard] for shard in shards)


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("processes, torn", [("1", False), ("2", True)])
def test_killed_runs_resume_until_every_input_has_exactly_one_ok_line(tmp_path, processes, torn):
    ids = [f"n{i}" for i in range(40)]
    write_jsonl(tmp_path / "in.jsonl", [{"id": key, "text": f"第{key}篇。"} for key in ids])
    out = tmp_path / "out.jsonl"
    if torn:  # as a crash in the middle of a line might leave it
        out.write_bytes(b'{"title": "x", "content": "", "status": "ok", "id": "n3')
    command = [sys.executable, "-m", "factsift", "title", "--jsonl", "in.jsonl", "--output", "out.jsonl",
               "--resume", "-j", "4", "--processes", processes, "--max-retries", "0"]
    rng, kills = random.Random(processes), 0
    with running_server(tmp_path / "log.jsonl", mode="flaky:0.2", delay=0.03) as server:
        for attempt in range(60):
            proc = subprocess.Popen([*command, *service(server, "m")], cwd=tmp_path, env=cli_env(),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:  # killed at a random point, later as rounds go by, so a slow machine gets there too
                if proc.wait(rng.uniform(0.05, 0.4 + 0.25 * attempt)) == 0:
                    break
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                kills += 1
        else:
            pytest.fail("the runs never finished")
    data = out.read_bytes()
    assert data.endswith(b"\n") and kills > 0
    records = [json.loads(line) for line in data.splitlines()]
    assert collections.Counter(r["id"] for r in records if r["status"] == "ok") == dict.fromkeys(ids, 1)


@pytest.mark.slow
@needs_module
@pytest.mark.parametrize("processes, headers", [("1", True), ("2", False)])
def test_a_run_killed_while_the_service_holds_it_resumes_paying_nothing_twice(tmp_path, processes, headers):
    texts = [f"第{i}篇。" for i in range(10)]
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": text} for i, text in enumerate(texts)])
    command = [sys.executable, "-m", "factsift", "title", "--jsonl", "in.jsonl", "--output", "out.jsonl",
               "--resume", "-j", "2", "--processes", processes]
    # Six requests a minute: six answered at once, then ten seconds' wait for the next, kept by the
    # headers' budget or by a refusal. The run is killed once no answer has come for a second.
    with running_server(tmp_path / "held.jsonl", rpm=6, ratelimit_headers=headers) as server:
        proc = subprocess.Popen([*command, *service(server, "m")], cwd=tmp_path, env=cli_env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline, replies = time.monotonic() + 30, server.account.replies
        paid, quiet_since = 0, time.monotonic()
        while time.monotonic() < deadline:
            if replies[200] != paid:
                paid, quiet_since = replies[200], time.monotonic()
            elif paid >= 6 and (headers or replies[429]) and time.monotonic() - quiet_since > 1.0:
                break
            time.sleep(0.05)
        proc.kill()
        proc.wait()
        assert server.account.replies[200] == paid
    # An answer may wait in memory behind one that is held: the journal keeps it.
    assert 6 <= paid < 10 and (tmp_path / "out.jsonl.journal").exists()
    with running_server(tmp_path / "after.jsonl") as server:
        status, _, stderr = run_cli(tmp_path, *command[3:], *service(server, "m"))
        assert (status, server.account.replies[200]) == (0, 10 - paid), stderr
    records = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert sorted(r["id"] for r in records) == list(range(10)) and {r["status"] for r in records} == {"ok"}
    assert not (tmp_path / "out.jsonl.journal").exists()


@needs_module
@pytest.mark.parametrize("output, message", [
    ("/dev/full", "cannot write to /dev/full after 0 of 1 results"),
    ("busy.jsonl", "another factsift run is writing to busy.jsonl")])
def test_an_output_that_cannot_be_written_exits_1(tmp_path, devserver, output, message):
    (tmp_path / "a.txt").write_text("正文。", encoding="utf-8")
    with open(tmp_path / "busy.jsonl", "wb") as busy:
        fcntl.flock(busy, fcntl.LOCK_EX)
        status, records, stderr = run_cli(tmp_path, "title", "a.txt", "--output", output, "--resume",
                                          *service(devserver))
    assert (status, records) == (1, []) and message in stderr


@needs_module
@pytest.mark.parametrize("name", ["in.jsonl", "./in.jsonl", "link.jsonl", "hard.jsonl"])
def test_the_input_is_never_also_the_output(main_here, tmp_path, name):
    write_jsonl(tmp_path / "in.jsonl", [{"id": 1, "text": "一"}])
    os.symlink("in.jsonl", tmp_path / "link.jsonl")
    os.link(tmp_path / "in.jsonl", tmp_path / "hard.jsonl")
    status, out, err = main_here("title", "--jsonl", "in.jsonl", "--output", name, "--resume",
                                 "--model", "m", "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k")
    assert (status, out) == (2, "") and "is also an input" in err
    assert (tmp_path / "in.jsonl").read_text() == '{"id": 1, "text": "一"}\n'


# --- --estimate: refused as its run would be, and counting inputs as the run does ---

@needs_module
@pytest.mark.parametrize("output, extra", [
    ("full.jsonl", []),  # holds results: --resume is needed
    ("in.jsonl", ["--resume"]),  # also an input
    ("open.jsonl", ["--resume"]),  # beside batches of a --batch-api run not yet collected
    ("open.jsonl", ["--resume", "--batch-api"]),  # fine: nothing refused, nothing made
])
def test_an_estimate_is_refused_as_its_run_would_be(main_here, tmp_path, output, extra):
    write_jsonl(tmp_path / "in.jsonl", [{"id": 1, "text": "一"}])
    (tmp_path / "full.jsonl").write_text('{"status": "ok", "id": 1}\n')
    (tmp_path / "open.jsonl.batches").mkdir()
    (tmp_path / "open.jsonl.batches" / "state.json").write_text('{"parts": [{"number": 1, "collected": false}]}')
    args = ["title", "--jsonl", "in.jsonl", "--output", output, *extra, "--model", "m", "--max-retries", "0",
            "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k", "--no-progress"]
    before = sorted(os.listdir(tmp_path))
    status, out, err = main_here(*args, "--estimate")
    assert sorted(os.listdir(tmp_path)) == before  # the estimate makes nothing
    if "--batch-api" in extra:
        assert (status, err) == (0, "") and out.startswith("factsift: 1 requests")
        return
    run_status, run_out, run_err = main_here(*args)
    assert (status, out) == (run_status, run_out) == (2, "") and err == run_err
    assert err.startswith("factsift: ")


@needs_module
def test_an_estimate_counts_unreadable_inputs_as_the_run_does(main_here, tmp_path, devserver):
    (tmp_path / "a.txt").write_text("正文。", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes("café".encode("latin-1"))  # never UTF-8: unusable
    (tmp_path / "folder").mkdir()  # cannot be read now: an error another run may mend
    files = ["a.txt", "latin1.txt", "folder", "missing.txt"]
    status, out, _ = main_here("title", *files, "--estimate", *service(devserver))
    assert status == 0 and re.fullmatch(r"factsift: 1 requests, \d+ prompt tokens \([^)]*\); 1 unusable; "
                                        r"2 unreadable \(error records that may pass on another run\)\n", out)
    status, _, err = main_here("title", *files, "--output", "out.jsonl", *service(devserver))
    records = [json.loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert status == 1 and re.fullmatch(summary_line(1, 3, unusable=1) + "\n", err)
    assert [r.get("unusable", False) for r in records if r["status"] == "error"] == [True, False, False]


@pytest.mark.parametrize("option, value", [
    ("--timeout", "3000000"), ("--rpm", "1e-9"), ("--rpm", "1e400"), ("--jobs", "100000"), ("--processes", "1000"),
    ("--max-retries", "1000"), ("--length", "0")])
def test_option_values_outside_their_range_are_usage_errors(main_here, option, value):
    status, out, err = main_here("title", "a.txt", option, value, "--model", "m")
    assert (status, out) == (2, "") and f"argument {option}" in err and " from " in err


WRITE_LIMIT_CHILD = """
import resource, signal, sys
from factsift.cli import main
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))
sys.exit(main(sys.argv[1:]))
"""


@needs_module
def test_after_a_failed_write_the_message_counts_the_lines_in_the_file(tmp_path, devserver):
    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇。"} for i in range(40)])
    status, _, stderr = run_cli(tmp_path, "title", "--jsonl", "in.jsonl", "--output", "out.jsonl", "-j", "8",
                                *service(devserver, "delay:0.01"), python_args=("-c", WRITE_LIMIT_CHILD))
    whole = (tmp_path / "out.jsonl").read_bytes().count(b"\n")
    assert status == 1 and 0 < whole < 40
    assert f"cannot write to out.jsonl after {whole} results" in stderr


@needs_module
def test_a_long_run_logs_its_progress_and_what_holds_it(tmp_path, main_here, monkeypatch):
    from factsift.cli.progress import Progress

    monkeypatch.setattr(Progress, "LOG_EVERY", 0.2)
    refusals = iter([http_reply(429, b'{"error": {"message": "slow down"}}', retry_after="1.5")])

    def answer(handler):
        handler.wfile.write(next(refusals, None) or http_reply(200, completion("r")))

    write_jsonl(tmp_path / "in.jsonl", [{"id": i, "text": f"第{i}篇。"} for i in range(3)])
    with scripted_server(answer) as server:
        status, _, err = main_here("title", "--jsonl", "in.jsonl", "--output", "out.jsonl", "-j", "1",
                                   "--base-url", server.url, "--model", "m", "--api-key", "k")
    lines = err.splitlines()
    assert status == 0 and re.fullmatch(summary_line(3, 0, 1), lines[-1]) and "1 refused" in lines[-1]
    assert any(re.fullmatch(r"factsift: 0(?:/3)? done, 0\.0/s, held by the service for [01] s", line) for line in lines), lines
