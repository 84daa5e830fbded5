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


def service_env():
    """The children's environment: this one's, less any OPENAI_* settings and PYTHONPATH, with the checkout."""
    return child_env({k: v for k, v in os.environ.items() if not k.startswith("OPENAI_") and k != "PYTHONPATH"})


def add_prices(parser):
    """--input-price and --output-price, dollars per million tokens (OpenAI's gpt-4o-mini by default)."""
    parser.add_argument("--input-price", type=float, default=0.15, help="dollars per million prompt tokens")
    parser.add_argument("--output-price", type=float, default=0.60, help="dollars per million completion tokens")
