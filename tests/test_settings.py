"""The constructor: three settings stored as plain instance attributes."""

import textwrap
import traceback

import pytest

from conftest import SOURCE

FIELDS = ["base_url", "api_key", "model_id"]
OBJ, LST = object(), [2]


@pytest.mark.parametrize("args, kwargs, expected", [
    (("u", "k"), {}, ("u", "k", "")),
    ((), {"model_id": "m", "api_key": "k", "base_url": "u"}, ("u", "k", "m")),
    ((), {"base_url": None, "api_key": None, "model_id": None}, (None, None, None)),
    ((1, LST), {"model_id": OBJ}, (1, LST, OBJ)),
])
def test_attributes_in_fixed_order_and_unchanged(S, args, kwargs, expected):
    inst = S(*args, **kwargs)
    assert list(vars(inst)) == FIELDS and not any(f in vars(S) for f in FIELDS)
    assert [getattr(inst, f) for f in FIELDS] == list(expected) and type(inst.model_id) is type(expected[2])
    assert all(getattr(inst, f) is v for f, v in zip(FIELDS, expected) if not isinstance(v, str))


def test_running_init_again_reassigns_all_three(S):
    inst = S("u", "k", "m")
    inst.extra = 1
    assert inst.__init__("u2", "k2") is None
    assert list(vars(inst).items()) == [("base_url", "u2"), ("api_key", "k2"), ("model_id", ""), ("extra", 1)]


@pytest.mark.parametrize("failing, line", [(None, None), ("base_url", 11), ("api_key", 12), ("model_id", 13)])
@pytest.mark.parametrize("hook", ["setattr", "descriptor"])
def test_assignment_goes_through_the_type(S, hook, failing, line):
    seen = []

    def store(obj, name, value):
        seen.append((obj, name, value))
        if name == failing:
            raise PermissionError("refused " + name)
        obj.__dict__[name] = value

    if hook == "setattr":
        Sub = type("Sub", (S,), {"__setattr__": store})
    else:
        props = {f: property(lambda o, f=f: o.__dict__[f], lambda o, v, f=f: store(o, f, v)) for f in FIELDS}
        Sub = type("Sub", (S,), props)
    if failing is None:
        inst = Sub("u", "k")
        assert [n for _, n, _ in seen] == FIELDS
        assert [v for _, _, v in seen] == ["u", "k", ""]
        assert all(o is inst for o, _, _ in seen)
        return
    with pytest.raises(PermissionError) as info:
        Sub("u", "k", "m")
    assert [n for _, n, _ in seen] == FIELDS[:FIELDS.index(failing) + 1]
    inst = seen[0][0]
    assert list(inst.__dict__) == FIELDS[:FIELDS.index(failing)]
    entries = [(f.name, f.filename, f.lineno) for f in traceback.extract_tb(info.value.__traceback__)]
    ours = [e for e in entries if e[1] == SOURCE]
    assert ours == [("factsift.factsift.AISummary.__init__", SOURCE, line)]
    # The hook's own frame comes after the method's entry.
    assert entries.index(ours[0]) == len(entries) - 2 - (hook == "descriptor")


def test_non_string_keyword_key_is_rejected_before_init(S):
    with pytest.raises(TypeError) as info:
        S(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert all(f.filename != SOURCE for f in traceback.extract_tb(info.value.__traceback__))


# Changes a program may make to a class (C); calls of the class must follow them.
CLASS_CHANGES = {
    "as made": "",
    "__init__ replaced": "C.__init__ = lambda self, *a, **k: setattr(self, 'seen', (a, k))",
    "__init__ a static method": "C.__init__ = staticmethod(lambda *a, **k: None if len(a) == 2 else 1 / 0)",
    "__new__ replaced": "C.__new__ = staticmethod(lambda cls, *a, **k: ('made by __new__', a, k))",
    "__new__ set and deleted": "C.__new__ = staticmethod(lambda cls, *a, **k: None); del C.__new__",
    "__init__ deleted": "del C.__init__",
    "abstract": "C.__abstractmethods__ = frozenset({'summarise'})",
    "__init__ replaced and put back": "init = C.__init__; C.__init__ = lambda self, *a: None; C(1, 2); C.__init__ = init",
    "a class attribute set": "C.extra = 1",
}


# Each case's code runs once with the module's class and once with a plain Python class as C.
BOTH_CLASSES = """
        import factsift.factsift as m
        class Plain:
            def __init__(self, base_url, api_key, model_id=""):
                self.base_url, self.api_key, self.model_id = base_url, api_key, model_id
        outcomes = []
        for C in (m.AISummary, Plain):
"""


@pytest.mark.parametrize("change", CLASS_CHANGES)
def test_class_call_behaves_as_for_a_python_class(fresh, change):
    outcomes = fresh(BOTH_CLASSES + f"""
            C("warm", "up")  # calls of the class as it was must not decide later ones
            {CLASS_CHANGES[change]}
            seen = []
            # Calls from a tuple have no spare slot in front of the arguments.
            for args, kwargs in [(("u", "k"), {{}}), ((), {{"base_url": "u", "api_key": "k"}}),
                                 (tuple(range(5)), {{}}), (tuple(range(12)), {{}})]:
                try:
                    made = C(*args, **kwargs)
                    seen.append(repr(vars(made) if hasattr(made, "__dict__") else made))
                except Exception as exc:
                    seen.append(type(exc).__name__)
            outcomes.append(seen)
        out(outcomes)
    """)
    assert outcomes[0] == outcomes[1]


# Code that deletes AISummary.__init__ (or Plain's) in the middle of a class call. The debug
# allocator fills freed memory, so a call of the freed function cannot pass unnoticed.
DELETING_INIT = {
    "keyword comparison": """
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                if "__init__" in vars(C):
                    del C.__init__
                return False
        call = lambda: C("u", "k", **{Key("model_idX"): "m"})
    """,
    # 3.10 and 3.11 collect during the allocation itself; later versions after the call.
    "finaliser run by the allocation": """
        import gc
        class Bomb:
            def __del__(self):
                if "__init__" in vars(C):
                    del C.__init__
        def call():
            bomb = Bomb()
            bomb.me = bomb
            del bomb
            gc.set_threshold(1)
            try:
                return C("u", "k", "m")
            finally:
                gc.set_threshold(700)
    """,
}


@pytest.mark.parametrize("case", DELETING_INIT)
def test_init_deleted_during_the_class_call(fresh, case):
    outcomes = fresh(BOTH_CLASSES + f"""
            {textwrap.indent(textwrap.dedent(DELETING_INIT[case]), " " * 12).strip()}
            try:
                outcomes.append(vars(call()))
            except TypeError as exc:
                # The message without the class's name and 3.12's suggestion of a near name.
                text = str(exc).split(". Did you mean")[0]
                outcomes.append(text.replace(C.__name__ + ".", "").replace(C.__name__, "C"))
        out(outcomes)
    """, env={"PYTHONMALLOC": "malloc_debug"})
    assert outcomes[0] == outcomes[1]
