#!/usr/bin/env python3
"""Better recall: ask for a larger k, then re-rank with your own vectors.

Once a database holds more than 5000 documents its vectors are compressed
codes, and its scores are approximations. A program that keeps its own
float32 vectors (on disk, memory-mapped, or in RAM as here) can get close
to exact results:

1. search with a k well above what it shows (here 100 for a top 10): the
   engine then scores every document (it scores only the index's few
   proposals when they are at least 2k), so the true neighbours are very
   likely among the 100;
2. compute exact cosine similarities of those 100 with its own vectors;
3. keep the best ten and let build_results attach their metadata.

The program compares recall@10 (the share of the true ten nearest found)
of a plain k = 10 search, of the first ten of a k = 100 search, and of the
re-ranked ten. The engine prints its switch to compressed codes
("Activating quantization at 5000 vectors...") on the way.

Run it from the repository root after building the module:

    PYTHONPATH=build/python /usr/bin/python3 examples/rerank.py
"""

import json
import tempfile

import numpy as np

import ostrel

DOCUMENTS = 6000  # above 5000: the engine compresses its vectors
DIMENSION = 64
QUERIES = 30
TOP = 10  # results shown
FETCH = 100  # results asked for


def clustered_unit_vectors(count: int, centres: np.ndarray,
                           rng: np.random.Generator) -> np.ndarray:
    """Vectors around the given topic centres, as real embeddings tend to be."""
    topics = rng.integers(0, len(centres), count)
    vectors = centres[topics] + 0.6 * rng.standard_normal((count, DIMENSION))
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return vectors.astype(np.float32)


def rerank(db: ostrel.OstrelDB, vectors: np.ndarray,
           query: np.ndarray) -> list[tuple[int, float, str]]:
    """The TOP best of FETCH candidates by exact cosine, with metadata."""
    candidates = db.search(query, FETCH, include_metadata=False)
    # Here an id is the row of its vector in `vectors`; a program with other
    # ids keeps a map from id to row.
    ids = np.array([doc_id for doc_id, _, _ in candidates])
    exact = vectors[ids] @ query  # unit vectors: dot product = cosine
    best = np.argsort(-exact)[:TOP]
    pairs = [(int(ids[i]), float(exact[i])) for i in best]
    return db.build_results(pairs, True)


def recall(results: list[tuple[int, float, str]], truth: set[int]) -> float:
    return len({doc_id for doc_id, _, _ in results} & truth) / TOP


def main():
    rng = np.random.default_rng(11)
    centres = rng.standard_normal((300, DIMENSION))  # 300 topics
    vectors = clustered_unit_vectors(DOCUMENTS, centres, rng)
    queries = clustered_unit_vectors(QUERIES, centres, rng)  # new texts, same topics

    with tempfile.TemporaryDirectory() as directory:
        db = ostrel.OstrelDB(directory)
        for i, vector in enumerate(vectors):
            db.add(i, vector, json.dumps({"row": i}))

        plain = first_of_more = reranked = 0.0
        for query in queries:
            truth = set(np.argsort(-(vectors @ query))[:TOP].tolist())
            plain += recall(db.search(query, TOP), truth)
            first_of_more += recall(db.search(query, FETCH)[:TOP], truth)
            reranked += recall(rerank(db, vectors, query), truth)

        print(f"recall@{TOP} over {QUERIES} queries, {DOCUMENTS} documents of {DIMENSION}-d:")
        for label, total in [(f"search(k={TOP})", plain),
                             (f"search(k={FETCH}), first {TOP}", first_of_more),
                             (f"search(k={FETCH}), re-ranked exactly", reranked)]:
            print(f"  {label:<36} {total / QUERIES:.2f}")

        doc_id, score, metadata = rerank(db, vectors, queries[0])[0]
        print(f"\nBest for query 0: id {doc_id}, exact cosine {score:.3f}, metadata {metadata}")


if __name__ == "__main__":
    main()
