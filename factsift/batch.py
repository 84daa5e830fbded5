"""Run an AISummary method over many texts: in input order, concurrent, retried and rate-limited.

    from factsift import batch
    from factsift.factsift import AISummary

    s = AISummary("https://api.example.com/v1", "sk-...", "my-model")
    results = batch.run(s.extract, texts, jobs=16, retries=3, rpm=600)
    for record in results:      # in input order, each once it and those before it are done
        ...                     # {'summary': ..., 'content': ..., 'status': 'ok', 'id': 0}
    results.counts              # Counts(ok=..., error=..., retried=..., requests=...)

``run(s, texts, method="refined_title")`` names the method instead. The
inputs are texts (their ids are their positions from 0) or ``(id, text)``
pairs, from any iterable: at most ``window`` inputs (default four per
concurrent request) are read ahead of the last record handed out, so a
generator of a million texts is never read whole. A text that is an
exception instance stands for an input that could not be read: its record is
an "error" one with the exception's message, and no request is sent.

Each record is the method's result with the id added (under ``id_key``).
The method never raises for a failed request; an exception it raises anyway
becomes an "error" record too, with an ``error`` message, and the run goes on.

Options:

* ``jobs``: requests at once (per process); ``processes``: worker processes,
  each with ``jobs`` threads of its own (default 1: threads of this process).
* ``retries``, ``timeout``: passed to every client as ``max_retries=`` and
  ``timeout=`` (see the ``openai`` package; the project's stand-in follows
  the same retry policy).
* ``rpm``: at most that many HTTP requests in any minute, retries included,
  across all jobs and processes; requests are spaced ``60 / rpm`` seconds apart.
* ``share_clients``: one client per service and key (``factsift.clients``).

Clients get these options through the module's extension point, the global
``factsift.factsift.OpenAI``, which the run replaces while it is being
iterated (so run one batch at a time in a process). Every client also gets
``http_client=openai.DefaultHttpxClient(event_hooks={"request": [hook]})``:
httpx (and the stand-in) calls the hook before every HTTP request, which is
where the rate limit waits and where the requests of each record are counted
(``counts.retried``: records whose request was sent more than once).

With ``processes`` above 1 the instance is pickled to the worker processes
(started fresh, not forked) and each of them builds clients from the
``openai`` package; an ``OpenAI`` replaced in this process does not reach them.
``close()``, or the end of a ``with`` block, cancels the inputs not yet
started and ends the worker processes, however the iteration was left (a
``break``, an exception, Ctrl-C); a run that is only dropped is cancelled when
the garbage collector frees it.
"""

import collections
import contextlib
import os
import queue
import signal
import threading
import time
import types

from factsift import clients

__all__ = ["Batch", "Counts", "run", "RESULT_KEYS"]

# Method: key of the generated text in its records.
RESULT_KEYS = {"extract": "summary", "refined_title": "title"}
WINDOW_PER_REQUEST = 4


# A namespace, not a dataclass: dataclasses costs the command line's start more than
# a thousand documents' bookkeeping.
class Counts(types.SimpleNamespace):
    """ok and error records; retried: records whose request was sent more than once;
    requests: HTTP requests sent, retries included."""

    def __init__(self, ok=0, error=0, retried=0, requests=0):
        super().__init__(ok=ok, error=error, retried=retried, requests=requests)


def run(target, inputs, *, method=None, jobs=8, prompt="", length=200, retries=2, timeout=None,
        rpm=None, processes=1, window=None, share_clients=True, id_key="id"):
    """Records for every input, in input order, as an iterator (a `Batch`); see the module's help."""
    instance, name = _resolve(target, method)
    _check(jobs=jobs, processes=processes, retries=retries, window=window, timeout=timeout, rpm=rpm)
    spec = _Spec(instance, name, prompt, length, retries, timeout, share_clients,
                 rpm, _rate_slot(rpm, processes))
    return Batch(spec, inputs, jobs, processes, window or WINDOW_PER_REQUEST * jobs * processes, id_key)


def _resolve(target, method):
    instance, name = (target, method) if method is not None else (
        getattr(target, "__self__", None), getattr(target, "__name__", None))
    if instance is None or name not in RESULT_KEYS:
        raise TypeError("expected an AISummary method (s.extract, s.refined_title), "
                        "or the instance and method='extract' or 'refined_title'")
    return instance, name


def _check(*, timeout, rpm, **counts):
    for option, value in counts.items():
        low = 0 if option == "retries" else 1
        if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < low):
            raise ValueError(f"{option} must be a whole number of at least {low}, not {value!r}")
    for option, value in (("timeout", timeout), ("rpm", rpm)):
        if value is not None and not 0 < value < float("inf"):
            raise ValueError(f"{option} must be a positive number, not {value!r}")


class _Spec:
    """What a worker (this process or another) needs to run the method; picklable."""

    def __init__(self, instance, name, prompt, length, retries, timeout, share_clients, rpm, rate_slot):
        self.instance, self.name, self.prompt, self.length = instance, name, prompt, length
        self.retries, self.timeout, self.share_clients = retries, timeout, share_clients
        self.rpm, self.rate_slot = rpm, rate_slot


def _error_record(name, message):
    return {RESULT_KEYS[name]: "", "content": "", "status": "error", "error": message}


def _describe(exc):
    try:
        return f"{type(exc).__name__}: {exc}"
    except Exception:
        return type(exc).__name__


_END = object()  # the end of the inputs
_SIGNAL_TICK = 0.1  # seconds: how late a Ctrl-C may be noticed while a record is awaited


class _Slot:
    """Where the result for one input arrives, for the thread that hands records out.

    Waiting is an acquire of a plain lock, which runs in C: a Ctrl-C that
    lands while the consumer waits raises there and leaves nothing half done.
    (concurrent.futures.Future waits on a condition written in Python; an
    interrupt between two of its lines can leave it locked, and the worker
    that then settles it hangs.) The wait is timed: when the signal is
    delivered to another thread, nothing wakes a blocked acquire, and Python
    runs the handler in this thread only at its next step.
    """

    __slots__ = ("_ready", "_outcome", "cancelled")

    def __init__(self):
        self._ready = threading.Lock()
        self._ready.acquire()
        self._outcome = None  # (result, exception), set once
        self.cancelled = False  # a worker that has not started on it skips it

    def settle(self, result=None, error=None):
        self._outcome = (result, error)
        self._ready.release()

    def done(self):
        return self._outcome is not None

    def result(self):
        while not self._ready.acquire(timeout=_SIGNAL_TICK):
            pass
        result, error = self._outcome
        if error is not None:
            raise error
        return result

    def cancel(self):
        self.cancelled = True


def _settled(result):
    slot = _Slot()
    slot.settle(result)
    return slot


class Batch:
    """The records of a run, in input order; `counts` covers those handed out so far."""

    def __init__(self, spec, inputs, jobs, processes, window, id_key):
        self.counts = Counts()
        self._spec, self._id_key = spec, id_key
        self._pending = collections.deque()  # (id, slot of (record, requests sent)) in input order
        self._records = self._in_order(iter(inputs), jobs, processes, window)

    def __iter__(self):
        return self

    def __next__(self):
        return next(self._records)

    def close(self):
        """Stop: cancel what has not started, end the worker processes."""
        self._records.close()

    def ready(self):
        """Whether the next record is there to be handed out, with no wait for a request or for input."""
        pending = self._pending
        return bool(pending) and pending[0][1].done()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _in_order(self, inputs, jobs, processes, window):
        pool = _Processes(self._spec, processes, jobs) if processes > 1 else _Threads(self._spec, jobs)
        finished = False
        try:
            yield from self._handed_out(inputs, pool, window)
            finished = True
        finally:
            for _, slot in self._pending:
                slot.cancel()
            pool.close(cancel=not finished)

    # The loop has no handler of its own, and the clean-up is in the caller: CPython 3.11
    # to 3.13 can skip the handlers of the frame whose loop an interrupt (Ctrl-C) stops at
    # the jump back, while one raised from a call into a frame always meets them.
    def _handed_out(self, inputs, pool, window):
        pending = self._pending
        position, more = 0, True
        while pending or more:
            # A finished record goes out before more input is read: reading may block.
            if more and len(pending) < window and not (pending and pending[0][1].done()):
                item = next(inputs, _END)
                if item is _END:
                    more = False
                    continue
                key, text = item if isinstance(item, (tuple, list)) and len(item) == 2 else (position, item)
                position += 1
                pending.append((key, self._submit(pool, text)))
                continue
            key, slot = pending.popleft()
            yield self._record(key, slot.result())

    def _submit(self, pool, text):
        if isinstance(text, BaseException):
            return _settled((_error_record(self._spec.name, str(text)), 0))
        return pool.submit(text)

    def _record(self, key, result):
        record, requests = result
        record[self._id_key] = key
        counts = self.counts
        if record.get("status") == "ok":
            counts.ok += 1
        else:
            counts.error += 1
        counts.requests += requests
        counts.retried += requests > 1
        return record


# --- the work of one process ---

class _RateSlot:
    """The earliest time of the next request, for the threads of one process."""

    def __init__(self):
        self.value = 0.0
        self._lock = threading.Lock()

    def get_lock(self):
        return self._lock


def _rate_slot(rpm, processes):
    if rpm is None:
        return None
    if processes > 1:  # shared memory: time.monotonic() is one clock for the whole machine
        return _spawning().Value("d", 0.0)
    return _RateSlot()


class _Requests:
    """The request event hook: waits for the rate limit, then counts the request for its thread."""

    def __init__(self, rpm, slot):
        self._interval = None if rpm is None else 60.0 / rpm
        self._slot = slot
        self.local = threading.local()  # count: requests of this thread's current input

    def __call__(self, request):
        if self._interval is not None:
            self._wait_turn()
        local = self.local
        local.count = getattr(local, "count", 0) + 1

    def _wait_turn(self):
        # Requests spaced 60/rpm apart: never more than rpm in any minute.
        with self._slot.get_lock():
            now = time.monotonic()
            turn = max(now, self._slot.value)
            self._slot.value = turn + self._interval
        if turn > now:
            time.sleep(turn - now)


def _http_client(hook):
    # The package factsift.factsift's clients come from: the real openai or the stand-in.
    import openai
    if not hasattr(openai, "DefaultHttpxClient"):
        raise RuntimeError("factsift.batch needs openai 1.17 or later (openai.DefaultHttpxClient)")
    return openai.DefaultHttpxClient(event_hooks={"request": [hook]})


class _Work:
    """One input's text in, (record, HTTP requests sent) out; never raises an Exception."""

    def __init__(self, spec):
        self.spec = spec
        self.method = getattr(spec.instance, spec.name)
        self.hook = _Requests(spec.rpm, spec.rate_slot)

    def __call__(self, text):
        counter = self.hook.local
        counter.count = 0
        spec = self.spec
        try:
            record = dict(self.method(text, spec.prompt, spec.length))
        except Exception as exc:
            record = _error_record(spec.name, _describe(exc))
        return record, counter.count

    def clients(self, stack):
        """Install the client options (and sharing) until `stack` closes."""
        options = {"max_retries": self.spec.retries, "http_client": _http_client(self.hook)}
        if self.spec.timeout is not None:
            options["timeout"] = self.spec.timeout
        stack.enter_context(clients.client_options(**options))
        if self.spec.share_clients:
            stack.enter_context(clients.shared_clients())


class _Threads:
    """Runs the work on up to `jobs` threads of this process.

    Daemon threads: after Ctrl-C, a request waiting on the network must not
    keep the process alive (its client may wait minutes).
    """

    def __init__(self, spec, jobs):
        self._work = _Work(spec)
        self._jobs, self._started = jobs, 0
        self._queue = queue.SimpleQueue()
        self._stack = contextlib.ExitStack()
        self._work.clients(self._stack)

    def submit(self, text):
        slot = _Slot()
        self._queue.put((slot, text))
        if self._started < self._jobs:
            self._started += 1
            threading.Thread(target=self._serve, name=f"factsift-job-{self._started - 1}",
                             daemon=True).start()
        return slot

    def _serve(self):
        while (task := self._queue.get()) is not None:
            slot, text = task
            if slot.cancelled:
                continue
            try:
                result = self._work(text)
            except BaseException as exc:  # the consumer decides
                slot.settle(error=exc)
            else:
                slot.settle(result)

    def close(self, cancel):
        for _ in range(self._started):
            self._queue.put(None)
        self._stack.close()


# --- worker processes ---

# multiprocessing and pickle are imported where they are used: a run in one process
# never needs them, and their imports are a good part of the command line's start.

def _spawning():
    import multiprocessing

    return multiprocessing.get_context("spawn")  # forking a process with threads is unsafe


class _Worker:
    def __init__(self, process, tasks, results):
        self.process, self.tasks, self.results = process, tasks, results
        self.pending = {}  # sequence number: slot
        self.alive = True


class _Processes:
    """Runs the work in worker processes, each with `jobs` threads.

    Each worker has a pipe of its own for tasks and one for results, so this
    process knows which inputs a worker that dies took with it: they get
    "error" records, and the other workers go on. A worker whose task pipe
    closes without a goodbye (this process was killed) exits at once.
    """

    def __init__(self, spec, count, jobs):
        context = _spawning()
        self._name = spec.name
        self._lock = threading.Lock()
        self._sequence = 0
        self._workers = []
        try:
            for n in range(count):
                self._workers.append(self._start(context, spec, jobs, n))
        except BaseException:
            for worker in self._workers:
                worker.process.kill()
            self._end_all()
            raise
        self._reader = threading.Thread(target=self._read, name="factsift-results", daemon=True)
        self._reader.start()

    @staticmethod
    def _start(context, spec, jobs, n):
        task_reader, task_writer = context.Pipe(duplex=False)
        result_reader, result_writer = context.Pipe(duplex=False)
        process = context.Process(target=_worker_main, args=(spec, jobs, task_reader, result_writer),
                                  name=f"factsift-worker-{n}", daemon=True)
        try:
            process.start()
        finally:
            task_reader.close()
            result_writer.close()
        return _Worker(process, task_writer, result_reader)

    def submit(self, text):
        import pickle

        self._sequence += 1
        try:
            task = pickle.dumps((self._sequence, text))
        except Exception as exc:
            message = f"cannot pass the text to a worker process: {_describe(exc)}"
            return _settled((_error_record(self._name, message), 0))
        slot = _Slot()
        with self._lock:
            # A generator, not a list: no loop of this frame may hold the lock (see _handed_out).
            worker = min((w for w in self._workers if w.alive), key=lambda w: len(w.pending), default=None)
            if worker is None:
                return _settled((_error_record(self._name, "no worker process is left"), 0))
            worker.pending[self._sequence] = slot
        try:
            worker.tasks.send_bytes(task)
        except OSError:
            pass  # the worker has gone; the reader gives its inputs error records
        return slot

    def _read(self):
        import pickle
        from multiprocessing.connection import wait

        workers = {w.results: w for w in self._workers}
        while workers:
            for conn in wait(list(workers)):
                worker = workers[conn]
                try:
                    sequence, requests, data = pickle.loads(conn.recv_bytes())
                except (EOFError, OSError):
                    del workers[conn]
                    self._lost(worker)
                    continue
                with self._lock:
                    slot = worker.pending.pop(sequence)
                slot.settle((self._unpickled(data), requests))

    def _unpickled(self, data):
        import pickle

        try:
            return pickle.loads(data)
        except Exception as exc:
            return _error_record(self._name, f"the result from the worker process cannot be "
                                             f"read: {_describe(exc)}")

    def _lost(self, worker):
        worker.process.join(5)
        message = f"the worker process ended (exit code {worker.process.exitcode}) before answering"
        with self._lock:
            worker.alive = False
            pending, worker.pending = worker.pending, {}
        for slot in pending.values():
            slot.settle((_error_record(self._name, message), 0))

    def close(self, cancel):
        import pickle

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

    def _end_all(self):
        for worker in self._workers:
            worker.tasks.close()
        for worker in self._workers:
            worker.process.join()


def _worker_main(spec, jobs, tasks, results):
    """A worker process: runs each task it is sent on `jobs` threads, sends back each result."""
    import pickle

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is for the parent to handle
    work = _Work(spec)
    todo = queue.SimpleQueue()
    send_lock = threading.Lock()

    def serve():
        while (task := todo.get()) is not None:
            sequence, text = task
            record, requests = work(text)
            reply = _result_bytes(spec.name, sequence, record, requests)
            try:
                with send_lock:
                    results.send_bytes(reply)
            except OSError:
                os._exit(1)  # the parent has gone

    with contextlib.ExitStack() as stack:
        work.clients(stack)
        threads = [threading.Thread(target=serve, name=f"factsift-job-{n}", daemon=True)
                   for n in range(jobs)]
        for thread in threads:
            thread.start()
        while True:
            try:
                task = pickle.loads(tasks.recv_bytes())
            except EOFError:
                os._exit(1)  # the parent was killed: nobody wants the rest
            if task is None:
                break
            todo.put(task)
        for _ in threads:
            todo.put(None)
        for thread in threads:
            thread.join()


def _result_bytes(name, sequence, record, requests):
    """The message for one result: the record is a pickle of its own, so a bad one spoils no other."""
    import pickle

    try:
        data = pickle.dumps(record)
    except Exception as exc:  # a reply the client built that pickle cannot carry
        message = f"the result cannot be passed back from the worker process: {_describe(exc)}"
        data = pickle.dumps(_error_record(name, message))
    return pickle.dumps((sequence, requests, data))
