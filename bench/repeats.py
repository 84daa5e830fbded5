"""A corpus with a known share of repeats, run with repeats paid once (the default) and with --send-repeats.

    python bench/repeats.py [--documents 2000] [--repeats 0.3]
                            [--input-price 0.15] [--output-price 0.60]

A share `--repeats` of the documents carries an earlier document's dispatch
again, as another outlet prints it (other punctuation, the same words). Both
runs are `python -m factsift summarize --jsonl ... --output ...` against
factsift.devserver in a process of its own, 64 jobs. For each: the chat
requests the service got (from its log), the tokens of the records with a
usage, and their price. The two outputs must agree line for line but for the
repeats' "same_as" and "usage".
"""
import argparse
import json
import random
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _env  # noqa: E402
from batchapi import ARTICLE, measure, serve, service_log  # noqa: E402


def write_documents(path, count, share, seed=7):
    """`count` JSON lines; about `share` of them repeat an earlier one's words with other punctuation."""
    chooser, texts = random.Random(seed), []
    with open(path, "w", encoding="utf-8") as f:
        for i in range(count):
            if texts and chooser.random() < share:
                text = chooser.choice(texts).replace("，", "、").replace("。", "！")
            else:
                start = (i * 37) % (len(ARTICLE) - 400)
                text = f"第{i}篇。" + ARTICLE[start:start + 100 + (i * 13) % 300]
                texts.append(text)
            f.write(json.dumps({"id": f"doc-{i}", "text": text}, ensure_ascii=False) + "\n")
    return count - len(texts)


def run(kind, folder, url, env, log):
    before = sum(1 for _ in open(log, encoding="utf-8")) if log.exists() else 0
    extra = ["--send-repeats"] if kind == "every input" else []
    command = [sys.executable, "-m", "factsift", "summarize", "--jsonl", "docs.jsonl", "--output",
               f"{kind[0]}.jsonl", "--base-url", url, "--model", "echo", "--api-key", "bench", "--no-progress",
               "--jobs", "64", *extra]
    seconds, cpu, _ = measure(command, folder, env)
    requests, _ = service_log(log, before)
    records = [json.loads(line) for line in open(folder / f"{kind[0]}.jsonl", encoding="utf-8")]
    prompt = sum(r["usage"]["prompt_tokens"] for r in records if "usage" in r)
    completion = sum(r["usage"]["completion_tokens"] for r in records if "usage" in r)
    return {"seconds": seconds, "cpu": cpu, "requests": requests, "tokens": (prompt, completion),
            "records": records}


def same_lines(a, b):
    strip = ("same_as", "usage")
    return [{k: v for k, v in r.items() if k not in strip} for r in a] == \
        [{k: v for k, v in r.items() if k not in strip} for r in b]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--documents", type=int, default=2000)
    parser.add_argument("--repeats", type=float, default=0.3)
    _env.add_prices(parser)
    args = parser.parse_args()
    env = _env.service_env()
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        repeated = write_documents(folder / "docs.jsonl", args.documents, args.repeats)
        log = folder / "service.jsonl"
        server, url = serve(2.0, log, env)
        try:
            results = {kind: run(kind, folder, url, env, log) for kind in ("repeats paid once", "every input")}
        finally:
            server.terminate()
            server.wait()
    if not same_lines(*(r["records"] for r in results.values())):
        raise SystemExit("the two runs' lines differ")
    print(f"{sys.implementation.name} {sys.version.split()[0]}, client: {_env.client_label()}, "
          f"{args.documents} documents, {repeated} of them repeats ({repeated / args.documents:.0%})")
    print("| run | requests sent | prompt tokens | completion tokens | price | seconds | CPU s |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for kind, r in results.items():
        prompt, completion = r["tokens"]
        price = (prompt * args.input_price + completion * args.output_price) / 1e6
        print(f"| {kind} | {r['requests']} | {prompt} | {completion} | ${price:.4f} | {r['seconds']:.1f} "
              f"| {r['cpu']:.2f} |")


if __name__ == "__main__":
    main()
