"""Show factsift end to end against the local echo service (run by `make demo`).

Starts `python -m factsift.devserver` on a free loopback port, runs
`python -m factsift summarize examples/article-zh.txt` against it, then prints
what the module sent (from the service's request log) and what came back.
Run from the repository root with the project's interpreter.
"""

import json
import os
import re
import select
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ARTICLE = "examples/article-zh.txt"
STARTUP_TIMEOUT = 30
CLI_TIMEOUT = 120


class DemoError(Exception):
    pass


def subprocess_env():
    """Children import factsift from the checkout, with this interpreter's openai client."""
    import openai

    print(f"(client: openai {openai.__version__})")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (ROOT, env.get("PYTHONPATH")) if p)
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def start_server(env, log_path):
    server = subprocess.Popen(
        [sys.executable, "-m", "factsift.devserver", "--port", "0", "--mode", "echo",
         "--log", log_path, "--quiet"],
        cwd=ROOT, env=env, stdout=subprocess.PIPE, text=True, encoding="utf-8")
    ready, _, _ = select.select([server.stdout], [], [], STARTUP_TIMEOUT)
    line = server.stdout.readline() if ready else ""
    match = re.search(r"https?://\S+", line)
    if not match:
        stop_server(server)
        raise DemoError(f"the devserver did not report its URL (got {line!r}, "
                        f"exit status {server.poll()})")
    return server, match.group(0)


def stop_server(server):
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
        server.wait()


def show_request(entry):
    body = entry["body"] if isinstance(entry["body"], dict) else {}
    print(f"  POST {entry['path']}")
    for name, value in entry["headers"].items():
        print(f"  {name}: {value}")
    print(f"  model: {body.get('model')!r}")
    for message in body.get("messages", []):
        print(f"  message ({message.get('role')}):")
        print("    " + str(message.get("content")).replace("\n", "\n    "))


def run_demo(workdir):
    env = subprocess_env()
    log_path = os.path.join(workdir, "requests.jsonl")
    server, url = start_server(env, log_path)
    try:
        print(f"devserver: {url}")
        command = [sys.executable, "-m", "factsift", "summarize", ARTICLE, "--base-url", url,
                   "--model", "demo-echo", "--api-key", "demo-key"]
        print("running: " + shlex.join(["python", *command[1:]]))
        cli = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True,
                             encoding="utf-8", timeout=CLI_TIMEOUT)
    finally:
        stop_server(server)

    entries = []
    if os.path.exists(log_path):
        with open(log_path, encoding="utf-8") as f:
            entries = [json.loads(line) for line in f if line.strip()]
    print("\n=== what was sent ===")
    for entry in entries:
        show_request(entry)
    if not entries:
        print("  (nothing reached the service)")
    print("\n=== what came back ===")
    records = []
    for line in cli.stdout.splitlines():
        try:
            records.append(json.loads(line))
            print(json.dumps(records[-1], ensure_ascii=False, indent=2))
        except ValueError:
            print("  (not JSON) " + line)
    if cli.stderr:
        print("\n--- stderr of the command ---\n" + cli.stderr.rstrip())

    if cli.returncode != 0:
        raise DemoError(f"factsift exited with status {cli.returncode}")
    if len(entries) != 1 or len(records) != 1 or records[0].get("status") != "ok":
        raise DemoError(f"expected one request and one ok record, got {len(entries)} "
                        f"request(s) and {records}")
    sent = entries[0]["body"]["messages"][-1]["content"]
    if records[0].get("summary") != sent:
        raise DemoError("the summary is not the echoed request text")


def main():
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8")
    workdir = tempfile.mkdtemp(prefix="factsift-demo-")
    try:
        run_demo(workdir)
    except (DemoError, OSError, ValueError, subprocess.SubprocessError) as exc:
        print(f"\ndemo FAILED: {exc}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\ndemo OK: the echo service returned the request text as the summary")
    return 0


if __name__ == "__main__":
    sys.exit(main())
