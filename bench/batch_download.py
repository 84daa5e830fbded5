"""Peak memory of collecting one large batch output: the download and the records made from it.

    python bench/batch_download.py [--megabytes 300] [--lines 50000] [--huge-line MB]

The benchmark makes the state of a batch-interface run with one ended batch
of `--lines` requests (recorded from the module, as ``batch.submit`` records
them) and an output file of about `--megabytes` MB answering each of them,
served by a small HTTP server in this process. A child process then does
what a user's program does: ``batch.resume(...)`` and every record of
``run.records(texts)``. It reports its peak resident memory (the kernel's
high-water mark) before the download and after the last record. With
``--huge-line MB`` the first input's line is that large instead (a hostile
output).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

import _env  # noqa: E402

FILE_ID = "file-output"
_CHILD = """
import resource, sys, time
from factsift import batch
from factsift.factsift import AISummary
folder, url, lines = sys.argv[1], sys.argv[2], int(sys.argv[3])
texts = [f"第{i}篇。" for i in range(lines)]
s = AISummary(url, "sk-bench", "m")
run = batch.resume(folder, s.extract)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
started = time.monotonic()
statuses = {}
with run.records(texts) as records:
    for record in records:
        statuses[record["status"]] = statuses.get(record["status"], 0) + 1
seconds = time.monotonic() - started
run.close()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(before, peak, seconds, statuses)
"""


def make_state(folder, url, lines):
    """A run's state with one completed part of `lines` requests; its custom ids."""
    from factsift.batchapi import split, state
    from factsift.batchapi.run import settings_of
    from factsift import clients
    from factsift.factsift import AISummary

    s = AISummary(url, "sk-bench", "m")
    run = state.State.open(str(folder), settings_of(s, "extract", "", 200))
    part = run.new_part(1)
    with clients.recording() as recorder:
        recorded = (split.record(recorder, s.extract, i, f"第{i}篇。", "", 200) for i in range(lines))
        with open(run.path(part.name + ".jsonl"), "wb") as sink:
            [written] = split.split(recorded, 1, lines, split.MAX_BYTES, lambda number: sink)
    state.write_entries(run.path(part.name + ".inputs.jsonl"), written.entries)
    part.requests, part.size = written.requests, written.size
    part.file_id, part.batch_id, part.status, part.output_file_id = "file-input", "batch-1", "completed", FILE_ID
    run.parts.append(part)
    run.save()
    run.close()
    return [entry[1] for entry in written.entries]


def write_output(path, custom_ids, megabytes, huge_line):
    """One line per custom id, each answering with a reply of the same length (the first
    `huge_line` MB long, when given), written in pieces: this process stays small, and the
    child's peak (which Linux counts from its parent's at the fork) is its own."""
    size = max(1, int(megabytes * 1e6 / len(custom_ids)) - 250)
    with open(path, "w", encoding="utf-8") as f:
        for number, custom_id in enumerate(custom_ids):
            length = huge_line * 1_000_000 if huge_line and number == 0 else size
            body = {"id": f"chatcmpl-{number}", "object": "chat.completion", "created": 0, "model": "m",
                    "choices": [{"index": 0, "finish_reason": "stop",
                                 "message": {"role": "assistant", "content": "@"}}],
                    "usage": {"prompt_tokens": 10, "completion_tokens": 10, "total_tokens": 20}}
            line = json.dumps({"id": f"batch_req_{number}", "custom_id": custom_id,
                               "response": {"status_code": 200, "request_id": "r", "body": body}, "error": None})
            head, tail = line.split("@")
            f.write(head)
            for start in range(0, length, 1 << 20):
                f.write("x" * min(1 << 20, length - start))
            f.write(tail + "\n")
    return os.path.getsize(path)


def serve(output):
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            if self.path != f"/v1/files/{FILE_ID}/content":
                return self._json(404, {"error": {"message": "no such file", "type": "invalid_request_error"}})
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(os.path.getsize(output)))
            self.end_headers()
            with open(output, "rb") as f:
                while chunk := f.read(1 << 20):
                    self.wfile.write(chunk)

        def do_DELETE(self):
            self._json(200, {"id": self.path.rsplit("/", 1)[-1], "object": "file", "deleted": True})

        def _json(self, status, value):
            data = json.dumps(value).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/v1"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=300.0)
    parser.add_argument("--lines", type=int, default=50_000)
    parser.add_argument("--huge-line", type=int, default=0, metavar="MB")
    args = parser.parse_args()
    env = _env.child_env({k: v for k, v in os.environ.items() if not k.startswith("OPENAI_") and k != "PYTHONPATH"})
    with tempfile.TemporaryDirectory() as temporary:
        folder = Path(temporary)
        output = folder / "output.jsonl"
        server, url = serve(output)
        try:
            custom_ids = make_state(folder / "run", url, args.lines)
            size = write_output(output, custom_ids, args.megabytes, args.huge_line)
            child = subprocess.run([sys.executable, "-c", _CHILD, str(folder / "run"), url, str(args.lines)],
                                   env=env, capture_output=True, text=True)
        finally:
            server.shutdown()
    if child.returncode != 0:
        sys.stderr.write(child.stderr[-3000:])
        raise SystemExit(f"the child failed with status {child.returncode}")
    before, peak, seconds, statuses = child.stdout.split(maxsplit=3)
    print(f"{sys.implementation.name} {sys.version.split()[0]}, client: {_env.client_label()}, "
          f"output {size / 1e6:.0f} MB in {args.lines} lines"
          + (f" (the first {args.huge_line} MB)" if args.huge_line else ""))
    print(f"peak RSS before the download {float(before):.0f} MiB, after the last record {float(peak):.0f} MiB; "
          f"{float(seconds):.1f} s; records {statuses.strip()}")


if __name__ == "__main__":
    main()
