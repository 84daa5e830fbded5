"""Command line for factsift: ``python -m factsift summarize|title FILE...|--jsonl FILE``."""

import argparse
import contextlib
import json
import math
import os
import signal
import stat
import sys
import threading
import time

from factsift import batch
from factsift.batch import _describe

try:
    import fcntl
except ImportError:  # not on Windows: two runs on one --output are not detected there
    fcntl = None

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE: what a shell reports for a program ended by SIGPIPE
MAX_DEFAULT_JOBS = 8
LINES_PER_WRITE = 100  # lines already done go out together, at most this many in one write
_NOTHING = contextlib.nullcontext()

_COMMANDS = {"summarize": "extract", "title": "refined_title"}  # command: AISummary method

_EPILOG = """\
input:
  FILE... are UTF-8 text files; or --jsonl FILE, JSON Lines: one object per
  line, e.g. {"id": "n-17", "text": "..."}; the field names can be changed
  (--text-field, --id-field). A line without an id has its line number (from
  1) as its id. Ids should be unique.

output:
  one JSON line per input, in input order, always UTF-8 whatever the locale, e.g.
  {"summary": "...", "content": "<text without punctuation>", "status": "ok", "file": "a.txt"}
  {"summary": "...", "content": "...", "status": "ok", "id": "n-17"}
  status is "ok" or "error" (with "error", why). The reply is written as the
  service sent it (a JSON object or array included); one that JSON cannot
  hold (such as NaN) gives that input an "error" line. A lone surrogate in a
  reply, and each byte of a file name that is not UTF-8, is written as a
  JSON \\uXXXX escape (os.fsencode() gives the name's bytes back).
  Up to --jobs inputs are sent at once (in each of --processes processes);
  each line is written as soon as it and every line before it are ready.
  --output FILE appends the lines to FILE, each whole at once, so a run that
  is killed leaves only complete lines; with --resume, inputs that already
  have an "ok" line there are skipped and the others are tried again.
  Unless --no-progress, or for a single FILE to standard output, progress
  goes to standard error (a bar on a terminal) and, at the end, one line:
  factsift: 98 ok, 2 error, 5 retried, 40 skipped in 12.0 s, 8.3 documents/s

reliability:
  A request that meets HTTP 408, 409, 429 or 5xx, a connection error or a
  time-out is sent again, up to --max-retries times, after the wait the
  service asks for (Retry-After) or an exponential back-off with jitter.
  --rpm spaces all requests (retries too, in every process) 60/N s apart.
  --shard K/N keeps the inputs whose id (or file name) hashes to K of N
  (K from 0): the same share on every run and machine, so N jobs, each with
  its own --output and --resume, cover every input once.

exit status:
  0 every line is "ok"; 1 some line is "error", or the output failed;
  2 usage error; 130 after Ctrl-C (the lines written so far are complete; the
  rest are dropped); 141 the output was closed early (e.g. "| head -1"),
  quietly, as for a program ended by SIGPIPE.

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


def _whole_number(low, expected):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return value
    return parse


_positive_int = _whole_number(1, "a positive whole number")
_retry_count = _whole_number(0, "a whole number (0 or more)")


def _positive_number(text, unit=""):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"expected a positive number{unit}, got {text!r}")
    return value


def _positive_seconds(text):
    return _positive_number(text, " of seconds")


def _shard(text):
    index, slash, count = text.partition("/")
    try:
        index, count = int(index), int(count)
    except ValueError:
        slash = ""
    if not slash or not 0 <= index < count:
        raise argparse.ArgumentTypeError(f"expected K/N with 0 <= K < N (e.g. 0/4), got {text!r}")
    return index, count


class _Files(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        if values.count("-") > 1:
            raise argparse.ArgumentError(self, "- (standard input) can be read only once")
        setattr(namespace, self.dest, values)


def _add_options(parser):
    """The arguments and options of both commands."""
    parser.add_argument("files", nargs="*", action=_Files, metavar="FILE",
                        help="UTF-8 text file; - reads stdin (once)")
    parser.add_argument("--jsonl", metavar="FILE",
                        help="read the inputs from JSON Lines instead (- for stdin), one object a line")
    parser.add_argument("--text-field", default="text", metavar="NAME",
                        help="--jsonl field holding the text (default: %(default)s)")
    parser.add_argument("--id-field", default="id", metavar="NAME",
                        help="--jsonl field holding the id (default: %(default)s)")
    parser.add_argument("--prompt", default="", help="extra instruction sent with the text")
    parser.add_argument("--length", type=_positive_int, default=200, metavar="N",
                        help="target length of the generated text (default: %(default)s)")
    parser.add_argument("--base-url", metavar="URL",
                        help="OpenAI-compatible service URL, e.g. https://api.openai.com/v1 "
                             "(default: $OPENAI_BASE_URL)")
    parser.add_argument("--model", required=True, metavar="M", help="model id to ask for")
    parser.add_argument("--api-key", metavar="KEY", help="API key (default: $OPENAI_API_KEY)")
    parser.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="give up on a request after this long in all "
                             "(default: the client's, 600 s for openai)")
    parser.add_argument("--max-retries", type=_retry_count, default=2, metavar="N",
                        help="send a request that met a passing failure (408, 409, 429, 5xx, a "
                             "lost connection, a time-out) again up to N times (default: %(default)s)")
    parser.add_argument("--rpm", type=_positive_number, metavar="N",
                        help="send at most N requests per minute, retries and all processes included")
    parser.add_argument("--output", "-o", metavar="FILE",
                        help="append the lines to FILE (which must be empty or new unless --resume)")
    parser.add_argument("--resume", action="store_true",
                        help="continue --output FILE: skip the inputs it has an \"ok\" line for")
    parser.add_argument("--jobs", "-j", type=_positive_int, metavar="N",
                        help=f"send up to N requests at once, in each process (default: the number "
                             f"of FILEs, at most {MAX_DEFAULT_JOBS})")
    parser.add_argument("--processes", type=_positive_int, default=1, metavar="N",
                        help="run N worker processes, each with --jobs requests at once (default: 1)")
    parser.add_argument("--shard", type=_shard, metavar="K/N",
                        help="take only share K (from 0) of N of the inputs, by a hash of each id "
                             "or file name: the same share on every run and machine")
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="write neither progress nor the summary line on standard error")
    parser.add_argument("--no-share-clients", dest="share_clients", action="store_false",
                        help="build a new client for every request instead of one per "
                             "service and key (see factsift.clients)")


def build_parser(command=None):
    """The parser; given the command about to be parsed, only that command's options are built.

    Building the options costs a run more than a hundred documents' bookkeeping.
    """
    parser = argparse.ArgumentParser(
        prog="python -m factsift",
        description="Ask a chat-completion model on any OpenAI-compatible service for a\n"
                    "fact-checked summary (summarize) or a title (title) of each text file\n"
                    "or each JSON Lines record.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text in (("summarize", "write a fact-checked summary of each input"),
                            ("title", "write a title for each input")):
        sub = commands.add_parser(name, help=help_text, description=help_text,
                                  epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
        if command in (None, name):
            _add_options(sub)
    return parser


def _read_text(name):
    if name == "-":
        if sys.stdin is None:  # started with descriptor 0 closed
            raise OSError("standard input is closed")
        return sys.stdin.buffer.read().decode("utf-8")
    # Bytes, then text, as a text-mode open() would give it (universal newlines) in
    # fewer system calls: each one lets the other threads contend for the interpreter lock.
    with open(name, "rb", buffering=0) as f:
        text = f.read().decode("utf-8")
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


def encode_record(record):
    """The JSON line (UTF-8 bytes) for one result record, and the status it carries.

    Never raises. A lone surrogate (an undecodable byte of a file name, or
    one in a reply) becomes its \\uXXXX escape, which a JSON reader turns back
    into the same string. A record that JSON cannot hold at all (NaN, an
    object of another type, nesting too deep) is replaced by an "error"
    record with the same keys, the same file and the reason.
    """
    try:
        return _json_line(record), record.get("status")
    except Exception as exc:  # whatever the values' own methods raise, too
        return _json_line(_unwritable(record, exc)), "error"


# One encoder for every line: json.dumps builds a new one whenever it is given options.
_ENCODE = json.JSONEncoder(ensure_ascii=False, allow_nan=False).encode


def _json_line(record):
    text = _ENCODE(record)
    # Only surrogates cannot be UTF-8, and backslashreplace writes them as JSON's \uXXXX escape.
    return text.encode("utf-8", "backslashreplace") + b"\n"


def _unwritable(record, exc):
    error = {key: "" for key in record if isinstance(key, str)}
    error.update(status="error", error=f"the result cannot be written as JSON: {_describe(exc)}")
    for key in ("file", "id"):
        if type(record.get(key)) in (str, int):
            error[key] = record[key]
    return error


def _line_writer(stream):
    """A function that writes one encoded line to standard output and flushes it."""
    buffer = getattr(stream, "buffer", None)
    if buffer is None:  # a text-only stand-in (io.StringIO and the like): the line is valid UTF-8
        def write(line):
            stream.write(line.decode("utf-8"))
            stream.flush()
        return write
    stream.flush()  # text already written must come first

    def write(line):
        buffer.write(line)
        buffer.flush()
    return write


def _discard_output(stream):
    """After a broken pipe: point standard output at the null device.

    The data left in its buffer is lost anyway; otherwise the flush at exit
    fails again and prints a message.
    """
    with contextlib.suppress(AttributeError, OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, stream.fileno())
        finally:
            os.close(devnull)


def _import_summary():
    try:
        from factsift.factsift import AISummary
    except ImportError as exc:
        if exc.name == "openai":
            hint = ("factsift needs the 'openai' package (pip install openai); "
                    "without network access, put openai_standin/ on PYTHONPATH")
        elif exc.name == "factsift.factsift":
            hint = "the compiled module factsift.factsift is not built for this Python: run 'make build'"
        else:
            hint = "cannot load factsift.factsift"
        print(f"factsift: {hint} ({exc})", file=sys.stderr)
        return None
    return AISummary


class _Progress:
    """Count of finished inputs on standard error, and the summary line at the end.

    On a terminal it is a bar redrawn in place (a count when the total is not
    known), cleared before anything else reaches the terminal (JSON lines, the
    tracebacks of failed requests) so no line starts in the middle of it.
    Anywhere else, a redrawn line would only fill a log with carriage
    returns: only the summary line is written.
    """

    WIDTH = 30

    def __init__(self, total, stream, live):
        self.total, self.stream, self.live = total, stream, live
        self.done = self.failed = 0
        self.lock = threading.RLock()
        self._shown = None  # the bar's text while it is on the terminal

    def advance(self, done, failed):
        with self.lock:
            self.done += done
            self.failed += failed
            if self.live:
                self.draw()

    def _text(self):
        failed = f", {self.failed} failed" if self.failed else ""
        total = "" if self.total is None else f"/{self.total}"
        return f"{self.done}{total} done{failed}"

    def draw(self):
        bar = self._text()
        if self.total:
            filled = self.WIDTH * self.done // self.total
            bar = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {bar}"
        if bar != self._shown:
            self._write(f"\r{bar}\x1b[K")
            self._shown = bar

    def clear(self):
        if self._shown:
            self._write("\r\x1b[K")
            self._shown = None

    @contextlib.contextmanager
    def paused(self):
        """Keep the bar off the terminal while the block writes to it."""
        with self.lock:
            self.clear()
            yield
            if self.live:
                self.draw()

    def finish(self, summary):
        """Take the bar down and write the summary line (None: none)."""
        with self.lock:
            self.clear()
            if summary is not None:
                self._write(summary + "\n")

    def _write(self, text):
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # stderr closed: progress is not worth failing for
            self.live = False


class _BesideProgress:
    """sys.stderr while the bar is up: clears the bar before passing text on."""

    def __init__(self, stream, progress):
        self._stream, self._progress = stream, progress

    def write(self, text):
        with self._progress.lock:
            self._progress.clear()
            return self._stream.write(text)

    def writelines(self, lines):
        for line in lines:
            self.write(line)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, OSError, ValueError):
        return False


class _LineGuard:
    """Defers Ctrl-C while a line is written and counted: ``with guard:`` around each line.

    Otherwise the interrupt can land after a line went out but before it was
    counted, and the closing message would understate what was written.
    Only the main thread can install a signal handler (install(), restore()),
    and a handler some embedding program installed is left alone.
    """

    def __init__(self):
        self._holding = self._pending = False
        self._previous = None

    def install(self):
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self._on_sigint)

    def restore(self):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def _on_sigint(self, signum, frame):
        if self._holding:
            self._pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self):
        self._holding = True

    def __exit__(self, *exc):
        self._holding = False
        if self._pending:
            self._pending = False
            raise KeyboardInterrupt




class InputError(Exception):
    """An input that cannot be sent: it gets an "error" record with this message."""


class _Inputs:
    """The run's (id, text) pairs, less other shards' inputs and those already done.

    A text that cannot be read is an InputError in its place. `total` is the
    number of inputs (None for JSON Lines, read as they are needed), `skipped`
    how many were already done.
    """

    def __init__(self, args, done):
        self._args, self._done = args, done
        self.skipped = 0
        self.names = None
        if args.jsonl is None:
            self.names = [name for name in args.files if self._keep(name)]
        self.total = None if self.names is None else len(self.names)

    def _keep(self, key):
        shard = self._args.shard
        if shard is not None and _shard_of(key, shard[1]) != shard[0]:
            return False
        if key in self._done:
            self.skipped += 1
            return False
        return True

    def __iter__(self):
        return self._files() if self.names is not None else self._lines()

    def _files(self):
        for name in self.names:
            try:
                yield name, _read_text(name)
            except (OSError, UnicodeDecodeError) as exc:
                yield name, InputError(f"cannot read {name}: {exc}")

    def _lines(self):
        args, number = self._args, 0
        try:
            with _binary_input(args.jsonl) as stream:
                for number, line in enumerate(stream, 1):
                    if line.strip():
                        key, text = _parse_line(line, number, args.text_field, args.id_field)
                        if self._keep(f"line:{number}" if key is None else _id_text(key)):
                            yield key, text
        except OSError as exc:
            where = f" after line {number}" if number else ""
            yield None, InputError(f"cannot read {args.jsonl}{where}: {exc}")


def _binary_input(name):
    if name != "-":
        return open(name, "rb")
    if sys.stdin is None:  # started with descriptor 0 closed
        raise OSError("standard input is closed")
    return contextlib.nullcontext(sys.stdin.buffer)


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def _parse_line(line, number, text_field, id_field):
    """(id, text) of one JSON Lines input; the text is an InputError if the line cannot be used."""
    try:
        fields = json.loads(line, parse_constant=_reject_constant)
    except (ValueError, RecursionError) as exc:
        return None, InputError(f"line {number} is not JSON: {_describe(exc)}")
    if not isinstance(fields, dict):
        return None, InputError(f"line {number} is not a JSON object")
    key = fields.get(id_field, number)
    if type(key) not in (str, int):
        return None, InputError(f"line {number}: the id {id_field!r} must be a string or a whole number")
    text = fields.get(text_field)
    if not isinstance(text, str):
        return key, InputError(f"line {number}: the text {text_field!r} must be a string")
    return key, text


def _id_text(key):
    return json.dumps(key, ensure_ascii=False)


def _shard_of(key, count):
    """A hash of the key modulo count: the same in every process and on every machine."""
    import hashlib  # here: only --shard needs it, and it loads a TLS library

    digest = hashlib.blake2b(key.encode("utf-8", "surrogatepass"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % count


class _Refused(Exception):
    """The output cannot be used as asked: a usage error."""


class _Output:
    """Where the lines go. Each is written whole; `done` holds the keys of the
    "ok" records an --output file being resumed already has."""

    def __init__(self, name, write, done=frozenset(), terminal=False, close=None):
        self.name, self.write, self.done, self.terminal = name, write, done, terminal
        self.close = close or (lambda: None)


def _stdout_output():
    return _Output("standard output", _line_writer(sys.stdout), terminal=_isatty(sys.stdout))


def _file_output(path, resume, key_field):
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o666)
    try:
        done = set()
        if stat.S_ISREG(os.fstat(fd).st_mode):  # not a pipe or a device
            _lock(fd, path)
            if resume:
                done = _finished(fd, path, key_field)
            elif os.fstat(fd).st_size:
                raise _Refused(f"{path} already holds results: pass --resume to go on with it, "
                               f"or remove it")
    except BaseException:
        os.close(fd)
        raise
    return _Output(path, _descriptor_writer(fd), done, close=lambda: os.close(fd))


def _lock(fd, path):
    if fcntl is None:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise OSError(f"another factsift run is writing to {path}") from None


def _finished(fd, path, key_field):
    """Keys of the "ok" records in the file; cuts off a last line left incomplete by a crash."""
    done, end = set(), 0
    with open(path, "rb") as f:
        for line in f:
            if not line.endswith(b"\n"):
                break
            end += len(line)
            key = _ok_key(line, key_field)
            if key is not None:
                done.add(key)
    if end < os.fstat(fd).st_size:
        os.ftruncate(fd, end)
        print(f"factsift: {path}: removed an incomplete last line", file=sys.stderr)
    return done


def _ok_key(line, key_field):
    try:
        record = json.loads(line)
    except (ValueError, RecursionError):
        return None
    if not isinstance(record, dict) or record.get("status") != "ok":
        return None
    key = record.get(key_field)
    if key_field == "file":
        return key if isinstance(key, str) else None
    return _id_text(key) if type(key) in (str, int) else None


def _descriptor_writer(fd):
    def write(line):
        view = memoryview(line)
        while view:
            view = view[os.write(fd, view):]
    return write


def _usage_problem(args):
    if not args.files and args.jsonl is None:
        return "give the inputs: FILE... or --jsonl FILE"
    if args.files and args.jsonl is not None:
        return "give FILE... or --jsonl FILE, not both"
    if args.resume and args.output is None:
        return "--resume goes on with an --output FILE: give one"
    return None


def _summary(counts, skipped, seconds):
    sent = counts.ok + counts.error
    rate = sent / seconds if seconds > 0 else 0.0
    return (f"factsift: {counts.ok} ok, {counts.error} error, {counts.retried} retried, "
            f"{skipped} skipped in {seconds:.1f} s, {rate:.1f} documents/s")


def _open_output(args):
    if args.output is None:
        return _stdout_output()
    return _file_output(args.output, args.resume, "file" if args.jsonl is None else "id")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser(argv[0] if argv and argv[0] in _COMMANDS else None)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help or a usage error; argparse has printed why
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    problem = _usage_problem(args)
    if problem:
        print(f"factsift: {problem}", file=sys.stderr)
        return EXIT_USAGE

    base_url = args.base_url or os.environ.get("OPENAI_BASE_URL")
    api_key = args.api_key or os.environ.get("OPENAI_API_KEY")
    for value, option, variable in ((base_url, "--base-url", "OPENAI_BASE_URL"),
                                    (api_key, "--api-key", "OPENAI_API_KEY")):
        if not value:
            print(f"factsift: pass {option} or set {variable}", file=sys.stderr)
            return EXIT_USAGE

    summary_cls = _import_summary()
    if summary_cls is None:
        return EXIT_USAGE
    summarizer = summary_cls(base_url, api_key, args.model)
    if args.output is None and sys.stdout is None:  # started with descriptor 1 closed
        print("factsift: standard output is closed; nothing sent", file=sys.stderr)
        return EXIT_FAILED
    try:
        output = _open_output(args)
    except _Refused as exc:
        print(f"factsift: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as exc:
        print(f"factsift: cannot write to {args.output}: {exc}", file=sys.stderr)
        return EXIT_FAILED
    try:
        return _run(args, summarizer, output)
    finally:
        output.close()


def _run(args, summarizer, output):
    inputs = _Inputs(args, output.done)
    jobs = args.jobs or max(1, min(MAX_DEFAULT_JOBS, inputs.total or MAX_DEFAULT_JOBS))
    stderr = sys.stderr
    show_progress = args.progress and (len(args.files) > 1 or args.jsonl is not None
                                       or args.output is not None)
    progress = _Progress(inputs.total, stderr, live=show_progress and _isatty(stderr))
    started = time.monotonic()
    results = batch.run(summarizer, inputs, method=_COMMANDS[args.command], jobs=jobs,
                        prompt=args.prompt, length=args.length, retries=args.max_retries,
                        timeout=args.timeout, rpm=args.rpm, processes=args.processes,
                        share_clients=args.share_clients,
                        id_key="file" if args.jsonl is None else "id")

    written = 0
    failed = interrupted = False
    write_error = None
    with contextlib.ExitStack() as stack:
        if progress.live:
            sys.stderr = _BesideProgress(stderr, progress)
            stack.callback(setattr, sys, "stderr", stderr)
        stack.enter_context(contextlib.closing(results))
        guard = _LineGuard()
        guard.install()
        stack.callback(guard.restore)
        lines, errors = [], 0  # encoded, not yet written
        try:
            for record in results:
                line, status = encode_record(record)
                lines.append(line)
                errors += status != "ok"
                if results.ready() and len(lines) < LINES_PER_WRITE:
                    continue  # the next line is done too: one write for both
                with guard, progress.paused() if output.terminal else _NOTHING:
                    try:
                        output.write(b"".join(lines))
                    except OSError as exc:  # the pending requests are cancelled as the batch closes
                        write_error = exc
                        break
                    written += len(lines)
                    if progress.live:
                        progress.advance(len(lines), errors)
                failed |= errors > 0
                lines, errors = [], 0
        except KeyboardInterrupt:
            interrupted = True
        if show_progress:
            ended = interrupted or write_error is not None
            progress.finish(None if ended else _summary(results.counts, inputs.skipped,
                                                        time.monotonic() - started))
    of_total = "" if inputs.total is None else f" of {inputs.total}"
    if interrupted:
        print(f"factsift: interrupted; {written}{of_total} results written", file=sys.stderr)
        return EXIT_INTERRUPTED
    if isinstance(write_error, BrokenPipeError):
        if args.output is None:
            _discard_output(sys.stdout)
        return EXIT_BROKEN_PIPE
    if write_error is not None:
        print(f"factsift: cannot write to {output.name} after {written}{of_total} results: "
              f"{write_error}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_FAILED if failed else EXIT_OK
