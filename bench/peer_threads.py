"""What a user would write instead of the command line: a thread pool and one client.

    python bench/peer_threads.py FILE... --base-url URL --model M --api-key KEY [--jobs N]

Sends each file as factsift's summarize does (punctuation removed, the same
instruction) and prints one JSON line per file, in input order.
"""
import argparse
import json
import re
import sys
from concurrent.futures import ThreadPoolExecutor

from openai import OpenAI

INSTRUCTION = ("作为一个事实信息核查员，请从如下内容中抽取出事实性信息，并根据事实信息总结出摘要, "
               "要求字数在{length}字左右。要求: {prompt}。")
PUNCTUATION = re.compile(r"[^\w\s]")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("files", nargs="+")
    ap.add_argument("--base-url", required=True)
    ap.add_argument("--model", required=True)
    ap.add_argument("--api-key", required=True)
    ap.add_argument("--jobs", type=int, default=8)
    args = ap.parse_args()
    client = OpenAI(base_url=args.base_url, api_key=args.api_key)
    instruction = INSTRUCTION.format(length=200, prompt="")

    def summarize(name):
        try:
            with open(name, encoding="utf-8") as f:
                content = PUNCTUATION.sub("", f.read())
            reply = client.chat.completions.create(
                model=args.model, messages=[{"role": "user", "content": instruction + content}])
            return {"summary": reply.choices[0].message.content, "content": content,
                    "status": "ok", "file": name}
        except Exception as exc:
            return {"summary": "", "content": "", "status": "error", "file": name, "error": str(exc)}

    failed = False
    with ThreadPoolExecutor(args.jobs) as pool:
        for record in pool.map(summarize, args.files):
            failed |= record["status"] != "ok"
            print(json.dumps(record, ensure_ascii=False), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
