"""Turns the encodings of npm's tiktoken package into tiktoken's cache files.

    python3 tools/encodings.py ENCODERS_FOLDER CACHE_FOLDER

Each ``<name>.json`` there holds ``bpe_ranks``: lines of ``<lead> <first rank>
<token> <token> ...``, the tokens in base64 with consecutive ranks. tiktoken's
file has one ``<token> <rank>`` line each. The result must have the hash
tiktoken checks; it is stored where tiktoken looks for it: the SHA-1 of the
address it would be downloaded from, in TIKTOKEN_CACHE_DIR.
"""

import hashlib
import json
import os
import sys

ADDRESS = "https://openaipublic.blob.core.windows.net/encodings/{}.tiktoken"
# What tiktoken 0.12 expects of each file (tiktoken_ext/openai_public.py).
EXPECTED = {
    "o200k_base": "446a9538cb6c348e3516120d7c08b09f57c36495e2acfffe59a5bf8b0cfb1a2d",
    "cl100k_base": "223921b76ee99bde995b7ff738513eef100fb51d18c93597a113bcffe865b2a7",
}


def tiktoken_file(bpe_ranks):
    lines = []
    for line in bpe_ranks.splitlines():
        if not line:
            continue
        _, first, *tokens = line.split(" ")
        lines += [f"{token} {rank}" for rank, token in enumerate(tokens, int(first))]
    return ("\n".join(lines) + "\n").encode()


def main(source, cache):
    for name, expected in EXPECTED.items():
        with open(os.path.join(source, f"{name}.json"), encoding="utf-8") as f:
            data = tiktoken_file(json.load(f)["bpe_ranks"])
        if hashlib.sha256(data).hexdigest() != expected:
            raise SystemExit(f"encodings.py: {name} does not have the hash tiktoken expects")
        key = hashlib.sha1(ADDRESS.format(name).encode()).hexdigest()
        with open(os.path.join(cache, key), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(*sys.argv[1:])
