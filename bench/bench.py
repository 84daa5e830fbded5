"""ns per call of factsift.factsift.AISummary against a plain Python class.

The client does no work, so what is measured is the module itself plus the
calls it must make (re, the client's constructor and create). Each figure is
the median of several runs.

    python bench/bench.py [--runs N] [--seconds S]
    python bench/bench.py --instructions [--calls N]

--instructions counts instructions per call under valgrind's callgrind
instead: slower, but the same on every run, so small differences show.
"""
import argparse
import os
import re
import statistics
import subprocess
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


def classes():
    """The two AISummary classes, module first, both making NullClients."""
    module = import_module()
    import reference

    module.OpenAI = reference.OpenAI = NullClient
    return {"factsift": module.AISummary, "Python": reference.AISummary}


def print_header(what):
    print(f"Python {sys.version.split()[0]}, {what}")
    print(f"{'case':44} {'factsift':>10} {'Python':>10} {'ratio':>7}")


def run_case(side, case, calls):
    timer(classes()[side], CASES[case]).timeit(calls)


def instructions_per_call(side, case, calls):
    def count(n):
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               sys.executable, __file__, "--run-case", side, case, str(n)]
        # A fixed hash seed: string hashes place entries in the interpreter's
        # caches and dictionaries, and so move the counts from run to run.
        env = dict(os.environ, PYTHONHASHSEED="0")
        stderr = subprocess.run(cmd, capture_output=True, text=True, check=True, env=env).stderr
        return int(re.search(r"Collected : (\d+)", stderr).group(1))

    return (count(calls) - count(0)) / calls


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=0.2, help="time per run and case")
    ap.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    ap.add_argument("--calls", type=int, default=10000, help="calls per case with --instructions")
    ap.add_argument("--run-case", nargs=3, metavar=("SIDE", "CASE", "CALLS"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.run_case:
        return run_case(args.run_case[0], args.run_case[1], int(args.run_case[2]))
    if args.instructions:
        print_header(f"instructions per call (callgrind, {args.calls} calls)")
        for name in CASES:
            a, b = (instructions_per_call(side, name, args.calls) for side in ("factsift", "Python"))
            print(f"{name:44} {a:10.0f} {b:10.0f} {a / b:7.3f}")
        return

    sides = classes()
    print_header(f"median of {args.runs} runs, ns per call")
    for name, stmt in CASES.items():
        ours, theirs = timer(sides["factsift"], stmt), timer(sides["Python"], stmt)
        a, b = [], []
        for run in range(args.runs):  # interleaved, so that drift touches both sides alike
            a.append(ns_per_call(ours, args.seconds))
            b.append(ns_per_call(theirs, args.seconds))
        a, b = statistics.median(a), statistics.median(b)
        print(f"{name:44} {a:10.0f} {b:10.0f} {a / b:7.2f}")

if __name__ == "__main__":
    main()
