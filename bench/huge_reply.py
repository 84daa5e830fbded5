"""The peak memory of a run whose one reply is huge: what a reply's size bound saves.

    python bench/huge_reply.py [MEGABYTES [batch|cli]]   (default 300 batch)

A local server answers the one request with a chat completion whose content
is MEGABYTES of text; the run (factsift.batch, or the command line writing
to /dev/null; one input, no retries) goes in a child process, whose peak resident size (ru_maxrss) is printed with the
record's status and error and the client package that made the request.
"""

import json
import os
import subprocess
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = """
import json, resource, sys
sys.path.insert(0, {root!r})
import openai
from factsift import batch
from factsift.factsift import AISummary

if sys.argv[2] == "cli":  # the command line, its line written to /dev/null
    import contextlib, io, os
    from factsift.cli import main
    with open("text.txt", "w") as f:
        f.write("text")
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        status = main(["summarize", "text.txt", "--base-url", sys.argv[1], "--api-key", "k", "--model", "m",
                       "--max-retries", "0", "--output", os.devnull])
    record = {{"status": "ok" if status == 0 else f"exit status {{status}}", "summary": ""}}
else:
    [record] = batch.run(AISummary(sys.argv[1], "k", "m").extract, ["text"], retries=0)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({{"client": f"openai {{openai.__version__}}", "status": record["status"],
                  "error": record.get("error"), "summary_bytes": len(record["summary"]), "peak": peak}}))
"""


def serve(megabytes: int) -> ThreadingHTTPServer:
    head = b'{"id": "c", "object": "chat.completion", "model": "m", "choices": [{"index": 0, ' \
           b'"message": {"role": "assistant", "content": "'
    tail = b'"}, "finish_reason": "stop"}]}'
    size = megabytes * 1_000_000
    chunk = b"x" * 1_000_000

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args: object) -> None:
            pass

        def do_POST(self) -> None:
            self.rfile.read(int(self.headers.get("Content-Length") or 0))
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(head) + size + len(tail)))
            self.send_header("Connection", "close")
            self.end_headers()
            try:
                self.wfile.write(head)
                for _ in range(megabytes):
                    self.wfile.write(chunk)
                self.wfile.write(tail)
            except OSError:
                pass  # the client stopped reading

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main() -> None:
    megabytes = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    how = sys.argv[2] if len(sys.argv) > 2 else "batch"
    server = serve(megabytes)
    url = f"http://127.0.0.1:{server.server_address[1]}/v1"
    child = subprocess.run([sys.executable, "-c", CHILD.format(root=ROOT), url, how],
                           capture_output=True, text=True, cwd=tempfile.mkdtemp(),
                           env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    server.shutdown()
    if child.returncode:
        sys.exit(child.stderr)
    result = json.loads(child.stdout.splitlines()[-1])
    print(f"{result['client']} on Python {sys.version.split()[0]}, {how}, a {megabytes} MB reply: "
          f"peak {result['peak'] / 2**20:.0f} MiB, record {result['status']!r} "
          f"({result['summary_bytes']} bytes of summary), error: {result['error']}")


if __name__ == "__main__":
    main()
