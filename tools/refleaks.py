"""Reference-leak hunting for pytest under a debug build of CPython.

    PYTHONPATH=tools python3.11-dbg -m pytest -p refleaks [--refleaks=WARMUPS:RUNS] tests/...

Every test item runs WARMUPS + RUNS times without being reported, then once more as usual. After each
of the unreported runs the plugin clears the interpreter's caches, collects garbage and reads
sys.gettotalrefcount(), sys.getallocatedblocks() and the number of open file descriptors. A test
leaks when every one of its RUNS measured runs raised the reference count (or the block count) by at
least one, or changed the descriptor count at all: the rule of CPython's own `regrtest -R`, which
tolerates the odd cache filling late but not steady growth. Leaks are listed per test module at the
end, and any leak fails the session.

Each item is measured on its own rather than each module as a whole: a leak is then pinned to one
test, and fixtures of module or session scope are made once, during the warm-up of the first test
that uses them, and kept across the repetitions, so their set-up never counts as a leak. Tests that
use a fixture from NOT_MEASURED start other processes or servers; they exercise nothing in this
process and run once, unmeasured.
"""

import collections.abc
import copyreg
import gc
import os
import sys
import warnings
from abc import _get_dump
from inspect import isabstract

import pytest
from _pytest.runner import runtestprotocol

NOT_MEASURED = {"fresh", "devserver"}
# Item attributes that plugins replace at every run; dropped so that the counts cannot move with them.
RUN_ATTRIBUTES = ("hypothesis_report_information", "hypothesis_statistics")


def pytest_addoption(parser):
    parser.addoption("--refleaks", default="3:3", metavar="WARMUPS:RUNS",
                     help="repetitions of each test before measuring, and measured repetitions (3:3)")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("-p refleaks needs a debug build of Python (sys.gettotalrefcount)")
    try:
        warmups, runs = (int(n) for n in config.getoption("refleaks").split(":"))
    except ValueError:
        raise pytest.UsageError("--refleaks takes WARMUPS:RUNS, two integers") from None
    if warmups < 0 or runs < 1:
        raise pytest.UsageError("--refleaks needs WARMUPS >= 0 and RUNS >= 1")
    try:
        from hypothesis import settings
    except ImportError:
        pass
    else:
        # The same examples in every repetition, and no example database on disk: random examples
        # would fill interpreter caches (interned names, for one) differently at each run. A debug
        # interpreter is slow, and time is not what is measured here.
        settings.register_profile("refleaks", derandomize=True, database=None, deadline=None)
        settings.load_profile("refleaks")
    config.pluginmanager.register(Hunter(warmups, runs), "refleaks-hunter")


class _Parents:
    """Stands for the next item in a repetition's teardown: the item is torn down, its parents stay."""

    def __init__(self, item):
        self.chain = item.listchain()[:-1]

    def listchain(self):
        return self.chain


def _kept_finalizers(item):
    """Finalizer lists that outlive one run: those of the item's parents and of its wider fixtures.

    pytest appends to them whenever a test merely uses a fixture of wider scope that already
    exists; in a normal session that costs a little per test, in a repetition it would read as a
    leak. Whatever a repetition after the first appends there is such a duplicate."""
    lists = [finalizers for node, (finalizers, _) in item.session._setupstate.stack.items() if node is not item]
    fixtureinfo = getattr(item, "_fixtureinfo", None)
    for fixturedefs in (fixtureinfo.name2fixturedefs.values() if fixtureinfo else ()):
        lists += [d._finalizers for d in fixturedefs if d.scope != "function"]
    return lists


def _fd_count():
    return len(os.listdir("/proc/self/fd"))


class Hunter:
    def __init__(self, warmups, runs):
        self.warmups, self.runs = warmups, runs
        self.results = {}  # nodeid -> (ref deltas, block deltas, fd deltas) of the measured runs
        self.unmeasured = {}  # nodeid -> why
        # Deltas stored from this pool allocate nothing while the counts are being taken.
        self.int_pool = {value: value for value in range(-1000, 1000)}
        self.filters = self.dispatch = self.importer_cache = self.abcs = None

    def save_state(self):
        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importer_cache = sys.path_importer_cache.copy()
        self.abcs = {}
        for abc in (getattr(collections.abc, name) for name in collections.abc.__all__):
            if isabstract(abc):
                for cls in abc.__subclasses__() + [abc]:
                    self.abcs[cls] = _get_dump(cls)[0]

    def cleanup(self, item):
        """Drop what the interpreter and the test machinery cache, so that only what a test keeps counts."""
        item._report_sections.clear()
        for name in RUN_ATTRIBUTES:
            item.__dict__.pop(name, None)
        warnings.filters[:] = self.filters
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importer_cache)
        for abc in (getattr(collections.abc, name) for name in collections.abc.__all__):
            if isabstract(abc):
                for cls in abc.__subclasses__() + [abc]:
                    for ref in self.abcs.get(cls, ()):
                        if ref() is not None:
                            cls.register(ref())
                    cls._abc_caches_clear()
        for mod in list(sys.modules.values()):
            if getattr(mod, "__warningregistry__", None) is not None:
                del mod.__warningregistry__
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            if stream is not None:
                stream.flush()
        for name, clear in CACHE_CLEARERS:
            mod = sys.modules.get(name)
            if mod is not None:
                clear(mod)
        sys._clear_type_cache()
        for _ in range(3):
            gc.collect()

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        excluded = NOT_MEASURED.intersection(getattr(item, "fixturenames", ()))
        if excluded:
            self.unmeasured[item.nodeid] = "uses " + ", ".join(sorted(excluded))
        else:
            self.measure(item)
        runtestprotocol(item, nextitem=nextitem)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    def measure(self, item):
        if self.filters is None:
            self.save_state()
        count = self.warmups + self.runs
        # Everything the loop needs exists before the first count is taken.
        rc_deltas, block_deltas, fd_deltas = [0] * count, [0] * count, [0] * count
        self.cleanup(item)
        # What exists now is left out of the collections between runs, which then only look at what
        # the runs made: a full collection of a debug interpreter is slow.
        gc.freeze()
        try:
            outcome = self.repeat(item, count, rc_deltas, block_deltas, fd_deltas)
        finally:
            gc.unfreeze()
        if outcome is not None:
            self.unmeasured[item.nodeid] = "skipped" if outcome == "skipped" else f"{outcome} in a repetition"
            return
        self.results[item.nodeid] = (rc_deltas[self.warmups:], block_deltas[self.warmups:],
                                     fd_deltas[self.warmups:])

    def repeat(self, item, count, rc_deltas, block_deltas, fd_deltas):
        pooled = self.int_pool.setdefault
        gettotalrefcount, getallocatedblocks, fd_count = sys.gettotalrefcount, sys.getallocatedblocks, _fd_count
        outcome, parents, kept = None, _Parents(item), None
        blocks_before, rc_before, fd_before = getallocatedblocks(), gettotalrefcount(), fd_count()
        for i in range(count):
            # Warnings of these runs are dropped; the reported run shows them.
            with warnings.catch_warnings(record=True):
                reports = runtestprotocol(item, nextitem=parents, log=False)
            outcome = next((r.outcome for r in reports if not r.passed), None)
            del reports
            if outcome is not None:
                break
            if i == 0:
                kept = [(finalizers, len(finalizers)) for finalizers in _kept_finalizers(item)]
            else:
                for finalizers, length in kept:
                    del finalizers[length:]
            self.cleanup(item)
            blocks_after, rc_after, fd_after = getallocatedblocks(), gettotalrefcount(), fd_count()
            rc_deltas[i] = pooled(rc_after - rc_before, rc_after - rc_before)
            block_deltas[i] = pooled(blocks_after - blocks_before, blocks_after - blocks_before)
            fd_deltas[i] = pooled(fd_after - fd_before, fd_after - fd_before)
            blocks_before, rc_before, fd_before = blocks_after, rc_after, fd_after
        return outcome

    def leaks(self):
        """nodeid -> list of (what, deltas), for the tests that leaked."""
        found = {}
        for nodeid, (refs, blocks, fds) in self.results.items():
            kinds = [(what, deltas) for what, deltas, leaked in [
                ("references", refs, all(d >= 1 for d in refs)),
                ("memory blocks", blocks, all(d >= 1 for d in blocks)),
                ("file descriptors", fds, any(fds))] if leaked]
            if kinds:
                found[nodeid] = kinds
        return found

    def unstable(self):
        return {n: why for n, why in self.unmeasured.items() if why.endswith("in a repetition")}

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionfinish(self, session):
        if (self.leaks() or self.unstable()) and session.exitstatus == 0:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        leaks, unstable = self.leaks(), self.unstable()
        tr.section(f"reference leaks (-R {self.warmups}:{self.runs})")
        modules = {}
        for nodeid in list(self.results) + list(self.unmeasured):
            modules.setdefault(nodeid.split("::")[0], []).append(nodeid)
        for module, nodeids in modules.items():
            measured = sum(n in self.results for n in nodeids)
            leaking = sum(n in leaks for n in nodeids)
            skipped = len(nodeids) - measured
            line = f"{module}: {measured} measured, {leaking} leaking"
            tr.write_line(line + (f", {skipped} not measured" if skipped else ""),
                          red=bool(leaking), green=not leaking)
            for nodeid in nodeids:
                for what, deltas in leaks.get(nodeid, ()):
                    tr.write_line(f"    {nodeid} leaked {deltas} {what}, sum={sum(deltas)}", red=True)
                if nodeid in unstable:
                    tr.write_line(f"    {nodeid}: {unstable[nodeid]}", red=True)
        if not modules:
            tr.write_line("no test measured")


def _clear_typing(mod):
    for clear in mod._cleanups:
        clear()


# Module caches that fill as a side effect of running a test, cleared when the module is loaded.
CACHE_CLEARERS = [
    ("re", lambda m: m.purge()),
    ("linecache", lambda m: m.clearcache()),
    ("struct", lambda m: m._clearcache()),
    ("typing", _clear_typing),
    ("ctypes", lambda m: m._reset_cache()),
    ("urllib.parse", lambda m: m.clear_cache()),
    ("_strptime", lambda m: m._regex_cache.clear()),
    ("mimetypes", lambda m: m._default_mime_types()),
    ("filecmp", lambda m: m._cache.clear()),
    ("doctest", lambda m: setattr(m, "master", None)),
    # hypothesis keeps up to 1024 strategies per thread; filling slowly, it reads as a leak.
    ("hypothesis.strategies._internal.utils", lambda m: m.clear_cache()),
]
