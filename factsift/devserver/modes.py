"""The behaviours a request can ask for: their names, arguments and help text."""

import re
from typing import Dict, Optional, Tuple, Union

__all__ = ["Mode", "ModeError", "MODES_HELP", "parse_mode", "scripted_headers"]

# (name, argument): the argument is None, a text (fixed) or a number.
Mode = Tuple[str, Union[None, str, int, float]]

MODES_HELP = """\
  echo             reply with the last user message's text
  fixed:<text>     reply with <text>
  status:<code>    answer HTTP <code> (400-599) with an OpenAI-style error body
  delay:<seconds>  wait, then echo
  empty-choices    a completion whose "choices" list is empty
  null-content     a completion whose message content is null
  bad-json         status 200 with a truncated JSON body
  drop             close the connection without answering
  rate-limit:<n>   echo at most <n> requests in any second; answer the others
                   429 with retry-after-ms and Retry-After (when a slot frees)
  token-limit:<n>  echo while the requests of the last minute stay within <n>
                   tokens (a bucket of <n> that refills evenly over a minute); a
                   request is charged its prompt tokens plus its max_tokens (else
                   its reply's tokens) when it comes; past the budget 429 with
                   Retry-After; rate-limit and token-limit replies carry the
                   x-ratelimit-* headers of what they limit
  flaky:<p>        fail a share <p> (0-1) of requests, seeded (--seed): a 500,
                   a 503 asking to retry after 20 ms, or a dropped connection;
                   echo the others
  refuse:<value>   answer 429 (rate_limit_exceeded) with "Retry-After: <value>"
                   as written: any text ("1e9", "-5", "soon", an HTTP date); with
                   no value, no Retry-After at all
  refuse:<name>=<value>;...
                   answer 429 with exactly these headers (x-..., Retry-After,
                   retry-after-ms; at most 10), e.g.
                   refuse:retry-after-ms=10;Retry-After=600 (they disagree)
  headers:<name>=<value>;...
                   echo, with these headers on the reply, e.g.
                   headers:x-ratelimit-limit-tokens=0;x-ratelimit-remaining-tokens=9
A model id that is not a mode (e.g. "gpt-4o-mini") gets the default mode."""

SIMPLE_MODES = ("echo", "empty-choices", "null-content", "bad-json", "drop")
_ARG_MODES = ("fixed", "status", "delay", "rate-limit", "token-limit", "flaky", "refuse", "headers")
# Mode: (lowest, highest) value of its number.
_MODE_RANGES = {"status": (400, 599), "delay": (0, 3600), "rate-limit": (1, 10**9),
                "token-limit": (1, 10**12),
                "flaky": (0, 1)}
_WHOLE_MODES = ("status", "rate-limit", "token-limit")  # modes whose number is a whole one


# Headers a reply may be given: none that frames the answer or the connection.
_SCRIPTED_NAME = re.compile(r"x-[A-Za-z0-9-]{1,60}|retry-after(?:-ms)?", re.IGNORECASE)
_SCRIPTED_VALUE = re.compile(r"[\x20-\x3a\x3c-\x7e]{0,200}")  # printable ASCII but ";"
_MAX_SCRIPTED = 10


class ModeError(ValueError):
    pass


def scripted_headers(name: str, arg: str) -> Dict[str, str]:
    """The headers a refuse: or headers: mode gives its reply; ModeError if malformed."""
    if name == "refuse" and "=" not in arg:
        pairs = [("Retry-After", arg)] if arg else []
    else:
        pairs = [(key.strip(), value.strip()) for key, _, value in
                 (item.partition("=") for item in arg.split(";") if item.strip())]
    if len(pairs) > _MAX_SCRIPTED:
        raise ModeError(f"{name}: at most {_MAX_SCRIPTED} headers")
    for key, value in pairs:
        if not _SCRIPTED_NAME.fullmatch(key):
            raise ModeError(f"{name}: {key!r} is not a header it may set (x-..., Retry-After, retry-after-ms)")
        if not _SCRIPTED_VALUE.fullmatch(value):
            raise ModeError(f"{name}: the value of {key} must be printable ASCII, at most 200 characters")
    return dict(pairs)


def parse_mode(text: str) -> Optional[Mode]:
    """Return (name, argument) for a mode string, None if it names no mode.

    Raises ModeError when the text starts like a mode but is malformed.
    """
    name, sep, arg = text.partition(":")
    if not sep and name in SIMPLE_MODES:
        return name, None
    if name not in _ARG_MODES:
        return None
    if not sep:
        raise ModeError(f"{text!r}: write {name}:<value>")
    if name == "fixed":
        return name, arg
    if name in ("refuse", "headers"):
        scripted_headers(name, arg)
        return name, arg
    value: Union[int, float]
    try:
        value = int(arg) if name in _WHOLE_MODES else float(arg)
    except ValueError:
        raise ModeError(f"{text!r}: {name} needs a number") from None
    low, high = _MODE_RANGES[name]
    if not low <= value <= high:
        raise ModeError(f"{text!r}: {name} must be {low}-{high}")
    return name, value
