"""The calls factsift's batch runs make (files, batches, models), with each client this
interpreter has, against a scripted server answering with bodies shaped as OpenAI's."""

import asyncio
import io
import json
import pathlib
import re

import pytest

import openai_standin
from devserver_fixtures import http_reply, scripted_server

FILE = {"id": "file-abc", "object": "file", "bytes": 4, "created_at": 1700000000, "filename": "in.jsonl",
        "purpose": "batch", "status": "processed"}
BATCH = {"id": "batch_1", "object": "batch", "endpoint": "/v1/chat/completions", "input_file_id": "file-abc",
         "completion_window": "24h", "status": "validating", "created_at": 1700000000,
         "request_counts": {"total": 2, "completed": 1, "failed": 0},
         "errors": {"object": "list", "data": [{"code": "invalid_json", "line": 2, "message": "m", "param": None}]}}


@pytest.fixture
def oa(openai_package):
    return openai_package


def json_reply(obj, status=200):
    return http_reply(status, json.dumps(obj).encode(), Content_Type="application/json")


def serve(*answers):
    replies = iter(answers)
    return scripted_server(lambda handler: handler.wfile.write(next(replies)))


def client(oa, server, kind="sync", **options):
    cls = oa.AsyncOpenAI if kind == "async" else oa.OpenAI
    return cls(base_url=server.url, api_key="sk-test", max_retries=options.pop("max_retries", 0), **options)


def call(oa, server, kind, act, **options):
    """act(client)'s result through a client of that kind (awaited for async)."""
    c = client(oa, server, kind, **options)
    if kind == "sync":
        return act(c)

    async def run():
        async with c:
            return await act(c)
    return asyncio.run(run())


def parts(request):
    """{field name: (file name, content type, content)} of a multipart/form-data request."""
    boundary = re.fullmatch(r"multipart/form-data; boundary=(\S+)", request.headers["Content-Type"])[1]
    found = {}
    for part in request.body.split(b"--" + boundary.encode())[1:-1]:
        head, _, content = part[2:-2].partition(b"\r\n\r\n")
        disposition = re.search(rb'name="([^"]*)"(?:; filename="([^"]*)")?', head)
        content_type = re.search(rb"Content-Type: (\S+)", head)
        found[disposition[1].decode()] = (disposition[2] and disposition[2].decode(),
                                          content_type and content_type[1].decode(), content)
    return found


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("make_file, name, content_type", [
    (lambda path: b"{}\n{}", "upload", "application/octet-stream"),
    (lambda path: ("in.jsonl", b"{}\n{}"), "in.jsonl", "application/octet-stream"),
    (lambda path: ("in.jsonl", b"{}\n{}", "application/jsonl"), "in.jsonl", "application/jsonl"),
    (lambda path: open(path, "rb"), "in.jsonl", "application/octet-stream"),
    (lambda path: io.BytesIO(b"{}\n{}"), "upload", "application/octet-stream"),
    (lambda path: pathlib.Path(path), "in.jsonl", "application/octet-stream"),
], ids=["bytes", "tuple", "tuple-type", "file", "bytesio", "path"])
def test_a_file_is_uploaded_as_multipart_form_data(oa, tmp_path, kind, make_file, name, content_type):
    path = tmp_path / "in.jsonl"
    path.write_bytes(b"{}\n{}")
    file = make_file(path)
    with serve(json_reply(FILE)) as server:
        made = call(oa, server, kind, lambda c: c.files.create(file=file, purpose="batch"))
    [request] = server.seen
    assert (request.method, request.path) == ("POST", "/v1/files")
    assert parts(request) == {"purpose": (None, None, b"batch"), "file": (name, content_type, b"{}\n{}")}
    assert (made.id, made.bytes, made.status, made.expires_at) == ("file-abc", 4, "processed", None)
    assert made.model_dump() == {**FILE, "expires_at": None, "status_details": None}


def test_a_file_of_another_kind_is_refused(oa):
    with pytest.raises(RuntimeError, match="to be bytes, an io.IOBase instance, PathLike or a tuple"):
        oa.OpenAI(base_url="http://127.0.0.1:9/v1", api_key="k").files.create(file="in.jsonl", purpose="batch")


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("act, method, path, reply, check", [
    (lambda c: c.files.retrieve("file-abc"), "GET", "/v1/files/file-abc", FILE,
     lambda made: made.filename == "in.jsonl"),
    (lambda c: c.files.retrieve("a/b c"), "GET", "/v1/files/a%2Fb%20c", FILE, lambda made: made.id == "file-abc"),
    (lambda c: c.files.delete("file-abc"), "DELETE", "/v1/files/file-abc",
     {"id": "file-abc", "object": "file", "deleted": True}, lambda made: made.deleted is True),
    (lambda c: c.batches.retrieve("batch_1"), "GET", "/v1/batches/batch_1", BATCH,
     lambda made: made.request_counts.completed == 1 and made.errors.data[0].line == 2 and made.usage is None),
    (lambda c: c.batches.cancel("batch_1"), "POST", "/v1/batches/batch_1/cancel", {**BATCH, "status": "cancelling"},
     lambda made: made.status == "cancelling"),
    (lambda c: c.models.retrieve("gpt-x"), "GET", "/v1/models/gpt-x",
     {"id": "gpt-x", "object": "model", "created": 1, "owned_by": "o"}, lambda made: made.owned_by == "o"),
], ids=["file", "file-quoted", "delete", "batch", "cancel", "model"])
def test_objects_are_fetched_by_id(oa, kind, act, method, path, reply, check):
    with serve(json_reply(reply)) as server:
        made = call(oa, server, kind, act)
    [request] = server.seen
    assert (request.method, request.path, request.body) == (method, path, b"")
    assert check(made) and made.to_dict() == reply


@pytest.mark.parametrize("file_id", ["", ".", ".."])
def test_an_id_that_is_empty_or_a_dot_segment_is_refused_before_sending(oa, file_id):
    with serve() as server:
        with pytest.raises(ValueError):
            client(oa, server).files.retrieve(file_id)
    assert server.seen == []


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_files_content_comes_back_as_bytes(oa, kind, tmp_path):
    lines = '{"custom_id": "1", "response": {"body": "好"}}\n'.encode()
    with serve(http_reply(200, lines, Content_Type="application/octet-stream")) as server:
        content = call(oa, server, kind, lambda c: c.files.content("file-out"))
    [request] = server.seen
    assert (request.method, request.path, request.headers["Accept"]) == ("GET", "/v1/files/file-out/content",
                                                                        "application/binary")
    assert content.content == content.read() == lines and content.text == lines.decode()
    content.write_to_file(tmp_path / "out.jsonl")
    assert (tmp_path / "out.jsonl").read_bytes() == lines


@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize("metadata, sent", [
    ({}, {}), ({"metadata": None}, {"metadata": None}), ({"metadata": {"run": "7"}}, {"metadata": {"run": "7"}}),
], ids=["none-given", "null", "given"])
def test_a_batch_is_created_with_what_was_given(oa, kind, metadata, sent):
    with serve(json_reply(BATCH)) as server:
        made = call(oa, server, kind, lambda c: c.batches.create(
            input_file_id="file-abc", endpoint="/v1/chat/completions", completion_window="24h", **metadata))
    [request] = server.seen
    assert (request.method, request.path) == ("POST", "/v1/batches")
    assert json.loads(request.body) == {"input_file_id": "file-abc", "endpoint": "/v1/chat/completions",
                                        "completion_window": "24h", **sent}
    assert made.id == "batch_1" and made.model_dump()["output_file_id"] is None


def page(ids, has_more):
    return json_reply({"object": "list", "data": [{**BATCH, "id": i} for i in ids], "has_more": has_more,
                       "first_id": ids[0] if ids else None, "last_id": ids[-1] if ids else None})


@pytest.mark.parametrize("pages, ids, paths", [
    ([page(["b1", "b2"], True), page(["b3"], False)], ["b1", "b2", "b3"],
     ["/v1/batches?limit=2", "/v1/batches?limit=2&after=b2"]),
    ([page(["b1"], True), page([], True)], ["b1"], ["/v1/batches?limit=2", "/v1/batches?limit=2&after=b1"]),
    # Without has_more, a page with items is followed by the next.
    ([page(["b1"], None), page([], False)], ["b1"], ["/v1/batches?limit=2", "/v1/batches?limit=2&after=b1"]),
], ids=["two-pages", "empty-page", "no-has-more"])
def test_listing_batches_goes_through_every_page(oa, pages, ids, paths):
    with serve(*pages) as server:
        first = client(oa, server).batches.list(limit=2)
        assert [b.id for b in first.data] == ids[:len(first.data)]
        assert [b.id for b in first] == ids
    assert [r.path for r in server.seen] == paths


def test_async_listing_is_awaited_for_a_page_or_iterated_through_all(oa):
    async def run(server):
        async with client(oa, server, "async") as c:
            first = await c.batches.list(after="b0")
            every = [b.id async for b in c.batches.list(after="b0")]
            return [b.id for b in first.data], every

    with serve(page(["b1"], True), page(["b1"], True), page(["b2"], False)) as server:
        assert asyncio.run(run(server)) == (["b1"], ["b1", "b2"])
    assert [r.path for r in server.seen] == ["/v1/batches?after=b0", "/v1/batches?after=b0", "/v1/batches?after=b1"]


def test_listing_models_and_files(oa):
    models = json_reply({"object": "list", "data": [{"id": "m1", "object": "model", "created": 1, "owned_by": "o"}]})
    files = json_reply({"object": "list", "data": [FILE], "has_more": False})
    with serve(models, files) as server:
        c = client(oa, server)
        assert [m.id for m in c.models.list()] == ["m1"]
        assert [f.filename for f in c.files.list(purpose="batch")] == ["in.jsonl"]
    assert [r.path for r in server.seen] == ["/v1/models", "/v1/files?purpose=batch"]


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_batch_calls_share_the_retry_policy_hooks_and_error_mapping(oa, kind):
    seen = []
    hooks = {"request": [seen.append]}
    if kind == "async":
        async def hook(request):
            seen.append(request)
        hooks = {"request": [hook]}
    http_client = (oa.DefaultAsyncHttpxClient if kind == "async" else oa.DefaultHttpxClient)(event_hooks=hooks)
    busy = http_reply(503, b'{"error": {"message": "busy"}}', retry_after_ms="10")
    answers = [busy, json_reply({"error": {"message": "gone"}}, 404)]
    with serve(*answers) as server:
        with pytest.raises(oa.NotFoundError) as info:
            call(oa, server, kind, lambda c: c.batches.retrieve("batch_1"), max_retries=2, http_client=http_client)
    assert info.value.body == {"message": "gone"} and len(server.seen) == len(seen) == 2
    assert all(r.method == "GET" for r in seen)


def test_the_stand_in_refuses_a_file_content_beyond_its_bound(oa, monkeypatch):
    if openai_standin.which(oa) != openai_standin.STANDIN:
        pytest.skip("the stand-in's own bound")
    monkeypatch.setattr(oa._response, "MAX_CONTENT_BYTES", 8)
    with serve(http_reply(200, b"x" * 9)) as server:
        with pytest.raises(oa.APIResponseValidationError, match="8 bytes"):
            client(oa, server).files.content("file-out")
