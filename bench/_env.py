"""What every benchmark's children share: factsift from the checkout, this interpreter's openai."""
import os
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def child_env(env=None):
    """`env` (by default this process's) with the checkout first on PYTHONPATH."""
    full = dict(os.environ if env is None else env)
    full["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT), full.get("PYTHONPATH")) if p)
    return full


def client_label():
    """How figures name the client: "openai 3.6.0"."""
    import openai

    return f"openai {openai.__version__}"
