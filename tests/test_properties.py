"""Random call shapes: the three methods accept exactly the calls that Python functions of the same
signatures accept, and bind the same objects to the same parameters."""

from types import SimpleNamespace as NS

import pytest
from hypothesis import given, settings, strategies as st

from conftest import request_text

PARAMS = {"__init__": ("self", "base_url", "api_key", "model_id"),
          "extract": ("self", "content", "prompt", "length"),
          "refined_title": ("self", "content", "prompt", "length")}
# Keyword names that are no parameters: local names of the methods, the request's own keywords, near misses.
STRANGERS = ("model", "pattern", "messages", "x", "Content", "self_", "prompt ")
SETTINGS = ("base_url", "api_key", "model_id")


def init(self, base_url, api_key, model_id=""):
    return self, base_url, api_key, model_id


def method(self, content, prompt="", length=200):
    return self, content, prompt, length


REFERENCE = {"__init__": init, "extract": method, "refined_title": method}
NEW = object()  # in a reference binding: the instance that the constructor makes
INSTANCE = object()  # in a drawn call: where the instance goes


class Tok(str):
    """A distinct argument value; it can stand in as the instance, since it carries the settings."""

    def arm(self):
        self.base_url, self.api_key, self.model_id = "url-" + self, "key-" + self, "model-" + self


class Recorder:
    """Client class for the module global OpenAI: records the settings and the request text it gets."""

    log = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.chat = self.completions = self

    def create(self, **kwargs):
        (message,) = kwargs["messages"]
        Recorder.log.append((self.kwargs["base_url"], self.kwargs["api_key"], kwargs["model"], message["content"]))
        # The reply echoes the request text, so the record shows what was sent.
        return NS(choices=[NS(message=NS(content=message["content"]))])


@pytest.fixture(scope="module")
def recorder(mod):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(mod, "OpenAI", Recorder)
        yield Recorder.log


@st.composite
def call_shapes(draw, name, route):
    """(positional values, keyword items): fresh tokens, with INSTANCE where the route passes the instance.

    Most shapes fit the signature, apart from the odd missing or unknown name; the rest are free
    mixtures of counts and names, which mostly fail."""
    params = PARAMS[name]
    where = draw(st.sampled_from(["positional", "keyword", "absent"])) if route == "class" else "bound"
    lead = 1 if where in ("bound", "positional") else 0
    if draw(st.integers(0, 3)):
        count = 0 if where == "keyword" else draw(st.integers(0, 4 - lead))
        unfilled = params[1:] if where == "keyword" else params[lead + count:]
        required = 3 if name == "__init__" else 2
        names = [p for i, p in enumerate(params) if p in unfilled and (i < required or draw(st.booleans()))]
        names = draw(st.permutations(names))
        fault = draw(st.integers(0, 7))
        if fault == 0 and names:
            del names[draw(st.integers(0, len(names) - 1))]
        elif fault == 1:
            names.insert(draw(st.integers(0, len(names))), draw(st.sampled_from(STRANGERS)))
    else:
        count = draw(st.integers(0, 6))
        names = draw(st.lists(st.sampled_from(params + STRANGERS), unique=True, max_size=6))
    args = [Tok(f"p{i}") for i in range(count)]
    kwargs = {k: Tok(f"k{i}") for i, k in enumerate(names)}
    if where == "positional":
        args.insert(0, INSTANCE)
    elif where == "keyword":
        kwargs.pop("self", None)
        at = draw(st.integers(0, len(kwargs)))
        items = list(kwargs.items())
        kwargs = dict(items[:at] + [("self", INSTANCE)] + items[at:])
    return args, kwargs


def expected_binding(name, route, inst, args, kwargs):
    """What a Python function binds, or None where it raises TypeError."""
    ref = REFERENCE[name]
    try:
        if route == "class":
            return ref(*args, **kwargs)
        return ref(NEW if route == "construct" else inst, *args, **kwargs)
    except TypeError:
        return None


def place(inst, values):
    return [inst if v is INSTANCE else v for v in values]


def call(S, name, route, inst, args, kwargs):
    if route == "construct":
        return S(*args, **kwargs)
    target = S if route == "class" else inst
    return getattr(target, name)(*args, **kwargs)


ROUTES = [("__init__", "instance"), ("__init__", "class"), ("__init__", "construct"),
          ("extract", "instance"), ("extract", "class"),
          ("refined_title", "instance"), ("refined_title", "class")]


@pytest.mark.parametrize("name, route", ROUTES)
@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_random_calls_bind_like_python(mod, recorder, name, route, data):
    S = mod.AISummary
    args, kwargs = data.draw(call_shapes(name, route), label="call")
    if name == "__init__":
        inst = S.__new__(S)
    else:
        inst = S("url-inst", "key-inst", "model-inst")
        for tok in args + list(kwargs.values()):
            if isinstance(tok, Tok):
                tok.arm()
    args = place(inst, args)
    kwargs = dict(zip(kwargs, place(inst, kwargs.values())))
    expected = expected_binding(name, route, inst, args, kwargs)
    recorder.clear()
    before = {id(o): dict(vars(o)) for o in [inst, *args, *kwargs.values()]}

    if expected is None:
        with pytest.raises(TypeError):
            call(S, name, route, inst, args, kwargs)
        assert recorder == []
        assert {id(o): vars(o) for o in [inst, *args, *kwargs.values()]} == before
        return

    result = call(S, name, route, inst, args, kwargs)
    self_, *values = expected
    if name == "__init__":
        if route == "construct":
            assert type(result) is S
            self_ = result
        else:
            assert result is None
        assert list(vars(self_)) == list(SETTINGS)
        assert all(vars(self_)[k] is v for k, v in zip(SETTINGS, values) if type(v) is Tok)
        assert [vars(self_)[k] for k in SETTINGS] == values
        # Nothing else was written to: no other candidate for the instance gained or lost attributes.
        assert all(vars(o) == before[id(o)] for o in [inst, *args, *kwargs.values()] if o is not self_)
        return

    content, prompt, length = values
    sent = request_text(name, str(content), str(prompt), str(length))
    assert recorder == [(self_.base_url, self_.api_key, self_.model_id, sent)]
    payload = "summary" if name == "extract" else "title"
    assert list(result.items()) == [(payload, sent), ("content", str(content)), ("status", "ok")]
