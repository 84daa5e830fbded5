"""extract and refined_title against a recording client: request, result record, failure handling."""

import builtins
import enum
import importlib.util
import os
import re
import sys
import textwrap
import traceback
import warnings
import weakref
from types import SimpleNamespace as NS

import pytest

from conftest import ROOT, SOURCE, request_text

METHODS = ["extract", "refined_title"]
PAYLOAD = {"extract": "summary", "refined_title": "title"}
# Source line of each failing step, per method.
STEPS = ["compile", "clean", "text", "client", "request", "reply", "print"]
LINES = {"extract": dict(zip(STEPS, [17, 18, 19, 20, 22, 25, 28])),
         "refined_title": dict(zip(STEPS, [33, 34, 35, 36, 38, 41, 44]))}


def ok_record(method, payload, cleaned):
    return [(PAYLOAD[method], payload), ("content", cleaned), ("status", "ok")]


def error_record(method):
    return [(PAYLOAD[method], ""), ("content", ""), ("status", "error")]


def entries(exc):
    return [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


@pytest.mark.parametrize("method", METHODS)
def test_request_record_and_settings_read_at_each_call(s, svc, method):
    record = getattr(s, method)("Hello, world!")
    assert svc.clients == [[("base_url", "http://svc.test/v1"), ("api_key", "key-1")]]
    assert [k for k, _ in svc.requests[0]] == ["model", "messages", "stream"]
    request = dict(svc.requests[0])
    assert request["model"] == "model-1" and request["stream"] is False and type(request["messages"]) is list
    assert svc.text() == request_text(method, "Hello world")
    assert type(record) is dict and list(record.items()) == ok_record(method, "the reply", "Hello world")
    s.base_url, s.api_key, s.model_id = "http://other.test", ["k2"], 7
    getattr(s, method)("x")
    assert svc.clients[1] == [("base_url", "http://other.test"), ("api_key", ["k2"])]
    assert dict(svc.requests[1])["model"] == 7


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("text, cleaned", [
    ("Hello, world!", "Hello world"),
    ("你好\uff0c世界\uff01", "你好世界"),
    ("价格\uff1a$12.50\uff08含税\uff09", "价格1250含税"),
    ("50% off: [now] (today) \u00a312.99", "50 off now today 1299"),
    ("snake_case-name", "snake_casename"),
    ("a \U0001F600 b", "a  b"),
    ("e\u0301 \u00e9", "e \u00e9"),
    ("a\tb\nc\r\nd\u3000e\u00a0f\x0bg\x0ch\u2028i\u2003j", "a\tb\nc\r\nd\u3000e\u00a0f\x0bg\x0ch\u2028i\u2003j"),
    ("カタカナ\u00b2\u00bd\u0663", "カタカナ\u00b2\u00bd\u0663"),
    ("1+1=2 \u00d7\u00f7", "112 "),
    ('"q" \u00abg\u00bb \u201cc\u201d a\u200bb', "q g c ab"),
    ("!?\u3002\uff0c\u2026", ""),
    ("", ""),
])
def test_cleaning(s, svc, method, text, cleaned):
    record = getattr(s, method)(text)
    assert list(record.items()) == ok_record(method, "the reply", cleaned)
    assert svc.text() == request_text(method, cleaned)


class Loud:
    """An object whose str() is recorded."""

    def __init__(self, log, label, text):
        self.log, self.label, self.text = log, label, text

    def __str__(self):
        self.log.append(self.label)
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


class Formatted(str):
    def __format__(self, fmt):
        return "<" + str.__str__(self) + fmt + ">"


@pytest.mark.parametrize("prompt, length, prompt_text, length_text", [
    ("一句话", 50, "一句话", "50"),
    (None, 200, "None", "200"),
    ("p", "abc", "p", "abc"),
    ("p", 1.5, "p", "1.5"),
    ("p", 0, "p", "0"),
    ("p", -3, "p", "-3"),
    ("p", None, "p", "None"),
    (["x"], 10, "['x']", "10"),
    (Formatted("P"), Formatted("9"), "P", "9"),
])
def test_extract_inserts_str_of_prompt_and_length(s, svc, prompt, length, prompt_text, length_text):
    record = s.extract("a, b", prompt, length)
    assert svc.text() == request_text("extract", "a b", prompt_text, length_text)
    assert type(svc.text()) is str and record["status"] == "ok"


def test_extract_converts_length_before_prompt_and_formats_str_subclasses(s, svc):
    log = []
    s.extract("a", Loud(log, "prompt", Formatted("P")), Loud(log, "length", Formatted("9")))
    assert log == ["length", "prompt"]
    assert svc.text() == request_text("extract", "a", "<P>", "<9>")
    log.clear()
    record = s.extract("a", Loud(log, "prompt", "P"), Loud(log, "length", ValueError("bad length")))
    assert log == ["length"] and record["status"] == "error" and svc.requests[1:] == []


class Tagged(str):
    def __add__(self, other):
        return "T(" + str.__str__(self) + ")" + other


@pytest.mark.parametrize("args, kwargs, expected", [
    (("p",), {}, "p\u3002a b"), ((), {"prompt": "p"}, "p\u3002a b"), (("p", 5), {}, "p\u3002a b"),
    (("p", "x"), {}, "p\u3002a b"), (("p",), {"length": None}, "p\u3002a b"), (("p", 10000), {}, "p\u3002a b"),
    ((Tagged("p"),), {}, "T(p)\u3002a b"),
])
def test_refined_title_adds_prompt_and_ignores_length(s, svc, args, kwargs, expected):
    record = s.refined_title("a, b", *args, **kwargs)
    assert svc.text() == expected
    assert list(record.items()) == ok_record("refined_title", "the reply", "a b")


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("reply", ["  leading blanks", "标题\u3002\n", "**markup**", None, 42, ["x"]])
def test_reply_content_returned_unchanged(s, svc, method, reply):
    svc.reply = reply
    record = getattr(s, method)("t")
    assert list(record.items()) == ok_record(method, reply, "t")
    assert record[PAYLOAD[method]] is reply


def recording_re(log):
    def compile_(*args, **kwargs):
        log.append(("compile", args, kwargs, re.compile(*args, **kwargs)))
        return log[-1][3]

    def sub_(*args, **kwargs):
        log.append(("sub", args, kwargs))
        return re.sub(*args, **kwargs)

    return NS(compile=compile_, sub=sub_)


@pytest.mark.parametrize("method", METHODS)
def test_globals_are_looked_up_at_each_call(mod, s, svc, monkeypatch, method):
    log = []
    monkeypatch.setattr(mod, "re", recording_re(log))
    getattr(s, method)("a-b")
    (_, args, kwargs, pattern), sub = log
    assert (args, kwargs) == ((r"[^\w\s]",), {})
    assert sub == ("sub", (pattern, "", "a-b"), {}) and sub[1][0] is pattern
    replaced = type("Replaced", (svc.client_class,), {})
    monkeypatch.setattr(mod, "OpenAI", replaced)
    getattr(s, method)("x")
    from_builtins = type("FromBuiltins", (svc.client_class,), {})
    monkeypatch.delattr(mod, "OpenAI")
    monkeypatch.setattr(builtins, "OpenAI", from_builtins, raising=False)
    getattr(s, method)("x")
    assert svc.kinds == [svc.client_class, replaced, from_builtins] and len(svc.requests) == 3


@pytest.mark.parametrize("method", METHODS)
def test_legacy_strings_from_c_extensions_are_used_whole(s, svc, method):
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "unicode_legacy_string"):
        pytest.skip("legacy strings are gone from this Python")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        prompt, content = capi.unicode_legacy_string("提示"), capi.unicode_legacy_string("内容\uff0c")
    getattr(s, method)(content, prompt)
    assert svc.text() == request_text(method, "内容", prompt="提示")


@pytest.mark.parametrize("method", METHODS)
def test_a_global_found_in_builtins_follows_both_namespaces(mod, s, svc, monkeypatch, method):
    kinds = [type(f"Kind{i}", (svc.client_class,), {}) for i in range(3)]
    monkeypatch.delattr(mod, "OpenAI")
    monkeypatch.setattr(builtins, "OpenAI", kinds[0], raising=False)
    for kind, change in [(kinds[0], None), (kinds[1], lambda: setattr(builtins, "OpenAI", kinds[1])),
                         (kinds[2], lambda: setattr(mod, "OpenAI", kinds[2]))]:
        if change:
            change()
        getattr(s, method)("x")
        getattr(s, method)("x")
    monkeypatch.delattr(mod, "OpenAI")
    monkeypatch.delattr(builtins, "OpenAI")
    assert getattr(s, method)("x")["status"] == "error"
    assert svc.kinds == [kinds[0], kinds[0], kinds[1], kinds[1], kinds[2], kinds[2]]


def test_globals_stay_current_without_a_free_dictionary_watcher(fresh):
    # Every watcher id taken before the import: each call must look the name up.
    result = fresh("""
        import _testcapi
        if hasattr(_testcapi, "add_dict_watcher"):
            while catch(lambda: _testcapi.add_dict_watcher(0)) is None:
                pass
        import factsift.factsift as m
        class Client:
            def __init__(self, **kw):
                raise LookupError(type(self).__name__)
        seen = []
        m.traceback = type("T", (), {"print_exc": staticmethod(lambda: seen.append(str(sys.exc_info()[1])))})
        s = m.AISummary("u", "k")
        for name in ["A", "B"]:
            m.OpenAI = type(name, (Client,), {})
            s.extract("x"); s.extract("x")
        out(seen)
    """)
    assert result == ["A", "A", "B", "B"]


@pytest.mark.parametrize("namespace", ["module", "builtins", "shared clients"])
def test_a_replaced_global_is_not_kept_alive(mod, s, svc, monkeypatch, namespace):
    # The lookup cache of a use site must not outlive what the namespace holds.
    from factsift import clients

    class Factory:
        def __call__(self, **kwargs):
            return svc.client_class(**kwargs)

    if namespace == "shared clients":
        factory = clients.share_clients()
    else:
        factory = Factory()
        if namespace == "builtins":
            monkeypatch.delattr(mod, "OpenAI")
        monkeypatch.setattr(builtins if namespace == "builtins" else mod, "OpenAI", factory, raising=False)
    s.extract("x")
    s.refined_title("x")
    gone = weakref.ref(factory)
    if namespace == "shared clients":
        clients.unshare_clients()
    else:
        setattr(builtins if namespace == "builtins" else mod, "OpenAI", svc.client_class)  # monkeypatch would keep it
    del factory
    assert gone() is None


@pytest.mark.parametrize("method", METHODS)
def test_recursion_through_a_global_meets_the_recursion_limit(fresh, method):
    # Without a limit this runs off the end of the C stack.
    result = fresh(f"""
        import functools, types
        import factsift.factsift as m
        s = m.AISummary("u", "k")
        again = functools.partial(getattr(m.AISummary, {method!r}), s, "x")
        m.re = types.SimpleNamespace(compile=again, sub=again)
        sys.stderr = open(os.devnull, "w")
        out(getattr(s, {method!r})("a"))
    """)
    assert result["status"] == "error"


# A plain Python class with the module's behaviour; its frames are what the methods count as.
# Calls go through functools.partial, a C function, so that the interpreter's calls between
# Python functions play no part: 3.13.0's specialised ones let a call go past the limit.
PLAIN = """
    import functools, types
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    import reference
    import factsift.factsift as m
    for module in (m, reference):
        module.OpenAI, module.traceback = dict, types.SimpleNamespace(print_exc=list)
    def call(f, *args):
        return functools.partial(f, *args)()
"""


@pytest.mark.parametrize("method", METHODS)
def test_recursion_through_a_global_counts_as_through_python(fresh, method):
    # Each level is one method call and one call of the replaced re.compile; the other globals
    # are C functions.
    depths = fresh(textwrap.dedent(PLAIN) + textwrap.dedent(f"""
        def depth(module):
            s, levels = module.AISummary("u", "k"), []
            def descend(*args):
                levels.append(1)
                return call(getattr(s, {method!r}), "x")
            compile_ = functools.partial(descend)
            saved, module.re = module.re, types.SimpleNamespace(compile=compile_, sub=str.replace)
            sys.setrecursionlimit(100)
            try:
                call(getattr(s, {method!r}), "x")
            finally:
                sys.setrecursionlimit(1000)
                module.re = saved
            return len(levels)
        out([depth(m), depth(reference)])
    """))
    assert depths[0] == depths[1] and 20 < depths[0] < 50


@pytest.mark.parametrize("call", ["AISummary('u', 'k', 'm')", "call(s.extract, 'x')", "call(s.refined_title, 'x', 'p')"])
def test_call_at_the_recursion_limit_fails_as_a_python_call_does(fresh, call):
    # Descends one frame at a time, calling at each depth: the call must meet the limit at the
    # same depth as the plain class's, before the descent itself does. The globals the methods
    # use are C functions, so their bodies push no frames of their own. A class is called
    # directly: through functools.partial a Python class would count one more level on 3.10.
    reached = fresh(textwrap.dedent(PLAIN) + textwrap.dedent(f"""
        def deepest(module):
            module.re = types.SimpleNamespace(compile=str, sub=str.replace)
            AISummary = module.AISummary
            s = AISummary("u", "k", "m")
            def dive(depth):
                try:
                    {call}
                except RecursionError:
                    return depth
                return dive(depth + 1)
            sys.setrecursionlimit(100)
            try:
                return dive(1)
            except RecursionError:
                return "the descent met the limit first"
            finally:
                sys.setrecursionlimit(1000)
        out([deepest(m), deepest(reference)])
    """))
    assert reached[0] == reached[1] and isinstance(reached[0], int)


class Size(enum.IntEnum):
    SMALL = 50


class Tone(str, enum.Enum):
    PLAIN = "平实"


class StrGivesSubclass:
    def __str__(self):
        return Formatted("S")


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("prompt, length", [
    ("简短", 100), (Tone.PLAIN, Size.SMALL), (Formatted("P"), Formatted("9")), (StrGivesSubclass(), 1.5),
    (None, StrGivesSubclass()),
])
def test_reference_class_sends_what_the_module_sends(mod, s, svc, monkeypatch, method, prompt, length):
    # bench/reference.py is what the benchmark measures the module against.
    spec = importlib.util.spec_from_file_location("reference", os.path.join(ROOT, "bench", "reference.py"))
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    monkeypatch.setattr(reference, "OpenAI", svc.client_class, raising=False)
    plain = reference.AISummary(s.base_url, s.api_key, s.model_id)
    records = [getattr(inst, method)("a, b", prompt, length) for inst in (s, plain)]
    assert records[0] == records[1] and svc.clients[:1] == svc.clients[1:]
    assert svc.requests[:1] == svc.requests[1:] and len(svc.requests) == 2 * (records[0]["status"] == "ok")


def refuse(*args, **kwargs):
    raise ValueError("refused")


# (case, failing step, exception, message or None, set-up on a context c)
FAILURES = [
    ("re-missing", "compile", NameError, "name 're' is not defined", lambda c: c.mp.delattr(c.mod, "re")),
    ("compile-raises", "compile", ValueError, "refused",
     lambda c: c.mp.setattr(c.mod, "re", NS(compile=refuse, sub=re.sub))),
    ("sub-raises", "clean", ValueError, "refused", lambda c: c.mp.setattr(c.mod, "re", NS(compile=re.compile, sub=refuse))),
    ("content-none", "clean", TypeError, None, lambda c: c.args.update(content=None)),
    ("content-int", "clean", TypeError, None, lambda c: c.args.update(content=5)),
    ("content-bytes", "clean", TypeError, None, lambda c: c.args.update(content=b"a, b")),
    # str() of the prompt raises in extract; None + "\u3002" fails in refined_title.
    ("bad-prompt", "text", TypeError, None, lambda c: c.args.update(
        prompt=Loud([], "prompt", TypeError("no text")) if c.method == "extract" else None)),
    ("openai-missing", "client", NameError, "name 'OpenAI' is not defined", lambda c: c.mp.delattr(c.mod, "OpenAI")),
    ("openai-raises", "client", ConnectionError, "no route",
     lambda c: setattr(c.svc, "init_error", ConnectionError("no route"))),
    ("no-base-url", "client", AttributeError, None, lambda c: vars(c.s).pop("base_url")),
    ("no-model-id", "request", AttributeError, None, lambda c: vars(c.s).pop("model_id")),
    ("create-raises", "request", PermissionError, "bad key",
     lambda c: setattr(c.svc, "create_error", PermissionError("bad key"))),
    ("no-chat", "request", AttributeError, None, lambda c: c.mp.setattr(c.mod, "OpenAI", lambda **kw: NS())),
    ("empty-choices", "reply", IndexError, None, lambda c: setattr(c.svc, "response", NS(choices=[]))),
    ("no-choices", "reply", AttributeError, None, lambda c: setattr(c.svc, "response", NS())),
    ("no-content", "reply", AttributeError, None,
     lambda c: setattr(c.svc, "response", NS(choices=[NS(message=NS())]))),
]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("case, step, exc_type, message, arrange", FAILURES, ids=[f[0] for f in FAILURES])
def test_handled_failure_prints_traceback_and_returns_error_record(
        mod, s, svc, monkeypatch, capsys, method, case, step, exc_type, message, arrange):
    c = NS(mod=mod, s=s, svc=svc, mp=monkeypatch, method=method, args={"content": "a, b", "prompt": "p"})
    arrange(c)
    handled = []

    def print_exc():
        handled.append(sys.exc_info())
        traceback.print_exc()

    monkeypatch.setattr(mod, "traceback", NS(print_exc=print_exc))
    record = getattr(s, method)(c.args["content"], c.args["prompt"])
    assert type(record) is dict and list(record.items()) == error_record(method)
    entry = (f"factsift.factsift.AISummary.{method}", SOURCE, LINES[method][step])
    (handled_type, exc, tb), = handled
    assert handled_type is exc_type and type(exc) is exc_type and tb is exc.__traceback__
    assert entries(exc)[0] == entry and [e for e in entries(exc) if e[1] == SOURCE] == [entry]
    assert sys.exc_info() == (None, None, None)
    out, err = capsys.readouterr()
    lines = err.splitlines()
    assert out == "" and lines.count("Traceback (most recent call last):") == 1
    start = lines.index("Traceback (most recent call last):")
    first, under, last = lines[start + 1], lines[start + 2], lines[-1]
    assert first == f'  File "{SOURCE}", line {entry[2]}, in {entry[0]}'
    # No source text may be shown under the entry: the next line is another entry or the message.
    assert under.startswith("  File ") or not under.startswith(" ")
    assert last == f"{exc_type.__name__}: {message}" if message else last.startswith(exc_type.__name__ + ":")
    if case == "create-raises":
        assert under.startswith("  File ") and "conftest.py" in under


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("where, exc_type", [("create", KeyboardInterrupt), ("client", SystemExit),
                                             ("create", GeneratorExit)])
def test_exceptions_outside_exception_family_propagate(s, svc, capsys, method, where, exc_type):
    exc = exc_type()
    setattr(svc, "create_error" if where == "create" else "init_error", exc)
    with pytest.raises(exc_type) as info:
        getattr(s, method)("x")
    assert info.value is exc
    step = "request" if where == "create" else "client"
    assert [e for e in entries(exc) if e[1] == SOURCE] == [
        (f"factsift.factsift.AISummary.{method}", SOURCE, LINES[method][step])]
    assert sys.exc_info() == (None, None, None) and capsys.readouterr().err == ""


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("breakage", ["removed", "print_exc-raises"])
def test_failure_inside_handler_escapes_with_context(mod, s, svc, monkeypatch, capsys, method, breakage):
    if breakage == "removed":
        monkeypatch.delattr(mod, "traceback")
        expected = (NameError, "name 'traceback' is not defined")
    else:
        monkeypatch.setattr(mod, "traceback", NS(print_exc=refuse))
        expected = (ValueError, "refused")
    assert getattr(s, method)("ok")["status"] == "ok"
    svc.create_error = PermissionError("bad key")
    with pytest.raises(expected[0]) as info:
        getattr(s, method)("x")
    assert str(info.value) == expected[1] and info.value.__context__ is svc.create_error
    assert [e for e in entries(info.value) if e[1] == SOURCE] == [
        (f"factsift.factsift.AISummary.{method}", SOURCE, LINES[method]["print"])]
    assert sys.exc_info() == (None, None, None) and capsys.readouterr().err == ""


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("fails", [False, True])
def test_handled_exception_state_is_restored(s, svc, capsys, method, fails):
    if fails:
        svc.create_error = PermissionError("bad key")
    caller = ValueError("caller's own")
    try:
        raise caller
    except ValueError:
        record = getattr(s, method)("x")
        assert sys.exc_info()[1] is caller
    assert record["status"] == ("error" if fails else "ok")
    getattr(s, method)("x")
    assert sys.exc_info() == (None, None, None)
    assert ("Traceback" in capsys.readouterr().err) == fails
