"""A corpus pushed through a rate-limited service: records, time against the limit's pace, refusals.

    python bench/limits.py [--documents 300] [--delay 0.5] [--rpm 100] [--tpm 30000]
                           [--cases requests,tokens,...] [--jobs 64]

Starts `python -m factsift.devserver` in its own process with an account
limited to --rpm requests or --tpm tokens a minute (budgets that start full
and refill evenly, as OpenAI's do; 429 with Retry-After past them), answering
after --delay seconds, with or without the x-ratelimit-* headers, and runs
`python -m factsift summarize` over Chinese documents of 1 to 8 sentences.
Each case prints the records, the seconds from the command line's start to
its end, the fastest the limit allows (what goes beyond the full budget, at
the budget's rate, plus one answer's delay, plus what a program takes to
start with the client: `python -c "import openai"`, best of three, measured
in the same run, the peer of every case), their ratio (the pace: 1.0 is the limit's own), and the refusals (the share
of the requests sent that the service refused).

Cases: a unit (requests, tokens, both), then "-bare" for a service without
headers, "-at" for the command line told the limit (--rpm/--tpm), "-p2" for
--processes 2, and "-shards" for two command lines sharing one key at once
(each with half of the input: --shard 0/2 and 1/2).
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import _env

ROOT = Path(__file__).resolve().parent.parent
SENTENCES = ["某市统计局12月8日发布数据显示，前11个月全市地区生产总值同比增长5.2%。",
             "其中，规模以上工业增加值增长6.1%，社会消费品零售总额增长4.8%。",
             "据悉，该市今年新增城镇就业岗位12.3万个，城镇调查失业率保持在5%以内。",
             "专家表示，消费和投资的持续回暖为经济稳定增长提供了有力支撑。"]
DEFAULT_CASES = ["requests", "requests-bare", "requests-at", "tokens", "tokens-bare", "tokens-at",
                 "both", "both-bare", "tokens-p2", "tokens-shards"]


def write_documents(path, count):
    with open(path, "w", encoding="utf-8") as f:
        for i in range(count):
            text = "".join(SENTENCES[(i + k) % len(SENTENCES)] for k in range(1 + i % 8))
            f.write(json.dumps({"id": i, "text": f"第{i}篇。{text}"}, ensure_ascii=False) + "\n")


def start_service(args, unit, headers, log):
    limits = {"requests": ["--rpm", str(args.rpm)], "tokens": ["--tpm", str(args.tpm)],
              "both": ["--rpm", str(args.rpm), "--tpm", str(args.tpm)]}[unit]
    command = [sys.executable, "-m", "factsift.devserver", "--port", "0", "--quiet", "--delay", str(args.delay),
               "--log", str(log), *limits, *([] if headers else ["--no-ratelimit-headers"])]
    service = subprocess.Popen(command, env=_env.child_env(), stdout=subprocess.PIPE, text=True)
    url = re.search(r"https?://\S+", service.stdout.readline())
    if url is None:
        service.kill()
        raise SystemExit("the local service did not start")
    return service, url.group(0)


def run_cli(args, url, folder, name, extra, documents="docs.jsonl"):
    command = [sys.executable, "-m", "factsift", "summarize", "--jsonl", documents, "--output", name,
               "--jobs", str(args.jobs), "--base-url", url, "--model", "m", "--api-key", "k", *extra]
    return subprocess.Popen(command, cwd=folder, env=_env.child_env(), stderr=subprocess.PIPE, text=True)


def fastest(args, unit, log, records):
    """The fewest seconds the service's budgets allow for what it answered (the records' usage is
    what it charged)."""
    sent = sum(1 for _ in open(log, encoding="utf-8"))
    answered = records  # one answer each; the other requests were refused
    seconds = 0.0
    if unit in ("requests", "both"):
        seconds = max(seconds, (len(answered) - args.rpm) / (args.rpm / 60))
    if unit in ("tokens", "both"):
        tokens = sum((r.get("usage") or {}).get("total_tokens") or 0 for r in records)
        seconds = max(seconds, (tokens - args.tpm) / (args.tpm / 60))
    return max(0.0, seconds) + args.delay, sent, sent - len(answered)


def client_start():
    """The seconds a Python program takes to start and import the client (best of three)."""
    times = []
    for _ in range(3):
        started = time.monotonic()
        subprocess.run([sys.executable, "-c", "import openai"], env=_env.child_env(), check=True)
        times.append(time.monotonic() - started)
    return min(times)


def case(args, name, folder, start):
    unit, _, how = name.partition("-")
    log = folder / f"{name}.log"
    service, url = start_service(args, unit, how != "bare", log)
    extra = {"at": [*(["--rpm", str(args.rpm)] if unit in ("requests", "both") else []),
                    *(["--tpm", str(args.tpm)] if unit in ("tokens", "both") else [])],
             "p2": ["--processes", "2"]}.get(how, [])
    try:
        started = time.monotonic()
        if how == "shards":
            runs = [run_cli(args, url, folder, f"{name}-{k}.jsonl", ["--shard", f"{k}/2"]) for k in range(2)]
        else:
            runs = [run_cli(args, url, folder, f"{name}.jsonl", extra)]
        summaries = [run.communicate()[1].strip().splitlines()[-1:] for run in runs]
        seconds = time.monotonic() - started
    finally:
        service.terminate()
        service.wait()
    outputs = [f"{name}-{k}.jsonl" for k in range(2)] if how == "shards" else [f"{name}.jsonl"]
    records = [json.loads(line) for path in outputs for line in open(folder / path, encoding="utf-8")]
    ok = sum(r["status"] == "ok" for r in records)
    best, sent, refused = fastest(args, unit, log, records)
    best += start
    print(f"| {name} | {' '.join(extra) or '-'} | {ok} of {len(records)} | {seconds:.1f} | {best:.1f} "
          f"| {best / seconds:.2f} | {refused} of {sent} ({100 * refused / max(sent, 1):.1f}%) |", flush=True)
    if os.environ.get("BENCH_VERBOSE"):
        print(summaries, file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--documents", type=int, default=300)
    parser.add_argument("--delay", type=float, default=0.5)
    parser.add_argument("--rpm", type=int, default=100)
    parser.add_argument("--tpm", type=int, default=30000)
    parser.add_argument("--jobs", type=int, default=64)
    parser.add_argument("--cases", default=",".join(DEFAULT_CASES))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="factsift-limits-") as temporary:
        folder = Path(temporary)
        write_documents(folder / "docs.jsonl", args.documents)
        print(f"Python {sys.version.split()[0]}, client: {_env.client_label()}, {args.documents} documents, "
              f"service: {args.rpm} requests or {args.tpm} tokens a minute, answers after {args.delay} s, "
              f"{args.jobs} jobs")
        start = client_start()
        print(f"A program's start with the client (python -c 'import openai'): {start:.2f} s, in every fastest")
        print("| case | options | ok | seconds | fastest | pace | refused |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for name in args.cases.split(","):
            case(args, name, folder, start)


if __name__ == "__main__":
    main()
