"""Drives every path of factsift.factsift many times, for memory checkers.

Run from the repository root: import failure and retry, construction,
success, handled failures, failures that propagate, binding errors,
traceback entries; last, a class call whose __init__ is deleted while it
runs (`memcheck_drive.py ROUNDS keyword|finaliser`). The client is an
in-process fake, so no network is used.
"""
import builtins
import contextlib
import gc
import io
import sys
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
FINALE = sys.argv[2] if len(sys.argv) > 2 else "keyword"


class BlockOpenAI:
    """Makes `import openai` fail until removed from sys.meta_path."""

    def find_spec(self, name, path=None, target=None):
        if name == "openai":
            raise ModuleNotFoundError("No module named 'openai'", name="openai")
        return None


class Reply:
    def __init__(self, content):
        self.choices = [self]
        self.message = self
        self.content = content


class FakeClient:
    def __init__(self, base_url, api_key):
        if base_url == "refuse":
            raise ConnectionError("refused")
        self.chat = self.completions = self

    def create(self, model, messages, stream):
        if model == "interrupt":
            raise KeyboardInterrupt
        if model == "empty":
            return object()  # a reply without choices
        return Reply(messages[0]["content"][-20:])


def import_with_retry():
    sys.meta_path.insert(0, BlockOpenAI())
    try:
        import factsift.factsift  # noqa: F401
    except ImportError:
        pass
    else:
        raise SystemExit("import should have failed without openai")
    del sys.meta_path[0]
    fake = type(sys)("openai")
    fake.OpenAI = FakeClient
    sys.modules["openai"] = fake
    import factsift.factsift as module
    return module


def expect(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type as exc:
        traceback.extract_tb(exc.__traceback__)
    else:
        raise SystemExit(f"{call!r} did not raise {exc_type.__name__}")


class DeletingKey(str):
    """A keyword name whose comparison deletes the class's __init__ in the middle of the call."""

    __hash__ = str.__hash__
    cls = None

    def __eq__(self, other):
        if "__init__" in vars(self.cls):
            del self.cls.__init__
        return False


class DeletingFinaliser:
    """Garbage whose finaliser deletes the class's __init__ when the collector runs."""

    def __init__(self, cls):
        self.cls, self.me = cls, self

    def __del__(self):
        if "__init__" in vars(self.cls):
            del self.cls.__init__


# The last step of a run: a class call during which __init__ is deleted and freed. Nothing may
# keep it alive for the checker to see a use after its release, so the class is left without it
# and each such call needs a run of its own.
def keyword_deletes_init(AISummary):
    DeletingKey.cls = AISummary
    keywords = {DeletingKey("model_idX"): "m"}
    try:  # called here: passing the keyword through another call would compare it there
        AISummary("u", "k", **keywords)
    except TypeError:
        pass
    else:
        raise SystemExit("an unknown keyword was accepted")


def finaliser_deletes_init(AISummary):
    DeletingFinaliser(AISummary)
    gc.set_threshold(1)  # 3.10 and 3.11 collect during the instance's allocation
    try:
        AISummary("u", "k", "m")
    except TypeError:
        pass  # object.__init__ refuses the arguments once __init__ has gone
    gc.set_threshold(700)


FINALES = {"keyword": keyword_deletes_init, "finaliser": finaliser_deletes_init}


def one_round(module):
    AISummary = module.AISummary
    s = AISummary("http://local", "key", "model")
    AISummary(base_url="u", api_key="k", model_id="m")
    assert s.extract("你好，世界！ Hello, world.")["status"] == "ok"
    assert s.extract("text", prompt="p", length=5)["status"] == "ok"
    assert s.refined_title("标题：测试", "写标题")["status"] == "ok"
    assert s.extract(None)["status"] == "error"
    assert s.refined_title("x", None)["status"] == "error"
    AISummary("refuse", "k").extract("text")
    AISummary("u", "k", "empty").refined_title("text")
    expect(KeyboardInterrupt, AISummary("u", "k", "interrupt").extract, "text")
    expect(TypeError, AISummary)
    expect(TypeError, s.extract)
    expect(TypeError, s.extract, "t", content="again")
    expect(TypeError, s.refined_title, "t", nope=1)
    expect(TypeError, s.extract, 1, 2, 3, 4)
    expect(TypeError, lambda: s.extract(**{1: 2}))
    expect(AttributeError, AISummary.__init__, object(), "u", "k")
    try:
        raise ValueError("outer")
    except ValueError:
        s.extract(None)
        assert sys.exc_info()[1].args == ("outer",)
    del module.traceback
    expect(NameError, s.extract, None)
    module.traceback = traceback
    # A new client class each round, from the module and then from builtins:
    # the globals the methods remember must follow and keep it alive.
    module.OpenAI = type("Swapped", (FakeClient,), {})
    assert s.extract("x")["status"] == "ok"
    builtins.OpenAI = module.OpenAI
    del module.OpenAI
    assert s.refined_title("x")["status"] == "ok"
    del builtins.OpenAI
    assert s.refined_title("x")["status"] == "error"
    module.OpenAI = FakeClient


def main():
    module = import_with_retry()
    with contextlib.redirect_stderr(io.StringIO()):
        for _ in range(ROUNDS):
            one_round(module)
        FINALES[FINALE](module.AISummary)
    print(f"memcheck_drive: {ROUNDS} rounds done")


if __name__ == "__main__":
    main()
