"""ns per call of factsift.factsift.AISummary against a plain Python class.

The client does no work, so what is measured is the module itself plus the
calls it must make (re, the client's constructor and create). Each figure is
the median of several runs.

    python bench/bench.py [--runs N] [--seconds S]
"""
import argparse
import statistics
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(Path(__file__).resolve().parent))


class _Reply:
    __slots__ = ("choices", "message", "content")

    def __init__(self, content):
        self.choices = (self,)
        self.message = self
        self.content = content


_REPLY = _Reply("摘要")


class NullClient:
    """Takes the constructor's and create's arguments and does nothing."""

    __slots__ = ("chat", "completions")

    def __init__(self, base_url=None, api_key=None):
        self.chat = self
        self.completions = self

    def create(self, model, messages, stream):
        return _REPLY


def import_module():
    try:
        import openai  # noqa: F401
    except ImportError:
        sys.path.append(str(ROOT / "openai_standin"))
    import factsift.factsift as module
    return module


TEXT = "新华社北京12月8日电，国家统计局今天发布数据：11月份，全国居民消费价格同比上涨0.2%。"


# Statements timed as written, in a compiled loop (as timeit does), so that no
# Python-level wrapper call adds the same cost to both sides.
CASES = {
    "AISummary(u, k, m)": "cls('u', 'k', 'm')",
    "AISummary(base_url=, api_key=, model_id=)": "cls(base_url='u', api_key='k', model_id='m')",
    "extract(text)": "s.extract(TEXT)",
    "extract(text, prompt=, length=)": "s.extract(TEXT, prompt='简短', length=100)",
    "refined_title(text, prompt)": "s.refined_title(TEXT, '写一个标题')",
    "extract() binding error": "try:\n    s.extract()\nexcept TypeError:\n    pass",
}


def timer(cls, stmt):
    names = {"cls": cls, "s": cls("http://127.0.0.1:9/v1", "key", "model"), "TEXT": TEXT}
    return timeit.Timer(stmt, globals=names)


def ns_per_call(t, seconds):
    n, elapsed = t.autorange()  # a loop count that lasts at least 0.2 s
    n = max(1, int(n * seconds / elapsed))
    return t.timeit(n) / n * 1e9


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=0.2, help="time per run and case")
    args = ap.parse_args(argv)

    module = import_module()
    import reference

    module.OpenAI = reference.OpenAI = NullClient
    print(f"Python {sys.version.split()[0]}, median of {args.runs} runs, ns per call")
    print(f"{'case':44} {'factsift':>10} {'Python':>10} {'ratio':>7}")
    for name, stmt in CASES.items():
        ours, theirs = timer(module.AISummary, stmt), timer(reference.AISummary, stmt)
        a, b = [], []
        for run in range(args.runs):  # interleaved, so that drift touches both sides alike
            a.append(ns_per_call(ours, args.seconds))
            b.append(ns_per_call(theirs, args.seconds))
        a, b = statistics.median(a), statistics.median(b)
        print(f"{name:44} {a:10.0f} {b:10.0f} {a / b:7.2f}")

if __name__ == "__main__":
    main()
