"""Documents per second of `python -m factsift summarize` at several --jobs values.

Starts factsift.devserver in this process with a fixed answer delay (standing
in for a model's latency), writes small variations of examples/article-zh.txt
to a temporary directory, runs the command line once per --jobs value as a
child process and prints the wall time of each run (process start included).
With a 0.2 s delay a single job manages about 5 documents per second, so the
speed-up shows how well requests overlap: the module must not hold the GIL
while the client waits, and the service must take that many connections at once.

    python bench/throughput.py [--files 200] [--delay 0.2] [--jobs 1 4 16]

Exits with status 1 when the largest job count is less than 10 times as fast
as one job (both must be measured).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
import _env  # noqa: E402

from factsift.devserver import DevServer  # noqa: E402

ARTICLE = ROOT / "examples" / "article-zh.txt"
TARGET = 10.0


def write_inputs(directory, count):
    text = ARTICLE.read_text(encoding="utf-8")
    paragraphs = [p for p in text.split("\n") if p.strip()]
    names = []
    for i in range(count):
        # Each file differs (its own number, a rotating lead paragraph), all about the same size.
        body = "\n".join(paragraphs[i % len(paragraphs):] + paragraphs[:i % len(paragraphs)])
        name = f"doc{i:04d}.txt"
        (directory / name).write_text(f"第{i}号稿件。\n{body}\n", encoding="utf-8")
        names.append(name)
    return names


def child_env():
    """This process's environment without the user's OPENAI_ settings, factsift from the checkout."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("OPENAI_") and k != "PYTHONPATH"}
    return _env.child_env(env)


def output_problem(data, names, returncode):
    """What is wrong with a tool's run (None: one "ok" line per input, in input order)."""
    if returncode != 0:
        return f"exit status {returncode}"
    try:
        records = [json.loads(line) for line in data.decode("utf-8").splitlines()]
    except ValueError as exc:
        return f"output that is not JSON lines: {exc}"
    if [r.get("file") for r in records] != names:
        return f"{len(records)} records, not {len(names)} in input order"
    failed = sum(r.get("status") != "ok" for r in records)
    return f"{failed} error records" if failed else None


def run_cli(url, names, jobs, directory, extra=()):
    command = [sys.executable, "-m", "factsift", "summarize", *names, "--base-url", url,
               "--model", "echo", "--api-key", "bench", "--jobs", str(jobs), *extra]
    start = time.perf_counter()
    result = subprocess.run(command, cwd=directory, env=child_env(), capture_output=True)
    seconds = time.perf_counter() - start
    problem = output_problem(result.stdout, names, result.returncode)
    if problem:
        tail = result.stderr.decode("utf-8", "replace")[-2000:]
        raise SystemExit(f"--jobs {jobs}: {problem}\n{tail}")
    return seconds


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", type=int, default=200, help="number of documents (default: %(default)s)")
    ap.add_argument("--delay", type=float, default=0.2,
                    help="seconds the service waits before each answer (default: %(default)s)")
    ap.add_argument("--jobs", type=int, nargs="+", default=[1, 4, 16], metavar="N",
                    help="--jobs values to run (default: 1 4 16)")
    ap.add_argument("--no-share-clients", action="store_true",
                    help="pass --no-share-clients to the command line")
    args = ap.parse_args(argv)
    if args.files < 1 or any(j < 1 for j in args.jobs):
        ap.error("--files and --jobs must be at least 1")

    server = DevServer(("127.0.0.1", 0), delay=args.delay)
    server.start()
    extra = ["--no-share-clients"] if args.no_share_clients else []
    try:
        with tempfile.TemporaryDirectory(prefix="factsift-throughput-") as tmp:
            names = write_inputs(Path(tmp), args.files)
            print(f"Python {sys.version.split()[0]}, {args.files} documents, "
                  f"service delay {args.delay} s", flush=True)
            print(f"{'jobs':>5} {'seconds':>9} {'docs/s':>9} {'speed-up':>9}", flush=True)
            rates = {}
            for jobs in args.jobs:
                seconds = run_cli(server.url, names, jobs, tmp, extra)
                rates[jobs] = args.files / seconds
                base = rates.get(1)
                speedup = f"{rates[jobs] / base:8.2f}x" if base else f"{'-':>9}"
                print(f"{jobs:5d} {seconds:9.2f} {rates[jobs]:9.2f} {speedup}", flush=True)
    finally:
        server.stop()

    top = max(args.jobs)
    if 1 in rates and top > 1:
        ratio = rates[top] / rates[1]
        verdict = "met" if ratio >= TARGET else "NOT met"
        print(f"{top} jobs vs 1: {ratio:.1f}x (target {TARGET:.0f}x: {verdict})")
        return 0 if ratio >= TARGET else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
