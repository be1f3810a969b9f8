"""Compares ostrel with numpy brute force, faiss and hnswlib on the same data.

Every system sees the same seeded synthetic data: a Gaussian mixture of unit
vectors (1000 clusters) at 768-d x 20,000 and 128-d x 100,000 documents, 200
held-out queries from the same mixture, and small JSON metadata per document;
ostrel alone also runs at 128-d x 1,000,000. Each system runs in its own child
process, so resident-memory figures are separate. The result is a Markdown
report on stdout and in bench/results/<YYYY-MM-DD>.md, with a recall@10 versus
p50 plot per data set beside it (<YYYY-MM-DD>-d128.png, -d768.png).

    bash scripts/bench.sh                      # builds the module, then runs this
    PYTHONPATH=build-release/python /usr/bin/python3 bench/compare.py --build-dir build-release
    ... compare.py --quick --out /tmp/cmp.md   # 1/10 of the documents, no 1M row
"""
import argparse
import datetime
import gc
import importlib.util
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

from plot_results import recall_latency_plot

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Data set shapes: key -> (dimension, documents).
DATASETS = {"d768": (768, 20_000), "d128": (128, 100_000)}
# 1000 clusters of about 100 (128-d) or 20 (768-d) members: with fewer, larger
# clusters the true ten nearest sit in a flat neighbourhood of hundreds of
# near-equal candidates and every approximate method misses them alike.
CLUSTERS = 1000
# Norm of the noise added to a cluster centre before renormalising: each
# component gets N(0, (NOISE / sqrt(d))^2), so a member's cosine to its centre
# is about 1 / sqrt(1 + NOISE^2) = 0.8 at any dimension.
NOISE = 0.75
QUERIES = 200
EXTRA = 2_000  # documents kept back for the add-then-search rounds
WARMUP = 5  # untimed searches before every latency series
K = 10
SEED = 20240601
RAW_N = 4_000  # below the 5000-slot quantization threshold
ROUNDS = 1_000
BIG = ("big", 128, 1_000_000)  # ostrel alone, no --skip-big / --quick
BIG_CHUNK = 50_000  # rows generated, scored and copied out of the file at a time
# ostrel's memory growth at 768-d: resident bytes per document after the
# first and the last count, and between them (--quick: 20,000 and 30,000).
GROWTH = ("growth", 768, (20_000, 100_000))
# The fixed part: 64 codebooks of 256 centroids of 12 float32, and 32
# hyperplanes of 768 float32 (the candidate index at 768-d).
CODEBOOK_BYTES, HYPERPLANE_BYTES = 64 * 256 * 12 * 4, 32 * 768 * 4
QUICK_DIVISOR, QUICK_FLOOR = 10, 6_000  # --quick: n // 10 documents, at least 6,000
ACTIVATION_N = 6_000  # documents the activation worker adds

EQ_FILTER = '{"cat": {"$eq": "c17"}}'
RANGE_FILTER = '{"price": {"$lt": 100}}'
RANGE30_FILTER = '{"price": {"$lt": 300}}'
DELETE_CATS = list(range(10))  # "$in" over 10 of the 100 categories: about 10 %
DELETE_FILTER = json.dumps({"cat": {"$in": [f"c{c}" for c in DELETE_CATS]}})
DELETE_SETS = ("d128",)  # data sets whose numpy-rows database is searched after the delete

HNSW_M, HNSW_EF_CONSTRUCTION, HNSW_EF = 16, 200, 64
LSH_BITS = 32
PQ_M = {768: 64, 128: 16}  # sub-quantizers of 8 bits: 64-byte / 16-byte codes
PQ_TRAIN = 10_000  # faiss asks for at least 39 training points per centroid (256)


# ---------------------------------------------------------------- data ----


def generate(key, dim, n, out_dir):
    """Writes docs, queries, extra docs, labels and metadata columns as .npy."""
    rng = np.random.default_rng([SEED, dim])
    centres = rng.standard_normal((CLUSTERS, dim))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    total = n + QUERIES + EXTRA
    labels = rng.integers(0, CLUSTERS, total)
    x = centres[labels] + rng.standard_normal((total, dim)) * (NOISE / np.sqrt(dim))
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    x = x.astype(np.float32)
    # Metadata for documents and extra documents (queries carry none).
    meta_n = n + EXTRA
    cat = rng.integers(0, 100, meta_n)
    cents = rng.integers(0, 100_000, meta_n)  # price = cents / 100 in [0, 1000)
    year = rng.integers(1990, 2025, meta_n)
    np.save(f"{out_dir}/{key}_docs.npy", x[:n])
    np.save(f"{out_dir}/{key}_queries.npy", x[n:n + QUERIES])
    np.save(f"{out_dir}/{key}_extra.npy", x[n + QUERIES:])
    np.save(f"{out_dir}/{key}_labels.npy", labels)  # docs, then queries, then extra
    np.save(f"{out_dir}/{key}_cat.npy", cat)
    np.save(f"{out_dir}/{key}_cents.npy", cents)
    np.save(f"{out_dir}/{key}_year.npy", year)


def generate_big(key, dim, n, out_dir):
    """The same mixture at n documents, made in float32 chunks written straight
    to .npy files, so the harness never holds the whole matrix (1M x 128 float32
    is 512 MB). Queries come first, then the documents; no extra documents."""
    rng = np.random.default_rng([SEED, dim, n])
    centres = rng.standard_normal((CLUSTERS, dim)).astype(np.float32)
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    labels = rng.integers(0, CLUSTERS, n + QUERIES)
    scale = np.float32(NOISE / np.sqrt(dim))

    def rows(lab):
        x = centres[lab] + rng.standard_normal((len(lab), dim), dtype=np.float32) * scale
        x /= np.linalg.norm(x, axis=1, keepdims=True)
        return x

    np.save(f"{out_dir}/{key}_queries.npy", rows(labels[n:]))
    docs = np.lib.format.open_memmap(f"{out_dir}/{key}_docs.npy", mode="w+", dtype=np.float32,
                                     shape=(n, dim))
    for start in range(0, n, BIG_CHUNK):
        stop = min(start + BIG_CHUNK, n)
        docs[start:stop] = rows(labels[start:stop])
    docs.flush()
    del docs
    np.save(f"{out_dir}/{key}_labels.npy", labels)  # docs, then queries
    np.save(f"{out_dir}/{key}_cat.npy", rng.integers(0, 100, n))
    np.save(f"{out_dir}/{key}_cents.npy", rng.integers(0, 100_000, n))
    np.save(f"{out_dir}/{key}_year.npy", rng.integers(1990, 2025, n))


def metadata_texts(cat, cents, year):
    return [json.dumps({"cat": f"c{int(c)}", "price": int(p) / 100, "year": int(y)})
            for c, p, y in zip(cat, cents, year)]


def filter_mask(name, cat, cents):
    if name == "eq":
        return cat == 17
    if name == "range":
        return cents < 10_000
    if name == "range30":
        return cents < 30_000
    if name == "after_delete":
        return ~np.isin(cat, DELETE_CATS)
    return np.ones(len(cat), dtype=bool)


def exact_top_k(docs, queries, mask, k=K):
    """Exact cosine top-k in float64 among the documents where mask is set."""
    ids = np.flatnonzero(mask)
    d = docs[ids].astype(np.float64)
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    q = queries.astype(np.float64)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    sims = q @ d.T
    top = np.argsort(-sims, axis=1, kind="stable")[:, :k]
    return ids[top], np.take_along_axis(sims, top, axis=1)


def exact_top_k_chunked(docs, queries, k=K):
    """Exact cosine top-k over a (memory-mapped) matrix too large to copy:
    float32 scores per chunk of BIG_CHUNK rows, the k best of each chunk kept
    by argpartition, then merged. Returns (ids, similarities)."""
    q = queries.astype(np.float32)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    cand_ids, cand_sims = [], []
    for start in range(0, len(docs), BIG_CHUNK):
        block = np.array(docs[start:start + BIG_CHUNK], dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
        sims = q @ block.T
        part = np.argpartition(-sims, k - 1, axis=1)[:, :k]
        cand_ids.append(part + start)
        cand_sims.append(np.take_along_axis(sims, part, axis=1))
        del block, sims
    ids, sims = np.hstack(cand_ids), np.hstack(cand_sims)
    order = np.argsort(-sims, axis=1, kind="stable")[:, :k]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(sims, order, axis=1)


# ------------------------------------------------------------ workers ----


def rss_bytes():
    """Anonymous resident memory (RssAnon): heap and anonymous mappings, not the
    file-backed pages of shared libraries, memory-mapped inputs or metadata.bin."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


def percentile_us(lat_ns, p):
    return float(np.percentile(np.asarray(lat_ns, dtype=np.float64), p)) / 1e3


def timed_series(call, inputs, ids_of):
    """Runs `call` once per input after WARMUP untimed calls.

    Returns the latencies in ns and the result ids per input; ids are
    extracted outside the timed region."""
    for q in inputs[:WARMUP]:
        call(q)
    lat, ids = [], []
    for q in inputs:
        t0 = time.perf_counter_ns()
        r = call(q)
        lat.append(time.perf_counter_ns() - t0)
        ids.append([int(i) for i in ids_of(r)])
    return lat, ids


def row(config, lat, ids, filt="all", **extra):
    out = {"config": config, "p50": percentile_us(lat, 50), "p95": percentile_us(lat, 95),
           "ids": ids, "filter": filt}
    out.update(extra)
    return out


def load(data_dir, key, *names):
    return [np.load(f"{data_dir}/{key}_{n}.npy") for n in names]


def measure_build(build):
    """Measures wall time and RSS growth of `build()`; returns (result, s, bytes)."""
    gc.collect()
    before = rss_bytes()
    t0 = time.perf_counter()
    result = build()
    elapsed = time.perf_counter() - t0
    gc.collect()
    return result, elapsed, rss_bytes() - before


def worker_ostrel(task, data_dir):
    import ostrel

    key, mode, configs = task["set"], task["mode"], task.get("configs")
    big = configs == "big"
    # The 1M-document file is memory-mapped and copied out a chunk at a time:
    # its pages are file-backed, so they stay out of the RssAnon readings.
    docs = np.load(f"{data_dir}/{key}_docs.npy", mmap_mode="r" if big else None)
    queries, cat, cents, year = load(data_dir, key, "queries", "cat", "cents", "year")
    n = task.get("n", len(docs))
    docs = docs[:n]
    metas = metadata_texts(cat[:n], cents[:n], year[:n])
    # Random ids: distinct, drawn from the whole 32-bit range, made before the
    # first memory reading (so they cancel out like the metadata texts).
    ext = (np.random.default_rng([SEED, n, 32]).choice(2**32, n, replace=False).tolist()
           if task.get("ids") == "random32" else None)
    qs = [q.tolist() for q in queries] if mode == "lists" else list(queries)
    db_dir = tempfile.mkdtemp(prefix="ostrel-cmp-")
    try:
        db = ostrel.OstrelDB(db_dir)

        # Row views (docs[i]) and lists (docs[i].tolist()) are made one per add
        # and dropped after it: numpy keeps about 80 bytes of buffer-export data
        # for the life of every view read through the buffer protocol, and a list
        # of 128 floats takes about 4 KB, so keeping them would count as the
        # index's memory.
        def build():
            if big:
                for first in range(0, n, BIG_CHUNK):
                    block = np.array(docs[first:first + BIG_CHUNK])
                    for j in range(len(block)):
                        db.add(first + j, block[j], metas[first + j])
                    del block
            elif mode == "lists":
                # Each list is made just before its add(), outside the timed
                # calls, and dropped after it.
                spent = 0.0
                for i in range(n):
                    vector = docs[i].tolist()
                    t0 = time.perf_counter()
                    db.add(i, vector, metas[i])
                    spent += time.perf_counter() - t0
                    del vector
                return spent
            elif ext is not None:
                for i in range(n):
                    db.add(ext[i], docs[i], metas[i])
            else:
                for i in range(n):
                    db.add(i, docs[i], metas[i])

        adds_s, secs, grown = measure_build(build)
        if adds_s is not None:  # lists: the add() calls alone
            secs = adds_s
        out = {"ingest_s": secs, "n": n, "rss_growth": grown,
               "disk_bytes": os.path.getsize(os.path.join(db_dir, "metadata.bin"))}
        if mode == "lists":
            # The conversion alone, for the method note: it is not in the ingest.
            t0 = time.perf_counter()
            for i in range(n):
                docs[i].tolist()
            out["tolist_s"] = time.perf_counter() - t0
        if ext is not None:
            index_of = {v: i for i, v in enumerate(ext)}

            def ids_of(r):
                return [index_of.get(t[0], -1) for t in r[:K]]
        else:
            def ids_of(r):
                return [t[0] for t in r[:K]]
        rows = []

        def series(label, filt_name, filt, k, meta):
            lat, ids = timed_series(lambda q: db.search(q, k, filt, meta), qs, ids_of)
            rows.append(row(label, lat, ids, filt_name))

        if configs == "full":
            for meta in (True, False):
                series(f"unfiltered, include_metadata={meta}", "all", None, K, meta)
            for meta in (True, False):
                series(f'cat $eq "c17" (1 %), include_metadata={meta}', "eq", EQ_FILTER, K, meta)
            for meta in (True, False):
                series(f"price $lt 100 (10 %), include_metadata={meta}", "range", RANGE_FILTER, K,
                       meta)
            for meta in (True, False):
                series(f"price $lt 300 (30 %), include_metadata={meta}", "range30",
                       RANGE30_FILTER, K, meta)
            series("unfiltered, k=100 keep first 10, include_metadata=False", "all", None, 100,
                   False)
            if task.get("delete"):
                before = db.count()
                t0 = time.perf_counter()
                deleted = db.delete(DELETE_FILTER)
                out["delete_s"] = time.perf_counter() - t0
                out["deleted"], out["count_before"], out["count_after"] = \
                    deleted, before, db.count()
                series(f"after delete() of cat $in c0..c9 ({deleted:,} docs, 10 %): unfiltered, "
                       "include_metadata=False", "after_delete", None, K, False)
        elif configs == "ids":
            for meta in (True, False):
                series(f"unfiltered, include_metadata={meta}", "all", None, K, meta)
        elif big:
            series("unfiltered, include_metadata=False", "all", None, K, False)
        else:
            series("unfiltered, include_metadata=True", "all", None, K, True)
        out["rows"] = rows
        return out
    finally:
        shutil.rmtree(db_dir, ignore_errors=True)


def worker_ostrel_activation(task, data_dir):
    import ostrel

    key = task["set"]
    docs, cat, cents, year = load(data_dir, key, "docs", "cat", "cents", "year")
    n = ACTIVATION_N
    metas = metadata_texts(cat[:n], cents[:n], year[:n])
    db_dir = tempfile.mkdtemp(prefix="ostrel-cmp-")
    try:
        db = ostrel.OstrelDB(db_dir)
        lat = []
        for i in range(n):
            t0 = time.perf_counter_ns()
            db.add(i, docs[i], metas[i])
            lat.append(time.perf_counter_ns() - t0)
        # lat[5000] is the 5001st add: the slot array holds 5000 slots, so this
        # add trains the quantizer and encodes the 5000 stored vectors.
        slowest = int(np.argmax(lat))
        return {"activation_us": lat[5000] / 1e3, "slowest_add": slowest,
                "raw_add_p50_us": float(np.median(lat[4000:5000])) / 1e3,
                "quantized_add_p50_us": float(np.median(lat[5001:6000])) / 1e3}
    finally:
        shutil.rmtree(db_dir, ignore_errors=True)


def worker_ostrel_growth(task, data_dir):
    """Resident growth (RssAnon) at each count of task["at"]. Each add reads
    a row view of the memory-mapped file (file-backed pages, not counted),
    dropped after it."""
    import ostrel

    key, marks = task["set"], task["at"]
    docs = np.load(f"{data_dir}/{key}_docs.npy", mmap_mode="r")
    cat, cents, year = load(data_dir, key, "cat", "cents", "year")
    n = marks[-1]
    metas = metadata_texts(cat[:n], cents[:n], year[:n])
    db_dir = tempfile.mkdtemp(prefix="ostrel-cmp-")
    try:
        db = ostrel.OstrelDB(db_dir)
        gc.collect()
        before, grown = rss_bytes(), {}
        for i in range(n):
            db.add(i, docs[i], metas[i])
            if i + 1 in marks:
                gc.collect()
                grown[i + 1] = rss_bytes() - before
        return {"grown": {str(m): grown[m] for m in marks}}
    finally:
        shutil.rmtree(db_dir, ignore_errors=True)


def worker_ostrel_mutations(task, data_dir):
    import ostrel

    key = task["set"]
    docs, queries, extra, cat, cents, year = load(data_dir, key, "docs", "queries", "extra", "cat",
                                                  "cents", "year")
    n = len(docs)
    metas = metadata_texts(cat, cents, year)  # docs, then the extra documents
    qs = list(queries)
    db_dir = tempfile.mkdtemp(prefix="ostrel-cmp-")
    try:
        db = ostrel.OstrelDB(db_dir)
        for i in range(n):
            db.add(i, docs[i], metas[i])
        # Settle the numeric values left pending by the bulk ingest, so that
        # the filtered rounds pay only for what they add themselves.
        db.search(qs[0], K, RANGE_FILTER)
        db.search(qs[0], K)

        def rounds(first, filt):
            t0 = time.perf_counter()
            for r in range(ROUNDS):
                i = first + r
                db.add(n + i, extra[i], metas[n + i])
                db.search(qs[r % QUERIES], K, filt)
            return time.perf_counter() - t0

        def searches_only(filt):
            t0 = time.perf_counter()
            for r in range(ROUNDS):
                db.search(qs[r % QUERIES], K, filt)
            return time.perf_counter() - t0

        filtered = rounds(0, RANGE_FILTER)
        unfiltered = rounds(ROUNDS, None)  # leaves pending values nobody merges: harmless here
        filtered_only = searches_only(RANGE_FILTER)
        unfiltered_only = searches_only(None)
        before = db.count()
        t0 = time.perf_counter()
        deleted = db.delete(DELETE_FILTER)
        delete_s = time.perf_counter() - t0
        return {"filtered_s": filtered, "unfiltered_s": unfiltered,
                "filtered_only_s": filtered_only, "unfiltered_only_s": unfiltered_only,
                "delete_s": delete_s, "deleted": deleted, "count_before": before,
                "count_after": db.count()}
    finally:
        shutil.rmtree(db_dir, ignore_errors=True)


def worker_numpy(task, data_dir):
    key = task["set"]
    docs, queries, cat, cents = load(data_dir, key, "docs", "queries", "cat", "cents")
    n = len(docs)
    cat, cents = cat[:n], cents[:n]

    def build():
        return docs / np.linalg.norm(docs, axis=1, keepdims=True)

    mat, secs, grown = measure_build(build)

    def top(sims, ids=None):
        part = np.argpartition(-sims, K)[:K]
        best = part[np.argsort(-sims[part])]
        return best if ids is None else ids[best]

    def unfiltered(q):
        return top(mat @ q)

    def masked(mask_of):
        def call(q):
            ids = np.flatnonzero(mask_of())
            return top(mat[ids] @ q, ids)
        return call

    qs = list(queries)
    rows = []
    lat, ids = timed_series(unfiltered, qs, lambda r: r)
    rows.append(row("normalised matrix @ q, argpartition", lat, ids))
    lat, ids = timed_series(masked(lambda: cat == 17), qs, lambda r: r)
    rows.append(row("cat == 17 mask over a column, then the same", lat, ids, "eq"))
    lat, ids = timed_series(masked(lambda: cents < 10_000), qs, lambda r: r)
    rows.append(row("price < 100 mask over a column, then the same", lat, ids, "range"))
    return {"ingest_s": secs, "n": n, "rss_growth": grown, "rows": rows}


def worker_faiss(task, data_dir):
    import faiss

    if task.get("threads"):
        faiss.omp_set_num_threads(task["threads"])
    key, kind = task["set"], task["kind"]
    docs, queries = load(data_dir, key, "docs", "queries")
    n, dim = docs.shape
    docs = np.ascontiguousarray(docs)
    if kind == "flat":
        index = faiss.IndexFlatIP(dim)
        label = "IndexFlatIP"
    elif kind == "lsh":
        index = faiss.IndexLSH(dim, LSH_BITS)
        label = f"IndexLSH, {LSH_BITS} bits (random rotation)"
    else:
        index = faiss.IndexPQ(dim, PQ_M[dim], 8)
        label = f"IndexPQ, M={PQ_M[dim]} x 8 bits, trained on {min(PQ_TRAIN, n):,} docs"

    def build():
        if not index.is_trained:
            index.train(docs[:PQ_TRAIN])
        index.add(docs)

    _, secs, grown = measure_build(build)
    qs = [queries[i:i + 1] for i in range(len(queries))]
    lat, ids = timed_series(lambda q: index.search(q, K), qs, lambda r: r[1][0])
    return {"ingest_s": secs, "n": n, "rss_growth": grown, "rows": [row(label, lat, ids)],
            "threads": faiss.omp_get_max_threads()}


def worker_hnswlib(task, data_dir):
    import hnswlib

    key = task["set"]
    # num_threads is passed only when --peer-threads asks for a count; hnswlib's
    # own default (-1) uses every hardware thread.
    threads = {"num_threads": task["threads"]} if task.get("threads") else {}
    docs, queries = load(data_dir, key, "docs", "queries")
    n, dim = docs.shape
    index = hnswlib.Index(space="cosine", dim=dim)

    def build():
        index.init_index(max_elements=n, M=HNSW_M, ef_construction=HNSW_EF_CONSTRUCTION,
                         random_seed=100)
        index.add_items(docs, np.arange(n), **threads)
        index.set_ef(HNSW_EF)

    _, secs, grown = measure_build(build)
    lat, ids = timed_series(lambda q: index.knn_query(q, k=K, **threads), list(queries),
                            lambda r: r[0][0])
    label = f'space "cosine", M={HNSW_M}, ef_construction={HNSW_EF_CONSTRUCTION}, ef={HNSW_EF}'
    return {"ingest_s": secs, "n": n, "rss_growth": grown, "rows": [row(label, lat, ids)],
            "threads": task.get("threads") or os.cpu_count()}


WORKERS = {
    "ostrel": worker_ostrel,
    "ostrel-activation": worker_ostrel_activation,
    "ostrel-growth": worker_ostrel_growth,
    "ostrel-mutations": worker_ostrel_mutations,
    "numpy": worker_numpy,
    "faiss": worker_faiss,
    "hnswlib": worker_hnswlib,
}


def run_worker(task, data_dir):
    """Runs one task in a fresh interpreter; returns its result or an error text.

    Tasks with a "threads" count (--peer-threads) get the OpenMP and BLAS thread
    counts set before their libraries load; otherwise the environment is passed
    on as it is, and each library picks its own default."""
    fd, path = tempfile.mkstemp(prefix="cmp-result-", suffix=".json")
    os.close(fd)
    env = dict(os.environ)
    if task.get("threads"):
        for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[var] = str(task["threads"])
    try:
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(task), "--data-dir",
             data_dir, "--result", path],
            capture_output=True, text=True, env=env)
        if proc.returncode != 0:
            tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
            return {"error": " / ".join(tail) or f"exit status {proc.returncode}"}
        with open(path) as f:
            result = json.load(f)
        result["stdout"] = proc.stdout
        return result
    finally:
        os.unlink(path)


# ------------------------------------------------------------- report ----


def read_first(path, prefix):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(prefix):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def command_output(args):
    try:
        return subprocess.run(args, capture_output=True, text=True, timeout=60).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return ""


ENCODE_REPETITIONS = 5


def encoding_time(program):
    """Median and best time in µs to encode one 768-d vector, from the
    vector_bench program's BM_Encode768 (None without the program)."""
    if not program:
        return None
    if not os.path.exists(program):
        return {"error": f"{program} not found"}
    run = subprocess.run([program, "--benchmark_filter=^BM_Encode768$",
                          f"--benchmark_repetitions={ENCODE_REPETITIONS}",
                          "--benchmark_format=json"], capture_output=True, text=True)
    if run.returncode != 0:
        return {"error": f"exit {run.returncode}: {run.stderr.strip()[-200:]}"}
    times = [b["real_time"] for b in json.loads(run.stdout)["benchmarks"]
             if b.get("run_type") == "iteration"]
    return {"median_us": float(np.median(times)) / 1e3, "best_us": min(times) / 1e3}


def cmake_cache(build_dir, name):
    if not build_dir:
        return None
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def kernel_target(build_dir, compiler):
    """Asks the engine's kernel dispatcher which instruction set it picks here,
    with a three-line program linked against the build's kernel library."""
    lib = os.path.join(build_dir or "", "libostrel_kernels.a")
    if not build_dir or not os.path.exists(lib):
        return None
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, "probe.cpp")
        with open(src, "w") as f:
            f.write('#include <cstdio>\n#include "kernels.h"\n'
                    "int main() { std::puts(ostrel::kernels::target_name()); }\n")
        exe = os.path.join(d, "probe")
        built = subprocess.run([compiler or "c++", "-std=c++20", "-O1", "-I",
                                os.path.join(REPO, "src"), src, lib, "-lhwy", "-o", exe],
                               capture_output=True)
        if built.returncode != 0:
            return None
        return command_output([exe]) or None


def package_version(pkg):
    return command_output(["dpkg-query", "-W", "-f=${Version}", pkg]) or "not installed"


def blas_name():
    """The BLAS Debian's alternatives system points numpy and faiss at."""
    path = os.path.realpath("/usr/lib/x86_64-linux-gnu/libblas.so.3")
    for marker, name in (("openblas", "OpenBLAS"), ("blis", "BLIS"), ("atlas", "ATLAS"),
                         ("mkl", "MKL")):
        if marker in path:
            return f"{name} ({path})"
    return f"reference BLAS ({path})" if os.path.exists(path) else "unknown"


def faiss_build():
    """faiss loads swigfaiss_avx2 when the package ships it, else generic kernels."""
    spec = importlib.util.find_spec("faiss")
    if spec is None or not spec.submodule_search_locations:
        return "not importable"
    where = spec.submodule_search_locations[0]
    return "AVX2 build" if os.path.exists(os.path.join(where, "swigfaiss_avx2.py")) else \
        "generic x86-64 build, no AVX2 variant"


def machine_header(build_dir):
    cpu = read_first("/proc/cpuinfo", "model name") or platform.processor()
    mem_kb = read_first("/proc/meminfo", "MemTotal")
    mem = f"{int(mem_kb.split()[0]) / 2**20:.1f} GiB" if mem_kb else "unknown"
    compiler = cmake_cache(build_dir, "CMAKE_CXX_COMPILER")
    compiler_line = command_output([compiler, "--version"]).splitlines()[0] if compiler else None
    build_type = cmake_cache(build_dir, "CMAKE_BUILD_TYPE")
    flags = cmake_cache(build_dir, f"CMAKE_CXX_FLAGS_{(build_type or '').upper()}")
    commit = command_output(["git", "-C", REPO, "rev-parse", "--short", "HEAD"])
    dirty = command_output(["git", "--no-optional-locks", "-C", REPO, "status", "--porcelain",
                            "--untracked-files=no"])
    lines = [
        f"- CPU: {cpu}, {os.cpu_count()} logical processors",
        f"- Memory: {mem}; kernel: Linux {platform.release()}",
        f"- Python {platform.python_version()} ({sys.executable}); numpy {np.__version__} "
        f"(Debian {package_version('python3-numpy')}); BLAS: {blas_name()}",
        f"- faiss: Debian python3-faiss {package_version('python3-faiss')} ({faiss_build()}); "
        f"hnswlib: Debian python3-hnswlib {package_version('python3-hnswlib')}",
    ]
    if compiler_line:
        lines.append(f"- ostrel build: {compiler_line}, CMAKE_BUILD_TYPE={build_type} ({flags})")
    if commit:
        lines.append(f"- ostrel source: commit {commit}"
                     + (" plus uncommitted changes" if dirty else ""))
    target = kernel_target(build_dir, compiler)
    if target:
        lines.append(f"- ostrel kernel target chosen at run time: {target}")
    return lines


def fmt_int(v):
    return f"{v:,.0f}"


def fmt_us(v):
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def recall(ids, truth):
    hits = sum(len(set(got[:K]) & set(exp)) for got, exp in zip(ids, truth))
    return hits / sum(len(exp) for exp in truth)


def cluster_hit(ids, doc_labels, query_labels):
    """Share of returned ids from the query's own cluster; an id that maps to no
    document (-1) counts as a miss."""
    total = sum(len(got[:K]) for got in ids)
    hits = sum(int(np.sum(doc_labels[[i for i in got[:K] if i >= 0]] == ql))
               for got, ql in zip(ids, query_labels) if got)
    return hits / total if total else float("nan")


def table(lines, header):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in line) + " |" for line in lines]
    return out


def system_rows(name, result, truth, doc_labels, query_labels):
    """Table lines for one worker's result; the ingest and memory figures go on
    its first row, later rows searched the same index."""
    if "error" in result:
        return [[name, "failed: " + result["error"].replace("|", "/"), "", "", "", "", "", ""]]
    lines = []
    n = result["n"]
    for j, r in enumerate(result["rows"]):
        first = j == 0
        lines.append([
            name if first else "↑",
            r["config"],
            fmt_int(n / result["ingest_s"]) if first else "↑",
            fmt_us(r["p50"]),
            fmt_us(r["p95"]),
            f"{recall(r['ids'], truth[r['filter']]):.3f}",
            f"{cluster_hit(r['ids'], doc_labels, query_labels):.3f}",
            fmt_int(result["rss_growth"] / n) if first else "↑",
        ])
    return lines


COLUMNS = ["System", "Configuration", "Ingest docs/s", "Search p50 µs", "p95 µs", "Recall@10",
           "Cluster hit@10", "Resident bytes/doc"]


def results_path(out):
    """The results file: --out, or bench/results/<date>.md, one file per run
    (later runs of a day get -2, -3, ...)."""
    if out:
        return out
    results_dir = os.path.join(REPO, "bench", "results")
    os.makedirs(results_dir, exist_ok=True)
    stem = os.path.join(results_dir, datetime.date.today().isoformat())
    out, run = stem + ".md", 1
    while os.path.exists(out):
        run += 1
        out = f"{stem}-{run}.md"
    return out


def recall_of(r, truth):
    return recall(r["ids"], truth[r["filter"]])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", help="the ostrel build directory (for the header)")
    parser.add_argument("--encode-bench", help="the vector_bench program: its 768-d encoding "
                        "time is reported with the memory figures")
    parser.add_argument("--out", help="results file (default bench/results/<date>.md); the "
                        "plots go beside it as <stem>-d128.png and <stem>-d768.png")
    parser.add_argument("--peer-threads", type=int, default=None,
                        help="threads for the numpy/faiss/hnswlib builds and searches "
                        "(default: each library's own default)")
    parser.add_argument("--skip-big", action="store_true",
                        help="leave out the ostrel-only 128-d x 1,000,000 row")
    parser.add_argument("--quick", action="store_true",
                        help=f"smoke test: 1/{QUICK_DIVISOR} of the documents (at least "
                        f"{QUICK_FLOOR:,}), no 1,000,000-document row")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--data-dir", help=argparse.SUPPRESS)
    parser.add_argument("--result", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        task = json.loads(args.worker)
        result = WORKERS[task["system"]](task, args.data_dir)
        with open(args.result, "w") as f:
            json.dump(result, f)
        return

    started = time.time()
    load_start = open("/proc/loadavg").read().split()[:3]
    missing = []
    for module in ("ostrel", "faiss", "hnswlib"):
        probe = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True)
        if probe.returncode != 0:
            missing.append(module)
    if "ostrel" in missing:
        sys.exit("compare.py: cannot import ostrel; set PYTHONPATH to <build>/python "
                 "(scripts/bench.sh does this)")

    def scaled(n):
        return max(n // QUICK_DIVISOR, QUICK_FLOOR) if args.quick else n

    sizes = {key: (dim, scaled(n)) for key, (dim, n) in DATASETS.items()}
    raw_n = min(RAW_N, sizes["d768"][1])
    big_key, big_dim, big_n = BIG
    run_big = not (args.quick or args.skip_big)
    out = results_path(args.out)
    stem = out[:-3] if out.endswith(".md") else out

    title = f"# ostrel and its peers, {datetime.date.today().isoformat()}"
    report = [title + (" (--quick smoke test, reduced sizes)" if args.quick else ""), ""]
    report += machine_header(args.build_dir)
    report.append(f"- Load average at start (1/5/15 min): {' '.join(load_start)}")

    with tempfile.TemporaryDirectory(prefix="cmp-data-") as data_dir:
        truths, labels, stats, deleted_masks = {}, {}, {}, {}
        for key, (dim, n) in sizes.items():
            generate(key, dim, n, data_dir)
            docs, queries, cat, cents, lab = load(data_dir, key, "docs", "queries", "cat", "cents",
                                                  "labels")
            names = ["all", "eq", "range", "range30"]
            if key in DELETE_SETS:
                names.append("after_delete")
                deleted_masks[key] = ~filter_mask("after_delete", cat[:n], cents[:n])
            truths[key] = {f: exact_top_k(docs, queries, filter_mask(f, cat[:n], cents[:n]))[0]
                           for f in names}
            top, sims = exact_top_k(docs, queries, np.ones(n, dtype=bool), k=100)
            rand = float(np.mean(queries[:50].astype(np.float64) @ docs[:2000].T.astype(np.float64)))
            stats[key] = (sims[:, 0].mean(), sims[:, 9].mean(), sims[:, 99].mean(), rand)
            labels[key] = (lab[:n], lab[n:n + QUERIES])
            if key == "d768":
                raw_truth = exact_top_k(docs[:raw_n], queries, np.ones(raw_n, dtype=bool))[0]
            del docs, queries, top, sims
        if run_big:
            t0 = time.time()
            generate_big(big_key, big_dim, big_n, data_dir)
            docs = np.load(f"{data_dir}/{big_key}_docs.npy", mmap_mode="r")
            queries, lab = load(data_dir, big_key, "queries", "labels")
            big_truth, big_sims = exact_top_k_chunked(docs, queries)
            stats[big_key] = (big_sims[:, 0].mean(), big_sims[:, K - 1].mean())
            labels[big_key] = (lab[:big_n], lab[big_n:])
            del docs, queries
            print(f"  {big_key} data and exact top {K} in {time.time() - t0:.0f} s",
                  file=sys.stderr)

        plan = []
        for key in sizes:
            plan += [
                ("ostrel", {"system": "ostrel", "set": key, "mode": "lists"},
                 "vectors as Python lists; "),
                ("ostrel", {"system": "ostrel", "set": key, "mode": "numpy", "configs": "full",
                            "delete": key in DELETE_SETS},
                 "vectors as numpy float32 rows; "),
            ]
            if key == "d128":
                plan.append(("ostrel", {"system": "ostrel", "set": key, "mode": "numpy",
                                        "configs": "ids", "ids": "random32"},
                             "numpy rows, random 32-bit ids; "))
            if key == "d768":
                plan.append(("ostrel", {"system": "ostrel", "set": key, "mode": "numpy",
                                        "n": raw_n, "raw": True},
                             f"raw mode: first {raw_n:,} docs only; "))
            peer = {"set": key, "threads": args.peer_threads}
            plan.append(("numpy brute force", {"system": "numpy", **peer}, ""))
            for kind in ("flat", "lsh", "pq"):
                plan.append(("faiss", {"system": "faiss", "kind": kind, **peer}, ""))
            plan.append(("hnswlib", {"system": "hnswlib", **peer}, ""))
        if run_big:
            plan.append(("ostrel", {"system": "ostrel", "set": big_key, "mode": "numpy",
                                    "configs": "big"}, "numpy float32 rows; "))

        results = {}
        for name, task, prefix in plan:
            if name in ("faiss", "hnswlib") and name in missing:
                results[len(results)] = (name, task, prefix, {"error": f"python module {name} "
                                                              "not installed"})
                continue
            t0 = time.time()
            res = run_worker(task, data_dir)
            print(f"  {name} {task} done in {time.time() - t0:.0f} s", file=sys.stderr)
            results[len(results)] = (name, task, prefix, res)

        activation = {key: run_worker({"system": "ostrel-activation", "set": key}, data_dir)
                      for key in sizes}
        growth_key, growth_dim, growth_at = GROWTH
        if args.quick:
            growth_at = (20_000, 30_000)
        generate_big(growth_key, growth_dim, growth_at[-1], data_dir)
        growth = run_worker({"system": "ostrel-growth", "set": growth_key, "at": list(growth_at)},
                            data_dir)
        mutations = run_worker({"system": "ostrel-mutations", "set": "d128"}, data_dir)
        encoding = encoding_time(args.encode_bench)

    for name, task, prefix, res in results.values():
        for r in res.get("rows", []):
            r["config"] = prefix + r["config"]

    notes = []  # engine behaviour worth a line below a table
    for key, (dim, n) in sizes.items():
        s = stats[key]
        report += ["", f"## {dim}-d × {n:,} documents, {QUERIES} queries, k = {K}", "",
                   f"Exact cosine of a query to its 1st / 10th / 100th neighbour: "
                   f"{s[0]:.3f} / {s[1]:.3f} / {s[2]:.3f}; to an arbitrary document: {s[3]:.3f}.",
                   ""]
        lines, points = [], []
        for name, task, prefix, res in results.values():
            if task["set"] != key:
                continue
            truth = {"all": raw_truth} if task.get("raw") else truths[key]
            lines += system_rows(name, res, truth, *labels[key])
            for r in res.get("rows", []):
                points.append((name, r["config"], r["p50"], recall_of(r, truth)))
                if r["filter"] == "after_delete":
                    stale = sum(int(np.sum(deleted_masks[key][[i for i in got if i >= 0]]))
                                for got in r["ids"])
                    notes.append(f"After the delete, {stale:,} of the "
                                 f"{sum(len(g) for g in r['ids']):,} returned ids belong to "
                                 "deleted documents.")
                unknown = sum(1 for got in r["ids"] for i in got if i < 0)
                if unknown:
                    notes.append(f"{prefix}{r['config']}: {unknown:,} returned ids were never "
                                 "added.")
        report += table(lines, COLUMNS)
        disk = [res["disk_bytes"] / res["n"] for _, task, _, res in results.values()
                if task["set"] == key and "disk_bytes" in res]
        if disk:
            report += ["", f"ostrel's metadata.bin holds {max(disk):.0f} bytes/doc on disk "
                       "(not counted as resident)."]
        for note in notes:
            report += ["", note]
        notes = []
        png = f"{stem}-{key}.png"
        if recall_latency_plot(points, f"Recall@10 versus search p50, {dim}-d × {n:,} documents, "
                               f"k = {K}, one query per call", png):
            report += ["", f"![Recall@10 versus search p50, {dim}-d]({os.path.basename(png)})"]
        else:
            report += ["", "(No plot: matplotlib is not installed; Debian python3-matplotlib.)"]

    report += ["", f"## ostrel alone at {big_dim}-d × {big_n:,} documents, {QUERIES} queries, "
               f"k = {K}", ""]
    if run_big:
        s = stats[big_key]
        report += [f"Exact cosine of a query to its 1st / 10th neighbour: {s[0]:.3f} / {s[1]:.3f}.",
                   ""]
        lines = []
        for name, task, prefix, res in results.values():
            if task["set"] == big_key:
                lines += system_rows(name, res, {"all": big_truth}, *labels[big_key])
        report += table(lines, COLUMNS)
    else:
        report.append("Skipped in this run (" + ("--quick" if args.quick else "--skip-big") + ").")

    report += ["", "## ostrel: activation, memory growth, delete, add-then-search", ""]
    extra = []
    if "error" in growth:
        extra.append([f"memory growth, {growth_dim}-d", "failed: " + growth["error"]])
    else:
        g = {int(m): b for m, b in growth["grown"].items()}
        first, last = growth_at
        for m in growth_at:
            extra.append([f"resident growth, {growth_dim}-d × {m:,} documents with metadata",
                          f"{g[m] / m:,.0f} bytes/doc"])
        extra.append([f"marginal, {first:,} → {last:,} documents",
                      f"{(g[last] - g[first]) / (last - first):,.0f} bytes/doc"])
        extra.append([f"fixed part at {growth_dim}-d",
                      f"{CODEBOOK_BYTES:,} B of codebooks + {HYPERPLANE_BYTES:,} B of hyperplanes "
                      f"({(CODEBOOK_BYTES + HYPERPLANE_BYTES) / first:,.0f} bytes/doc at "
                      f"{first:,})"])
    if encoding is not None:
        extra.append(["encoding one 768-d vector (64 sub-spaces × 256 centroids × 12 components)",
                      "failed: " + encoding["error"] if "error" in encoding else
                      f"median {encoding['median_us']:.1f} µs, best {encoding['best_us']:.1f} µs "
                      f"({ENCODE_REPETITIONS} repetitions)"])
    for key, (dim, _) in sizes.items():
        a = activation[key]
        if "error" in a:
            extra.append([f"activation add, {dim}-d", "failed: " + a["error"]])
            continue
        extra.append([f"the add that activates quantization (5001st, ids 0..4999 stored), {dim}-d",
                      f"{a['activation_us'] / 1e3:,.1f} ms (slowest add was #{a['slowest_add'] + 1}); "
                      f"median add before {a['raw_add_p50_us']:.1f} µs, after "
                      f"{a['quantized_add_p50_us']:.1f} µs"])
    m = mutations
    n128 = sizes["d128"][1]
    if "error" in m:
        extra.append([f"delete and rounds, 128-d × {n128:,}", "failed: " + m["error"]])
    else:
        extra.append([f"delete {DELETE_FILTER} at 128-d, {m['count_before']:,} docs",
                      f"{m['delete_s'] * 1e3:,.1f} ms for {m['deleted']:,} docs "
                      f"({m['deleted'] / m['delete_s']:,.0f} docs/s); count() after: "
                      f"{m['count_after']:,}"])
        extra.append([f"{ROUNDS:,} × (add one doc, then search k=10 filtered by {RANGE_FILTER})",
                      f"{m['filtered_s'] * 1e3:,.0f} ms total, "
                      f"{m['filtered_s'] / ROUNDS * 1e6:,.0f} µs per round"])
        extra.append([f"{ROUNDS:,} × (add one doc, then unfiltered search k=10)",
                      f"{m['unfiltered_s'] * 1e3:,.0f} ms total, "
                      f"{m['unfiltered_s'] / ROUNDS * 1e6:,.0f} µs per round"])
        extra.append(["ratio filtered / unfiltered rounds",
                      f"{m['filtered_s'] / m['unfiltered_s']:.2f}"])
        extra.append([f"for reference: {ROUNDS:,} filtered / unfiltered searches with no adds",
                      f"{m['filtered_only_s'] * 1e3:,.0f} ms / {m['unfiltered_only_s'] * 1e3:,.0f} ms"])
    report += table(extra, ["Measurement", "Result"])

    lists_notes = []
    for name, task, prefix, res in results.values():
        if "tolist_s" in res:
            dim = sizes[task["set"]][0]
            lists_notes.append(f"{res['tolist_s'] / res['ingest_s'] * 100:.0f} % at {dim}-d")
    faiss_threads = sorted({res["threads"] for name, _, _, res in results.values()
                            if name == "faiss" and "threads" in res})
    hnsw_threads = sorted({res["threads"] for name, _, _, res in results.values()
                           if name == "hnswlib" and "threads" in res})
    if args.peer_threads:
        threads_text = (f"The peers run with {args.peer_threads} thread(s) for build and search, "
                        "as --peer-threads asked (hnswlib num_threads, faiss "
                        "omp_set_num_threads, OMP/OPENBLAS/MKL_NUM_THREADS).")
    else:
        threads_text = ("The peers run as a user would run them, with each library's default "
                        "threads: nothing sets num_threads, omp_set_num_threads or "
                        "OMP_NUM_THREADS (the environment is passed on as it is). hnswlib's "
                        "default num_threads=-1 uses every hardware thread "
                        f"({', '.join(map(str, hnsw_threads)) or '?'} here) for add_items and "
                        "knn_query; faiss's OpenMP reported omp_get_max_threads() = "
                        f"{', '.join(map(str, faiss_threads)) or '?'}. With one query per call the "
                        "searches have little to share out (faiss's search loops and hnswlib's "
                        "knn_query split the work by query), while faiss's IndexPQ training and "
                        "hnswlib's add_items use all threads. On a shared "
                        "2-core machine threads that wait for a descheduled sibling make these "
                        "timings erratic; --peer-threads 1 pins them to one thread.")
    n768, n128 = sizes["d768"][1], sizes["d128"][1]
    load_end = open("/proc/loadavg").read().split()[:3]
    report += ["", "## Method", "",
               f"- Data: a Gaussian mixture of {CLUSTERS:,} clusters per data set (about "
               f"{n128 // CLUSTERS:,} documents per cluster at 128-d × {n128:,}, "
               f"{n768 // CLUSTERS:,} at 768-d × {n768:,}), centres random unit "
               f"vectors, members = centre + N(0, ({NOISE}/√d)²) per component, renormalised (a "
               f"member's cosine to its centre is about {1 / np.sqrt(1 + NOISE ** 2):.2f}); "
               f"{QUERIES} held-out queries from the same mixture; numpy seed [{SEED}, d]. "
               "Metadata per document: "
               '{"cat": "c<0..99>", "price": <cents / 100 in [0, 1000)>, "year": <1990..2024>}, '
               "uniform and independent of the clusters. At the full sizes (about 100 "
               "members per cluster at 128-d × 100,000, 20 at 768-d × 20,000) the true ten "
               "nearest stand out from the rest of their cluster; with 100 clusters of about "
               "1,000 they would sit among hundreds of near-equal candidates, where every "
               "approximate method misses nearly all of them.",
               "- Recall@10: share of the exact top 10 (cosine in float64 over the stored float32 "
               "vectors, restricted to the documents the filter matches, or after the delete to "
               "the documents that remain) that a system returns. Cluster hit@10: share of "
               "returned ids from the query's own cluster (1.0 = semantically right neighbours "
               "even where the exact order within a cluster is missed).",
               f"- Latency: one query per call (batch size 1), k = {K}, wall time of the call alone "
               f"(perf_counter_ns) for each of the {QUERIES} queries after {WARMUP} untimed warm-up "
               f"calls; p50/p95 over those {QUERIES}. Rows marked ↑ searched the index built for "
               "the row above. The plots beside this file put every row of a data set at "
               "(p50, recall@10), p50 on a log scale; numbers on the points refer to the key "
               "under each plot.",
               "- Ingest: wall time to put all documents into the index. ostrel: one add() per "
               "document with its metadata text (written to metadata.bin and indexed), vectors "
               "either as Python lists or as rows of a float32 array; quantization activates "
               "during ingest at 5,000 documents. In the lists rows each vector is converted "
               "with tolist() right before its add() and dropped after it; only the add() calls "
               "are timed (the conversions, measured alone afterwards, would add "
               f"{', '.join(lists_notes) or 'n/a'} to the ingest time). faiss IndexLSH (random "
               "rotation fixed at construction, no training) and IndexFlatIP: add(); faiss "
               f"IndexPQ: train() on the first {PQ_TRAIN:,} documents (or all, if fewer) plus "
               "add() of all, training "
               "included. hnswlib: init_index() + add_items() of the whole array. numpy: "
               "normalising a copy of the matrix.",
               "- Threads: ostrel's add runs on the calling thread; its search scores more than "
               "1,000 candidates on the calling thread and its internal pool (one worker per "
               "further logical processor, not configurable). " + threads_text,
               "- Resident bytes/doc: each system runs in its own fresh interpreter. It loads the "
               "data (and, for ostrel, prepares the metadata texts, the query vectors and, in the "
               "random-id row, the ids), then reads RssAnon (anonymous resident memory) from "
               "/proc/self/status, builds the index, collects garbage and reads RssAnon again; "
               "the difference divided by the number of documents is reported. The inputs stay "
               "alive throughout, so they are in both readings and cancel out; the per-document "
               "objects the harness makes during the build (numpy row views, tolist() lists, "
               "ids) are dropped after each add(), so no harness object made per document is "
               "alive at the second reading. File-backed pages (shared libraries, the "
               "memory-mapped input of the 1,000,000-document row, metadata.bin) are not "
               "counted. Memory freed during the build but kept by the allocator (e.g. "
               "ostrel's raw vectors, dropped at quantization) still counts.",
               f"- Memory growth: ostrel alone, {growth_dim}-d documents of the same mixture "
               f"(seed [{SEED}, {growth_dim}, {growth_at[-1]}]) with the same metadata, added one "
               "per call from a memory-mapped file (each row view dropped after its add); "
               "RssAnon is read before the first add and after the given counts, garbage "
               "collected first. The marginal figure is the growth between the two counts "
               "divided by the documents added between them; the fixed part (codebooks, "
               "hyperplanes) weighs on the first figure only.",
               "- Encoding: BM_Encode768 of bench/vector_bench.cpp (the product quantizer trained "
               "on 5,000 random 768-d unit vectors encodes them in turn), built in the same "
               "Release configuration; Google Benchmark's time per vector, median and best of "
               f"{ENCODE_REPETITIONS} repetitions.",
               "- faiss IndexPQ uses M = 64 sub-quantizers at 768-d (12 dims each, 64-byte codes, "
               "the same code size as ostrel's) and M = 16 at 128-d (8 dims each, 16-byte codes), "
               "8 bits each; metric L2, which ranks unit vectors as cosine does. numpy brute-force "
               "filtered rows evaluate the mask over a numpy column per query (no JSON), then "
               "score only the matching rows; faiss and hnswlib 0.6 have no metadata filtering.",
               "- ostrel's candidates come from a 32-bit LSH index; when it proposes fewer than "
               "2·k ids the search scores every eligible document instead. The 'k=100 keep "
               "first 10' rows ask for k = 100 and keep the first 10 (README: ask for a larger "
               "k when recall matters). Its recall is bounded by the product-quantized scores, "
               "as for faiss IndexPQ.",
               "- Filters: cat $eq \"c17\" matches about 1 % of the documents, price $lt 100 "
               "about 10 % and price $lt 300 about 30 % (price is uniform in [0, 1000)).",
               f"- Search after delete: on the {n128:,}-document 128-d database of the numpy-rows "
               f"row, after all its other searches, delete({DELETE_FILTER}) removes about 10 % "
               "of the documents; the searches that follow (k = 10, no metadata) are scored "
               "against the exact top 10 among the remaining documents, and the line below the "
               "table counts returned ids of deleted documents (should be 0).",
               f"- Random 32-bit ids: the same {n128:,} 128-d documents added under distinct ids "
               f"drawn from [0, 2³²) (numpy Generator.choice without replacement, seed [{SEED}, "
               "n, 32]); returned ids are mapped back to document indices for recall and "
               "cluster hit.",
               f"- The raw-mode ostrel row holds the first {raw_n:,} documents only (below the "
               "5,000-slot quantization threshold); its recall is against the exact top 10 among "
               f"those {raw_n:,}.",
               f"- ostrel alone at {big_dim}-d × {big_n:,}: the same mixture ({CLUSTERS:,} "
               f"clusters, seed [{SEED}, {big_dim}, {big_n}]) generated in float32 chunks of "
               f"{BIG_CHUNK:,} rows into a memory-mapped file; the worker copies {BIG_CHUNK:,} "
               "rows at a time out of it and adds them one per call. Recall against the exact "
               f"top 10 of all {QUERIES} queries, computed in float32 chunk by chunk (matmul, "
               "argpartition, merge). Left out by --skip-big and --quick.",
               "- add-then-search rounds run on one 128-d database, filtered rounds "
               "first (after a warm-up filtered search has merged the values pending from the "
               "ingest), each round adding a new document from the same mixture with its metadata.",
               f"- The machine was shared with other work during the run; load average at the end "
               f"{' '.join(load_end)}. Total run time {time.time() - started:.0f} s."]
    if args.quick:
        report.append(f"- --quick: 1/{QUICK_DIVISOR} of the documents, at least {QUICK_FLOOR:,} "
                      "(so that quantization activates), and no 1,000,000-document row; figures "
                      "are for smoke-testing the harness, not for comparison.")

    text = "\n".join(report) + "\n"
    print(text)
    with open(out, "w") as f:
        f.write(text)
    print(f"written to {os.path.relpath(out)} (plots: {os.path.basename(stem)}-<set>.png)",
          file=sys.stderr)


if __name__ == "__main__":
    main()
