"""A local OpenAI-compatible service for trying and testing factsift.

It answers ``POST /v1/chat/completions`` (and ``/chat/completions``) without
any model: it echoes the user message, returns a fixed text, or produces a
chosen failure (see MODES_HELP). The behaviour is the server's default mode,
or the mode named by a request's ``model`` field, so one server can serve
every test case. ``"stream": true`` gets server-sent events; ``GET /v1/models``
lists the simple modes; files and batches follow OpenAI's batch interface,
in memory (see factsift.devserver.batches).

Three modes stand for what long batches meet: ``rate-limit:<per second>`` and
``token-limit:<tokens per minute>`` answer 429 with ``Retry-After`` past their
limit (and every reply in them carries the ``x-ratelimit-*`` headers), and
``flaky:<probability>`` fails that share of requests with a 500, a 503 or a
dropped connection. Which requests fail is decided from the server's seed,
the request body and how often that body came before, so a run that sends
the same requests sees the same failures whatever the order of arrival.
Tokens are counted one way for usage and limits (factsift.devserver.tokens).

Apart from the modes, the service may be a rate-limited account, as OpenAI's API is
(factsift.devserver.ratelimit): ``rpm`` / ``--rpm N`` requests and ``tpm`` /
``--tpm N`` tokens a minute over every connection, each a budget that refills
evenly over a minute, a request charged on arrival its prompt's tokens plus its
``max_tokens`` (else its reply's), and ``quota`` / ``--quota N`` tokens for the
service's life. Past a limit a chat completion gets OpenAI's 429 ("Rate limit
reached for <model> in organization org-factsift on tokens per min (TPM): Limit
..., Used ..., Requested .... Please try again in 626ms. ...", type "tokens" or
"requests") with ``retry-after-ms`` and ``Retry-After``; one larger than the whole
tpm gets "Request too large ..." with ``x-should-retry: false``; past the quota,
``insufficient_quota``; neither of those says when to retry. A refused request takes
nothing. Every answer to a chat completion carries ``x-ratelimit-limit-*``,
``-remaining-*`` and ``-reset-*`` (``requests``, ``tokens``) for the limits set,
unless ``ratelimit_headers=False`` / ``--no-ratelimit-headers``. For the client's
side, ``refuse:<value>`` answers 429 with ``Retry-After: <value>`` as written,
``refuse:<name>=<value>;...`` with exactly those headers, and
``headers:<name>=<value>;...`` echoes with them. ``server.replies`` counts the
answers by status (``server.replies[429]``: the refusals) and ``server.answered``
all of them.

With ``prompt_cache=True`` (``--prompt-cache``) usage reports prompt caching as
OpenAI does (factsift.devserver.promptcache): ``prompt_tokens_details.cached_tokens``
is the start a prompt shares with an earlier one, from 1024 tokens on in steps of
128 (else 0), whatever the model, beside ``completion_tokens_details``; a batch adds
them up. It keeps digests of the prompts' starts, the newest 100,000 of them. With
``routes={"gpt-4o-mini": "gpt-4o-mini-2024-07-18"}`` (``--route ALIAS=MODEL``,
repeatable) a reply to a request for the alias names the model as its ``model``;
the mode is still the one the request asked for.

With an API key (``api_key``, ``--api-key KEY``) every request must bear
``Authorization: Bearer KEY`` or gets OpenAI's 401 (code ``invalid_api_key``);
bound to any address but a loopback one the service refuses to start without a key
(``server.exposed`` tells, and the command line says so on start).

What it keeps is bounded: the stored files' bytes together (``max_stored_bytes``,
``--max-stored-bytes``, 1 GiB; past it an upload, or a new batch while the files
fill it, gets 400), and the modes' bookkeeping (the flaky mode's count of each body,
a window or bucket for each distinct ``rate-limit:<n>`` / ``token-limit:<n>``), the
oldest forgotten first. The request log, holding the Authorization headers as sent,
is made readable by its owner only.

Every request gets an answer, a malformed one an OpenAI-style error body
(``{"error": {"message", "type", "param", "code"}}``), and, with a log, one
JSON line; text JSON cannot hold as UTF-8 (a lone surrogate) is written as
its escape. ``server.counts`` counts what the service made ("file.uploaded",
"batch.created", ...).

Python use:

    server = serve(port=0, log_path="requests.jsonl")
    server.start()          # serve_forever() in a daemon thread
    ... server.url ...      # "http://127.0.0.1:PORT/v1"
    server.stop()

The service's state is an Account (files, batches, limits, log, counts), apart from
its sockets: factsift.devserver.router answers each request from it, and the
DevServer only accepts connections (within its bounds of connections, time and
size) and hands each request to the router with its account (``server.account``;
``server.counts``, ``server.files`` and ``server.batches`` are the account's).
``serve(**options)`` takes the server's options (max_connections, idle_timeout,
request_timeout, access_log) and the account's (the rest), or ``account=``.
"""

from .account import Account
from .cli import main
from .modes import MODES_HELP, ModeError, parse_mode
from .server import DEFAULT_MAX_BODY, DevServer, serve
from .tokens import count_tokens as _count_tokens

__all__ = ["Account", "DevServer", "ModeError", "parse_mode", "serve", "main"]
__all__ += ["DEFAULT_MAX_BODY", "MODES_HELP"]
