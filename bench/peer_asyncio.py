"""What a user would write instead of the command line: asyncio, a semaphore and one AsyncOpenAI.

    python bench/peer_asyncio.py FILE... --base-url URL --model M --api-key KEY [--jobs N]

Sends each file as factsift's summarize does (punctuation removed, the same
instruction) and prints one JSON line per file, in input order.
"""
import argparse
import asyncio
import json
import re
import sys

from openai import AsyncOpenAI

INSTRUCTION = ("作为一个事实信息核查员，请从如下内容中抽取出事实性信息，并根据事实信息总结出摘要, "
               "要求字数在{length}字左右。要求: {prompt}。")
PUNCTUATION = re.compile(r"[^\w\s]")


async def run(args):
    client = AsyncOpenAI(base_url=args.base_url, api_key=args.api_key)
    instruction = INSTRUCTION.format(length=200, prompt="")
    limit = asyncio.Semaphore(args.jobs)

    async def summarize(name):
        async with limit:
            try:
                with open(name, encoding="utf-8") as f:
                    content = PUNCTUATION.sub("", f.read())
                reply = await client.chat.completions.create(
                    model=args.model, messages=[{"role": "user", "content": instruction + content}])
                return {"summary": reply.choices[0].message.content, "content": content,
                        "status": "ok", "file": name}
            except Exception as exc:
                return {"summary": "", "content": "", "status": "error", "file": name, "error": str(exc)}

    failed = False
    for record in await asyncio.gather(*(summarize(name) for name in args.files)):
        failed |= record["status"] != "ok"
        print(json.dumps(record, ensure_ascii=False), flush=True)
    return 1 if failed else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("files", nargs="+")
    ap.add_argument("--base-url", required=True)
    ap.add_argument("--model", required=True)
    ap.add_argument("--api-key", required=True)
    ap.add_argument("--jobs", type=int, default=8)
    return asyncio.run(run(ap.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
