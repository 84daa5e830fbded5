"""Rate limits for a batch run: requests spaced so that no minute holds more than allowed.

The limit holds across every thread and process of a run: the earliest time of
the next request lives in a slot that all of them share (a value in shared
memory for worker processes; ``time.monotonic()`` is one clock for the whole
machine).
"""

from __future__ import annotations

import threading
import time
from typing import Any, Protocol

from factsift.clients import Pacer


class Slot(Protocol):
    """A float shared by the run's threads (and processes), with its lock."""

    value: float

    def get_lock(self) -> Any: ...


class LocalSlot:
    """The slot for the threads of one process."""

    def __init__(self) -> None:
        self.value = 0.0
        self._lock = threading.Lock()

    def get_lock(self) -> threading.Lock:
        return self._lock


class RequestPacer(Pacer):
    """Waits so that requests are at least 60/rpm seconds apart: never more than rpm in any minute."""

    def __init__(self, rpm: float, slot: Slot) -> None:
        self._interval = 60.0 / rpm
        self._slot = slot

    def wait(self) -> None:
        slot = self._slot
        with slot.get_lock():
            now = time.monotonic()
            turn = max(now, slot.value)
            slot.value = turn + self._interval
        if turn > now:
            time.sleep(turn - now)
