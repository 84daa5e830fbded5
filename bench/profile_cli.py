"""Where the command line's CPU goes per document: cProfile on every thread, merged.

Runs `python -m factsift summarize` in this process (each thread under its
own profiler) against factsift.devserver in a process of its own, then
prints the functions with the most time of their own, in microseconds per
document. cProfile slows small Python functions more than C ones, so read
the shares, not the totals.

    python bench/profile_cli.py [--documents 1000] [--jobs 64] [--top 40] [--sort tottime]
                                [--tool cli|threads] [-- CLI OPTION...]

--tool threads profiles bench/peer_threads.py the same way, for comparison.

CPython 3.10 and 3.11 only: from 3.12 cProfile registers with sys.monitoring,
which takes one profiler per process, so a second thread's profiler fails
(there, use `perf record -g` and `python -X perf` instead). Make the venv
first (make venv PYTHON=python3.11): it has the real openai client, 1.69.
"""
import argparse
import contextlib
import cProfile
import functools
import io
import os
import pstats
import sys
import tempfile
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

from peers import Service  # noqa: E402  (and puts the checkout on the path)
import _env  # noqa: E402
from throughput import write_inputs  # noqa: E402


def new_profile(profiles):
    # CPU time of the thread: time spent waiting on the service is not counted.
    profile = cProfile.Profile(time.thread_time)
    profiles.append(profile)
    return profile


@contextlib.contextmanager
def profiled_threads(profiles):
    """Make every thread started inside the block run under a profiler of its own."""
    original = threading.Thread.run

    def run(self):
        new_profile(profiles).runcall(original, self)

    threading.Thread.run = run
    try:
        yield
    finally:
        threading.Thread.run = original


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--documents", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=64)
    ap.add_argument("--delay", type=float, default=0.2)
    ap.add_argument("--top", type=int, default=40)
    ap.add_argument("--sort", choices=("tottime", "cumtime"), default="tottime")
    ap.add_argument("--tool", choices=("cli", "threads"), default="cli")
    ap.add_argument("cli_options", nargs="*", help="more options for the command line")
    args = ap.parse_args(argv)
    if sys.version_info >= (3, 12):
        sys.exit("profile_cli: one profiler per thread needs CPython 3.10 or 3.11 (see --help)")
    print(f"client: {_env.client_label()}", file=sys.stderr)

    service = Service(args.delay)
    profiles = []
    try:
        with tempfile.TemporaryDirectory(prefix="factsift-profile-") as tmp:
            names = [str(Path(tmp) / n) for n in write_inputs(Path(tmp), args.documents)]
            options = [*names, "--base-url", service.url, "--model", "echo",
                       "--api-key", "bench", "--jobs", str(args.jobs)]
            run = tool_main(args.tool, options, args.cli_options)
            main_profile = new_profile(profiles)
            cpu, start = time.process_time(), time.perf_counter()
            with profiled_threads(profiles), open(os.devnull, "w") as null, \
                    contextlib.redirect_stdout(null):
                status = main_profile.runcall(run)
            cpu, seconds = time.process_time() - cpu, time.perf_counter() - start
    finally:
        service.stop()
    print(f"exit status {status}; {args.documents / seconds:.1f} docs/s, "
          f"{1000 * cpu / args.documents:.2f} CPU ms per document under the profiler")
    stats = pstats.Stats(profiles[0], stream=io.StringIO())
    for profile in profiles[1:]:
        stats.add(profile)
    report(stats, args.documents, args.sort, args.top)
    return status


def tool_main(tool, options, cli_options):
    """The tool's main function, ready to call with `options`."""
    if tool == "threads":
        import peer_threads

        sys.argv = ["peer_threads.py", *options]
        return peer_threads.main
    from factsift import cli

    return functools.partial(cli.main, ["summarize", *options, *cli_options])


# (area, test on (file, function name)); the first that matches names the area.
AREAS = [
    ("progress", lambda f, n: "factsift/cli" in f and n in _PROGRESS),
    ("command line", lambda f, n: "factsift/cli" in f),
    # Job.__call__'s own time holds the module's: cProfile does not see its C methods.
    ("a request's work: the module, pools.Job", lambda f, n: f.endswith("factsift/pools/__init__.py")
     and n == "__call__"),
    ("the client layer: hooks, usage, limits", lambda f, n: "factsift/clients/" in f
     or f.endswith(("factsift/limits.py", "factsift/tokens.py"))),
    ("batch: input order, hand-off to threads", lambda f, n: f.endswith("factsift/batch.py")
     or "factsift/pools/" in f),
    ("the thread script", lambda f, n: f.endswith("peer_threads.py")),
    ("client", lambda f, n: "/openai" in f or "openai" in n or "/httpx" in f or "/httpcore" in f
     or "/pydantic" in f or "/h11/" in f),
    ("sockets", lambda f, n: "_socket" in n or "select." in n or f.endswith("socket.py")),
    ("json", lambda f, n: "/json/" in f or "_json" in n),
    ("re", lambda f, n: f.endswith(("/re.py", "sre_compile.py", "sre_parse.py")) or "re.Pattern" in n),
    ("threads and locks", lambda f, n: f.endswith(("threading.py", "_base.py")) or "_thread" in n),
    ("files", lambda f, n: "io." in n or "_io." in n or f.endswith("codecs.py")),
    ("the module", lambda f, n: "factsift" in n or f.endswith("factsift.cpp")),
]
_PROGRESS = {"advance", "draw", "clear", "paused", "finish", "_write", "_text"}


def area_of(function, stats, depth=0):
    """{area: share} for one profiled function; a built-in that names no area goes to its callers'."""
    filename, _, name = function
    area = next((a for a, test in AREAS if test(filename, name)), None)
    if area is not None:
        return {area: 1.0}
    callers = stats.stats[function][4]
    spent = sum(edge[2] for edge in callers.values())
    if filename != "~" or not spent or depth > 3:
        return {"other": 1.0}
    shares = {}
    for caller, edge in callers.items():
        for a, share in area_of(caller, stats, depth + 1).items():
            shares[a] = shares.get(a, 0.0) + share * edge[2] / spent
    return shares


def areas(stats):
    """Own time by area, seconds."""
    totals = {}
    for function, (_, _, own, _, _) in stats.stats.items():
        for area, share in area_of(function, stats).items():
            totals[area] = totals.get(area, 0.0) + own * share
    return totals


def report(stats, documents, sort, top):
    totals = areas(stats)
    total = sum(totals.values())
    print(f"{'own us/doc':>10} {'own %':>6}  area")
    for area, own in sorted(totals.items(), key=lambda item: -item[1]):
        print(f"{1e6 * own / documents:10.1f} {100 * own / total:6.1f}  {area}")
    print()
    rows = sorted(stats.stats.items(), key=lambda item: item[1][2 if sort == "tottime" else 3],
                  reverse=True)
    total = sum(row[2] for _, row in stats.stats.items())
    print(f"{'own us/doc':>10} {'cum us/doc':>10} {'calls/doc':>9} {'own %':>6}  function")
    for (filename, line, name), (_, calls, own, cumulative, _) in rows[:top]:
        where = f"{Path(filename).name}:{line}" if line else filename
        print(f"{1e6 * own / documents:10.1f} {1e6 * cumulative / documents:10.1f} "
              f"{calls / documents:9.2f} {100 * own / total:6.1f}  {name} ({where})")


if __name__ == "__main__":
    sys.exit(main())
