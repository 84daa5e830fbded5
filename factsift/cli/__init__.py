"""Command line for factsift: ``python -m factsift summarize|title FILE...``."""

import argparse
import collections
import contextlib
import functools
import importlib
import json
import math
import os
import signal
import sys
import threading
from concurrent.futures import Future

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE: what a shell reports for a program ended by SIGPIPE
MAX_DEFAULT_JOBS = 8

_COMMANDS = {
    # command: (AISummary method, key of the generated text in its result)
    "summarize": ("extract", "summary"),
    "title": ("refined_title", "title"),
}

_EPILOG = """\
output:
  one JSON line per FILE, in input order, always UTF-8 whatever the locale, e.g.
  {"summary": "...", "content": "<text without punctuation>", "status": "ok", "file": "a.txt"}
  status is "ok" or "error". The reply is written as the service sent it (a
  JSON object or array included); one that JSON cannot hold (such as NaN)
  gives that file an "error" line. A lone surrogate in a reply, and each byte
  of a file name that is not UTF-8, is written as a JSON \\uXXXX escape
  (os.fsencode() gives the name's bytes back).
  Up to --jobs files are sent at once; each line is written as soon as it and
  every line before it are ready. With more than one FILE, progress goes to
  standard error: a bar on a terminal, otherwise one count line at the end.

exit status:
  0 every line is "ok"; 1 some line is "error", or standard output failed;
  2 usage error; 130 after Ctrl-C (the lines written so far are complete; the
  rest are dropped); 141 standard output was closed early (e.g. "| head -1"),
  quietly, as for a program ended by SIGPIPE.

environment:
  OPENAI_BASE_URL   service URL when --base-url is not given
  OPENAI_API_KEY    API key when --api-key is not given

examples:
  export OPENAI_BASE_URL=https://api.example.com/v1 OPENAI_API_KEY=sk-...
  python -m factsift summarize news.txt --model gpt-4o-mini
  cat news.txt | python -m factsift title - --prompt "起一个新闻标题" --model gpt-4o-mini
  python -m factsift summarize news/*.txt --jobs 16 --model gpt-4o-mini > summaries.jsonl

  To try it without a real service, start the local echo service in another shell
  and point --base-url at it:
  python -m factsift.devserver --port 8080
  python -m factsift summarize a.txt b.txt --base-url http://127.0.0.1:8080/v1 \\
      --model echo --api-key anything
"""


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, got {text!r}")
    return value


def _positive_seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


class _Files(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        if values.count("-") > 1:
            raise argparse.ArgumentError(self, "- (standard input) can be read only once")
        setattr(namespace, self.dest, values)


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("files", nargs="+", action=_Files, metavar="FILE",
                        help="UTF-8 text file; - reads stdin (once)")
    common.add_argument("--prompt", default="", help="extra instruction sent with the text")
    common.add_argument("--length", type=_positive_int, default=200, metavar="N",
                        help="target length of the generated text (default: %(default)s)")
    common.add_argument("--base-url", metavar="URL",
                        help="OpenAI-compatible service URL, e.g. https://api.openai.com/v1 "
                             "(default: $OPENAI_BASE_URL)")
    common.add_argument("--model", required=True, metavar="M", help="model id to ask for")
    common.add_argument("--api-key", metavar="KEY", help="API key (default: $OPENAI_API_KEY)")
    common.add_argument("--timeout", type=_positive_seconds, metavar="SECONDS",
                        help="give up on a request after this long in all "
                             "(default: the client's, 600 s for openai)")
    common.add_argument("--jobs", "-j", type=_positive_int, metavar="N",
                        help=f"send up to N requests at once (default: the number of FILEs, "
                             f"at most {MAX_DEFAULT_JOBS})")
    common.add_argument("--no-progress", dest="progress", action="store_false",
                        help="write no progress on standard error")
    common.add_argument("--no-share-clients", dest="share_clients", action="store_false",
                        help="build a new client for every request instead of one per "
                             "service and key (see factsift.clients)")

    parser = argparse.ArgumentParser(
        prog="python -m factsift",
        description="Ask a chat-completion model on any OpenAI-compatible service for a\n"
                    "fact-checked summary (summarize) or a title (title) of each text file.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, help_text in (("summarize", "write a fact-checked summary of each FILE"),
                            ("title", "write a title for each FILE")):
        commands.add_parser(name, parents=[common], help=help_text, description=help_text,
                            epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    return parser


def _read_text(name):
    if name == "-":
        if sys.stdin is None:  # started with descriptor 0 closed
            raise OSError("standard input is closed")
        return sys.stdin.buffer.read().decode("utf-8")
    with open(name, encoding="utf-8") as f:
        return f.read()


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


def _json_line(record):
    text = json.dumps(record, ensure_ascii=False, allow_nan=False)
    # Only surrogates cannot be UTF-8, and backslashreplace writes them as JSON's \uXXXX escape.
    return text.encode("utf-8", "backslashreplace") + b"\n"


def _unwritable(record, exc):
    error = {key: "" for key in record if isinstance(key, str)}
    error.update(status="error", error=f"the result cannot be written as JSON: {_describe(exc)}")
    if isinstance(record.get("file"), str):
        error["file"] = record["file"]
    return error


def _describe(exc):
    try:
        return f"{type(exc).__name__}: {exc}"
    except Exception:
        return type(exc).__name__


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


@contextlib.contextmanager
def _client_options(**options):
    """Build factsift.factsift's clients with these options inside the block."""
    module = importlib.import_module("factsift.factsift")
    original = module.OpenAI
    module.OpenAI = functools.partial(original, **options)
    try:
        yield
    finally:
        module.OpenAI = original


def _process(summarizer, command, args, name):
    """One output record for one input file; never raises for a bad file."""
    method, text_key = _COMMANDS[command]
    try:
        text = _read_text(name)
    except (OSError, UnicodeDecodeError) as exc:
        return {text_key: "", "content": "", "status": "error", "file": name,
                "error": f"cannot read {name}: {exc}"}
    record = dict(getattr(summarizer, method)(text, args.prompt, args.length))
    record["file"] = name
    return record


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
    """Count of finished inputs on standard error.

    On a terminal it is a bar redrawn in place, cleared before anything else
    reaches the terminal (JSON lines, the tracebacks of failed requests) so
    no line starts in the middle of it. Anywhere else, a redrawn line would
    only fill a log with carriage returns: one count line is written at the end.
    """

    WIDTH = 30

    def __init__(self, total, stream, live):
        self.total, self.stream, self.live = total, stream, live
        self.done = self.failed = 0
        self.lock = threading.RLock()
        self._shown = None  # the bar's text while it is on the terminal

    def advance(self, ok):
        with self.lock:
            self.done += 1
            self.failed += not ok
            if self.live:
                self.draw()

    def _text(self):
        failed = f", {self.failed} failed" if self.failed else ""
        return f"{self.done}/{self.total} done{failed}"

    def draw(self):
        filled = self.WIDTH * self.done // self.total
        bar = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {self._text()}"
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

    def finish(self, interrupted):
        with self.lock:
            if self.live:
                if interrupted:
                    self.clear()
                else:
                    self.draw()
                    self._write("\n")
            elif not interrupted:
                self._write(f"factsift: {self._text()}\n")

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


def _ordered(work, items, jobs, on_done):
    """Yield work(item) for every item in input order, running up to `jobs` at once.

    The threads are daemon threads: after Ctrl-C, a request waiting on the
    network must not keep the process alive (its client may wait minutes).
    Leaving the generator early cancels every item that has not started.
    """
    futures = [Future() for _ in items]
    queue = collections.deque(zip(futures, items))

    def worker():
        while True:
            try:
                future, item = queue.popleft()
            except IndexError:
                return
            if not future.set_running_or_notify_cancel():
                continue
            try:
                result = work(item)
                on_done(result)
            except BaseException as exc:  # KeyboardInterrupt too: the main thread decides
                future.set_exception(exc)
            else:
                future.set_result(result)

    for n in range(min(jobs, len(futures))):
        threading.Thread(target=worker, name=f"factsift-job-{n}", daemon=True).start()
    try:
        for i, future in enumerate(futures):
            result = future.result()
            futures[i] = None  # a finished record is not kept once written
            yield result
    finally:
        queue.clear()
        for future in futures:
            if future is not None:
                future.cancel()


class _LineGuard:
    """Defers Ctrl-C while a line is written and counted.

    Otherwise the interrupt can land after a line went out but before it was
    counted, and the closing message would understate what was written.
    Only the main thread can install a signal handler, and a handler some
    embedding program installed is left alone.
    """

    def __init__(self):
        self._holding = self._pending = False
        self._previous = None

    def __enter__(self):
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self._on_sigint)
        return self

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def _on_sigint(self, signum, frame):
        if self._holding:
            self._pending = True
        else:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def holding(self):
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
            if self._pending:
                self._pending = False
                raise KeyboardInterrupt


def main(argv=None):
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help or a usage error; argparse has printed why
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE

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
    if sys.stdout is None:  # started with descriptor 1 closed
        print("factsift: standard output is closed; nothing sent", file=sys.stderr)
        return EXIT_FAILED

    files = args.files
    jobs = args.jobs or min(MAX_DEFAULT_JOBS, len(files))
    stderr = sys.stderr
    show_progress = args.progress and len(files) > 1
    progress = _Progress(len(files), stderr, live=show_progress and _isatty(stderr))
    terminal_stdout = _isatty(sys.stdout)

    def work(name):
        return encode_record(_process(summarizer, args.command, args, name))

    def on_done(result):
        if show_progress:
            progress.advance(result[1] == "ok")

    written = 0
    failed = interrupted = False
    write_error = None
    with contextlib.ExitStack() as stack:
        if args.timeout is not None:
            stack.enter_context(_client_options(timeout=args.timeout))
        if args.share_clients:
            from factsift.clients import shared_clients
            stack.enter_context(shared_clients())
        if progress.live:
            sys.stderr = _BesideProgress(stderr, progress)
            stack.callback(setattr, sys, "stderr", stderr)
        results = stack.enter_context(contextlib.closing(_ordered(work, files, jobs, on_done)))
        guard = stack.enter_context(_LineGuard())
        try:
            write_line = _line_writer(sys.stdout)
            for line, status in results:
                failed |= status != "ok"
                with guard.holding(), progress.paused() if terminal_stdout else contextlib.nullcontext():
                    write_line(line)
                    written += 1
        except KeyboardInterrupt:
            interrupted = True
        except OSError as exc:  # the pending requests are cancelled as the generator closes
            write_error = exc
        if show_progress:
            progress.finish(interrupted or write_error is not None)
    if interrupted:
        print(f"factsift: interrupted; {written} of {len(files)} results written", file=sys.stderr)
        return EXIT_INTERRUPTED
    if isinstance(write_error, BrokenPipeError):
        _discard_output(sys.stdout)
        return EXIT_BROKEN_PIPE
    if write_error is not None:
        print(f"factsift: cannot write to standard output after {written} of {len(files)} "
              f"results: {write_error}", file=sys.stderr)
        return EXIT_FAILED
    return EXIT_FAILED if failed else EXIT_OK
