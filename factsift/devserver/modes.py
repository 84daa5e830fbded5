"""The behaviours a request can ask for: their names, arguments and help text."""

from typing import Optional, Tuple, Union

__all__ = ["Mode", "ModeError", "MODES_HELP", "parse_mode"]

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
A model id that is not a mode (e.g. "gpt-4o-mini") gets the default mode."""

SIMPLE_MODES = ("echo", "empty-choices", "null-content", "bad-json", "drop")
_ARG_MODES = ("fixed", "status", "delay", "rate-limit", "token-limit", "flaky")
# Mode: (lowest, highest) value of its number.
_MODE_RANGES = {"status": (400, 599), "delay": (0, 3600), "rate-limit": (1, 10**9),
                "token-limit": (1, 10**12),
                "flaky": (0, 1)}
_WHOLE_MODES = ("status", "rate-limit", "token-limit")  # modes whose number is a whole one


class ModeError(ValueError):
    pass


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
    value: Union[int, float]
    try:
        value = int(arg) if name in _WHOLE_MODES else float(arg)
    except ValueError:
        raise ModeError(f"{text!r}: {name} needs a number") from None
    low, high = _MODE_RANGES[name]
    if not low <= value <= high:
        raise ModeError(f"{text!r}: {name} must be {low}-{high}")
    return name, value
