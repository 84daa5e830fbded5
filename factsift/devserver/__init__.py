"""A local OpenAI-compatible chat-completion service for trying and testing factsift.

It answers ``POST /v1/chat/completions`` (and ``/chat/completions``) without
any model: it echoes the user message, returns a fixed text, or produces a
chosen failure (see MODES_HELP). The behaviour is the server's default mode,
or the mode named by a request's ``model`` field, so one server can serve
every test case.

Two modes stand for what long batches meet: ``rate-limit:<per second>``
answers 429 with ``Retry-After`` to requests above the rate, and
``flaky:<probability>`` fails that share of requests with a 500, a 503 or a
dropped connection. Which requests fail is decided from the server's seed,
the request body and how often that body came before, so a run that sends
the same requests sees the same failures whatever the order of arrival.

Every request gets an answer, a malformed one an OpenAI-style error body
(``{"error": {"message", "type", "param", "code"}}``), and, with a log, one
JSON line; text JSON cannot hold as UTF-8 (a lone surrogate) is written as
its escape.

Python use:

    server = serve(port=0, log_path="requests.jsonl")
    server.start()          # serve_forever() in a daemon thread
    ... server.url ...      # "http://127.0.0.1:PORT/v1"
    server.stop()
"""

import argparse
import collections
import contextlib
import hashlib
import json
import math
import random
import re
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["DevServer", "ModeError", "parse_mode", "serve", "main"]

DEFAULT_MAX_BODY = 16 * 1024 * 1024
# Past this much excess the body is not drained and the client may see a reset.
_DRAIN_LIMIT = 64 * 1024 * 1024

MODES_HELP = """\
  echo             reply with the last user message's text
  fixed:<text>     reply with <text>
  status:<code>    answer HTTP <code> (400-599) with an OpenAI-style error body
  delay:<seconds>  wait, then echo
  empty-choices    a completion whose "choices" list is empty
  null-content     a completion whose message content is null
  bad-json         status 200 with a truncated JSON body
  drop             close the connection without answering
  rate-limit:<n>   echo at most <n> requests in any second; answer the others
                   429 with retry-after-ms and Retry-After (when a slot frees)
  flaky:<p>        fail a share <p> (0-1) of requests, seeded (--seed): a 500,
                   a 503 asking to retry after 20 ms, or a dropped connection;
                   echo the others
A model id that is not a mode (e.g. "gpt-4o-mini") gets the default mode."""

_SIMPLE_MODES = ("echo", "empty-choices", "null-content", "bad-json", "drop")
_ARG_MODES = ("fixed", "status", "delay", "rate-limit", "flaky")
# Mode: (lowest, highest) value of its number.
_MODE_RANGES = {"status": (400, 599), "delay": (0, 3600), "rate-limit": (1, 10**9),
                "flaky": (0, 1)}
_WHOLE_MODES = ("status", "rate-limit")  # modes whose number is a whole one
_FLAKY_FAULTS = (500, 503, "drop")
_FLAKY_RETRY_AFTER_MS = 20
_ERROR_KINDS = {
    400: ("invalid_request_error", None), 401: ("invalid_request_error", "invalid_api_key"),
    403: ("invalid_request_error", None),
    404: ("invalid_request_error", "model_not_found"), 429: ("requests", "rate_limit_exceeded"),
}


class ModeError(ValueError):
    pass


def parse_mode(text):
    """Return (name, argument) for a mode string, None if it names no mode.

    Raises ModeError when the text starts like a mode but is malformed.
    """
    name, sep, arg = text.partition(":")
    if not sep and name in _SIMPLE_MODES:
        return name, None
    if name not in _ARG_MODES:
        return None
    if not sep:
        raise ModeError(f"{text!r}: write {name}:<value>")
    if name == "fixed":
        return name, arg
    try:
        value = int(arg) if name in _WHOLE_MODES else float(arg)
    except ValueError:
        raise ModeError(f"{text!r}: {name} needs a number") from None
    low, high = _MODE_RANGES[name]
    if not low <= value <= high:
        raise ModeError(f"{text!r}: {name} must be {low}-{high}")
    return name, value


_WORD = re.compile(r"[A-Za-z0-9_]+")


def _count_tokens(text):
    """Runs of ASCII word characters, and each other character but white space.

    Counted without making a string of every token (what re.findall does), which
    was a tenth of the service's CPU at a thousand requests a second.
    """
    words = _WORD.findall(text)
    return len("".join(text.split())) - sum(map(len, words)) + len(words)


def _message_text(message):
    content = message.get("content")
    if isinstance(content, list):
        return "".join(p.get("text", "") for p in content)
    return content or ""


def _type_problem(messages):
    """(param, expected type) for the first malformed part of a messages list, or None."""
    for i, message in enumerate(messages):
        where = f"messages[{i}]"
        if not isinstance(message, dict):
            return where, "an object"
        if not isinstance(message.get("role"), str):
            return f"{where}.role", "a string"
        content = message.get("content")
        if isinstance(content, list):
            for j, part in enumerate(content):
                if not isinstance(part, dict):
                    return f"{where}.content[{j}]", "an object"
                if not isinstance(part.get("text", ""), str):
                    return f"{where}.content[{j}].text", "a string"
        elif content is not None and not isinstance(content, str):
            return f"{where}.content", "a string, an array of content parts or null"
    return None


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def _parse_json(raw):
    """The JSON value of a request body, or None when it is not JSON (NaN and Infinity are not)."""
    try:
        return json.loads(raw, parse_constant=_reject_constant)
    except (ValueError, RecursionError):
        return None


def _json_bytes(obj):
    # A lone surrogate (JSON text may carry one as an escape) is written back as that escape.
    return json.dumps(obj, ensure_ascii=False, allow_nan=False).encode("utf-8", "backslashreplace")


def _completion(model, messages, content, with_choice=True):
    prompt_tokens = sum(_count_tokens(_message_text(m)) for m in messages)
    completion_tokens = _count_tokens(content or "")
    return {
        "id": f"chatcmpl-{uuid.uuid4().hex[:24]}",
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model,
        "choices": [{
            "index": 0,
            "message": {"role": "assistant", "content": content},
            "logprobs": None,
            "finish_reason": "stop",
        }] if with_choice else [],
        "usage": {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                  "total_tokens": prompt_tokens + completion_tokens},
    }


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "factsift-devserver"
    timeout = 120  # an idle keep-alive connection does not hold a thread forever
    # The head and the body go out in two writes: with Nagle's algorithm the body
    # waits for the client's delayed ACK of the head, some 40 ms on a kept-alive connection.
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        if self.server.access_log:
            super().log_message(fmt, *args)

    def do_GET(self):
        self.server.log_request_record(self, self._path(), None)
        self._error(404, f"Unknown request URL: GET {self.path}. Use POST /v1/chat/completions.")

    def send_error(self, code, message=None, explain=None):
        # What the base class rejects itself: a malformed request line or headers, an unknown method.
        self.close_connection = True
        self.server.log_request_record(self, self._path(), None)
        self._error(code, message or self.responses.get(code, ("error",))[0])

    def handle_one_request(self):
        # One handler serves a kept-alive connection: a malformed request must not be
        # logged with the path and headers of the one before it.
        self.path = self.headers = None
        super().handle_one_request()

    def _path(self):
        return self.path and self.path.split("?", 1)[0].rstrip("/")

    def do_POST(self):
        path = self._path()
        try:
            length = int(self.headers.get("Content-Length", ""))
            if length < 0:
                raise ValueError(length)
        except ValueError:
            self.server.log_request_record(self, path, None)
            self.close_connection = True
            return self._error(411, "a valid Content-Length is required")
        if length > self.server.max_body:
            self.server.log_request_record(self, path, None, body_bytes=length)
            self._drain(length)
            self.close_connection = True
            return self._error(413, f"request body of {length} bytes exceeds the limit "
                                    f"of {self.server.max_body} bytes")
        raw = self.rfile.read(length)
        body = _parse_json(raw)
        self.server.log_request_record(self, path, body, raw)
        if path not in ("/v1/chat/completions", "/chat/completions"):
            return self._error(404, f"Unknown request URL: POST {self.path}")
        if not isinstance(body, dict):
            return self._error(400, "request body must be a JSON object")
        model, messages = body.get("model"), body.get("messages")
        if not isinstance(model, str) or not isinstance(messages, list) or not messages:
            return self._error(400, "'model' (string) and 'messages' (non-empty list) are required")
        problem = _type_problem(messages)
        if problem:
            param, expected = problem
            return self._error(400, f"Invalid type for '{param}': expected {expected}.",
                               code="invalid_type", param=param)
        try:
            mode = parse_mode(model) or self.server.mode
        except ModeError as exc:
            return self._error(400, f"bad mode in model field: {exc}")
        self._answer(mode, model, messages, raw)

    def _answer(self, mode, model, messages, raw):
        name, arg = mode
        if name == "rate-limit":
            wait = self.server.rate_wait(arg)
            if wait:
                return self._error(429, f"simulated rate limit of {arg:g} requests per second",
                                   *_ERROR_KINDS[429], headers=_retry_after_headers(wait))
        fault = self.server.flaky_fault(arg, raw) if name == "flaky" else None
        delay = self.server.delay + (arg if name == "delay" else 0)
        if delay and self.server.stopping.wait(delay):
            return self._error(503, "server is shutting down", "server_error")
        if fault is not None:
            name, arg = ("drop", None) if fault == "drop" else ("status", fault)
        if name == "status":
            kind, code = _ERROR_KINDS.get(arg, ("server_error" if arg >= 500 else "invalid_request_error", None))
            headers = _retry_after_headers(_FLAKY_RETRY_AFTER_MS / 1000) if fault == 503 else {}
            return self._error(arg, f"simulated HTTP {arg} (mode {mode[0]}:{mode[1]})", kind, code,
                               headers=headers)
        if name == "drop":
            self.close_connection = True
            return
        if name == "bad-json":
            return self._send(200, b'{"id": "chatcmpl-bad", "object": "chat.completion", "choices": [{"ind')
        if name in ("echo", "delay", "rate-limit", "flaky"):
            users = [m for m in messages if m["role"] == "user"]
            if not users:
                return self._error(400, "echo mode needs a message with role 'user'")
            content = _message_text(users[-1])
        else:
            content = arg if name == "fixed" else None
        self._send_json(200, _completion(model, messages, content, name != "empty-choices"))

    def _drain(self, length):
        # Reading the rejected body lets the client finish sending and read the 413.
        if length - self.server.max_body > _DRAIN_LIMIT:
            return
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)

    def _error(self, status, message, kind="invalid_request_error", code=None, param=None, headers=None):
        self._send_json(status, {"error": {"message": message, "type": kind,
                                           "param": param, "code": code}}, headers)

    def _send_json(self, status, obj, headers=None):
        self._send(status, _json_bytes(obj), headers)

    def _send(self, status, data, headers=None):
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("x-request-id", f"req_{uuid.uuid4().hex[:16]}")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)


def _retry_after_headers(seconds):
    return {"retry-after-ms": str(math.ceil(seconds * 1000)), "Retry-After": str(math.ceil(seconds))}


class DevServer(ThreadingHTTPServer):
    daemon_threads = True
    # socketserver's default listen backlog is 5: a burst of connections beyond
    # it loses SYNs, and clients resend only after a second.
    request_queue_size = 128

    def __init__(self, address, *, mode="echo", delay=0.0, max_body=DEFAULT_MAX_BODY,
                 log_path=None, access_log=False, seed=0):
        self.mode = parse_mode(mode) if isinstance(mode, str) else mode
        if self.mode is None:
            raise ModeError(f"unknown mode {mode!r}")
        if delay < 0:
            raise ModeError("delay must not be negative")
        self.delay = delay
        self.max_body = max_body
        self.log_path = log_path
        self.access_log = access_log
        self.seed = seed
        self.stopping = threading.Event()
        self._log_lock = threading.Lock()
        self._fault_lock = threading.Lock()
        self._accepted = collections.defaultdict(collections.deque)  # rate: times of accepted requests
        self._bodies_seen = collections.Counter()  # digest of a request body: times seen
        self._thread = None
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], ConnectionError):
            return  # the client hung up (e.g. its timeout expired during a delay)
        super().handle_error(request, client_address)

    def rate_wait(self, rate):
        """0 if a request now stays within `rate` per second (and counts), else seconds until it would."""
        now = time.monotonic()
        with self._fault_lock:
            accepted = self._accepted[rate]
            while accepted and accepted[0] <= now - 1:
                accepted.popleft()
            if len(accepted) < rate:
                accepted.append(now)
                return 0
            return accepted[0] + 1 - now

    def flaky_fault(self, probability, raw):
        """The fault (a status or "drop") this request meets, or None."""
        digest = hashlib.sha256(raw).hexdigest()
        with self._fault_lock:
            self._bodies_seen[digest] += 1
            seen = self._bodies_seen[digest]
        draw = random.Random(f"{self.seed}:{digest}:{seen}")
        if draw.random() >= probability:
            return None
        return draw.choice(_FLAKY_FAULTS)

    @property
    def url(self):
        host, port = self.server_address[:2]
        return f"http://{host}:{port}/v1"

    def log_request_record(self, handler, path, body, raw=b"", body_bytes=None):
        """Append the request's line to the log: its JSON body, else its raw body as text."""
        if not self.log_path:
            return
        headers = handler.headers or {}  # none for a malformed request line
        record = {
            "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "timestamp": time.time(),
            "method": handler.command,
            "path": path,
            "headers": {name: headers.get(name) for name in ("Authorization", "Content-Type")},
            "body": body,
        }
        if body_bytes is not None:
            record["body_bytes"] = body_bytes
        line = None
        if body is not None:
            with contextlib.suppress(ValueError, RecursionError):  # e.g. 1e999, read as infinity
                line = _json_bytes(record)
        if line is None:
            record["body"] = raw.decode("utf-8", "replace") if raw else None
            line = _json_bytes(record)
        try:
            with self._log_lock, open(self.log_path, "ab") as f:
                f.write(line + b"\n")
        except OSError as exc:  # the request is still answered
            print(f"factsift.devserver: cannot write the log {self.log_path}: {exc}", file=sys.stderr)

    def start(self, poll_interval=0.05):
        """Run serve_forever() in a daemon thread; returns the thread.

        poll_interval bounds how long stop() waits for the serving loop.
        """
        self._thread = threading.Thread(target=self.serve_forever, args=(poll_interval,),
                                        name="factsift-devserver", daemon=True)
        self._thread.start()
        return self._thread

    def stop(self):
        """Stop serving, cut pending delays short, and close the listening socket."""
        self.stopping.set()
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
        self.server_close()


def serve(host="127.0.0.1", port=0, **options):
    """Bind a DevServer (port 0 = any free port); call start() or serve_forever()."""
    return DevServer((host, port), **options)


def _mode_arg(text):
    try:
        mode = parse_mode(text)
    except ModeError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if mode is None:
        raise argparse.ArgumentTypeError(f"unknown mode {text!r}")
    return mode


def _build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m factsift.devserver",
        description="Local OpenAI-compatible chat-completion service for trying factsift\n"
                    "without a real model: it echoes the user message or simulates a failure.\n"
                    "Prints the service URL (for --base-url) once listening; Ctrl-C stops it.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="modes (--mode, or per request through the request's \"model\" field):\n"
               + MODES_HELP + "\n\nexample:\n  python -m factsift.devserver --port 8080 --log requests.jsonl\n"
               "  python -m factsift summarize article.txt "
               "--base-url http://127.0.0.1:8080/v1 --model echo --api-key x\n\n"
               "The request log holds the Authorization header as sent, keys included.")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default: %(default)s)")
    parser.add_argument("--port", type=int, default=8080,
                        help="port to bind, 0 = any free port (default: %(default)s)")
    parser.add_argument("--mode", type=_mode_arg, default=("echo", None), metavar="MODE",
                        help="default behaviour, see below (default: echo)")
    parser.add_argument("--reply", metavar="TEXT", help="same as --mode fixed:TEXT")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="wait this long before answering every request")
    parser.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY, metavar="BYTES",
                        help="larger request bodies get HTTP 413 (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=0, metavar="N",
                        help="seed of the flaky mode's failures (default: %(default)s)")
    parser.add_argument("--log", metavar="FILE",
                        help="append one JSON line per request (path, headers, body)")
    parser.add_argument("--quiet", action="store_true", help="no access lines on stderr")
    return parser


def main(argv=None):
    parser = _build_parser()
    args = parser.parse_args(argv)
    mode = ("fixed", args.reply) if args.reply is not None else args.mode
    if args.delay < 0 or args.max_body < 0:
        parser.error("--delay and --max-body must not be negative")
    if args.log:
        try:
            open(args.log, "ab").close()
        except OSError as exc:
            print(f"factsift.devserver: cannot write the log {args.log}: {exc}", file=sys.stderr)
            return 1
    try:
        server = serve(args.host, args.port, mode=mode, delay=args.delay, max_body=args.max_body,
                       log_path=args.log, access_log=not args.quiet, seed=args.seed)
    except OSError as exc:
        print(f"factsift.devserver: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    print(f"factsift.devserver listening on {server.url}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("factsift.devserver: stopped", file=sys.stderr)
    finally:
        server.stopping.set()
        server.server_close()
    return 0
