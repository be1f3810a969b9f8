"""Filtered recall@10 as k grows: 20,000 unit vectors (128-d, 200 clusters),
metadata {"cat": 0..99}, the filter cat < 15 (about 15 %), 200 queries from
the same mixture. Recall@10 is the share of the exact filtered ten nearest
among the first ten results of search(q, k, filter).

    PYTHONPATH=<build>/python /usr/bin/python3 bench/filtered_recall.py
"""
import contextlib
import os
import tempfile

import numpy as np
import ostrel

N, DIM, CLUSTERS, QUERIES = 20_000, 128, 200, 200
FILTER = '{"cat": {"$lt": 15}}'

rng = np.random.default_rng(11)
centres = rng.standard_normal((CLUSTERS, DIM))
x = centres[rng.integers(0, CLUSTERS, N + QUERIES)] / np.sqrt(DIM)
x += rng.standard_normal(x.shape) * 0.75 / np.sqrt(DIM)
x = (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
docs, queries = x[:N], x[N:]
cat = rng.integers(0, 100, N)
match = np.flatnonzero(cat < 15)

with tempfile.TemporaryDirectory() as d, open(os.devnull, "w") as null:
    db = ostrel.OstrelDB(d)
    with contextlib.redirect_stdout(null):
        for i in range(N):
            db.add(i, docs[i], '{"cat": %d}' % cat[i])
    truth = [set(match[np.argsort(-(docs[match] @ q))[:10]].tolist()) for q in queries]
    print(f"{len(match)} of {N} documents match {FILTER}")
    for k in (10, 50, 100, 200, 1000):
        got = [{i for i, _, _ in db.search(q, k, FILTER, False)[:10]} for q in queries]
        print(f"k = {k:5}: recall@10 {np.mean([len(g & t) / 10 for g, t in zip(got, truth)]):.3f}")
