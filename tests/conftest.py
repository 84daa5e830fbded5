import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace as NS

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
import openai  # noqa: E402 (the test environment's real client: tools/test-env)

# How figures and reports name the client: openai 1.x on CPython 3.10 to 3.13, 3.x on 3.14 on.
CLIENT = f"openai {openai.__version__}"
OPENAI_MAJOR = int(openai.__version__.split(".")[0])


def pytest_report_header(config):
    # Which build runs: the checkout's, or an installed one (tools/check-installed); and which client.
    spec = importlib.util.find_spec("factsift.factsift")
    return [f"factsift.factsift: {spec.origin if spec else 'not found'}",
            f"openai client: {CLIENT}"]


def child_env(env=None):
    """An environment for a child Python that imports factsift from the checkout."""
    full = dict(os.environ if env is None else env)
    full["PYTHONPATH"] = os.pathsep.join(p for p in (ROOT, full.get("PYTHONPATH")) if p)
    return full


# The file that the module's code objects and traceback entries name.
SOURCE = "factsift/factsift.cpp"
# The fixed pieces of the fact-extraction instruction.
LEAD = "作为一个事实信息核查员\uff0c请从如下内容中抽取出事实性信息\uff0c并根据事实信息总结出摘要, 要求字数在"
LABEL = "字左右\u3002要求: "
STOP = "\u3002"


def request_text(method, cleaned, prompt="", length="200"):
    """The user message expected for the given texts of prompt and length."""
    if method == "extract":
        return LEAD + length + LABEL + prompt + STOP + cleaned
    return prompt + STOP + cleaned


# Prepended to every snippet run in a fresh interpreter.
PRELUDE = f"""
import importlib, importlib.util, json, os, sys, traceback
ROOT, SOURCE = {ROOT!r}, {SOURCE!r}
sys.path.insert(0, ROOT)
def out(obj):
    print(json.dumps(obj))
def catch(fn):
    try:
        fn()
    except BaseException as exc:
        return exc
def info(exc):
    tb = [[f.name, f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)] if exc else None
    return exc and {{"type": type(exc).__name__, "msg": str(exc), "tb": tb}}
"""


@pytest.fixture
def fresh(tmp_path):
    """Run a snippet in a new interpreter (cwd tmp_path); return what it last passed to out()."""

    def run(body, *, flags=(), env=None):
        proc = subprocess.run([sys.executable, *flags, "-c", PRELUDE + textwrap.dedent(body)], cwd=tmp_path,
                              env=dict(os.environ, **(env or {})), capture_output=True, text=True, timeout=300)
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


@pytest.fixture
def svc(mod, monkeypatch):
    """A recording double of the client class, installed as the module's OpenAI."""
    svc = NS(clients=[], kinds=[], requests=[], reply="the reply", response=None, init_error=None, create_error=None)

    class Recorder:
        def __init__(self, *args, **kwargs):
            assert args == ()
            svc.clients.append(list(kwargs.items()))
            svc.kinds.append(type(self))
            if svc.init_error is not None:
                raise svc.init_error
            self.chat = NS(completions=NS(create=self.create))

        def create(self, *args, **kwargs):
            assert args == ()
            svc.requests.append(list(kwargs.items()))
            if svc.create_error is not None:
                raise svc.create_error
            return svc.response or NS(choices=[NS(message=NS(content=svc.reply))])

    def text(i=-1):
        (message,) = dict(svc.requests[i])["messages"]
        assert list(message) == ["role", "content"] and message["role"] == "user"
        return message["content"]

    svc.client_class, svc.text = Recorder, text
    monkeypatch.setattr(mod, "OpenAI", Recorder)
    return svc
