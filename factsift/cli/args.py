"""The command line's arguments: the parser, its help, and what it cannot check alone."""

from __future__ import annotations

import argparse
import functools
import os
from collections.abc import Callable, Sequence

from factsift import options, repeats

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

MAX_DEFAULT_JOBS = 8
COMMANDS = {"summarize": "extract", "title": "refined_title"}  # command: AISummary method
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_UNUSABLE, EXIT_BUDGET, EXIT_INTERRUPTED = 0, 1, 2, 3, 4, 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE: what a shell reports for a program ended by SIGPIPE
LINES_PER_WRITE = 100  # lines already done go out together, at most this many in one write

EPILOG = """\
input:
  FILE... are UTF-8 text files; or --jsonl FILE, JSON Lines: one object per
  line, e.g. {"id": "n-17", "text": "..."}; the field names can be changed
  (--text-field, --id-field). A line without an id has its line number (from
  1) as its id. Ids should be unique.

output:
  one JSON line per input, in input order, always UTF-8 whatever the locale, e.g.
  {"summary": "...", "content": "<text without punctuation>", "status": "ok", "file": "a.txt"}
  {"summary": "...", "content": "...", "status": "ok", "id": "n-17", "usage": {...}}
  status is "ok" or "error" (with "error", why; an input that can never
  succeed, such as a line that is not JSON, also has "unusable": true).
  "usage" is the service's count of the tokens, where it sends one. The reply
  is written as the service sent it (a JSON object or array included); one
  that JSON cannot hold (such as NaN) gives that input an "error" line. A lone
  surrogate in a reply, and each byte of a file name that is not UTF-8, is
  written as a JSON \\uXXXX escape (os.fsencode() gives the name's bytes back).
  Up to --jobs inputs are sent at once (in each of --processes processes);
  each line is written as soon as it and every line before it are ready.
  --output FILE appends the lines to FILE, each whole at once, so a run that
  is killed leaves only complete lines; with --resume, inputs that already
  have an "ok" or "unusable" line there are skipped and the others are tried
  again. Unless --no-progress, or for a single FILE to standard output,
  progress goes to standard error (a bar on a terminal) and, at the end, one
  line: factsift: 98 ok, 2 error, 5 retried, 40 skipped in 12.0 s, 8.3 documents/s,
  61520 tokens (58240 prompt, 3280 completion), cost 0.0107 (with --price)

reliability:
  A refusal is not a failure: a 429 (or a 503 with Retry-After) holds every
  request of the run, in every process, for the wait it asks (a back-off of
  1 s, doubling up to a minute, where it names none), then the input goes
  again; such waits use none of --max-retries. --max-wait S (default 3600)
  bounds the time one input may spend held: past it, or for a 429 that no
  wait passes (a request larger than the token budget, a quota used up,
  x-should-retry: false), its line is an "error" that says so.
  The pace: each reply's x-ratelimit-* headers (limit, remaining, reset, for
  requests and tokens) give the service's budgets, and a request waits while
  what remains cannot cover it (one request; its prompt as counted, see
  factsift.tokens, and an expected reply), so shards sharing a key share the
  budget too. Without such headers, a refusal halves the requests in flight,
  which grow back by one with each reply, up to --jobs. --rpm and --tpm are
  ceilings of your own, kept below with the service's.
  Other failures (408, 409, 5xx, a lost connection, a time-out) are sent
  again up to --max-retries times, after an exponential back-off with
  jitter. --timeout bounds each attempt as a whole.
  --shard K/N keeps the inputs whose id (or file name) hashes to K of N
  (K from 0): the same share on every run and machine, so N jobs, each with
  its own --output and --resume, cover every input once.

exit status:
  0 every line is "ok"; 1 some line is an "error" that another run may mend
  (run again, with --resume), or the output failed; 3 done: the only errors
  are inputs that can never succeed ("unusable"); 2 usage error; 4 stopped
  at the budget (--max-cost): what is written is complete, the rest was not
  sent (run again with --resume and a new or raised budget); 130 after
  Ctrl-C (the lines written so far are complete; the rest are dropped); 141
  the output was closed early (e.g. "| head -1"), quietly, as for a program
  ended by SIGPIPE.

environment:
  OPENAI_BASE_URL   service URL when --base-url is not given
  OPENAI_API_KEY    API key when --api-key is not given

examples:
  export OPENAI_BASE_URL=https://api.example.com/v1 OPENAI_API_KEY=sk-...
  python -m factsift summarize news.txt --model gpt-4o-mini
  cat news.txt | python -m factsift title - --prompt "起一个新闻标题" --model gpt-4o-mini
  python -m factsift summarize news/*.txt --jobs 16 --model gpt-4o-mini > summaries.jsonl
  python -m factsift summarize --jsonl articles.jsonl --output out.jsonl --resume \\
      --jobs 32 --processes 2 --rpm 3000 --model gpt-4o-mini

  To try it without a real service, start the local echo service in another shell
  and point --base-url at it:
  python -m factsift.devserver --port 8080
  python -m factsift summarize a.txt b.txt --base-url http://127.0.0.1:8080/v1 \\
      --model echo --api-key anything
"""


def _option(name: str) -> Callable[[str], Any]:
    """An argparse type for one of factsift.options' options: its range, its message."""
    def parse(text: str) -> Any:
        try:
            return options.parse(name, text)
        except options.OptionError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return parse


def _price(text: str) -> tuple[float, ...]:
    try:
        return options.parse_price(text)
    except options.OptionError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _shard(text: str) -> tuple[int, int]:
    index, slash, count = text.partition("/")
    try:
        k, n = int(index), int(count)
    except ValueError:
        slash, k, n = "", 0, 0
    if not slash or not 0 <= k < n:
        raise argparse.ArgumentTypeError(f"expected K/N with 0 <= K < N (e.g. 0/4), got {text!r}")
    return k, n


class _Files(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: str | Sequence[Any] | None, option_string: str | None = None) -> None:
        if values is not None and list(values).count("-") > 1:
            raise argparse.ArgumentError(self, "- (standard input) can be read only once")
        setattr(namespace, self.dest, values)


def _add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="*", action=_Files, metavar="FILE",
                        help="UTF-8 text file; - reads stdin (once)")
    parser.add_argument("--jsonl", metavar="FILE",
                        help="read the inputs from JSON Lines instead (- for stdin), one object a line")
    parser.add_argument("--text-field", default="text", metavar="NAME",
                        help="--jsonl field holding the text (default: %(default)s)")
    parser.add_argument("--id-field", default="id", metavar="NAME",
                        help="--jsonl field holding the id (default: %(default)s)")
    parser.add_argument("--shard", type=_shard, metavar="K/N",
                        help="take only share K (from 0) of N of the inputs, by a hash of each id "
                             "or file name: the same share on every run and machine")


def _add_request(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--prompt", default="", help="extra instruction sent with the text")
    parser.add_argument("--length", type=_option("length"), default=200, metavar="N",
                        help="target length of the generated text (default: %(default)s)")
    parser.add_argument("--base-url", metavar="URL",
                        help="OpenAI-compatible service URL, e.g. https://api.openai.com/v1 "
                             "(default: $OPENAI_BASE_URL)")
    parser.add_argument("--model", required=True, metavar="M", help="model id to ask for")
    parser.add_argument("--api-key", metavar="KEY", help="API key (default: $OPENAI_API_KEY)")
    parser.add_argument("--timeout", type=_option("timeout"), metavar="SECONDS",
                        help="give up on a request (each attempt) after this long in all: "
                             "connecting, sending, waiting and reading (default: the client's)")
    parser.add_argument("--max-retries", type=_option("retries"), default=2, metavar="N",
                        help="send a request that met a passing failure (408, 409, 429, 5xx, a "
                             "lost connection, a time-out) again up to N times (default: %(default)s)")
    parser.add_argument("--rpm", type=_option("rpm"), metavar="N",
                        help="a ceiling of your own: at most N requests a minute, all processes "
                             "included (the service's headers pace the run without it)")
    parser.add_argument("--tpm", type=_option("tpm"), metavar="N",
                        help="a ceiling of your own: at most N tokens a minute, all processes included: "
                             "each request counts its prompt and an expected reply, then what it used")
    parser.add_argument("--max-wait", type=_option("max_wait"), default=3600, metavar="SECONDS",
                        help="the longest one input may be held by the service's refusals before its "
                             "line is an error (default: %(default)s)")
    parser.add_argument("--price", type=_price, metavar="IN/OUT[/CACHED]",
                        help="prices per million prompt and completion tokens (e.g. 0.15/0.60), and of "
                             "the prompt tokens the service reports cached, if it prices them apart "
                             "(0.15/0.60/0.075): the summary line gives the run's cost")
    parser.add_argument("--max-cost", type=_option("max_cost"), metavar="X",
                        help="with --price: spend at most X. Each input is counted before it is sent "
                             "at the most its request can cost (its text and prompt as counted, the "
                             "module's instruction, 200 tokens until a request shows it, and a quarter "
                             "more; a reply twice the longest so far, at first 1000 tokens) until its "
                             "reply's usage says what it cost; what does not fit is left unsent, for "
                             "--resume with a new or raised --max-cost (exit status 4)")


def _add_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="append the lines to FILE (which must be empty or new unless --resume)")
    parser.add_argument("--resume", action="store_true",
                        help="continue --output FILE: skip the inputs it has an \"ok\" line for")
    parser.add_argument("--jobs", "-j", type=_option("jobs"), metavar="N",
                        help=f"send up to N requests at once, in each process (default: the number "
                             f"of FILEs, at most {MAX_DEFAULT_JOBS})")
    parser.add_argument("--processes", type=_option("processes"), default=1, metavar="N",
                        help="run N worker processes, each with --jobs requests at once (default: 1)")
    parser.add_argument("--estimate", action="store_true",
                        help="send nothing: print how many requests the run would send and their "
                             "prompt tokens (and with --price, the prompts' cost)")
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="write neither progress nor the summary line on standard error")
    parser.add_argument("--send-repeats", action="store_true",
                        help="send every input: by default an input whose request would be the same as an "
                             "earlier one's (the same text once cleaned of punctuation, prompt, length and "
                             "model), or as one with an \"ok\" line in --output with --resume, is not sent: "
                             "its line has that reply and \"same_as\", that input's id")
    parser.add_argument("--no-share-clients", dest="share_clients", action="store_false",
                        help="build a new client for every request instead of one per "
                             "service and key (see factsift.clients)")


BATCH_STATE = ".batches"  # the state folder of a --batch-api run: OUTPUT.batches


def _add_batch_api(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--batch-api", action="store_true",
                        help="send the requests through the service's batch interface: half the price, "
                             "the results within 24 hours, written in input order when the batches end "
                             "(needs --output; its state is kept in OUTPUT.batches for --resume)")
    parser.add_argument("--batch-size", type=_option("batch_size"), default=50_000, metavar="N",
                        help="with --batch-api, at most N requests in one batch (default: %(default)s)")
    parser.add_argument("--poll", type=_option("poll"), default=60.0, metavar="SECONDS",
                        help="with --batch-api, look at the batches every SECONDS (default: %(default)s)")
    parser.add_argument("--cancel-batches", action="store_true",
                        help="cancel the batches of the --batch-api run of --output, then write the "
                             "results of what they answered")


def batch_api_wanted(args: Options) -> bool:
    """Whether the run goes through factsift.cli.batchapi: asked for, or a batch run of --output is open."""
    if args.batch_api or args.cancel_batches:
        return True
    return args.output is not None and os.path.exists(os.path.join(args.output + BATCH_STATE, "state.json"))


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser; given the command about to be parsed, only that command's options are built.

    Building the options costs a run more than a hundred documents' bookkeeping.
    """
    parser = argparse.ArgumentParser(
        prog="python -m factsift",
        description="Ask a chat-completion model on any OpenAI-compatible service for a\n"
                    "fact-checked summary (summarize) or a title (title) of each text file\n"
                    "or each JSON Lines record.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text in (("summarize", "write a fact-checked summary of each input"),
                            ("title", "write a title for each input")):
        sub = commands.add_parser(name, help=help_text, description=help_text,
                                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
        if command in (None, name):
            for add in (_add_inputs, _add_request, _add_run, _add_batch_api):
                add(sub)
    return parser


class Options:
    """The arguments as parsed, typed: all that the command line's runs are given."""

    __slots__ = ("command", "files", "jsonl", "text_field", "id_field", "shard", "prompt", "length", "base_url",
                 "model", "api_key", "timeout", "max_retries", "rpm", "tpm", "max_wait", "price", "max_cost",
                 "output", "resume", "jobs", "processes", "estimate", "progress", "send_repeats", "share_clients",
                 "batch_api", "batch_size", "poll", "cancel_batches")
    command: str
    files: list[str]
    jsonl: str | None
    text_field: str
    id_field: str
    shard: tuple[int, int] | None
    prompt: str
    length: int
    base_url: str | None
    model: str
    api_key: str | None
    timeout: float | None
    max_retries: int
    rpm: float | None
    tpm: float | None
    max_wait: float
    price: tuple[float, ...] | None
    max_cost: float | None
    output: str | None
    resume: bool
    jobs: int | None
    processes: int
    estimate: bool
    progress: bool
    send_repeats: bool
    share_clients: bool
    batch_api: bool
    batch_size: int
    poll: float
    cancel_batches: bool

    def __init__(self, parsed: argparse.Namespace) -> None:
        for name in self.__slots__:
            setattr(self, name, getattr(parsed, name))

    @property
    def method(self) -> str:
        """The AISummary method the command runs."""
        return COMMANDS[self.command]

    def output_file(self) -> str:
        """--output FILE, where the run has made sure that one was given."""
        if self.output is None:
            raise ValueError("no --output FILE was given")
        return self.output

    @property
    def key_field(self) -> str:
        """The field of a line that names its input: "file" for FILE..., "id" for --jsonl."""
        return "file" if self.jsonl is None else "id"


def parse(parser: argparse.ArgumentParser, argv: Sequence[str]) -> Options:
    """The arguments, as `parser` parses them (SystemExit for --help or a usage error)."""
    return Options(parser.parse_args(argv))


def usage_problem(args: Options) -> str | None:
    """What the parser cannot see alone: inputs given twice or not at all, --resume alone."""
    if not args.files and args.jsonl is None:
        return "give the inputs: FILE... or --jsonl FILE"
    if args.files and args.jsonl is not None:
        return "give FILE... or --jsonl FILE, not both"
    if args.resume and args.output is None:
        return "--resume goes on with an --output FILE: give one"
    if args.max_cost is not None and args.price is None:
        return "--max-cost needs the prices to reckon with: give --price IN/OUT too (e.g. --price 0.15/0.60)"
    return None


def request_index(args: Options) -> Callable[[str], bytes] | None:
    """How a resumed output's "ok" lines are found by their request (factsift.repeats), if at all."""
    shared = None if args.send_repeats else repeats.settings(args.method, args.model, args.prompt,
                                                             args.length)
    return None if shared is None else functools.partial(repeats.digest, shared)
