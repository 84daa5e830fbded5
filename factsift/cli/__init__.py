"""Command line for factsift: ``python -m factsift summarize|title FILE...``."""

import argparse
import json
import os
import sys

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

_COMMANDS = {
    # command: (AISummary method, key of the generated text in its result)
    "summarize": ("extract", "summary"),
    "title": ("refined_title", "title"),
}

_EPILOG = """\
output:
  one JSON line per FILE, in input order, e.g.
  {"summary": "...", "content": "<text without punctuation>", "status": "ok", "file": "a.txt"}
  status is "ok" or "error"; the exit status is 1 if any line has "error".

environment:
  OPENAI_BASE_URL   service URL when --base-url is not given
  OPENAI_API_KEY    API key when --api-key is not given

examples:
  export OPENAI_BASE_URL=https://api.example.com/v1 OPENAI_API_KEY=sk-...
  python -m factsift summarize news.txt --model gpt-4o-mini
  cat news.txt | python -m factsift title - --prompt "起一个新闻标题" --model gpt-4o-mini

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


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 text file; - reads stdin")
    common.add_argument("--prompt", default="", help="extra instruction sent with the text")
    common.add_argument("--length", type=_positive_int, default=200, metavar="N",
                        help="target length of the generated text (default: %(default)s)")
    common.add_argument("--base-url", metavar="URL",
                        help="OpenAI-compatible service URL, e.g. https://api.openai.com/v1 "
                             "(default: $OPENAI_BASE_URL)")
    common.add_argument("--model", required=True, metavar="M", help="model id to ask for")
    common.add_argument("--api-key", metavar="KEY", help="API key (default: $OPENAI_API_KEY)")

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
        return sys.stdin.buffer.read().decode("utf-8")
    with open(name, encoding="utf-8") as f:
        return f.read()


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

    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    if encoding.lower().replace("-", "") != "utf8" and hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8")  # the JSON lines are always UTF-8
    failed = False
    for record in (_process(summarizer, args.command, args, name) for name in args.files):
        failed |= record.get("status") != "ok"
        print(json.dumps(record, ensure_ascii=False), flush=True)
    return EXIT_FAILED if failed else EXIT_OK
