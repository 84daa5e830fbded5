"""The three methods as function objects: attributes, binding to instances, argument rules."""

import gc
import inspect
import pickle
import sys
import traceback
import types
import warnings
import weakref

import pytest

from conftest import SOURCE, request_text

try:
    from _testcapi import pyobject_vectorcall
except ImportError:
    pyobject_vectorcall = None

NAMES = ["__init__", "extract", "refined_title"]
DEF_LINE = {"__init__": 10, "extract": 15, "refined_title": 31}
WORKING = ("self", "content", "prompt", "length", "pattern", "messages", "client", "response")
VARNAMES = {"__init__": ("self", "base_url", "api_key", "model_id"),
            "extract": WORKING + ("summary", "e"), "refined_title": WORKING + ("title", "e")}
SIGNATURES = {"__init__": "(self, base_url, api_key, model_id='')",
              "extract": "(self, content, prompt='', length=200)",
              "refined_title": "(self, content, prompt='', length=200)"}
SELF = object()  # stands for the instance in the call tables
T = "a, b!"  # cleans to "a b"


def method_entries(exc):
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__) if f.filename == SOURCE]


@pytest.mark.parametrize("name", NAMES)
def test_function_object_attributes(mod, S, monkeypatch, name):
    f = S.__dict__[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "AISummary." + name, "factsift.factsift")
    assert f.__doc__ is None and f.__kwdefaults__ is None and f.__closure__ is None
    assert f.__globals__ is vars(mod) and f.__annotations__ == {}
    monkeypatch.setattr(f, "tag", 7, raising=False)
    assert f.__dict__["tag"] == 7
    code = f.__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (4, 0, 0)
    assert (code.co_varnames, code.co_nlocals) == (VARNAMES[name], len(VARNAMES[name]))
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, SOURCE, DEF_LINE[name])
    # 0x40 is CO_NOFREE, which 3.10 adds by itself to code without free or cell variables.
    assert code.co_flags & ~0x40 == 3 and code.co_freevars == () and code.co_cellvars == ()
    assert (code.co_consts, code.co_names) == ((), ())
    assert hash(f) == object.__hash__(f) and f != S.__dict__[NAMES[NAMES.index(name) - 1]]
    assert weakref.ref(f)() is f and gc.is_tracked(f)


@pytest.mark.parametrize("name", NAMES)
def test_code_objects_run_safely(S, name):
    # Anyone can run __code__ and a traceback entry's code: their bodies raise, at their line.
    f = S.__dict__[name]
    with pytest.raises(AssertionError) as info:
        types.FunctionType(f.__code__, {}, "copy", ("", 200))(None, "a, b")
    entry = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (entry.filename, entry.lineno, entry.name) == (SOURCE, DEF_LINE[name], name)
    with pytest.raises(TypeError, match="missing 4 required positional arguments"):
        exec(f.__code__, {})
    with pytest.raises(TypeError) as failure:
        f()
    tb = failure.value.__traceback__
    while tb.tb_frame.f_code.co_filename != SOURCE:
        tb = tb.tb_next
    with pytest.raises(AssertionError):
        exec(tb.tb_frame.f_code, {})


@pytest.mark.parametrize("name", NAMES)
def test_signature_binding_and_pickling(S, s, name):
    f = S.__dict__[name]
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert str(inspect.signature(getattr(s, name))) == "(" + SIGNATURES[name].split(", ", 1)[1]
    assert f.__defaults__ == (("",) if name == "__init__" else ("", 200))
    assert S.extract.__defaults__ is S.refined_title.__defaults__
    assert getattr(S, name) is f and f.__get__(None, S) is f
    bound = [getattr(s, name), getattr(s, name), f.__get__(s, S), f.__get__(s)]
    assert len({id(m) for m in bound}) == 4
    assert all(type(m) is types.MethodType and m.__self__ is s and m.__func__ is f for m in bound)
    assert f.__reduce__() == "AISummary." + name
    assert all(pickle.loads(pickle.dumps(f, proto)) is f for proto in range(pickle.HIGHEST_PROTOCOL + 1))


@pytest.mark.parametrize("name", NAMES)
def test_reassigned_defaults_are_reported_but_never_used(S, svc, monkeypatch, name):
    f = S.__dict__[name]
    others = {n: S.__dict__[n].__defaults__ for n in NAMES if n != name}
    replaced = ("X",) if name == "__init__" else ("X", 5)
    monkeypatch.setattr(f, "__defaults__", replaced)
    assert f.__defaults__ == replaced
    assert all(S.__dict__[n].__defaults__ is d for n, d in others.items())
    if name == "__init__":
        assert S("u", "k").model_id == ""
    else:
        getattr(S("u", "k", "m"), name)(T)
        assert svc.text() == request_text(name, "a b")


def _call(route, f, args, kwargs):
    if route == "star":
        return f(*args, **kwargs)
    if route == "tp_call":
        return type(f).__call__(f, *args, **kwargs)
    if route == "vectorcall":
        return pyobject_vectorcall(f, tuple(args) + tuple(kwargs.values()), tuple(kwargs) or None)
    # A call written in source: "method" goes through the instance (a bound-method call,
    # or the class itself for "construct"), "literal" calls the function object.
    env = {"f": f, "S": args[0].__class__ if args else None}
    env.update((f"a{i}", a) for i, a in enumerate(args))
    env.update((f"v{i}", v) for i, v in enumerate(kwargs.values()))
    pos = [f"a{i}" for i in range(len(args))]
    kws = [f"{k}=v{i}" for i, k in enumerate(kwargs)]
    target = {"literal": "f", "method": f"a0.{f.__name__}", "construct": "S"}[route]
    if route != "literal":
        pos = pos[1:]
    return eval(f"{target}({', '.join(pos + kws)})", env)


def routes_for(cases):
    out = []
    for case in cases:
        name, args = case[0], case[1]
        routes = ["literal", "star", "tp_call", "vectorcall"]
        if args and args[0] is SELF:
            routes.append("method")
            if name == "__init__":
                routes.append("construct")
        for route in routes:
            marks = pytest.mark.skipif(route == "vectorcall" and pyobject_vectorcall is None, reason="no _testcapi")
            out.append(pytest.param(route, *case, marks=marks, id=f"{route}-{len(out)}"))
    return out


def _prepare(S, s, name, args, kwargs):
    target = S.__new__(S) if name == "__init__" else s
    fill = lambda v: target if v is SELF else v  # noqa: E731
    return target, tuple(map(fill, args)), {k: fill(v) for k, v in kwargs.items()}


BIND_OK = [
    ("__init__", (SELF, "u", "k"), {}, ("u", "k", "")),
    ("__init__", (SELF, "u", "k", "m"), {}, ("u", "k", "m")),
    ("__init__", (SELF, "u"), {"api_key": "k"}, ("u", "k", "")),
    ("__init__", (SELF,), {"model_id": "m", "api_key": "k", "base_url": "u"}, ("u", "k", "m")),
    ("__init__", (), {"api_key": "k", "self": SELF, "base_url": "u"}, ("u", "k", "")),
    ("extract", (SELF, T), {}, ("", "200")),
    ("extract", (SELF, T, "p", 5), {}, ("p", "5")),
    ("extract", (SELF,), {"content": T}, ("", "200")),
    ("extract", (SELF, T), {"length": 5, "prompt": "p"}, ("p", "5")),
    ("extract", (SELF, T, "p"), {"length": 7}, ("p", "7")),
    ("extract", (), {"length": 1, "content": T, "self": SELF, "prompt": "q"}, ("q", "1")),
    ("refined_title", (SELF, T), {"prompt": "p"}, ("p", None)),
    ("refined_title", (), {"content": T, "self": SELF, "length": 9}, ("", None)),
]


@pytest.mark.parametrize("route, name, args, kwargs, expected", routes_for(BIND_OK))
def test_arguments_bind_alike_on_every_call_route(S, s, svc, route, name, args, kwargs, expected):
    target, args, kwargs = _prepare(S, s, name, args, kwargs)
    result = _call(route, S.__dict__[name], args, kwargs)
    if name == "__init__":
        made = result if route == "construct" else target
        assert result is None or route == "construct"
        assert list(vars(made).items()) == list(zip(["base_url", "api_key", "model_id"], expected))
    else:
        prompt, length = expected
        assert svc.text() == request_text(name, "a b", prompt, length)
        assert result["status"] == "ok" and result["content"] == "a b"


COUNT = "{}() takes {} {} positional arguments ({} given)".format
MULTIPLE = "{}() got multiple values for keyword argument '{}'".format
UNEXPECTED = "{}() got an unexpected keyword argument '{}'".format

ARG_ERRORS = [
    ("__init__", (SELF,), {}, COUNT("__init__", "at least", 3, 1)),
    ("__init__", (SELF, "u"), {}, COUNT("__init__", "at least", 3, 2)),
    ("__init__", (SELF,), {"api_key": "k"}, COUNT("__init__", "at least", 3, 1)),
    ("__init__", (SELF,), {"base_url": "u"}, COUNT("__init__", "at least", 3, 2)),
    ("__init__", (SELF, "u", "k", "m", "x"), {}, COUNT("__init__", "at most", 4, 5)),
    ("__init__", (), {}, COUNT("__init__", "at least", 3, 0)),
    ("__init__", (), {"self": SELF, "base_url": "u", "model_id": "m"}, COUNT("__init__", "at least", 3, 2)),
    ("__init__", (SELF, "u", "k"), {"model_id": "m", "api_key": "k"}, MULTIPLE("__init__", "api_key")),
    ("extract", (SELF,), {}, COUNT("extract", "at least", 2, 1)),
    ("extract", (SELF,), {"model": 1}, COUNT("extract", "at least", 2, 1)),
    ("extract", (), {"content": T}, COUNT("extract", "at least", 2, 0)),
    ("extract", (), {"self": SELF}, COUNT("extract", "at least", 2, 1)),
    ("extract", (SELF, T, "p", 10, "x"), {"zzz": 1}, COUNT("extract", "at most", 4, 5)),
    ("extract", (SELF, T), {"content": "u"}, MULTIPLE("extract", "content")),
    ("extract", (SELF, T), {"self": SELF}, MULTIPLE("extract", "self")),
    ("extract", (SELF, T), {"model": 1, "content": "u"}, UNEXPECTED("extract", "model")),
    ("extract", (SELF, T), {"content": "u", "model": 1}, MULTIPLE("extract", "content")),
    ("extract", (SELF, T), {"pattern": 1}, UNEXPECTED("extract", "pattern")),
    ("extract", (SELF, T), {"length": 1, "Length": 2}, UNEXPECTED("extract", "Length")),
    ("extract", (SELF, T, "p", 5), {"length": 1}, MULTIPLE("extract", "length")),
    ("refined_title", (SELF, T, "p", 10, "x"), {}, COUNT("refined_title", "at most", 4, 5)),
    ("refined_title", (SELF, T, "p"), {"prompt": "q"}, MULTIPLE("refined_title", "prompt")),
    ("refined_title", (SELF, T), {"summary": "q"}, UNEXPECTED("refined_title", "summary")),
]


@pytest.mark.parametrize("route, name, args, kwargs, message", routes_for(ARG_ERRORS))
def test_argument_errors(S, s, svc, route, name, args, kwargs, message):
    target, args, kwargs = _prepare(S, s, name, args, kwargs)
    with pytest.raises(TypeError) as info:
        _call(route, S.__dict__[name], args, kwargs)
    assert str(info.value) == message
    entry = ("factsift.factsift.AISummary." + name, DEF_LINE[name])
    assert method_entries(info.value) == [entry]
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == (entry[0], SOURCE, entry[1])
    assert svc.requests == [] and (name != "__init__" or vars(target) == {})


@pytest.mark.parametrize("route", ["star", "tp_call", "method"])
@pytest.mark.parametrize("kwargs", [{1: 2}, {"prompt": "p", 1: 2}, {"zzz": 1, (1,): 2}])
def test_non_string_key_in_keyword_dict(S, s, svc, route, kwargs):
    if route == "method":
        call = lambda: s.extract(T, **kwargs)  # noqa: E731
    else:
        call = lambda: _call(route, S.extract, (s, T), kwargs)  # noqa: E731
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == "keywords must be strings"
    assert method_entries(info.value) == [] and svc.requests == []


@pytest.mark.skipif(pyobject_vectorcall is None, reason="no _testcapi")
@pytest.mark.parametrize("args, names, message", [
    ((T, 1), (1,), "extract() keywords must be strings"),
    ((T, 5, 2), ("length", 1), "extract() keywords must be strings"),
    ((1,), (1,), COUNT("extract", "at least", 2, 1)),
])
def test_non_string_name_in_vectorcall_names(S, s, svc, args, names, message):
    with pytest.raises(TypeError) as info:
        pyobject_vectorcall(S.extract, (s,) + args, names)
    assert str(info.value) == message
    assert method_entries(info.value) == [("factsift.factsift.AISummary.extract", 15)]


@pytest.mark.skipif(not hasattr(sys.modules.get("_testcapi"), "unicode_legacy_string"), reason="no legacy strings")
@pytest.mark.parametrize("args, name, outcome", [
    (("u", "k", "m"), "model_id", "m"),  # matched by equality after the required ones
    (("u", "m"), "api_key", "m"),  # a required parameter
    (("u", "k", "m"), "base_url", "__init__() got multiple values for keyword argument 'base_url'"),
])
def test_legacy_string_keyword_names_match_as_in_python(S, args, name, outcome):
    import _testcapi

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        names = (_testcapi.unicode_legacy_string(name),)
    target = S.__new__(S)
    try:
        pyobject_vectorcall(S.__init__, (target,) + args, names)
        assert outcome in vars(target).values()
    except TypeError as exc:
        assert str(exc) == outcome


def throw(exc):
    raise exc


class BadTruth:
    def __bool__(self):
        raise ArithmeticError("no truth value")


def key_type(**ns):
    return type("Key", (str,), {"__hash__": str.__hash__, "armed": False, **ns})


# Keyword names that are str subclasses are matched by ==; their hash is never needed.
KEYS = {
    "plain": key_type(),
    "hash-raises": key_type(__hash__=lambda k: throw(LookupError("hashed")) if k.armed else str.__hash__(k)),
    "always-equal": key_type(__eq__=lambda a, b: True),
    "eq-raises": key_type(__eq__=lambda a, b: throw(LookupError("compared"))),
    "eq-untruthful": key_type(__eq__=lambda a, b: BadTruth()),
}


@pytest.mark.parametrize("route", ["star", "tp_call", "vectorcall"])
@pytest.mark.parametrize("key, positional, outcome", [
    ("plain", (), ("", "200")),
    ("plain", (T,), ("p", "200")),
    ("hash-raises", (), ("", "200")),
    ("always-equal", (), ("", "200")),
    ("eq-raises", (), LookupError),
    ("eq-raises", (T,), LookupError),
    ("eq-untruthful", (), ArithmeticError),
])
def test_keyword_names_of_str_subclasses(S, s, svc, monkeypatch, route, key, positional, outcome):
    if route == "vectorcall" and pyobject_vectorcall is None:
        pytest.skip("no _testcapi")
    name, value = ("prompt", "p") if positional else ("content", T)
    kwargs = {KEYS[key](name): value}
    monkeypatch.setattr(KEYS[key], "armed", True)
    if isinstance(outcome, tuple):
        _call(route, S.extract, (s,) + positional, kwargs)
        assert svc.text() == request_text("extract", "a b", *outcome)
    else:
        with pytest.raises(outcome) as info:
            _call(route, S.extract, (s,) + positional, kwargs)
        assert method_entries(info.value) == [("factsift.factsift.AISummary.extract", 15)]
        assert svc.requests == []
