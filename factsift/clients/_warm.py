"""Imported by the fork server of worker processes: it makes one request of the client package
before any worker is forked, with no service.

openai's first request builds what later ones reuse (the models of a request's options and of
a completion, their type hints, lazily imported modules): about half a second of CPU with openai
3.6 on CPython 3.14, which every worker forked afterwards inherits instead of paying again. The
request goes to an httpx mock transport, so nothing leaves the process; any failure leaves the
workers to pay for their own first request, nothing more.
"""

from __future__ import annotations

import contextlib

from factsift.clients._run import _httpx_of, client_package

_REPLY = {"id": "warm", "object": "chat.completion", "created": 0, "model": "m",
          "choices": [{"index": 0, "finish_reason": "stop", "message": {"role": "assistant", "content": ""}}],
          "usage": {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}}


def warm() -> None:
    package = client_package()
    httpx = _httpx_of(package)
    transport = httpx.MockTransport(lambda request: httpx.Response(200, json=_REPLY))
    with package.OpenAI(base_url="http://warm.invalid/v1", api_key="-", max_retries=0,
                        http_client=package.DefaultHttpxClient(transport=transport)) as client:
        client.chat.completions.create(model="m", messages=[{"role": "user", "content": "-"}], stream=False)


with contextlib.suppress(Exception):
    warm()
