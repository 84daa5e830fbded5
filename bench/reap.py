"""Runs a command and reports the CPU of it and of every process it started, orphans included.

    python bench/reap.py RESULT_FILE COMMAND...

A fork server's workers are children of the fork server, which the command
never waits for: its own rusage leaves them out. This process makes itself
the subreaper of everything below it (Linux), waits for the command, then for
every descendant left, and writes "exit_status seconds cpu_seconds" to
RESULT_FILE: the seconds until the command itself ended, the CPU of all.
"""
import ctypes
import os
import resource
import subprocess
import sys
import time

PR_SET_CHILD_SUBREAPER = 36


def main(result_file, *command):
    if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
    start = time.perf_counter()
    status = subprocess.call(command)
    seconds = time.perf_counter() - start
    while True:  # the orphans: a fork server and its workers, once they end
        try:
            os.wait()
        except ChildProcessError:
            break
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    with open(result_file, "w") as f:
        f.write(f"{status} {seconds} {usage.ru_utime + usage.ru_stime}\n")


if __name__ == "__main__":
    main(*sys.argv[1:])
