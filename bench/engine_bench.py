"""Ingest and search figures of the Python module.

Adds per second at 128-d and 768-d from Python lists and from numpy rows, and
search latency (k = 10, one query per call) at 10k and 100k documents.

    PYTHONPATH=build/python /usr/bin/python3 bench/engine_bench.py
"""
import argparse
import json
import os
import statistics
import tempfile
import time

import numpy as np

import ostrel


def unit_rows(rng, n, dim):
    x = rng.standard_normal((n, dim)).astype(np.float32)
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def quiet_fd1():
    """Silences file descriptor 1 (the activation line) and returns a restorer."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)

    def restore():
        os.dup2(saved, 1)
        os.close(saved)

    return restore


def ingest(rows, as_lists):
    vectors = [r.tolist() for r in rows] if as_lists else rows
    metas = [json.dumps({"cat": f"c{i % 100}", "price": float(i % 1000), "year": 1990 + i % 30})
             for i in range(len(rows))]
    with tempfile.TemporaryDirectory() as d:
        db = ostrel.OstrelDB(d)
        restore = quiet_fd1()
        start = time.perf_counter()
        for i, v in enumerate(vectors):
            db.add(i, v, metas[i])
        elapsed = time.perf_counter() - start
        restore()
    return len(rows) / elapsed


def search_latency(rows, queries, k=10, filter_json=None):
    with tempfile.TemporaryDirectory() as d:
        db = ostrel.OstrelDB(d)
        restore = quiet_fd1()
        for i, v in enumerate(rows):
            db.add(i, v, json.dumps({"cat": f"c{i % 100}", "price": float(i % 1000)}))
        restore()
        times = []
        for q in queries:
            start = time.perf_counter()
            db.search(q, k, filter_json)
            times.append(time.perf_counter() - start)
    times.sort()
    return statistics.median(times) * 1e6, times[int(len(times) * 0.95)] * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--adds", type=int, default=20000)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    rng = np.random.default_rng(42)
    for dim in (128, 768):
        rows = unit_rows(rng, args.adds, dim)
        print(f"ingest {dim}-d x {args.adds}: lists {ingest(rows, True):,.0f} adds/s, "
              f"numpy rows {ingest(rows, False):,.0f} adds/s")
    for n in (10_000, 100_000):
        rows = unit_rows(rng, n, 128)
        queries = unit_rows(rng, args.queries, 128)
        p50, p95 = search_latency(rows, queries)
        fp50, _ = search_latency(rows, queries, filter_json='{"cat": {"$eq": "c7"}}')
        print(f"search 128-d, {n:,} docs, k=10: p50 {p50:.0f} us, p95 {p95:.0f} us; "
              f"filtered (equality) p50 {fp50:.0f} us")


if __name__ == "__main__":
    main()
