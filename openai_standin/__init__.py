"""Which ``openai`` client package a test, a benchmark or the demo loads.

The rule, in one place: the real package wherever it is installed (or
fetched: ``tools/fetch-unstable openai`` has openai 3.x for CPython 3.14 and
3.15, and ``make venv`` puts it in the test environment), this folder's
stand-in otherwise, appended to the path so that it never hides an installed
package. A run may choose with the environment variable ``FACTSIFT_OPENAI``:

* ``auto`` (or unset): as above;
* ``real``: the installed package, and an error when there is none;
* ``standin``: the stand-in, put ahead of an installed package on purpose.

Child processes get the choice through ``child_env()``. This package is the
chooser only: the stand-in itself is ``openai_standin/openai`` (imported as
``openai`` when chosen, or as ``openai_standin.openai`` beside the real one).
"""

from __future__ import annotations

import importlib
import importlib.machinery
import importlib.metadata
import os
import sys
from collections.abc import Mapping
from types import ModuleType

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VARIABLE = "FACTSIFT_OPENAI"
REAL, STANDIN = "real", "standin"


def _without_standin(path: list[str]) -> list[str]:
    return [entry for entry in path if os.path.abspath(entry or os.curdir) != HERE]


def real_installed() -> bool:
    """Whether an ``openai`` other than the stand-in can be imported here."""
    return importlib.machinery.PathFinder.find_spec("openai", _without_standin(sys.path)) is not None


def choose(choice: str | None = None) -> str:
    """"real" or "standin": `choice`, else $FACTSIFT_OPENAI, else the rule above."""
    choice = choice or os.environ.get(VARIABLE) or "auto"
    if choice == "auto":
        return REAL if real_installed() else STANDIN
    if choice not in (REAL, STANDIN):
        raise ValueError(f"{VARIABLE} must be real, standin or auto, not {choice!r}")
    if choice == REAL and not real_installed():
        raise RuntimeError(f"{VARIABLE}=real, but no openai package is installed here "
                           "(tools/fetch-unstable openai has one for CPython 3.14 and 3.15)")
    return choice


def which(module: ModuleType) -> str:
    """Which client an imported ``openai`` module is."""
    origin = os.path.abspath(getattr(module, "__file__", None) or "")
    return STANDIN if origin.startswith(HERE + os.sep) else REAL


def activate(choice: str | None = None) -> str:
    """Make ``import openai`` in this process load the chosen client; return the choice."""
    choice = choose(choice)
    loaded = sys.modules.get("openai")
    if loaded is not None and which(loaded) != choice:
        raise RuntimeError(f"openai is already imported here as the {which(loaded)} client")
    if choice == STANDIN and HERE not in sys.path:
        if real_installed():
            sys.path.insert(0, HERE)  # chosen explicitly: ahead of the installed one
        else:
            sys.path.append(HERE)
    return choice


def available() -> list[str]:
    """The clients this process can use: the active one, and the stand-in beside a real one."""
    loaded = sys.modules.get("openai")
    if loaded is not None and which(loaded) == STANDIN:
        return [STANDIN]
    return [REAL, STANDIN] if real_installed() else [STANDIN]


def package(choice: str) -> ModuleType:
    """The chosen client's package, imported in this process beside the other if need be."""
    loaded = sys.modules.get("openai")
    if choice == REAL or (loaded is not None and which(loaded) == STANDIN):
        module = importlib.import_module("openai")
        if which(module) != choice:
            raise RuntimeError(f"the {choice} openai client cannot be loaded in this process")
        return module
    if ROOT not in sys.path:
        sys.path.append(ROOT)
    return importlib.import_module("openai_standin.openai")


def child_env(choice: str, env: Mapping[str, str] | None = None, *path: str) -> dict[str, str]:
    """An environment for a child Python that loads the chosen client (and `path` after it)."""
    full = dict(os.environ if env is None else env)
    entries = ([HERE] if choice == STANDIN else []) + list(path)
    if full.get("PYTHONPATH"):
        entries.append(full["PYTHONPATH"])
    full["PYTHONPATH"] = os.pathsep.join(entries)
    full[VARIABLE] = choice
    return full


def label(choice: str) -> str:
    """How figures name the client: "openai 3.6.0" or "stand-in"."""
    if choice == STANDIN:
        return "stand-in"
    try:
        return f"openai {importlib.metadata.version('openai')}"
    except importlib.metadata.PackageNotFoundError:
        return "openai"
