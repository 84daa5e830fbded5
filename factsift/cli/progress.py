"""What the command line shows while it runs: a progress bar, and Ctrl-C deferred mid-line."""

from __future__ import annotations

import contextlib
import signal
import threading
import time
from collections.abc import Iterator
from types import FrameType

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any, TextIO


class Progress:
    """Count of finished inputs on standard error, and the summary line at the end.

    On a terminal it is a bar redrawn in place (a count when the total is not
    known), cleared before anything else reaches the terminal (JSON lines, the
    tracebacks of failed requests) so no line starts in the middle of it.
    Anywhere else, a redrawn line would only fill a log with carriage
    returns: a plain line every LOG_EVERY seconds, and the summary line.
    Both say the rate, the time left, the tokens and cost so far and what
    holds the run (``watch``); a ticker redraws them while nothing finishes.
    """

    WIDTH = 30
    TICK = 1.0  # seconds between redraws on a terminal
    LOG_EVERY = 30.0  # seconds between lines elsewhere

    def __init__(self, total: int | None, stream: TextIO, live: bool) -> None:
        self.total: int | None = total
        self.stream: TextIO = stream
        self.live: bool = live
        self.done: int = 0
        self.failed: int = 0
        self.lock: threading.RLock = threading.RLock()
        self._shown: str | None = None  # the bar's text while it is on the terminal
        self._started = time.monotonic()
        self._counts: Any = None
        self._held: Any = None
        self._stop = threading.Event()

    def watch(self, counts: Any, held: Any, logged: bool) -> None:
        """Show `counts` (a online.Counts: tokens, cost) and `held()` (what holds the run), redrawn
        every TICK on a terminal, or with `logged`, a line every LOG_EVERY seconds."""
        self._counts, self._held = counts, held
        if self.live or logged:
            every = self.TICK if self.live else self.LOG_EVERY
            threading.Thread(target=self._tick, args=(every,), name="factsift-progress", daemon=True).start()

    def stop(self) -> None:
        """No more redraws or lines from the ticker."""
        self._stop.set()

    def _tick(self, every: float) -> None:
        while not self._stop.wait(every):
            with self.lock:
                if self.live:
                    self.draw()
                elif not self._stop.is_set():
                    self._write(f"factsift: {self._text()}\n")

    def advance(self, done: int, failed: int) -> None:
        with self.lock:
            self.done += done
            self.failed += failed
            if self.live:
                self.draw()

    def _text(self) -> str:
        failed = f", {self.failed} failed" if self.failed else ""
        total = "" if self.total is None else f"/{self.total}"
        text = f"{self.done}{total} done{failed}"
        if self._counts is None:
            return text
        seconds = time.monotonic() - self._started
        rate = self.done / seconds if seconds > 0 else 0.0
        text += f", {rate:.1f}/s"
        if self.total and rate > 0:
            text += f", {max(0.0, (self.total - self.done) / rate):.0f} s left"
        if self._counts.total_tokens:
            text += f", {self._counts.total_tokens} tokens"
        if self._counts.cost is not None:
            text += f", cost {self._counts.cost:.4g}"
        held = self._held()
        if held.why is not None:
            text += f", held by {held.why} for {held.left:.0f} s"
        return text

    def draw(self) -> None:
        bar = self._text()
        if self.total:
            filled = self.WIDTH * self.done // self.total
            bar = f"[{'#' * filled}{'.' * (self.WIDTH - filled)}] {bar}"
        if bar != self._shown:
            self._write(f"\r{bar}\x1b[K")
            self._shown = bar

    def clear(self) -> None:
        if self._shown:
            self._write("\r\x1b[K")
            self._shown = None

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        """Keep the bar off the terminal while the block writes to it."""
        with self.lock:
            self.clear()
            yield
            if self.live:
                self.draw()

    def finish(self, summary: str | None) -> None:
        """Take the bar down and write the summary line (None: none)."""
        self._stop.set()
        with self.lock:
            self.clear()
            if summary is not None:
                self._write(summary + "\n")

    def _write(self, text: str) -> None:
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # stderr closed: progress is not worth failing for
            self.live = False


class BesideProgress:
    """sys.stderr while the bar is up: clears the bar before passing text on."""

    def __init__(self, stream: TextIO, progress: Progress) -> None:
        self._stream, self._progress = stream, progress

    def write(self, text: str) -> int:
        with self._progress.lock:
            self._progress.clear()
            return self._stream.write(text)

    def writelines(self, lines: list[str]) -> None:
        for line in lines:
            self.write(line)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class LineGuard:
    """Defers Ctrl-C while a line is written and counted: ``with guard:`` around each line.

    Otherwise the interrupt can land after a line went out but before it was
    counted, and the closing message would understate what was written.
    Only the main thread can install a signal handler (install(), restore()),
    and a handler some embedding program installed is left alone.
    """

    def __init__(self) -> None:
        self._holding = self._pending = False
        self._previous: Any = None

    def install(self) -> None:
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self._on_sigint)

    def restore(self) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def _on_sigint(self, signum: int, frame: FrameType | None) -> None:
        if self._holding:
            self._pending = True
        else:
            raise KeyboardInterrupt

    def __enter__(self) -> None:
        self._holding = True

    def __exit__(self, *exc: object) -> None:
        self._holding = False
        if self._pending:
            self._pending = False
            raise KeyboardInterrupt
