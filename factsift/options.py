"""The options of a batch run, checked in one place for the command line and the Python API.

Each has a range that every value inside it can really be used with: a time-out
of more than a day, say, overflows the clocks of the socket calls below, and a
rate of one request in ten thousand years the sleep that waits for it.
"""

from __future__ import annotations

import math

__all__ = ["OptionError", "RANGES", "check", "check_price", "parse", "parse_price"]


class OptionError(ValueError):
    """An option's value is outside what it can be: the message names the option and its range."""


# name: (whole numbers only, lowest, highest, what it counts)
RANGES: dict[str, tuple[bool, float, float, str]] = {
    "jobs": (True, 1, 10_000, "requests at once"),
    "processes": (True, 1, 256, "worker processes"),
    "retries": (True, 0, 100, "retries"),
    "window": (True, 1, 10**7, "inputs"),
    "length": (True, 1, 10**6, "characters"),
    "timeout": (False, 0.001, 86_400, "seconds"),
    "rpm": (False, 0.01, 1e9, "requests a minute"),
    "tpm": (False, 1, 1e12, "tokens a minute"),
    "batch_size": (True, 1, 50_000, "requests a batch"),
    "poll": (False, 0.01, 86_400, "seconds"),
    "max_wait": (False, 0, 7 * 86_400, "seconds"),
    "max_cost": (False, 1e-9, 1e12, "money (in the prices' currency)"),
}


def _problem(name: str, value: object) -> str:
    whole, low, high, unit = RANGES[name]
    kind = "a whole number" if whole else "a number"
    return f"{name} must be {kind} of {unit} from {low:g} to {high:g}, not {value!r}"


def check(name: str, value: object) -> int | float:
    """`value` if it is in `name`'s range; OptionError otherwise (bools are not numbers here)."""
    whole, low, high, _ = RANGES[name]
    allowed = (int,) if whole else (int, float)
    if isinstance(value, bool) or not isinstance(value, allowed):
        raise OptionError(_problem(name, value))
    if not low <= value <= high:  # NaN fails too
        raise OptionError(_problem(name, value))
    return value


def parse(name: str, text: str) -> int | float:
    """The option's value from its text on a command line; OptionError when it is not one."""
    whole = RANGES[name][0]
    try:
        value: int | float = int(text) if whole else float(text)
    except ValueError:
        raise OptionError(_problem(name, text)) from None
    if not whole and not math.isfinite(value):
        raise OptionError(_problem(name, text))
    return check(name, value)


_MAX_PRICE = 1e9


def check_price(price: object) -> tuple[float, ...]:
    """(prompt, completion[, cached prompt]) prices per million tokens: two or three numbers of 0 or more."""
    problem = (f"price must be two or three numbers from 0 to {_MAX_PRICE:g} (per million prompt, "
               f"completion and cached prompt tokens), not {price!r}")
    if not isinstance(price, (tuple, list)) or len(price) not in (2, 3):
        raise OptionError(problem)
    values = []
    for value in price:
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= _MAX_PRICE:
            raise OptionError(problem)
        values.append(float(value))
    return tuple(values)


def parse_price(text: str) -> tuple[float, ...]:
    """IN/OUT or IN/OUT/CACHED from a command line, e.g. "0.15/0.60" or "0.15/0.60/0.075"."""
    parts = text.split("/")
    try:
        price = tuple(float(part) for part in parts) if len(parts) in (2, 3) else None
    except ValueError:
        price = None
    if price is None:
        raise OptionError(f"price must be IN/OUT or IN/OUT/CACHED, the prices per million prompt, completion "
                          f"and cached prompt tokens (e.g. 0.15/0.60 or 0.15/0.60/0.075), not {text!r}")
    return check_price(price)
