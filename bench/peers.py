"""Documents per second and CPU per document: the command line against what users write instead.

The same documents go through `python -m factsift summarize`, a plain thread
pool script (bench/peer_threads.py) and an AsyncOpenAI + asyncio script
(bench/peer_asyncio.py) at several numbers of concurrent requests, against
factsift.devserver running in its own process and answering after a fixed
delay. Each tool runs as a child process; its CPU time (user + system, of
every process it started, a fork server's workers included: bench/reap.py)
comes from the rusage of what it started, so the service's CPU is never
counted. A run over one document gives each tool's start (the interpreter,
the imports, the first client and request), reported apart.

    python bench/peers.py [--documents 1000] [--delay 0.2] [--jobs 16 64 256]
                          [--repeat 5] [--tools cli threads asyncio]
                          [--instructions]

Every run is checked: one "ok" line per document, in input order. The table
gives the median of the repeats; the verdict lines compare the command line
with the best peer at each concurrency.

--instructions counts, instead, the instructions of each tool's process under
valgrind's callgrind, for a run over one document (the start) and over all of
them: a figure that other processes on the machine do not move. Callgrind
runs one thread at a time and does not follow --processes workers, so it
gives no documents per second and leaves out cli-p2.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
sys.path.insert(1, str(ROOT))

import _env  # noqa: E402
from throughput import output_problem, write_inputs  # noqa: E402

MODEL = "echo"
# tool: the command that runs it, before the files and the common options
TOOLS = {
    "cli": ["-m", "factsift", "summarize"],
    "cli-p2": ["-m", "factsift", "summarize", "--processes", "2"],
    "threads": [str(BENCH / "peer_threads.py")],
    "asyncio": [str(BENCH / "peer_asyncio.py")],
}
PEERS = ("threads", "asyncio")
SPEED_UP_TARGET = 1.6  # cli-p2 against cli at SPEED_UP_JOBS
SPEED_UP_JOBS = 64


# Settings of this shell that a user's run would not have: unbuffered output,
# and modules compiled afresh by every run.
_DROPPED = ("PYTHONUNBUFFERED", "PYTHONDONTWRITEBYTECODE", "PYTHONPYCACHEPREFIX")


def child_env(pycache=None):
    """A child's environment: factsift from the checkout, none of this shell's settings above."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("OPENAI_") and k not in _DROPPED and k != "PYTHONPATH"}
    env = _env.child_env(env)
    if pycache:
        env["PYTHONPYCACHEPREFIX"] = pycache  # compiled once, by the warm-up runs, outside the tree
    return env


def cli_has_processes():
    usage = subprocess.run([sys.executable, "-m", "factsift", "summarize", "--help"],
                           env=child_env(), capture_output=True, text=True, cwd=ROOT)
    return "--processes" in usage.stdout


class Service:
    """factsift.devserver in its own process, answering after `delay` seconds."""

    def __init__(self, delay):
        command = [sys.executable, "-c", _SERVE, str(delay)]
        self.process = subprocess.Popen(command, env=child_env(), stdout=subprocess.PIPE,
                                        text=True)
        self.url = self.process.stdout.readline().strip()
        if not self.url.startswith("http://"):
            self.stop()
            raise SystemExit("the local service did not start")

    def stop(self):
        self.process.terminate()
        self.process.wait()


# A listen backlog beyond the devserver's own 128: 256 clients connect at once.
_SERVE = """
import sys
from factsift.devserver import DevServer
DevServer.request_queue_size = 1024
server = DevServer(("127.0.0.1", 0), delay=float(sys.argv[1]))
print(server.url, flush=True)
server.serve_forever()
"""


def tool_command(tool, url, names, jobs):
    return [sys.executable, *TOOLS[tool], *names, "--base-url", url, "--model", MODEL,
            "--api-key", "bench", "--jobs", str(jobs)]


def run_tool(tool, client, url, names, jobs, directory):
    """(seconds, CPU seconds) of one run of `tool` over `names`; raises SystemExit on a bad run.

    The CPU is that of the tool and of every process it started (bench/reap.py: a fork
    server's workers are not the tool's own children)."""
    command = tool_command(tool, url, names, jobs)
    result = os.path.join(directory, "reaped")
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        env = child_env(os.path.join(directory, "pycache"))
        subprocess.run([sys.executable, str(BENCH / "reap.py"), result, *command], cwd=directory, env=env,
                       stdout=out, stderr=err, check=True)
        with open(result) as f:
            status, seconds, cpu = f.read().split()
        out.seek(0)
        err.seek(0)
        problems = output_problem(out.read(), names, int(status))
        if problems:
            tail = err.read().decode("utf-8", "replace")[-2000:]
            raise SystemExit(f"{tool} ({client}) at {jobs} jobs: {problems}\n{tail}")
    return float(seconds), float(cpu)


def count_instructions(tool, client, url, names, jobs, directory):
    """Instructions of one run of `tool` over `names` under callgrind; SystemExit on a bad run."""
    command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
               *tool_command(tool, url, names, jobs)]
    env = child_env(os.path.join(directory, "pycache"))
    env["PYTHONHASHSEED"] = "0"  # hashes place entries in dictionaries, and so move the count
    result = subprocess.run(command, cwd=directory, env=env, capture_output=True)
    problems = output_problem(result.stdout, names, result.returncode)
    if problems:
        raise SystemExit(f"{tool} ({client}) under callgrind: {problems}\n"
                         f"{result.stderr.decode('utf-8', 'replace')[-2000:]}")
    return int(re.search(rb"Collected : (\d+)", result.stderr).group(1))


def measure_instructions(args, url, names, directory):
    """Prints, for each tool, the instructions of its start and per document of a whole run."""
    print("| client | tool | jobs | M instructions, one document | M instructions, all "
          "| k instructions per document after the first |")
    print("|---|---|---:|---:|---:|---:|")
    for client in args.clients:
        for jobs in args.jobs:
            for tool in (t for t in args.tools if t != "cli-p2"):
                start = count_instructions(tool, client, url, names[:1], jobs, directory)
                total = count_instructions(tool, client, url, names, jobs, directory)
                print(f"| {client} | {tool} | {jobs} | {start / 1e6:.1f} | {total / 1e6:.1f} "
                      f"| {(total - start) / max(len(names) - 1, 1) / 1e3:.0f} |", flush=True)


def warm_up(args, url, names, directory):
    """A short run of every tool: compiled modules and the page cache."""
    for client in args.clients:
        for tool in args.tools:
            run_tool(tool, client, url, names[:2], 2, directory)


def measure(args, url, names, directory):
    """{(client, tool, jobs): (documents/s, CPU ms per document, CPU ms per document after the start)}
    and {(client, tool): CPU ms of the start}, medians of the repeats. The start is a run over one
    document: the interpreter, the imports, the first client and request."""
    samples, starts = {}, {}
    for round_ in range(args.repeat):
        for client in args.clients:
            for tool in args.tools:
                _, cpu = run_tool(tool, client, url, names[:1], 1, directory)
                starts.setdefault((client, tool), []).append(1000 * cpu)
            for jobs in args.jobs:
                for tool in args.tools:
                    seconds, cpu = run_tool(tool, client, url, names, jobs, directory)
                    samples.setdefault((client, tool, jobs), []).append((len(names) / seconds, 1000 * cpu))
                    rate, ms = samples[(client, tool, jobs)][-1]
                    print(f"  round {round_ + 1}: {client:8} {tool:8} {jobs:4d} jobs {rate:8.1f} docs/s "
                          f"{ms / len(names):6.2f} ms/doc  (load {os.getloadavg()[0]:.2f})",
                          file=sys.stderr, flush=True)
    start = {key: statistics.median(runs) for key, runs in starts.items()}
    results = {}
    for (client, tool, jobs), runs in samples.items():
        cpu = statistics.median(ms for _, ms in runs)
        after = (cpu - start[(client, tool)]) / max(1, len(names) - 1)
        results[(client, tool, jobs)] = (statistics.median(r for r, _ in runs), cpu / len(names), after)
    return results, start


def print_table(results, start):
    print("| client | tool | jobs | docs/s | CPU ms per doc | after the start | start CPU ms |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for (client, tool, jobs), (rate, ms, after) in results.items():
        print(f"| {client} | {tool} | {jobs} | {rate:.1f} | {ms:.2f} | {after:.2f} "
              f"| {start[(client, tool)]:.0f} |")


def verdicts(results, clients, jobs_list):
    """One line per target; True when every target that could be measured is met."""
    met = True
    for client in clients:
        for jobs in jobs_list:
            cli = results.get((client, "cli", jobs))
            peers = [results[(client, p, jobs)] for p in PEERS if (client, p, jobs) in results]
            if cli is None or not peers:
                continue
            fast = max(peer[0] for peer in peers)
            lean = min(peer[1] for peer in peers)
            ok = cli[0] >= fast and cli[1] <= lean
            met &= ok
            print(f"{client}, {jobs} jobs: cli {cli[0]:.1f} docs/s {cli[1]:.2f} ms/doc; best peer "
                  f"{fast:.1f} docs/s {lean:.2f} ms/doc: {'met' if ok else 'NOT met'}")
        one, two = (results.get((client, t, SPEED_UP_JOBS)) for t in ("cli", "cli-p2"))
        if one and two:
            ratio = two[0] / one[0]
            met &= ratio >= SPEED_UP_TARGET
            print(f"{client}, {SPEED_UP_JOBS} jobs: --processes 2 is {ratio:.2f}x one process "
                  f"(target {SPEED_UP_TARGET}x: {'met' if ratio >= SPEED_UP_TARGET else 'NOT met'})")
    return met


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--documents", type=int, default=1000, help="number of documents (default: %(default)s)")
    ap.add_argument("--delay", type=float, default=0.2,
                    help="seconds the service waits before each answer (default: %(default)s)")
    ap.add_argument("--jobs", type=int, nargs="+", default=[16, 64, 256], metavar="N",
                    help="concurrent requests (default: 16 64 256)")
    ap.add_argument("--repeat", type=int, default=5, help="runs of each case (default: %(default)s)")
    ap.add_argument("--tools", nargs="+", choices=list(TOOLS),
                    help="tools to run (default: cli threads asyncio, and cli-p2 when the command "
                         "line has --processes)")
    ap.add_argument("--instructions", action="store_true",
                    help="count each tool's instructions under callgrind instead (see above)")
    args = ap.parse_args(argv)
    if args.documents < 1 or args.repeat < 1 or any(j < 1 for j in args.jobs):
        ap.error("--documents, --repeat and --jobs must be at least 1")
    args.tools = args.tools or ["cli", *["cli-p2"] * cli_has_processes(), "threads", "asyncio"]
    args.clients = [_env.client_label()]  # this interpreter's: openai 1.x to 3.13, 3.x from 3.14

    service = Service(args.delay)
    try:
        with tempfile.TemporaryDirectory(prefix="factsift-peers-") as tmp:
            names = write_inputs(Path(tmp), args.documents)
            if args.instructions:
                subprocess.run([str(ROOT / "tools" / "apt-ensure"), "valgrind"], check=True)
                print(f"Python {sys.version.split()[0]}, {args.documents} documents, service "
                      f"delay {args.delay} s, instructions under callgrind")
                warm_up(args, service.url, names, tmp)
                measure_instructions(args, service.url, names, tmp)
                return 0
            print(f"Python {sys.version.split()[0]}, {args.documents} documents, service delay "
                  f"{args.delay} s, median of {args.repeat}, load before: {os.getloadavg()[0]:.2f}")
            warm_up(args, service.url, names, tmp)
            results, start = measure(args, service.url, names, tmp)
    finally:
        service.stop()
    print(f"load after: {os.getloadavg()[0]:.2f}")
    print_table(results, start)
    return 0 if verdicts(results, args.clients, args.jobs) else 1


if __name__ == "__main__":
    sys.exit(main())
