"""Shared helpers: a factsift.devserver running in a thread on a free loopback port.

Test modules import the `devserver` fixture from here (not a conftest, which
belongs to the suite as a whole).
"""

import contextlib
import json
import os

import openai  # importable once conftest has set up the path
import pytest
from conftest import ROOT, STANDIN  # noqa: F401 (re-exported for the test modules)

from factsift.devserver import serve

USING_STANDIN = os.path.dirname(os.path.dirname(os.path.abspath(openai.__file__))) == STANDIN


@contextlib.contextmanager
def running_server(log_path, **options):
    server = serve("127.0.0.1", 0, log_path=str(log_path), **options)
    server.start()
    try:
        yield server
    finally:
        server.stop()


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


@pytest.fixture
def devserver(tmp_path):
    """An echo-mode server; its request log is at `devserver.log_path`."""
    with running_server(tmp_path / "requests.jsonl") as server:
        yield server


def client(server, **options):
    options.setdefault("api_key", "sk-test")
    return openai.OpenAI(base_url=server.url, max_retries=options.pop("max_retries", 0), **options)


def user(text):
    return [{"role": "user", "content": text}]
