"""python -m factsift.devserver: options, the listening message, Ctrl-C."""

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

from .files import DEFAULT_MAX_STORED_BYTES
from .modes import MODES_HELP, Mode, ModeError, parse_mode
from .reqlog import open_log
from .server import (DEFAULT_BATCH_TIME, DEFAULT_IDLE_TIMEOUT, DEFAULT_MAX_BODY,
                     DEFAULT_MAX_CONNECTIONS, DEFAULT_REQUEST_TIMEOUT, MAX_FILE_BYTES, DevServer, serve)

__all__ = ["main"]

BATCH_HELP = """\
also: GET /v1/models; "stream": true (server-sent events); the batch interface
(POST /v1/files with purpose=batch, GET /v1/files/{id}[/content], DELETE
/v1/files/{id}; POST /v1/batches, GET /v1/batches[/{id}], POST
/v1/batches/{id}/cancel), in memory only. A batch's metadata may hold
devserver_time (seconds it takes), devserver_expire_after (requests answered
before it expires) and devserver_fail (custom ids answered 500)."""


def _mode_arg(text: str) -> Mode:
    try:
        mode = parse_mode(text)
    except ModeError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if mode is None:
        raise argparse.ArgumentTypeError(f"unknown mode {text!r}")
    return mode


LIMITS_HELP = """\
rate limits (--rpm, --tpm, --quota), over all connections and any model: each
a budget that refills evenly over a minute; a request is charged on arrival one
request and its prompt's tokens plus its max_tokens (else its reply's tokens).
Past a limit: 429 with retry-after-ms and Retry-After (when it would fit) and
OpenAI's body ("Rate limit reached for <model> in organization org-factsift on
tokens per min (TPM): Limit 30000, Used 29500, Requested 812. Please try again
in 626ms. ..."); a request larger than the whole --tpm: 429 "Request too large
..." with x-should-retry: false; past --quota: 429 insufficient_quota. Every
reply to a chat completion carries x-ratelimit-limit-, -remaining- and
-reset-requests / -tokens for the limits set (reset: until the budget is whole,
as "20ms", "1.2s", "6m0s")."""


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of at least 1")
    return value


def _route(text: str) -> Tuple[str, str]:
    alias, _, model = text.partition("=")
    if not alias.strip() or not model.strip():
        raise argparse.ArgumentTypeError(f"{text!r}: write ALIAS=MODEL")
    return alias.strip(), model.strip()


def _add_replies(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--prompt-cache", action="store_true",
                        help="report prompt caching as OpenAI does: usage.prompt_tokens_details."
                             "cached_tokens is the start (1024 tokens or more, in steps of 128) the "
                             "prompt shares with an earlier one")
    parser.add_argument("--route", type=_route, action="append", default=[], metavar="ALIAS=MODEL",
                        help="a reply to a request for ALIAS names MODEL as its model (repeatable)")


def _add_limits(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("rate limits (see below)")
    group.add_argument("--rpm", type=_positive, metavar="N", help="requests a minute")
    group.add_argument("--tpm", type=_positive, metavar="N", help="tokens a minute")
    group.add_argument("--quota", type=_positive, metavar="N", help="tokens for the life of the service")
    group.add_argument("--no-ratelimit-headers", dest="ratelimit_headers", action="store_false",
                       help="leave the x-ratelimit-* headers of --rpm and --tpm out, as many "
                            "compatible services do")


_EXAMPLE = """\
example:
  python -m factsift.devserver --port 8080 --log requests.jsonl
  python -m factsift summarize article.txt --base-url http://127.0.0.1:8080/v1 --model echo --api-key x

The request log holds the Authorization header as sent, keys included; a log it
makes is readable by its owner only."""


def _add_service(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to bind (default: %(default)s); any but a loopback address "
                             "needs --api-key")
    parser.add_argument("--port", type=int, default=8080,
                        help="port to bind, 0 = any free port (default: %(default)s)")
    parser.add_argument("--api-key", metavar="KEY",
                        help="answer 401 to a request without \"Authorization: Bearer KEY\"")
    parser.add_argument("--mode", type=_mode_arg, default=("echo", None), metavar="MODE",
                        help="default behaviour, see below (default: echo)")
    parser.add_argument("--reply", metavar="TEXT", help="same as --mode fixed:TEXT")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="wait this long before answering every request")
    parser.add_argument("--batch-time", type=float, default=DEFAULT_BATCH_TIME, metavar="SECONDS",
                        help="how long a batch takes from creation to completion; a batch's "
                             "metadata \"devserver_time\" overrides it (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=0, metavar="N",
                        help="seed of the flaky mode's failures (default: %(default)s)")
    parser.add_argument("--log", metavar="FILE",
                        help="append one JSON line per request (path, headers, body)")
    parser.add_argument("--quiet", action="store_true", help="no access lines on stderr")


def _add_bounds(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-body", type=int, default=DEFAULT_MAX_BODY, metavar="BYTES",
                        help="larger request bodies get HTTP 413 (default: %(default)s)")
    parser.add_argument("--max-connections", type=int, default=DEFAULT_MAX_CONNECTIONS, metavar="N",
                        help="connections served at once (a thread each); one more gets HTTP 503 "
                             "(default: %(default)s)")
    parser.add_argument("--idle-timeout", type=float, default=DEFAULT_IDLE_TIMEOUT, metavar="SECONDS",
                        help="close a connection that sends no request for this long "
                             "(default: %(default)s)")
    parser.add_argument("--request-timeout", type=float, default=DEFAULT_REQUEST_TIMEOUT,
                        metavar="SECONDS", help="close a connection whose request has not arrived "
                        "whole this long after its first byte (default: %(default)s)")
    parser.add_argument("--max-file-bytes", type=int, default=MAX_FILE_BYTES, metavar="BYTES",
                        help="largest file upload (default: %(default)s)")
    parser.add_argument("--max-stored-bytes", type=int, default=DEFAULT_MAX_STORED_BYTES, metavar="BYTES",
                        help="the files kept (uploads and batch output) take at most this much; an "
                             "upload past it, or a batch while it is full, gets HTTP 400 "
                             "(default: %(default)s)")


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m factsift.devserver",
        description="Local OpenAI-compatible chat-completion service for trying factsift\n"
                    "without a real model: it echoes the user message or simulates a failure.\n"
                    "Prints the service URL (for --base-url) once listening; Ctrl-C stops it.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="\n\n".join(["modes (--mode, or per request through the request's \"model\" field):\n"
                            + MODES_HELP, LIMITS_HELP, BATCH_HELP, _EXAMPLE]))
    _add_service(parser)
    _add_bounds(parser)
    _add_replies(parser)
    _add_limits(parser)
    return parser


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.delay < 0 or args.max_body < 0:
        parser.error("--delay and --max-body must not be negative")
    if args.max_connections < 1 or not args.idle_timeout > 0 or not args.request_timeout > 0:
        parser.error("--max-connections, --idle-timeout and --request-timeout must be positive")
    if not 0 <= args.batch_time <= 86_400 or min(args.max_file_bytes, args.max_stored_bytes) < 0:
        parser.error("--batch-time must be 0-86400, --max-file-bytes and --max-stored-bytes not negative")


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    """serve()'s keywords from the command line's."""
    return dict(mode=("fixed", args.reply) if args.reply is not None else args.mode, delay=args.delay,
                max_body=args.max_body, log_path=args.log, access_log=not args.quiet, seed=args.seed,
                max_connections=args.max_connections, idle_timeout=args.idle_timeout,
                request_timeout=args.request_timeout, batch_time=args.batch_time,
                max_file_bytes=args.max_file_bytes, max_stored_bytes=args.max_stored_bytes,
                api_key=args.api_key, rpm=args.rpm, tpm=args.tpm, quota=args.quota,
                ratelimit_headers=args.ratelimit_headers, prompt_cache=args.prompt_cache,
                routes=dict(args.route))


def _run(server: DevServer) -> None:
    print(f"factsift.devserver listening on {server.url}", flush=True)
    if server.exposed:
        print(f"factsift.devserver: {server.server_address[0]!s} is reachable from other machines; every "
              "request must bear the --api-key", file=sys.stderr, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("factsift.devserver: stopped", file=sys.stderr)
    finally:
        server.stopping.set()
        server.server_close()


def main(argv: Optional[List[str]] = None) -> int:
    parser = _build_parser()
    args = parser.parse_args(argv)
    _check(parser, args)
    if args.log:
        try:
            os.close(open_log(args.log))
        except OSError as exc:
            print(f"factsift.devserver: cannot write the log {args.log}: {exc}", file=sys.stderr)
            return 1
    try:
        server = serve(args.host, args.port, **_options(args))
    except OSError as exc:
        print(f"factsift.devserver: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    except ValueError as exc:
        parser.error(str(exc))
    _run(server)
    return 0
