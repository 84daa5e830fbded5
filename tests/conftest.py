import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STANDIN = os.path.join(ROOT, "openai_standin")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
try:
    import openai  # noqa: F401
except ImportError:
    # Appended, never prepended: a real installed openai always wins.
    sys.path.append(STANDIN)

# What the module's code objects and traceback entries name as their file.
SOURCE = "factsift/factsift.cpp"

# Prepended to every snippet run in a fresh interpreter.
PRELUDE = f"""
import importlib, importlib.util, json, os, sys, traceback
ROOT, STANDIN, SOURCE = {ROOT!r}, {STANDIN!r}, {SOURCE!r}
sys.path.insert(0, ROOT)
if importlib.util.find_spec("openai") is None:
    sys.path.append(STANDIN)
def out(obj):
    print(json.dumps(obj))
def tb(exc):
    return [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)]
def catch(fn):
    try:
        fn()
    except BaseException as exc:
        return exc
def info(exc):
    return exc and {{"type": type(exc).__name__, "msg": str(exc), "tb": tb(exc)}}
"""


@pytest.fixture
def fresh(tmp_path):
    """Run a snippet in a new interpreter (cwd tmp_path); return what it last passed to out()."""

    def run(body, *, flags=(), env=None):
        full_env = dict(os.environ, **(env or {}))
        proc = subprocess.run(
            [sys.executable, *flags, "-c", PRELUDE + textwrap.dedent(body)],
            cwd=tmp_path, env=full_env, capture_output=True, text=True, timeout=300,
        )
        assert proc.returncode == 0, proc.stderr
        return json.loads(proc.stdout.splitlines()[-1])

    return run


@pytest.fixture(scope="session")
def mod():
    import factsift.factsift

    return factsift.factsift


@pytest.fixture
def S(mod):
    return mod.AISummary


@pytest.fixture
def s(S):
    return S("http://svc.test/v1", "key-1", "model-1")


def reply_with(content):
    return types.SimpleNamespace(choices=[types.SimpleNamespace(message=types.SimpleNamespace(content=content))])


class Service:
    """Recording stand-in for the chat-completion client class."""

    def __init__(self):
        self.clients = []  # constructor keyword items, in call order
        self.requests = []  # create() keyword items, in call order
        self.reply = "the reply"
        self.response = None  # when set, create() returns it as is
        self.init_error = None
        self.create_error = None
        self.client_class = self._make_class()

    def _make_class(self):
        svc = self

        class Recorder:
            def __init__(self, *args, **kwargs):
                assert args == ()
                svc.clients.append(list(kwargs.items()))
                if svc.init_error is not None:
                    raise svc.init_error
                self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self.create))

            def create(self, *args, **kwargs):
                assert args == ()
                svc.requests.append(list(kwargs.items()))
                if svc.create_error is not None:
                    raise svc.create_error
                return svc.response if svc.response is not None else reply_with(svc.reply)

        return Recorder

    def text(self, i=-1):
        """The single user message's text of request i."""
        (message,) = dict(self.requests[i])["messages"]
        assert list(message) == ["role", "content"] and message["role"] == "user"
        return message["content"]


@pytest.fixture
def svc(mod, monkeypatch):
    service = Service()
    monkeypatch.setattr(mod, "OpenAI", service.client_class)
    return service
