"""Many threads calling the constructor and both methods at once, on shared and on separate instances,
with successes, handled failures, argument errors and escaping exceptions mixed."""

import sys
import threading
import time
from types import SimpleNamespace as NS

import pytest

from conftest import request_text

THREADS = 16
ROUNDS = 60  # per thread; each round makes eight calls
PAYLOAD = {"extract": "summary", "refined_title": "title"}


class Halt(BaseException):
    """Outside the Exception family: must leave the method unchanged."""


class Echo:
    """Client class whose reply names the settings and the request text; the text decides failures."""

    def __init__(self, *, base_url, api_key):
        self.settings = f"{base_url}|{api_key}"
        self.chat = self.completions = self

    def create(self, *, model, messages, stream):
        (message,) = messages
        text = message["content"]
        time.sleep(0)  # lets another thread in between the client and its reply
        if "refuse" in text:
            raise ConnectionError(text)
        if "halt" in text:
            raise Halt(text)
        return NS(choices=[NS(message=NS(content=f"{self.settings}|{model}|{stream}|{text}"))])


def reply(inst, text):
    return f"{inst.base_url}|{inst.api_key}|{inst.model_id}|False|{text}"


def worker(S, tid, shared, handled):
    """One thread's calls; returns a list of mismatches."""
    problems = []
    mine = LookupError(f"thread {tid}")
    own = S(f"http://t{tid}.test", f"key{tid}", f"model{tid}")

    def check(label, got, want):
        if got != want:
            problems.append((label, got, want))

    try:
        raise mine
    except LookupError:
        for r in range(ROUNDS):
            inst = shared if shared is not None else own
            word = f"t{tid}r{r}"
            method = "extract" if r % 2 else "refined_title"
            key = PAYLOAD[method]

            text = request_text(method, word + " ok", f"p{r}", str(r))
            got = getattr(inst, method)(word + ", ok!", f"p{r}", r)
            check("ok", got, {key: reply(inst, text), "content": word + " ok", "status": "ok"})

            text = request_text("extract", word, "", "200")
            got = S.extract(content=word, self=inst)
            check("class-call", got, {"summary": reply(inst, text), "content": word, "status": "ok"})

            got = getattr(inst, method)(None)
            check("none-content", got, {key: "", "content": "", "status": "error"})

            got = getattr(inst, method)(word + " refuse", "x")
            check("refused", got, {key: "", "content": "", "status": "error"})

            try:
                getattr(inst, method)(word + " halt")
            except Halt as exc:
                check("halt", exc.args[0], request_text(method, word + " halt"))
            else:
                problems.append(("halt", "no exception", None))

            try:
                getattr(inst, method)(word, model=r)
            except TypeError as exc:
                check("binding", str(exc), f"{method}() got an unexpected keyword argument 'model'")
            else:
                problems.append(("binding", "no exception", None))

            made = S(f"u{word}", api_key=f"k{word}")
            check("construct", list(vars(made).items()),
                  [("base_url", f"u{word}"), ("api_key", f"k{word}"), ("model_id", "")])
            own.__init__(f"http://t{tid}.test", f"key{tid}", model_id=f"model{tid}")
            check("reinit", vars(own), {"base_url": f"http://t{tid}.test", "api_key": f"key{tid}",
                                        "model_id": f"model{tid}"})
            check("exc_info", sys.exc_info()[1], mine)
    check("exc_info after", sys.exc_info(), (None, None, None))
    # What print_exc saw in this thread: a TypeError for None content, then the refused request.
    kinds = [(type(e).__name__, str(e) if isinstance(e, ConnectionError) else "") for e in handled.get(tid, [])]
    want = []
    for r in range(ROUNDS):
        method = "extract" if r % 2 else "refined_title"
        want += [("TypeError", ""), ("ConnectionError", request_text(method, f"t{tid}r{r} refuse", "x"))]
    check("handled", kinds, want)
    return problems


@pytest.mark.parametrize("sharing", ["shared", "separate"])
@pytest.mark.parametrize("switch", [None, 1e-6])
def test_concurrent_calls_give_exact_records(mod, monkeypatch, sharing, switch):
    monkeypatch.setattr(mod, "OpenAI", Echo)
    handled = {}

    def print_exc():
        # Runs inside the method's handler: the exception being handled must be this thread's own.
        handled.setdefault(threading.current_thread().tid, []).append(sys.exc_info()[1])

    monkeypatch.setattr(mod, "traceback", NS(print_exc=print_exc))
    S = mod.AISummary
    shared = S("http://shared.test", "key-shared", "model-shared") if sharing == "shared" else None
    start = threading.Barrier(THREADS)
    results = {}

    def run(tid):
        threading.current_thread().tid = tid
        start.wait()
        try:
            results[tid] = worker(S, tid, shared, handled)
        except BaseException as exc:  # anything escaping is a failure of the test
            results[tid] = [("escaped", repr(exc), None)]

    old = sys.getswitchinterval()
    if switch is not None:
        sys.setswitchinterval(switch)
    try:
        threads = [threading.Thread(target=run, args=(tid,)) for tid in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert sorted(results) == list(range(THREADS))
    assert {tid: p for tid, p in results.items() if p} == {}
    if shared is not None:
        assert vars(shared) == {"base_url": "http://shared.test", "api_key": "key-shared",
                                "model_id": "model-shared"}
