"""Interpreter exit while daemon threads are inside ostrel calls: CPython ends
a thread that wants the interpreter lock back during finalization with
pthread_exit, a forced unwind through the binding's frames."""

import subprocess
import sys

from conftest import CHILD_ENV

# Daemon threads loop over the three methods that run Python code during
# conversion (__float__, __index__, __len__, a generator's __next__) and when
# the binding drops the last reference to an item (__del__); each hook hands
# the interpreter lock over, so that at exit the threads wait for it inside a
# call, and are ended when finalization lets go of it.
EXIT_CHILD = r"""
import sys, threading, time, ostrel

def pause():
    time.sleep(0)

class Num:
    def __init__(self, value): self.value = value
    def __float__(self): pause(); return float(self.value)
    def __index__(self): pause(); return int(self.value)
    def __del__(self): pause()

class Vec:  # makes its items on the fly
    def __init__(self, n, item): self.n, self.item = n, item
    def __len__(self): pause(); return self.n
    def __getitem__(self, j): return self.item(j)
    def __iter__(self):
        for j in range(self.n):
            pause()
            yield self.item(j)

db = ostrel.OstrelDB(sys.argv[1])
for i in range(1200):
    db.add(i, [float((i * 7 + j) % 13) for j in range(8)], "{}")
calls = [lambda t, i: db.search(Vec(8, lambda j: Num(0.5)), 600, None, False),
         lambda t, i: db.add(Num(1200 + (t * 7919 + i) % 500), Vec(8, lambda j: Num(1.0)), "{}"),
         lambda t, i: db.build_results(Vec(600, lambda j: (Num(j), Num(0.5))), True)]

def loop(t):
    for i in range(10**9):
        try:
            calls[i % 3](t, i)
        except RuntimeError:  # the instance is claimed by another thread
            pass

for t in range(4):
    threading.Thread(target=loop, args=(t,), daemon=True).start()
time.sleep(0.5)
"""


def test_exit_with_daemon_threads_inside_calls(tmp_path):
    runs, batch, failures = 24, 6, []
    for first in range(0, runs, batch):
        procs = [subprocess.Popen([sys.executable, "-c", EXIT_CHILD, str(tmp_path / f"db{n}")], env=CHILD_ENV,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                 for n in range(first, first + batch)]
        for p in procs:
            _, err = p.communicate(timeout=120)
            if p.returncode != 0 or "Fatal" in err or "FATAL" in err:
                failures.append((p.returncode, err[-300:]))
    assert failures == [], f"{len(failures)} of {runs} runs failed"
