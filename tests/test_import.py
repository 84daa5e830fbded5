"""Module initialisation, each case in a fresh interpreter: the module runs once per process."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import PRELUDE, SOURCE

MAJOR, MINOR = sys.version_info[:2]
INIT = "init factsift.factsift"


def false_facts(facts):
    """The names of the facts that do not hold: an assertion on it names what broke."""
    return [name for name, holds in facts.items() if holds is not True]


def test_namespace_and_class_after_first_import(fresh):
    r = fresh("""
        import builtins, re, warnings, openai
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import factsift.factsift as m
        A, ns = m.AISummary, vars(m)
        out([list(ns), [str(w.message) for w in caught if w.category is RuntimeWarning],
             {"no module doc": m.__doc__ is None, "empty __test__": type(ns["__test__"]) is dict and ns["__test__"] == {},
              "builtins": ns["__builtins__"] is builtins, "os": ns["os"] is os, "sys": ns["sys"] is sys,
              "re": ns["re"] is re, "traceback": ns["traceback"] is traceback,
              "OpenAI": ns["OpenAI"] is openai.OpenAI, "metaclass type": type(A) is type,
              "bases": A.__bases__ == (object,), "no __orig_bases__": "__orig_bases__" not in vars(A),
              "no class doc": A.__doc__ is None},
             [A.__module__, A.__qualname__, A.__name__], sorted(vars(A))])
    """)
    keys, warned, facts, names, class_dict = r
    assert keys == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                    "__builtins__", "os", "sys", "re", "traceback", "OpenAI", "AISummary", "__test__"]
    assert warned == [] and false_facts(facts) == []
    assert names == ["factsift.factsift", "AISummary", "AISummary"]
    assert class_dict == sorted(["__module__", "__init__", "extract", "refined_title",
                                 "__dict__", "__weakref__", "__doc__"])


def test_cwd_appended_once_and_later_imports_run_nothing(fresh):
    r = fresh("""
        os.mkdir("wd")
        os.chdir("wd")
        before = list(sys.path)
        m = importlib.import_module("factsift.factsift")
        after_first = list(sys.path)
        cls = m.AISummary
        del sys.modules["factsift.factsift"]
        again = importlib.import_module("factsift.factsift")
        reloaded = importlib.reload(m)
        out({"before": before, "after_first": after_first, "after_all": list(sys.path),
             "cwd": os.getcwd(), "same": {"imported again": again is m, "reloaded": reloaded is m,
                                          "same class": m.AISummary is cls}})
    """)
    assert r["after_first"] == r["before"] + [r["cwd"]]
    assert os.path.basename(r["cwd"]) == "wd"
    assert r["after_all"] == r["after_first"]
    assert false_facts(r["same"]) == []


# (setup before the failing import, repair before the retry, exception, message, line, cwd entries at the end)
IMPORT_FAILURES = [
    pytest.param('sys.modules["openai"] = None', 'del sys.modules["openai"]',
                 "ModuleNotFoundError", None, 6, 2, id="openai-missing"),
    pytest.param('sys.modules["openai"] = types.ModuleType("openai")', 'del sys.modules["openai"]',
                 "ImportError", "cannot import name OpenAI", 6, 2, id="openai-without-OpenAI"),
    pytest.param("saved = sys.path; sys.path = tuple(sys.path)", "sys.path = saved",
                 "AttributeError", "'tuple' object has no attribute 'append'", 3, 1, id="path-without-append"),
    pytest.param("saved = builtins.object; del builtins.object", "builtins.object = saved",
                 "NameError", "name 'object' is not defined", 1, 1, id="no-builtin-object"),
    pytest.param("saved = builtins.object; builtins.object = NonTupleEntries()", "builtins.object = saved",
                 "TypeError", "__mro_entries__ must return a tuple", 9, 2, id="mro-entries-not-tuple"),
]


@pytest.mark.parametrize("setup, repair, exc, msg, line, cwd_count", IMPORT_FAILURES)
def test_failed_import_reports_line_and_retry_runs_body_again(fresh, setup, repair, exc, msg, line, cwd_count):
    r = fresh(f"""
        import builtins, types, openai, factsift
        class NonTupleEntries:
            def __mro_entries__(self, bases):
                return [int]
        {setup}
        first = catch(lambda: importlib.import_module("factsift.factsift"))
        {repair}
        m = importlib.import_module("factsift.factsift")
        out({{"first": info(first), "retry_class": m.AISummary.__qualname__,
              "cwd_count": sys.path.count(os.getcwd()), "last": sys.path[-1] == os.getcwd()}})
    """)
    first = r["first"]
    assert first["type"] == exc
    if msg is not None:
        assert first["msg"] == msg
    assert [e for e in first["tb"] if e[1] == SOURCE] == [[INIT, SOURCE, line]]
    assert r["retry_class"] == "AISummary"
    assert r["cwd_count"] == cwd_count and r["last"]


UNUSUAL_IMPORTS = {
    "openai-submodule-fallback": """
        marker = type("Client", (), {})
        sys.modules["openai"] = types.ModuleType("openai")
        sys.modules["openai.OpenAI"] = marker
        import factsift.factsift as m
        out({"OpenAI is the submodule": m.OpenAI is marker, "no openai global": "openai" not in vars(m)})
    """,
    "loaded-under-another-name": """
        where = importlib.util.spec_from_file_location("factsift", importlib.util.find_spec("factsift.factsift").origin)
        m = importlib.util.module_from_spec(where)
        where.loader.exec_module(m)
        out({"its own name": m.__name__ == "factsift", "registered": sys.modules.get("factsift.factsift") is m,
             "class module": m.AISummary.__module__ == "factsift.factsift",
             "imported by name": importlib.import_module("factsift.factsift") is m})
    """,
    "path-is-a-list-subclass": """
        calls = []
        sys.path = type("PathList", (list,), {"append": lambda self, item: calls.append(item)})(sys.path)
        import factsift.factsift
        out({"append called once": calls == [os.getcwd()], "nothing else added": os.getcwd() not in sys.path})
    """,
    "path-is-no-list": """
        calls = []
        saved, sys.path = sys.path, types.SimpleNamespace(append=lambda item: calls.append(item) or "dropped")
        import factsift.factsift
        out({"append called once": calls == [os.getcwd()], "the list untouched": saved[-1] != os.getcwd()})
    """,
}


@pytest.mark.parametrize("snippet", UNUSUAL_IMPORTS.values(), ids=UNUSUAL_IMPORTS.keys())
def test_import_in_unusual_surroundings(fresh, snippet):
    facts = fresh("import types, openai, factsift\n" + textwrap.dedent(snippet))
    assert false_facts(facts) == []


@pytest.mark.parametrize("first_fails", [False, True], ids=["after-success", "after-failed-import"])
def test_second_interpreter_is_refused(fresh, tmp_path, first_fails):
    if not hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    result_file = str(tmp_path / "sub.json")
    sub = PRELUDE + (
        "r = info(catch(lambda: importlib.import_module('factsift.factsift')))\n"
        f"open({result_file!r}, 'w').write(json.dumps(r))\n"
    )
    r = fresh(f"""
        import _testcapi
        if {first_fails}:
            sys.modules["openai"] = None
        first = catch(lambda: importlib.import_module("factsift.factsift"))
        if {first_fails}:
            del sys.modules["openai"]
        _testcapi.run_in_subinterp({sub!r})
        sub = json.load(open({result_file!r}))
        main_again = importlib.import_module("factsift.factsift").AISummary.__name__
        out([type(first).__name__, sub, main_again])
    """)
    first, sub, main_again = r
    assert first == ("ModuleNotFoundError" if first_fails else "NoneType")
    assert sub["type"] == "ImportError"
    assert sub["msg"] == ("Interpreter change detected - this module can only be loaded "
                          "into one interpreter per process.")
    assert all(e[1] != SOURCE for e in sub["tb"])
    assert main_again == "AISummary"


@pytest.fixture
def fake_version(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")

    def build(text):
        src = tmp_path / "fakever.c"
        lib = tmp_path / "libfakever.so"
        src.write_text('const char *Py_GetVersion(void) { return "%s"; }\n' % text)
        subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], check=True)
        # Keeps what is already preloaded (the sanitizer runtimes under check-asan).
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))
        env = dict(os.environ, LD_PRELOAD=preload)
        probe = ("import ctypes; f = ctypes.pythonapi.Py_GetVersion; f.restype = ctypes.c_char_p; "
                 "print(f().decode())")
        seen = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True, text=True).stdout
        if seen.strip() != text:
            pytest.skip("this interpreter does not let a preloaded library replace Py_GetVersion")
        return {"LD_PRELOAD": preload}

    return build


def mismatch(major, minor):
    return (f"compile time Python version {MAJOR}.{MINOR} of module 'factsift.factsift' "
            f"does not match runtime version {major}.{minor}")


@pytest.mark.parametrize("version, expected", [
    ("3.9.18 (fake)", mismatch(3, 9)),
    ("3.1.5", mismatch(3, 1)),
    (f"{MAJOR}.{MINOR}00.1", mismatch(MAJOR, int(f"{MINOR}00"))),
    (f"2.{MINOR}.1", mismatch(2, MINOR)),
    (f"{MAJOR}.{MINOR}.99+ (fake)", None),
    (f"{MAJOR}.{MINOR}", None),
    (f"{MAJOR}.{MINOR}rc1", None),
])
def test_version_check_against_running_interpreter(fresh, fake_version, version, expected):
    r = fresh("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import factsift.factsift as m
        out([[w.category.__name__, str(w.message)] for w in caught if "factsift" in str(w.message)]
            + [m.AISummary.__name__])
    """, env=fake_version(version))
    assert r == ([["RuntimeWarning", expected]] if expected else []) + ["AISummary"]


def test_version_warning_turned_into_error_fails_import(fresh, fake_version):
    r = fresh("""
        import warnings
        before = len(sys.path)
        first = catch(lambda: importlib.import_module("factsift.factsift"))
        grown = len(sys.path) - before
        warnings.simplefilter("ignore")
        m = importlib.import_module("factsift.factsift")
        out([info(first), grown, sys.path.count(os.getcwd()), m.AISummary.__name__])
    """, flags=["-W", "error::RuntimeWarning"], env=fake_version("3.9.18 (fake)"))
    first, grown, cwd_count, name = r
    assert first["type"] == "RuntimeWarning" and first["msg"] == mismatch(3, 9)
    assert all(e[1] != SOURCE for e in first["tb"])
    assert (grown, cwd_count, name) == (0, 1, "AISummary")
