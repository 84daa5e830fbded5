"""Runs a batch's work on threads of this process, started as inputs need them."""

from __future__ import annotations

import contextlib
import queue
import threading
import warnings

from factsift.clients import RunClients, configured
from factsift.pools import Job, ResultSlot, Spec
from factsift.records import describe, error_record

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any


class JobThreads:
    """Up to `jobs` threads that take (slot, text) tasks from a queue and run `job` on each.

    Daemon threads: after Ctrl-C, a request waiting on the network must not
    keep the process alive (its client may wait minutes). A thread is started
    for a task only while fewer than `jobs` run; when the system can start no
    more, the run goes on with those it has (and with none, each task gets an
    "error" record saying why).
    """

    def __init__(self, job: Job, jobs: int, name: str, clients: RunClients) -> None:
        self._job, self._jobs, self._name, self._clients = job, jobs, name, clients
        self._queue: queue.SimpleQueue[tuple[ResultSlot, Any] | None] = queue.SimpleQueue()
        self._threads: list[threading.Thread] = []
        self.start_error: BaseException | None = None  # why the last thread could not start

    @property
    def started(self) -> int:
        return len(self._threads)

    def submit(self, slot: ResultSlot, text: Any) -> None:
        """Run the job on `text` when a thread is free; its result goes to `slot`."""
        if self.started < self._jobs:
            self._start()
        if self.started == 0:
            message = f"cannot start a job thread: {describe(self.start_error)}"  # type: ignore[arg-type]
            slot.settle((error_record(self._name, message), 0))
        else:
            self._queue.put((slot, text))

    def _start(self) -> None:
        thread = threading.Thread(target=self._serve, name=f"factsift-job-{self.started}", daemon=True)
        try:
            thread.start()
        except RuntimeError as exc:  # "can't start new thread": memory or a process limit
            if self.started:  # go on with those that run
                warnings.warn(f"factsift: only {self.started} job threads could start ({exc})",
                              RuntimeWarning, stacklevel=3)
                self._jobs = self.started
            self.start_error = exc
            return
        self._threads.append(thread)

    def _serve(self) -> None:
        self._clients.bind_thread()
        while (task := self._queue.get()) is not None:
            slot, text = task
            if slot.cancelled:
                continue
            try:
                result = self._job(text)
            except BaseException as exc:  # not an Exception: the consumer raises it
                slot.settle(error=exc)
            else:
                slot.settle(result)

    def stop(self) -> None:
        """Let each thread end once the tasks before its goodbye are done."""
        for _ in self._threads:
            self._queue.put(None)

    def join(self) -> None:
        for thread in self._threads:
            thread.join()


class Threads:
    """The pool of a run in one process: the run's clients, built from `base`, and threads for its
    work."""

    def __init__(self, spec: Spec, jobs: int, base: Any) -> None:
        self._stack = contextlib.ExitStack()
        clients = self._stack.enter_context(configured(spec.settings, spec.pacer(), spec.tokens(), base,
                                                                  spec.budget()))
        try:
            self._threads = JobThreads(Job(spec, clients.tally), jobs, spec.name, clients)
        except BaseException:
            self._stack.close()
            raise

    def submit(self, text: Any, slot: ResultSlot | None = None) -> ResultSlot:
        slot = slot or ResultSlot()
        self._threads.submit(slot, text)
        return slot

    def alive(self) -> bool:
        return True  # each task is settled by the thread that takes it, whatever happens

    def close(self, cancel: bool) -> None:
        self._threads.stop()
        if not cancel:  # every task is done: the threads end at once, and none outlives the run
            self._threads.join()
        self._stack.close()
