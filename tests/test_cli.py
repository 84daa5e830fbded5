"""`python -m factsift` end to end: the CLI, the compiled module and factsift.devserver."""

import importlib.machinery
import json
import os
import re
import subprocess
import sys

import pytest

from devserver_fixtures import ROOT, STANDIN, USING_STANDIN, devserver, read_log  # noqa: F401

HAVE_MODULE = any(os.path.exists(os.path.join(ROOT, "factsift", "factsift" + suffix))
                  for suffix in importlib.machinery.EXTENSION_SUFFIXES)
needs_module = pytest.mark.skipif(not HAVE_MODULE, reason="factsift.factsift is not built (make build)")

ARTICLE = os.path.join(ROOT, "examples", "article-zh.txt")


def cleaned(text):
    return re.sub(r"[^\w\s]", "", text)


def run_cli(cwd, *args, stdin=b"", env=None, python_args=("-m", "factsift")):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_")}
    full_env["PYTHONPATH"] = os.pathsep.join([ROOT] + ([STANDIN] if USING_STANDIN else []))
    full_env.update(env or {})
    result = subprocess.run([sys.executable, *python_args, *args], cwd=cwd, env=full_env,
                            input=stdin, capture_output=True, timeout=120)
    lines = result.stdout.decode("utf-8").splitlines()
    return result.returncode, [json.loads(line) for line in lines], result.stderr.decode("utf-8")


def service(server, model="echo"):
    return ["--base-url", server.url, "--model", model, "--api-key", "sk-cli"]


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
    assert list(record) == [key, "content", "status", "file"]
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
@pytest.mark.parametrize("model, files, statuses", [
    ("status:500", ["good.txt"], ["error"]),
    ("drop", ["good.txt"], ["error"]),
    ("echo", ["missing.txt", "good.txt"], ["error", "ok"]),
    ("echo", ["latin1.txt", "good.txt"], ["error", "ok"]),
])
def test_failures_become_error_records_and_exit_1(tmp_path, devserver, model, files, statuses):
    (tmp_path / "good.txt").write_text("正常的文本。", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes("café".encode("latin-1"))
    status, records, _ = run_cli(tmp_path, "summarize", *files, *service(devserver, model))
    assert status == 1
    assert [(r["file"], r["status"]) for r in records] == list(zip(files, statuses))
    for record in records:
        if record["status"] == "error":
            assert record["summary"] == "" and record["content"] == ""


@pytest.mark.parametrize("args, env, message", [
    (["summarize", "a.txt", "--model", "m", "--base-url", "http://127.0.0.1:9/v1"], {},
     "OPENAI_API_KEY"),
    (["summarize", "a.txt", "--model", "m", "--api-key", "k"], {}, "OPENAI_BASE_URL"),
    (["summarize", "a.txt", "--model", "m"], {"OPENAI_BASE_URL": "http://127.0.0.1:9/v1"},
     "OPENAI_API_KEY"),
    (["summarize", "--model", "m"], {}, "FILE"),
    (["title", "a.txt", "--model", "m", "--length", "-5"], {}, "--length"),
    (["translate", "a.txt"], {}, "invalid choice"),
])
def test_usage_errors_exit_2(tmp_path, args, env, message):
    status, records, stderr = run_cli(tmp_path, *args, env=env)
    assert (status, records) == (2, [])
    assert message in stderr


@pytest.mark.parametrize("args", [["--help"], ["summarize", "--help"], ["title", "-h"]])
def test_help(tmp_path, args):
    result = subprocess.run([sys.executable, "-m", "factsift", *args], cwd=ROOT,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0
    for text in ("OPENAI_API_KEY", "OPENAI_BASE_URL", "--model", "python -m factsift"):
        assert text in result.stdout


def test_missing_openai_package_is_explained(tmp_path):
    code = ("import sys; sys.modules['openai'] = None; from factsift.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    status, records, stderr = run_cli(tmp_path, "summarize", "a.txt", "--model", "m",
                                      "--base-url", "http://127.0.0.1:9/v1", "--api-key", "k",
                                      python_args=("-c", code))
    assert (status, records) == (2, [])
    assert ("'openai' package" if HAVE_MODULE else "make build") in stderr
