"""Interpreter exit while daemon threads are parked inside a method.

A daemon thread that wakes while the interpreter finalises is ended where it
stands; nothing of the module may then release references without the GIL.
"""

import subprocess
import sys

import pytest

from conftest import PRELUDE

# Eight daemon threads park in one step of a method; the main thread exits.
# A garbage cycle whose finaliser sleeps keeps the finalisation busy (GIL
# released) until the threads wake, so they are ended during it.
SCRIPT = PRELUDE + """
import gc, re, threading, time, types
import factsift.factsift as M
step, method = sys.argv[1], sys.argv[2]
parked = threading.Semaphore(0)

def park(*args, **kwargs):
    parked.release()
    time.sleep(0.1)

class Client:
    def __init__(self, **kwargs):
        if step == "client":
            park()
        self.chat = types.SimpleNamespace(completions=self)

    def create(self, **kwargs):
        park()

if step == "clean":
    M.re = types.SimpleNamespace(compile=re.compile, sub=park)
M.OpenAI = Client
s = M.AISummary("u", "k", "m")
for _ in range(8):
    threading.Thread(target=getattr(s, method), args=("a, b",), daemon=True).start()
for _ in range(8):
    parked.acquire()

gc.disable()
class Busy:
    def __del__(self, sleep=time.sleep):
        sleep(0.4)
cycle = Busy()
cycle.me = cycle
del cycle
"""


@pytest.mark.slow  # a fresh interpreter each, a dozen in all
@pytest.mark.parametrize("method", ["extract", "refined_title"])
@pytest.mark.parametrize("step", ["clean", "client", "request"])
def test_exit_with_threads_parked_in_a_step(tmp_path, step, method):
    for _ in range(2):
        proc = subprocess.run([sys.executable, "-c", SCRIPT, step, method], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
