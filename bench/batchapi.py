"""A run through the batch interface against the same run online: requests, bytes, CPU, memory, price.

    python bench/batchapi.py [--documents 10000] [--batch-time 10] [--poll 1]
                             [--input-price 0.15] [--output-price 0.60]

Both runs are `python -m factsift summarize --jsonl ... --output ...` as a
user runs them, the first with --batch-api, against factsift.devserver in a
process of its own (whose CPU is never counted). For each: the HTTP requests
the service got from the run and what was uploaded (from the service's log),
the run's CPU time (user + system) and peak memory (as wait4 reports them for
it), and the tokens of its records. The price is the tokens at the given
prices per million tokens online, and at half of them through the batch
interface, which is how the service prices a batch. The two output files must
hold the same lines; the benchmark stops if they do not.
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

ARTICLE = (ROOT / "examples" / "article-zh.txt").read_text(encoding="utf-8")
_SERVE = """
import sys
from factsift.devserver import DevServer
server = DevServer(("127.0.0.1", 0), batch_time=float(sys.argv[1]), log_path=sys.argv[2])
print(server.url, flush=True)
server.serve_forever()
"""


def write_documents(path, count):
    """`count` JSON lines, each a different stretch of the example article (100 to 400 characters)."""
    with open(path, "w", encoding="utf-8") as f:
        for i in range(count):
            start = (i * 37) % (len(ARTICLE) - 400)
            text = f"第{i}篇。" + ARTICLE[start:start + 100 + (i * 13) % 300]
            f.write(json.dumps({"id": f"doc-{i}", "text": text}, ensure_ascii=False) + "\n")


def serve(batch_time, log, env):
    process = subprocess.Popen([sys.executable, "-c", _SERVE, str(batch_time), str(log)], env=env,
                               stdout=subprocess.PIPE, text=True)
    url = process.stdout.readline().strip()
    if not url.startswith("http://"):
        process.kill()
        raise SystemExit("the local service did not start")
    return process, url


def measure(command, cwd, env):
    """(exit status, seconds, CPU seconds, peak memory in MiB) of a child run."""
    started = time.monotonic()
    child = subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    stderr = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.stderr.write(stderr.decode("utf-8", "replace")[-2000:])
        raise SystemExit(f"the run failed with status {child.returncode}")
    return time.monotonic() - started, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def service_log(path, since):
    """(HTTP requests, bytes uploaded) in the service's log after line `since`."""
    requests = uploaded = 0
    with open(path, encoding="utf-8") as f:
        for entry in map(json.loads, f.readlines()[since:]):
            if "event" in entry:
                uploaded += entry["bytes"] if entry["event"] == "file.uploaded" else 0
            else:
                requests += 1
    return requests, uploaded


def tokens(path):
    prompt = completion = 0
    with open(path, encoding="utf-8") as f:
        for record in map(json.loads, f):
            prompt += record["usage"]["prompt_tokens"]
            completion += record["usage"]["completion_tokens"]
    return prompt, completion


def run(kind, args, folder, url, env, log):
    before = sum(1 for _ in open(log, encoding="utf-8")) if log.exists() else 0
    extra = ["--batch-api", "--poll", str(args.poll)] if kind == "batch" else ["--jobs", "64"]
    command = [sys.executable, "-m", "factsift", "summarize", "--jsonl", "docs.jsonl", "--output",
               f"{kind}.jsonl", "--base-url", url, "--model", "echo", "--api-key", "bench", "--no-progress",
               *extra]
    seconds, cpu, memory = measure(command, folder, env)
    requests, uploaded = service_log(log, before)
    return {"seconds": seconds, "cpu": cpu, "memory": memory, "requests": requests, "uploaded": uploaded,
            "tokens": tokens(folder / f"{kind}.jsonl")}


def report(args, label, results):
    print(f"{sys.implementation.name} {sys.version.split()[0]}, client: {label}, {args.documents} documents, "
          f"batch time {args.batch_time:g} s, poll {args.poll:g} s")
    print("| run | seconds | HTTP requests | uploaded | CPU s | peak MiB | prompt tokens | completion tokens "
          "| price |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for kind, share in (("online", 1.0), ("batch", 0.5)):
        r = results[kind]
        prompt, completion = r["tokens"]
        price = share * (prompt * args.input_price + completion * args.output_price) / 1e6
        print(f"| {kind} | {r['seconds']:.1f} | {r['requests']} | {r['uploaded'] / 1e6:.2f} MB | {r['cpu']:.2f} "
              f"| {r['memory']:.0f} | {prompt} | {completion} | ${price:.4f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--documents", type=int, default=10_000)
    parser.add_argument("--batch-time", type=float, default=10.0)
    parser.add_argument("--poll", type=float, default=1.0)
    _env.add_prices(parser)
    args = parser.parse_args()
    env = _env.service_env()
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        write_documents(folder / "docs.jsonl", args.documents)
        log = folder / "service.jsonl"
        server, url = serve(args.batch_time, log, env)
        try:
            results = {kind: run(kind, args, folder, url, env, log) for kind in ("batch", "online")}
        finally:
            server.terminate()
            server.wait()
        if (folder / "batch.jsonl").read_bytes() != (folder / "online.jsonl").read_bytes():
            raise SystemExit("the batch run's lines differ from the online run's")
    report(args, _env.client_label(), results)


if __name__ == "__main__":
    main()
