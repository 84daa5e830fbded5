"""Runs a batch's work in worker processes, each with threads of its own.

Workers are forked from a fork server, a process started once that has
imported factsift's module and the client package: the import (about a second
of CPU with openai 3) is paid once, not once per worker, and nothing is forked
from a process that runs threads. Where there is no fork server, workers are
started afresh. Each worker has a pipe of its own for tasks and one for
results, so this process knows which inputs a worker that dies took with it:
they get "error" records, and the other workers go on. A worker whose task pipe
closes without a goodbye (this process was killed) exits at once.
"""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import pickle
import signal
import threading
from multiprocessing.connection import Connection, wait

from factsift.clients import configured
from factsift.pools import Job, ResultSlot, Spec
from factsift.pools.threads import JobThreads
from factsift.records import Record, describe, error_record

TYPE_CHECKING = False  # typing's import would cost the command line's start a tenth more
if TYPE_CHECKING:
    from typing import Any

    from factsift.pools import Done

# Loaded once by the fork server, for every worker it forks.
PRELOAD = ["factsift.pools.processes", "factsift.factsift", "factsift.clients._warm"]
_RECORD, _RAISE = "record", "raise"


def context() -> Any:
    """The way worker processes start: forked from a fork server where there is one."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        forkserver.set_forkserver_preload(PRELOAD)
        return forkserver
    return multiprocessing.get_context("spawn")


class _Worker:
    def __init__(self, process: Any, tasks: Connection, results: Connection) -> None:
        self.process, self.tasks, self.results = process, tasks, results
        self.pending: dict[int, ResultSlot] = {}  # sequence number: slot
        self.alive = True


class Processes:
    """The pool of a run in `count` worker processes, each with up to `jobs` threads."""

    def __init__(self, spec: Spec, count: int, jobs: int, start: Any) -> None:
        self._name = spec.name
        self._lock = threading.Lock()
        self._sequence = 0
        self._workers: list[_Worker] = []
        try:
            for n in range(count):
                self._workers.append(_start(start, spec, jobs, n))
        except BaseException:
            for worker in self._workers:
                worker.process.kill()
            self._end_all()
            raise
        self._reader = threading.Thread(target=self._read, name="factsift-results", daemon=True)
        self._reader.start()

    def submit(self, text: Any, slot: ResultSlot | None = None) -> ResultSlot:
        slot = slot or ResultSlot()
        self._sequence += 1
        try:
            task = pickle.dumps((self._sequence, text))
        except Exception as exc:
            slot.settle((error_record(self._name, f"cannot pass the text to a worker process: {describe(exc)}"), 0))
            return slot
        with self._lock:
            worker = self._least_busy()
            if worker is None:
                slot.settle((error_record(self._name, "no worker process is left"), 0))
                return slot
            worker.pending[self._sequence] = slot
        with contextlib.suppress(OSError):  # a worker gone: the reader gives its inputs error records
            worker.tasks.send_bytes(task)
        return slot

    def _least_busy(self) -> _Worker | None:
        # A generator, not a list: no loop of this frame may hold the lock (see batch's hand-out).
        return min((w for w in self._workers if w.alive), key=lambda w: len(w.pending), default=None)

    def alive(self) -> bool:
        return self._reader.is_alive()

    def _read(self) -> None:
        workers: dict[object, _Worker] = {w.results: w for w in self._workers}
        try:
            while workers:
                for conn in wait(list(workers)):  # type: ignore[arg-type]
                    if not self._receive(workers[conn]):
                        self._lost(workers.pop(conn))
        finally:  # whatever ends the reader, no wait for a result is left hanging
            for worker in list(workers.values()):
                self._lost(worker)

    def _receive(self, worker: _Worker) -> bool:
        """Settles the slot of one result from `worker`; False when its pipe has closed."""
        try:
            sequence, requests, kind, data = pickle.loads(worker.results.recv_bytes())
        except (EOFError, OSError):
            return False
        with self._lock:
            slot = worker.pending.pop(sequence)
        if kind == _RAISE:
            slot.settle(error=_loaded_exception(data))
        else:
            slot.settle((self._loaded_record(data), requests))
        return True

    def _loaded_record(self, data: bytes) -> Record:
        try:
            record: Record = pickle.loads(data)
        except Exception as exc:
            message = f"the result from the worker process cannot be read: {describe(exc)}"
            return error_record(self._name, message)
        return record

    def _lost(self, worker: _Worker) -> None:
        worker.process.join(5)
        message = f"the worker process ended (exit code {worker.process.exitcode}) before answering"
        with self._lock:
            worker.alive = False
            pending, worker.pending = worker.pending, {}
        for slot in pending.values():
            slot.settle((error_record(self._name, message), 0))

    def close(self, cancel: bool) -> None:
        for worker in self._workers:
            if cancel:
                worker.process.kill()
            else:
                with contextlib.suppress(OSError):
                    worker.tasks.send_bytes(pickle.dumps(None))
        self._end_all()
        self._reader.join()
        for worker in self._workers:
            worker.results.close()

    def _end_all(self) -> None:
        for worker in self._workers:
            worker.tasks.close()
        for worker in self._workers:
            worker.process.join()


def _start(start: Any, spec: Spec, jobs: int, n: int) -> _Worker:
    task_reader, task_writer = start.Pipe(duplex=False)
    result_reader, result_writer = start.Pipe(duplex=False)
    process = start.Process(target=worker_main, args=(spec, jobs, task_reader, result_writer),
                            name=f"factsift-worker-{n}", daemon=True)
    try:
        process.start()
    finally:
        task_reader.close()
        result_writer.close()
    return _Worker(process, task_writer, result_reader)


def _loaded_exception(data: bytes) -> BaseException:
    try:
        exc = pickle.loads(data)
    except Exception as error:
        return RuntimeError(f"a worker process raised what cannot be passed back: {describe(error)}")
    return exc if isinstance(exc, BaseException) else RuntimeError(repr(exc))


# --- in the worker process ---

class _Reply(ResultSlot):
    """A task's slot in a worker: settling it sends the result back to the parent."""

    __slots__ = ("_sequence", "_send")

    def __init__(self, sequence: int, send: Any) -> None:
        super().__init__()
        self._sequence, self._send = sequence, send

    def settle(self, result: Done | None = None, error: BaseException | None = None) -> None:
        self._send(self._sequence, result, error)


def _sender(results: Connection, name: str) -> Any:
    """send(sequence, result, error): one result to the parent, each part a pickle of its own."""
    lock = threading.Lock()

    def record_bytes(record: Record) -> bytes:
        try:
            return pickle.dumps(record)
        except Exception as exc:  # a reply the client built that pickle cannot carry
            message = f"the result cannot be passed back from the worker process: {describe(exc)}"
            return pickle.dumps(error_record(name, message))

    def send(sequence: int, result: Done | None, error: BaseException | None) -> None:
        if error is not None:
            message = (sequence, 0, _RAISE, _exception_bytes(error))
        else:
            assert result is not None
            message = (sequence, result[1], _RECORD, record_bytes(result[0]))
        try:
            with lock:
                results.send_bytes(pickle.dumps(message))
        except OSError:
            os._exit(1)  # the parent has gone
    return send


def _exception_bytes(exc: BaseException) -> bytes:
    try:
        return pickle.dumps(exc)
    except Exception:
        return pickle.dumps(RuntimeError(f"a job in a worker process raised {describe(exc)}"))


def worker_main(spec: Spec, jobs: int, tasks: Connection, results: Connection) -> None:
    """A worker process: runs each task it is sent on up to `jobs` threads, sends back each result."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is for the parent to handle
    send = _sender(results, spec.name)
    with configured(spec.settings, spec.pacer(), spec.tokens(), budget=spec.budget()) as clients:
        threads = JobThreads(Job(spec, clients.tally), jobs, spec.name, clients)
        while True:
            try:
                task = pickle.loads(tasks.recv_bytes())
            except EOFError:
                os._exit(1)  # the parent was killed: nobody wants the rest
            if task is None:
                break
            sequence, text = task
            threads.submit(_Reply(sequence, send), text)
        threads.stop()
        threads.join()
