"""Shared helpers: a factsift.devserver running in a thread on a free loopback port,
and a scripted server that answers with whatever bytes a test writes.

Test modules import the `devserver` fixture from here (not a conftest, which
belongs to the suite as a whole).
"""

import contextlib
import json
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace as NS

import openai
import pytest
from conftest import ROOT  # noqa: F401 (re-exported for the test modules)

from factsift.devserver import serve

@contextlib.contextmanager
def running_server(log_path, **options):
    server = serve("127.0.0.1", 0, log_path=str(log_path), **options)
    server.start()
    try:
        yield server
    finally:
        server.stop()


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


@pytest.fixture
def devserver(tmp_path):
    """An echo-mode server; its request log is at `devserver.log_path`."""
    with running_server(tmp_path / "requests.jsonl") as server:
        yield server


def client(server, **options):
    options.setdefault("api_key", "sk-test")
    return openai.OpenAI(base_url=server.url, max_retries=options.pop("max_retries", 0), **options)


def user(text):
    return [{"role": "user", "content": text}]


def completion(content):
    """The raw JSON of a chat completion whose one message holds `content`."""
    return json.dumps({"id": "chatcmpl-1", "object": "chat.completion", "model": "m", "choices": [
        {"index": 0, "message": {"role": "assistant", "content": content}, "finish_reason": "stop"}]}).encode()


def http_reply(status, body=b"", close=True, **headers):
    """A whole raw HTTP/1.1 response; it says the connection closes after it unless close is false."""
    lines = [f"HTTP/1.1 {status} Scripted", f"Content-Length: {len(body)}", *(["Connection: close"] * close),
             *(f"{name.replace('_', '-')}: {value}" for name, value in headers.items())]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


class _ScriptedHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.server.seen.append(NS(method=self.command, path=self.path, headers=self.headers, body=body,
                                   port=self.client_address[1], at=time.monotonic()))
        self.close_connection = True  # the answer may keep it open
        self.server.answer(self)

    do_GET = do_DELETE = do_POST


class _ScriptedServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # the client hung up mid-answer, as the tests intend

    def shutdown_request(self, request):
        super().shutdown_request(request)
        self.closed.release()


@contextlib.contextmanager
def scripted_server(answer):
    """Yields a server whose `answer(handler)` writes each raw response to handler.wfile.

    `server.url` is its base URL, `server.seen` the requests (method, path, headers, body,
    the client's port, the monotonic time it arrived); `server.closed` is released each time the server closes a connection.
    """
    server = _ScriptedServer(("127.0.0.1", 0), _ScriptedHandler)
    server.answer, server.seen, server.closed = answer, [], threading.Semaphore(0)
    server.url = f"http://127.0.0.1:{server.server_address[1]}/v1"
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
