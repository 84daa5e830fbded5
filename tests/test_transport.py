"""factsift's HTTP transport under the real client: a reply's size bound, the content codings it
decodes itself, and the environment's proxies with every option."""

import gzip
import http.client
import threading
import time
import tracemalloc
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from devserver_fixtures import completion, devserver, read_log, scripted_server  # noqa: F401
from factsift import batch, clients
from factsift.clients import _transport

GUARD = 30  # seconds; a hang guard only
LIMIT = 2**20  # the reply bound in these tests: 1 MiB
PROXY_VARIABLES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "REQUEST_METHOD")


def huge_completion(size):
    """A chat completion whose content makes its JSON `size` bytes and more."""
    return completion("x" * size)


def raw_deflate(data):
    packer = zlib.compressobj(wbits=-zlib.MAX_WBITS)
    return packer.compress(data) + packer.flush()


ENCODED = {
    "identity": lambda data: data, "gzip": gzip.compress, "deflate": zlib.compress,
    "deflate-raw": raw_deflate, "gzip, gzip": lambda data: gzip.compress(gzip.compress(data))}


def answering(body, coding="identity", chunked=False, sent=None):
    """A scripted server's answer: status 200 with `body` in `coding`, with a length or chunked;
    `sent` gets the body's bytes written before the client hung up."""
    def answer(handler):
        data = ENCODED[coding](body)
        head = ["HTTP/1.1 200 OK", "Content-Type: application/json", "Connection: close",
                f"Content-Encoding: {coding.replace('-raw', '')}",
                "Transfer-Encoding: chunked" if chunked else f"Content-Length: {len(data)}"]
        handler.wfile.write(("\r\n".join(head) + "\r\n\r\n").encode())
        written = 0
        try:
            for start in range(0, len(data), 2**20):
                piece = data[start:start + 2**20]
                handler.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
                written += len(piece)
            handler.wfile.write(b"0\r\n\r\n" if chunked else b"")
        except OSError:
            pass  # the client stopped reading
        if sent is not None:
            sent.append((written, len(data)))

    return answer


@pytest.fixture
def bounded(monkeypatch):
    """Replies bounded at LIMIT, with what the client package builds at its first request built."""
    import factsift.clients._warm  # noqa: F401 (its import makes that request)

    monkeypatch.setattr(_transport, "MAX_REPLY_BYTES", LIMIT)


@pytest.mark.parametrize("coding, chunked", [
    ("identity", False), ("identity", True), ("gzip", False), ("deflate", True), ("gzip, gzip", False)])
def test_a_reply_past_the_bound_is_an_error_read_no_further(S, bounded, coding, chunked):
    # 64 times the bound; compressed, a few hundred kilobytes on the wire. Memory holds about the
    # bound, never the whole reply.
    sent = []
    with scripted_server(answering(huge_completion(64 * LIMIT), coding, chunked, sent)) as server:
        tracemalloc.start()
        try:
            [record] = batch.run(S(server.url, "k", "m").extract, ["文本"], retries=0)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert server.closed.acquire(timeout=GUARD)
    assert record["status"] == "error"
    assert record["error"] == f"the reply was too large: longer than {LIMIT} bytes, the most factsift reads"
    assert peak < 16 * LIMIT, peak
    if coding == "identity":
        [(written, size)] = sent
        assert written < size / 2  # the client hung up long before the end


@pytest.mark.parametrize("coding", list(ENCODED))
def test_a_reply_within_the_bound_is_decoded_in_every_coding_asked_for(S, coding):
    content = "事实。" * 20_000 + "end"
    with scripted_server(answering(completion(content), coding)) as server:
        [record] = batch.run(S(server.url, "k", "m").extract, ["文本"], retries=0)
        [request] = server.seen
    assert (record["status"], record["summary"]) == ("ok", content)
    assert request.headers["Accept-Encoding"] == "gzip, deflate"


@pytest.mark.parametrize("coding, body", [("br", b"\x0b\x02\x80{}\x03"), ("gzip", b"not gzip at all")],
                         ids=["not-asked-for", "corrupt"])
def test_a_reply_that_cannot_be_decoded_is_an_error(S, capfd, coding, body):
    def answer(handler):
        handler.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Encoding: %s\r\nContent-Length: %d\r\n"
                            b"Connection: close\r\n\r\n%s" % (coding.encode(), len(body), body))

    with scripted_server(answer) as server:
        [record] = batch.run(S(server.url, "k", "m").extract, ["文本"], retries=0)
    assert record["status"] == "error"
    assert "DecodingError" in capfd.readouterr().err


class ForwardProxy(ThreadingHTTPServer):
    """An HTTP proxy that forwards each request to the server its URL names, recording it in
    `seen`; with `pace`, it sends all but the first bytes of each answer a byte per `pace` seconds."""

    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), _ProxyHandler)
        self.seen, self.pace = [], None
        self.url = f"http://127.0.0.1:{self.server_address[1]}"

    def handle_error(self, request, client_address):
        pass  # the client hung up mid-answer, as the paced tests intend


HOP_BY_HOP = {"connection", "keep-alive", "proxy-connection", "proxy-authorization", "transfer-encoding", "te"}


class _ProxyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.server.seen.append((self.command, self.path))
        target = urllib.parse.urlsplit(self.path)  # the absolute form a proxy is sent
        upstream = http.client.HTTPConnection(target.hostname, target.port, timeout=GUARD)
        headers = {k: v for k, v in self.headers.items() if k.lower() not in HOP_BY_HOP}
        upstream.request(self.command, target.path + (f"?{target.query}" if target.query else ""), body, headers)
        reply = upstream.getresponse()
        data = reply.read()
        upstream.close()
        self.close_connection = True
        self.send_response_only(reply.status, reply.reason)
        for name, value in reply.getheaders():
            if name.lower() not in HOP_BY_HOP | {"content-length"}:
                self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.paced(data)

    def paced(self, data):
        if self.server.pace is None:
            self.wfile.write(data)
            return
        self.wfile.write(data[:10])
        for byte in data[10:]:
            self.wfile.write(bytes([byte]))
            time.sleep(self.server.pace)

    do_GET = do_DELETE = do_POST


@pytest.fixture
def proxy(monkeypatch):
    """A forward proxy, which the environment names for every request over HTTP."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.lower(), raising=False)
    server = ForwardProxy()
    monkeypatch.setenv("HTTP_PROXY", server.url)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    thread.join(GUARD)


@pytest.mark.parametrize("timeout", [None, 30], ids=["no time-out", "time-out"])
@pytest.mark.parametrize("no_proxy, used", [(None, True), ("localhost", True), ("127.0.0.1", False), ("*", False)])
def test_the_environments_proxy_carries_a_runs_requests_with_every_option(S, devserver, proxy, monkeypatch,
                                                                        timeout, no_proxy, used):
    if no_proxy is not None:
        monkeypatch.setenv("NO_PROXY", no_proxy)
    run = batch.run(S(devserver.url, "k", "echo").extract, ["一。", "二。"], timeout=timeout, jobs=2)
    assert [r["status"] for r in run] == ["ok", "ok"]
    assert len(read_log(devserver.log_path)) == 2
    assert proxy.seen == ([("POST", devserver.url + "/chat/completions")] * 2 if used else [])


@pytest.mark.parametrize("timeout", [None, 30], ids=["no time-out", "time-out"])
def test_the_batch_interfaces_client_goes_through_the_environments_proxy(devserver, proxy, timeout):
    client, tally = clients.service_client(devserver.url, "k", timeout)
    seen = tally.begin()
    client.files.list(purpose="batch")
    assert proxy.seen == [("GET", devserver.url + "/files?purpose=batch")] and seen.requests == 1


def test_the_deadline_holds_through_a_proxy(S, devserver, proxy, capfd):
    proxy.pace = 0.1  # a reply of some hundred bytes: tens of seconds
    started = time.monotonic()
    [record] = batch.run(S(devserver.url, "k", "echo").extract, ["一。"], timeout=1, retries=0)
    took = time.monotonic() - started
    assert record["status"] == "error" and took < GUARD / 3, took
    assert proxy.seen and "APITimeoutError" in capfd.readouterr().err
