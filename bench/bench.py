"""Cost per call of factsift.factsift.AISummary against a plain Python class, on every interpreter.

The client is an in-process one that does no work (NullClient below, not the real openai), so what
is measured is the module itself plus the calls it must make (re, the client's constructor and
create). Each interpreter from 3.14 back to 3.10, with 3.15 after 3.14, gets its own build of the
module and its own run; the tables come out per interpreter and then side by side.

    python bench/bench.py [--versions 3.14,3.10] [--runs N] [--seconds S]
    python bench/bench.py --instructions [--calls N]

--instructions counts instructions per call under valgrind's callgrind instead of timing: slower,
but the same on every run, so small differences show; it also splits the module's instructions
into its own code and the C functions it calls (module_costs).
"""
from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import timeit
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
VERSIONS = ("3.14", "3.15", "3.13", "3.12", "3.11", "3.10")
TEXT = "新华社北京12月8日电，国家统计局今天发布数据：11月份，全国居民消费价格同比上涨0.2%。"
# Statements timed as written, in a compiled loop (as timeit does), so that no Python-level
# wrapper call adds the same cost to both sides.
CASES = {
    "AISummary(u, k, m)": "cls('u', 'k', 'm')",
    "AISummary(base_url=, api_key=, model_id=)": "cls(base_url='u', api_key='k', model_id='m')",
    "extract(text)": "s.extract(TEXT)",
    "extract(text, prompt=, length=)": "s.extract(TEXT, prompt='简短', length=100)",
    "refined_title(text, prompt)": "s.refined_title(TEXT, '写一个标题')",
    "extract() binding error": "try:\n    s.extract()\nexcept TypeError:\n    pass",
}
SIDES = ("factsift", "Python")
Results = dict[str, dict[str, float]]  # case -> side -> figure


# ---- counting instructions ----------------------------------------------------------

MODULE_OBJECT = "factsift.cpython"  # the extension's file name, in callgrind's object names


def callgrind_run(cmd: list[str], out: str) -> str:
    # A fixed hash seed: string hashes place entries in the interpreter's caches and
    # dictionaries, and so move the counts from run to run.
    env = dict(os.environ, PYTHONHASHSEED="0")
    run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *cmd],
                         capture_output=True, text=True, check=True, env=env)
    return run.stderr


def counted(cmd: list[str], split: bool) -> tuple[int, dict[str, int]]:
    """Instructions of a whole run, and with `split` the module's costs (module_costs)."""
    out = f"/tmp/factsift-bench-{os.getpid()}.callgrind" if split else "/dev/null"
    try:
        found = re.search(r"Collected : (\d+)", callgrind_run(cmd, out))
        assert found, "callgrind printed no total"
        return int(found.group(1)), module_costs(out) if split else {}
    finally:
        if split and os.path.exists(out):
            os.unlink(out)


def _named(line: str, names: dict[str, str]) -> str:
    """The name of an 'fn=(id) name' line, remembering compressed names."""
    key, _, rest = line.rstrip("\n").partition("=")[2].partition(" ")
    if rest:
        names[key] = rest
    return names.get(key, key)


def module_costs(path: str) -> dict[str, int]:
    """From a callgrind file: the self cost of the module's functions ("module's own code") and
    the inclusive cost of each C function that module code calls outside the module."""
    costs: dict[str, int] = {}
    objects: dict[str, str] = {}
    functions: dict[str, str] = {}
    ob = cob = callee = ""
    in_module = after_call = False
    for line in open(path, encoding="utf-8", errors="replace"):
        if line.startswith("ob="):
            ob = cob = _named(line, objects)
        elif line.startswith("fn="):
            _named(line, functions)
            in_module, cob = MODULE_OBJECT in ob, ob
        elif line.startswith("cob="):
            cob = _named(line, objects)
        elif line.startswith("cfn="):
            callee = _named(line, functions)
        elif line.startswith("calls="):
            after_call = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            cost = int(line.split()[-1])
            if after_call and in_module and MODULE_OBJECT not in cob:
                costs[callee] = costs.get(callee, 0) + cost
            elif not after_call and in_module:
                costs["module's own code"] = costs.get("module's own code", 0) + cost
            after_call, cob = False, ob
    return costs


# ---- the two classes ---------------------------------------------------------------

class _Reply:
    __slots__ = ("choices", "message", "content")

    def __init__(self, content: str) -> None:
        self.choices = (self,)
        self.message = self
        self.content = content


_REPLY = _Reply("摘要")


class NullClient:
    """Takes the constructor's and create's arguments and does nothing."""

    __slots__ = ("chat", "completions")

    def __init__(self, base_url: object = None, api_key: object = None) -> None:
        self.chat = self
        self.completions = self

    def create(self, model: object, messages: object, stream: object) -> _Reply:
        return _REPLY


def classes() -> dict[str, Any]:
    """The two AISummary classes, module first, both making NullClients."""
    sys.path[:0] = [str(ROOT), str(ROOT / "bench")]
    import factsift.factsift as module
    import reference

    for side in (module, reference):
        setattr(side, "OpenAI", NullClient)
    return {"factsift": module.AISummary, "Python": reference.AISummary}


def timer(cls: Any, stmt: str) -> timeit.Timer:
    names = {"cls": cls, "s": cls("http://127.0.0.1:9/v1", "key", "model"), "TEXT": TEXT}
    return timeit.Timer(stmt, globals=names)


def ns_per_call(t: timeit.Timer, seconds: float) -> float:
    n, elapsed = t.autorange()  # a loop count that lasts at least 0.2 s
    n = max(1, int(n * seconds / elapsed))
    return t.timeit(n) / n * 1e9


def wall_clock(runs: int, seconds: float) -> Results:
    sides = classes()
    results: Results = {}
    for name, stmt in CASES.items():
        timers = {side: timer(sides[side], stmt) for side in SIDES}
        figures: dict[str, list[float]] = {side: [] for side in SIDES}
        for _ in range(runs):  # interleaved, so that drift touches both sides alike
            for side in SIDES:
                figures[side].append(ns_per_call(timers[side], seconds))
        results[name] = {side: statistics.median(figures[side]) for side in SIDES}
    return results


def run_case(side: str, case: str, calls: int) -> None:
    timer(classes()[side], CASES[case]).timeit(calls)


def case_command(side: str, case: str, calls: int) -> list[str]:
    return [sys.executable, __file__, "--run-case", side, case, str(calls)]


def instructions(calls: int) -> dict[str, Any]:
    """Per case and side: instructions per call, a run of `calls` calls less one of none (the
    same for every case of a side: the statements differ only in their compilation); and for the
    module, where they go (module_costs)."""
    results: Results = {case: {} for case in CASES}
    where: dict[str, dict[str, float]] = {}
    for side in SIDES:
        split = side == "factsift"
        base, base_costs = counted(case_command(side, next(iter(CASES)), 0), split)
        for case in CASES:
            count, costs = counted(case_command(side, case, calls), split)
            results[case][side] = (count - base) / calls
            if split:
                where[case] = {k: (v - base_costs.get(k, 0)) / calls for k, v in costs.items()}
    return {"results": results, "where": where}


def measure_here(args: argparse.Namespace) -> dict[str, Any]:
    """The figures of this interpreter, for the process that runs all of them."""
    if args.instructions:
        return instructions(args.calls)
    return {"results": wall_clock(args.runs, args.seconds)}


def interpreter(version: str) -> str | None:
    found = subprocess.run([str(ROOT / "tools" / "find-python"), f"python{version}"],
                           capture_output=True, text=True)
    return found.stdout.strip() if found.returncode == 0 else None


def measure(version: str, argv: list[str]) -> dict[str, Any] | None:
    """Builds the module for one interpreter and measures it there; None when it is missing."""
    python = interpreter(version)
    if python is None:
        print(f"Python {version}: no interpreter, skipped", file=sys.stderr)
        return None
    subprocess.run(["make", "--no-print-directory", "-s", "build", f"PYTHON={python}"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    run = subprocess.run([python, __file__, "--here", *argv], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(f"Python {version}: the measurement failed:\n{run.stderr}")
    figures: dict[str, Any] = json.loads(run.stdout)
    figures["version"] = run.stderr.strip() or version
    return figures


def print_results(title: str, results: Results, digits: int) -> None:
    print(title)
    print(f"  {'case':44} {'factsift':>10} {'Python':>10} {'ratio':>7}")
    for name, row in results.items():
        a, b = row["factsift"], row["Python"]
        print(f"  {name:44} {a:10.0f} {b:10.0f} {a / b:7.{digits}f}")


# C functions that the module calls for its own bookkeeping (the recursion count, the handled
# exception, the cache of module globals, the class's __init__); every other call it makes is
# one the work requires (re, the client, attribute reads and stores, the records, releases).
BOOKKEEPING = {"PyThreadState_Get", "Py_EnterRecursiveCall", "Py_LeaveRecursiveCall", "PyErr_GetHandledException",
               "PyErr_SetHandledException", "PyModule_GetDict", "PyDict_GetItemWithError", "_PyType_Lookup",
               "PyUnstable_Type_AssignVersionTag", "__tls_get_addr"}


def print_where(title: str, split: dict[str, dict[str, float]]) -> None:
    print(title)
    for name, groups in split.items():
        own = groups.get("module's own code", 0.0)
        kept = sum(c for g, c in groups.items() if g.split("'")[0] in BOOKKEEPING)
        required = sum(groups.values()) - own - kept
        print(f"  {name:44} own code {own:6.0f}, bookkeeping calls {kept:5.0f}, required calls {required:7.0f}")
        parts = ", ".join(f"{g} {c:.0f}" for g, c in sorted(groups.items(), key=lambda i: -i[1]) if c >= 0.5)
        print(f"      {parts}")


def print_side_by_side(figures: list[dict[str, Any]], digits: int) -> None:
    print("ratio factsift / Python class, by interpreter")
    print(f"  {'case':44} " + " ".join(f"{f['version'][:6]:>7}" for f in figures))
    for name in CASES:
        ratios = (f["results"][name]["factsift"] / f["results"][name]["Python"] for f in figures)
        print(f"  {name:44} " + " ".join(f"{r:7.{digits}f}" for r in ratios))


def report(figures: list[dict[str, Any]], args: argparse.Namespace) -> None:
    what = ("instructions per call (callgrind, PYTHONHASHSEED=0)" if args.instructions
            else f"ns per call, median of {args.runs} runs")
    for f in figures:
        title = f"Python {f['version']}, {what}, in-process client that does no work:"
        print_results(title, f["results"], 3 if args.instructions else 2)
        if args.instructions:
            print_where(f"Python {f['version']}, the module's instructions per call:", f["where"])
    if len(figures) > 1:
        print_side_by_side(figures, 3 if args.instructions else 2)


def parse(argv: list[str] | None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--versions", default=",".join(VERSIONS), help="interpreters, in table order")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seconds", type=float, default=0.2, help="time per run and case")
    ap.add_argument("--instructions", action="store_true", help="count instructions under callgrind")
    ap.add_argument("--calls", type=int, default=2000, help="calls per case with --instructions")
    ap.add_argument("--here", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--run-case", nargs=3, metavar=("SIDE", "CASE", "CALLS"), help=argparse.SUPPRESS)
    return ap.parse_args(argv)


def main(argv: list[str] | None = None) -> None:
    args = parse(argv)
    if args.run_case:
        return run_case(args.run_case[0], args.run_case[1], int(args.run_case[2]))
    if args.here:
        print(json.dumps(measure_here(args)))
        print(sys.version.split()[0], file=sys.stderr)
        return None
    passed = ["--runs", str(args.runs), "--seconds", str(args.seconds), "--calls", str(args.calls)]
    passed += ["--instructions"] * args.instructions
    figures = [f for v in args.versions.split(",") if (f := measure(v.strip(), passed)) is not None]
    report(figures, args)
    return None


if __name__ == "__main__":
    main()
