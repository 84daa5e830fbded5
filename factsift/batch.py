"""Runs over many texts, online or through the service's batch interface.

    from factsift import batch
    from factsift.factsift import AISummary

    s = AISummary("https://api.example.com/v1", "sk-...", "my-model")
    for record in batch.run(s.extract, texts, jobs=16):   # online: records in input order
        ...
    with batch.submit(s.extract, texts, "state") as run:  # the batch interface, at half the price
        ...

``run`` sends a request per input as the service's pace allows
(factsift.online has its options); ``submit`` and ``resume`` go through the
batch interface instead (factsift.batchapi, loaded when first used).
"""

from __future__ import annotations

from factsift.online import RESULT_KEYS, Counts, OnlineRun, Summarizer, run

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    from factsift.batchapi import resume, submit

__all__ = ["OnlineRun", "Batch", "Counts", "Summarizer", "run", "RESULT_KEYS", "submit", "resume"]

Batch = OnlineRun  # an online run's earlier name


def __getattr__(name: str) -> Any:
    if name in ("submit", "resume"):
        from factsift import batchapi

        return getattr(batchapi, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
