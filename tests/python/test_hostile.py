"""Hostile input from Python: lying lengths, enormous vectors and texts,
long loops watched for memory and reference leaks, and memory
exhaustion. (Entry points never release the interpreter lock: threads only
meet inside a call through Python code run by a conversion, which
test_binding's re-entrant cases cover, or at exit: test_shutdown.)"""

import itertools
import os
import pathlib
import sys

import numpy as np
import pytest

from conftest import DOC, EMULATED, Seq, run_children
from ostrel import OstrelDB

# Under AddressSanitizer freed memory sits in quarantine and address-space
# limits hit the shadow mappings: resident size and RLIMIT_AS mean nothing.
SANITIZED = "libasan" in pathlib.Path("/proc/self/maps").read_text()
needs_plain_malloc = pytest.mark.skipif(SANITIZED, reason="sanitizer allocator")
needs_address_limit = pytest.mark.skipif(EMULATED, reason="qemu-user ignores RLIMIT_AS")


@pytest.mark.parametrize("length", [0, 2**63 - 1, TypeError()], ids=repr)
def test_lying_lengths_only_size_the_buffer(db, length):
    """__len__ (wrong, huge or failing) only sizes the buffer: iteration counts."""
    db.add(0, Seq(length, [1.0, 2.0, 3.0]), DOC)
    db.add(1, Seq(length, [3.0, 2.0, 1.0]), DOC)
    assert [i for i, _, _ in db.search(Seq(length, [1.0, 2.0, 3.0]), 1)] == [0]
    scored = Seq(length, [(0, 0.5), (1, 0.25), (7, 1.0)])
    assert db.build_results(scored, True) == [(0, 0.5, DOC), (1, 0.25, DOC)]
    with pytest.raises(ValueError, match="^Dimension mismatch: expected 3, got 100000$"):
        db.add(2, Seq(length, itertools.repeat(0.5, 100_000)), DOC)


def test_million_components_and_fifty_megabytes_of_metadata(db, tmp_path):
    big, text = [0.5] * 1_000_000, '{"blob": "' + "x" * 50_000_000 + '"}'
    db.add(0, big, text)  # fixes the dimension
    db.add(1, np.full(1_000_000, 0.5), DOC)
    assert db.search(big, 5) == [(0, 1.0, text), (1, 1.0, DOC)]
    assert (tmp_path / "db" / "metadata.bin").stat().st_size == len(text) + 2
    assert db.delete('{"blob": {"$exists": true}}') == 1


def test_memory_and_references_stay_flat(tmp_path):
    vec, bad_vec = [0.25, -1.5, 3.0, 0.125], [0.25, "not a number"]
    scored = [(1, 0.5), (2, 0.25), (999, 1.0)]
    meta, bad_json = '{"c": "red", "n": 7, "s": {"x": [1, 2.5]}}', '{"c": [1, '
    flt, lying = '{"$or": [{"n": {"$gte": 3}}, {"c": {"$in": ["red", "blue"]}}]}', Seq(10**6, vec)
    watched = [vec, *vec, bad_vec, bad_vec[1], meta, flt, bad_json, scored, *scored, lying]
    calls = [  # (method, arguments after add's id, the exception raised or None)
        ("add", (vec, meta), None), ("add", (vec, bad_json), ValueError),  # the record is written
        ("add", (lying, meta, 3600), None), ("add", (bad_vec, meta), TypeError),
        ("add", (vec[:3], meta), ValueError), ("search", (vec, 5), None),
        ("search", (vec, 5, flt, False), None), ("search", (vec, 5, bad_json), ValueError),
        ("build_results", (scored, True), None), ("count", (), None),
        ("build_results", ([(1, 0.5, 1)], True), ValueError), ("delete", (bad_json,), ValueError),
    ]

    def run(n):
        # A fresh instance every 2000 calls: releasing it must give everything
        # back, and the candidate index (it files a re-added id again) stays small.
        for start in range(0, n, 2000):
            db = OstrelDB(str(tmp_path / "db"))
            db.add(0, vec, meta)  # fixes the dimension
            for i in range(start, start + 2000):
                method, args, exc = calls[i % len(calls)]
                try:  # ids are re-used, so slots stay put
                    getattr(db, method)(*([i % 64] if method == "add" else []), *args)
                    assert exc is None, i
                except Exception as e:  # noqa: BLE001 - checked right here
                    assert type(e) is exc, (i, e)

    def resident_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    run(4_000 if SANITIZED else 20_000)  # warm-up: allocator pools, caches
    refs, rss = [sys.getrefcount(o) for o in watched], resident_bytes()
    run(20_000 if SANITIZED else 200_000)
    assert [sys.getrefcount(o) for o in watched] == refs
    assert SANITIZED or resident_bytes() - rss < 4 * 2**20  # 0 observed: a per-call leak shows


# Runs under a (soft) address-space limit in a child process and prints the
# outcome of each step: its result or the name of the exception it raised.
LIMITED_CHILD = r"""
import array, itertools, resource, sys, ostrel

def headroom(mib):
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    limit = resource.RLIM_INFINITY if mib is None else used + mib * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))

def outcome(call):
    try:
        return repr(call())
    except BaseException as e:
        return type(e).__name__

class Endless(list):  # yields its first item forever
    __iter__ = lambda self: itertools.repeat(self[0])

db = ostrel.OstrelDB(sys.argv[1])
if sys.argv[2] == "parallel":
    for i in range(1500):
        db.add(i, [float((i * 7919 + j * 104729) % 1000) - 500.0 for j in range(16)], "{}")
    steps = [lambda: len(db.search([1.0] * 16, 3000))] * 20  # 1500 candidates: worker pool
    print(steps[0]())  # the pool is up and its threads have run
    headroom(0)
else:
    vector = array.array("f", bytes(4 * 10_000_000))  # 40 MB; its hyperplanes need 1.28 GB
    headroom(200)
    print(outcome(lambda: db.add(0, vector, "{}")), outcome(db.count))
    headroom(48)
    steps = [lambda: db.add(0, Endless([1.0]), "{}"), lambda: db.search(Endless([1.0]), 1),
             lambda: db.build_results(Endless([(1, 0.5)]), False), db.count]
outcomes = [outcome(step) for step in steps]
headroom(None)
print(*outcomes)
print(outcome(lambda: db.add(0, [1.0] * 16, "{}")), outcome(db.count))
"""


@needs_plain_malloc
@needs_address_limit
def test_running_out_of_memory_raises_memory_error(tmp_path):
    out = run_children(LIMITED_CHILD, [tmp_path / "a", "serial"], [tmp_path / "b", "parallel"])
    assert out[0].splitlines() == [
        "MemoryError 0",  # the failed first add fixed nothing, not even the counter
        "MemoryError MemoryError MemoryError 0",
        "None 1",  # and the instance works on
    ]
    first, outcomes, last = out[1].splitlines()  # the same on the worker pool
    assert (first, last) == ("1500", "None 1500")
    assert set(outcomes.split()) <= {"1500", "MemoryError"}
