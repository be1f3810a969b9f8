#!/usr/bin/env python3
"""Semantic search over the Debian packages installed on this machine.

This example shows what a program does with `ostrel.OstrelDB`:

1. It reads the package descriptions from /var/lib/dpkg/status and turns each
   one into a vector with a tiny embedding written here: lowercase words and
   their character trigrams (plus word bigrams) hashed with zlib.crc32 into
   128 signed buckets, weighted by inverse document frequency and scaled to
   unit length. No model is downloaded; similar words still land close.
2. It adds every package with its metadata (name, section, priority,
   installed_size) and searches by text, with and without metadata filters.
3. The engine keeps raw float32 vectors (cosine scores in [-1, 1]) until an
   add finds 5000 vectors stored, then switches once and for good to compressed
   product-quantization codes (scores in [0, 1], derived from distances) and
   prints "Activating quantization at 5000 vectors...". Most machines have
   fewer than 5000 packages, so after a first round of searches the corpus is
   padded with synthetic variants of real descriptions (section "synthetic")
   up to --min-docs documents and the same searches run again.
4. Finally it deletes documents by filter and counts before and after.

Run it from the repository root after building the module:

    PYTHONPATH=build/python /usr/bin/python3 examples/package_search.py

Only numpy and the ostrel module are needed; nothing is written outside a
temporary directory unless --db is given.
"""

import argparse
import collections
import json
import math
import random
import re
import sys
import tempfile
import time
import zlib

import numpy as np

import ostrel

STATUS_FILE = "/var/lib/dpkg/status"

# The engine's storage switches to quantized codes on the first add made
# while it already holds this many vectors (distinct ids).
QUANTIZATION_THRESHOLD = 5000

# The candidate index hashes each vector to a 32-bit code and proposes the
# documents of the query's bucket, of its 16 one-bit neighbours and of the 20
# buckets nearest the query's code. With a few thousand documents most
# buckets hold a single id, so k = 10 ranks only about 20 near documents.
# When it proposes fewer than 2*k, the engine scores every eligible document
# (every live one, or every live match of the filter) instead, so asking for
# a generous k and showing the best few gives results ranked over the whole
# collection.
FETCH_K = 100

QUERIES = [
    # A filter object uses only one of its keys, so conditions are combined
    # with "$and" rather than by listing several fields side by side.
    ("json parser library",
     {"$and": [{"section": {"$eq": "libdevel"}}, {"installed_size": {"$lt": 5000}}]}),
    ("compression tool", None),
    ("python testing framework", {"$not": {"section": {"$eq": "libs"}}}),
]

# Removed at the end: the padding and the shared libraries. Kept as Python
# data so that the numpy cross-check can apply the same rule.
DELETED_SECTIONS = ["synthetic", "libs"]

STOP_WORDS = frozenset(
    "a an and are as at be by can for from in into is it its of on or that the "
    "this these to which with".split())
WORD_RE = re.compile(r"[a-z0-9][a-z0-9+]*")


# --- Reading the package database -------------------------------------------

def read_stanzas(path):
    """Yields each paragraph of an RFC-822-style file as a dict of fields.

    A continuation line (starting with a space or tab) extends the previous
    field, joined with a newline; a lone " ." stands for an empty line.
    """
    fields: dict[str, str] = {}
    last: str | None = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip():
                if fields:
                    yield fields
                fields, last = {}, None
            elif line[0] in " \t":
                if last is not None:
                    text = line.strip()
                    fields[last] += "\n" + ("" if text == "." else text)
            else:
                key, _, value = line.partition(":")
                last = key.strip()
                fields[last] = value.strip()
    if fields:
        yield fields


def load_packages(path):
    """Returns the installed packages as dicts: metadata plus a "text"."""
    packages = []
    for st in read_stanzas(path):
        # Entries removed but with configuration left have another status.
        if "Package" not in st or not st.get("Status", "installed").endswith(" installed"):
            continue
        synopsis, _, details = st.get("Description", "").partition("\n")
        size = st.get("Installed-Size", "0")
        packages.append({
            "name": st["Package"],
            "section": st.get("Section", "unknown"),
            "priority": st.get("Priority", "unknown"),
            "installed_size": int(size) if size.isdigit() else 0,  # KiB
            # The name and the one-line synopsis say the most; repeat them.
            "text": f"{st['Package']} {synopsis} {synopsis} {details}",
        })
    return packages


def synthetic_variants(packages, count, seed=7):
    """Makes `count` fake documents from shuffled word subsets of real ones."""
    rng = random.Random(seed)
    variants = []
    for n in range(count):
        base = packages[n % len(packages)]
        words = base["text"].split()
        rng.shuffle(words)
        keep = max(3, int(len(words) * rng.uniform(0.4, 0.8)))
        variants.append(dict(base, name=f"{base['name']}-doc{n}", section="synthetic",
                             text=" ".join(words[:keep])))
    return variants


# --- The embedding ----------------------------------------------------------

def tokenize(text):
    return [w for w in WORD_RE.findall(text.lower()) if w not in STOP_WORDS]


def hashed(token, dim):
    """Stable (bucket, sign) of a token: crc32 low bits pick, top bit signs."""
    h = zlib.crc32(token.encode())
    return h % dim, (1.0 if h & 0x80000000 else -1.0)


class HashedEmbedder:
    """Hashed bag of words with IDF weights learnt from a corpus.

    Each word adds its IDF weight to its own bucket and half of it to the
    buckets of its character trigrams (so "compress" and "compression" share
    features); each pair of adjacent words adds 1 to one bucket. Signs make
    colliding features cancel out on average instead of piling up.
    """

    def __init__(self, corpus_texts, dim):
        self.dim = dim
        doc_freq = collections.Counter(w for t in corpus_texts for w in set(tokenize(t)))
        n = len(corpus_texts)
        self.idf = {w: math.log((n + 1) / (df + 1)) + 1 for w, df in doc_freq.items()}
        self.unseen_idf = math.log(n + 1) + 1
        self._features = {}  # word -> (buckets, weights); words repeat a lot

    def _word_features(self, word):
        cached = self._features.get(word)
        if cached is None:
            weight = self.idf.get(word, self.unseen_idf)
            padded = f"<{word}>"
            tokens = [(word, weight)] + [(padded[i:i + 3], weight / 2)
                                         for i in range(len(padded) - 2)]
            buckets, weights = [], []
            for token, w in tokens:
                bucket, sign = hashed(token, self.dim)
                buckets.append(bucket)
                weights.append(sign * w)
            cached = (np.array(buckets, np.intp), np.array(weights))
            self._features[word] = cached
        return cached

    def embed(self, text):
        """Returns a float32 vector of unit length (all zeros for no words)."""
        words = tokenize(text)
        parts = [self._word_features(w) for w in words]
        pairs = [hashed(a + " " + b, self.dim) for a, b in zip(words, words[1:])]
        parts.append((np.array([b for b, _ in pairs], np.intp),
                      np.array([s for _, s in pairs])))
        buckets = np.concatenate([b for b, _ in parts])
        weights = np.concatenate([w for _, w in parts])
        vector = np.bincount(buckets, weights, minlength=self.dim).astype(np.float32)
        norm = np.linalg.norm(vector)
        return vector / norm if norm > 0 else vector


# --- Talking to the database ------------------------------------------------

def add_documents(db, embedder, docs, first_id):
    """Adds docs under ids first_id, first_id + 1, ...; returns their vectors."""
    sys.stdout.flush()  # the engine may print its switch line straight to fd 1
    vectors = np.empty((len(docs), embedder.dim), np.float32)
    for offset, doc in enumerate(docs):
        vectors[offset] = embedder.embed(doc["text"])
        metadata = {k: doc[k] for k in ("name", "section", "priority", "installed_size")}
        db.add(first_id + offset, vectors[offset], json.dumps(metadata))
    return vectors


def mode_name(docs_stored):
    if docs_stored > QUANTIZATION_THRESHOLD:
        return "quantized: scores in [0, 1] from distances to compressed codes"
    return "raw: cosine similarity of float32 vectors, in [-1, 1]"


def describe_mode(docs_stored):
    if docs_stored > QUANTIZATION_THRESHOLD:
        print("Note: the vectors are now compressed codes, and scores are on another scale "
              "(0..1 from distances, not cosines): compare them only with each other.")
    else:
        print(f"{docs_stored} vectors is not more than {QUANTIZATION_THRESHOLD}, so the engine "
              "keeps raw float32 vectors (cosine scores).")


def run_query(db, embedder, text, filter_, top, exact_check=None):
    """Searches, prints the best `top` results and, if given, a cross-check.

    `exact_check` is (vectors, live mask): the unfiltered results are
    compared with an exact numpy ranking of the live vectors.
    """
    filter_text = json.dumps(filter_) if filter_ is not None else None
    query = embedder.embed(text)
    start = time.perf_counter()
    results = db.search(query, FETCH_K, filter_text)[:top]
    elapsed_ms = (time.perf_counter() - start) * 1000
    print(f'\n  "{text}"  filter: {filter_text or "none"}  ({elapsed_ms:.1f} ms)')
    if not results:
        print("     (no match)")
    for rank, (_, score, metadata_json) in enumerate(results, 1):
        meta = json.loads(metadata_json)
        print(f"  {rank:2}. {score:7.4f}  {meta['name']:<34} {meta['section']:<10} "
              f"{meta['installed_size']:>7} KiB")
    if exact_check is not None and filter_ is None:
        vectors, live = exact_check
        scores = np.where(live, vectors @ query, -np.inf)
        exact = set(np.argsort(-scores, kind="stable")[:top].tolist())
        same = len(exact & {doc_id for doc_id, _, _ in results})
        print(f"      same documents as an exact numpy ranking of the top {top}: {same}/{top}")


def run_queries(db, embedder, docs_stored, top, exact_check):
    print(f"\nSearches ({mode_name(docs_stored)}):")
    for text, filter_ in QUERIES:
        run_query(db, embedder, text, filter_, top, exact_check)


# --- The demo ---------------------------------------------------------------

def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--db", help="database directory (default: a temporary one); "
                        "metadata.bin there is appended to, vectors stay in memory")
    parser.add_argument("--status", default=STATUS_FILE, help="dpkg status file to index")
    parser.add_argument("--min-docs", type=int, default=6000,
                        help="pad with synthetic documents up to this many (default 6000, "
                        f"enough to pass the {QUANTIZATION_THRESHOLD}-vector switch)")
    parser.add_argument("--no-pad", action="store_true", help="index only the real packages")
    parser.add_argument("--top", type=int, default=5, help="results shown per search")
    parser.add_argument("--dim", type=int, default=128, help="embedding dimension")
    return parser.parse_args()


def main():
    args = parse_args()
    if not 1 <= args.top <= FETCH_K:
        sys.exit(f"--top must be between 1 and {FETCH_K}")
    if args.dim < 1:
        sys.exit("--dim must be positive")
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="ostrel-demo-") as tmp:
        db_path = args.db or tmp
        db = ostrel.OstrelDB(db_path)

        packages = load_packages(args.status)
        if not packages:
            sys.exit(f"no installed package found in {args.status}")
        embedder = HashedEmbedder([p["text"] for p in packages], args.dim)
        t = time.perf_counter()
        vectors = add_documents(db, embedder, packages, first_id=0)
        docs = list(packages)
        print(f"Indexed {len(packages)} installed packages from {args.status} into {db_path} "
              f"in {time.perf_counter() - t:.2f} s ({args.dim}-dimensional vectors).")
        describe_mode(len(docs))
        live = np.ones(len(docs), bool)
        run_queries(db, embedder, len(docs), args.top, (vectors, live))

        padding = 0 if args.no_pad else max(0, args.min_docs - len(docs))
        if padding:
            extra = synthetic_variants(packages, padding)
            print(f"\nAdding {padding} synthetic variants (section \"synthetic\") "
                  f"to reach {len(docs) + padding} documents...")
            t = time.perf_counter()
            vectors = np.vstack([vectors, add_documents(db, embedder, extra, len(docs))])
            docs += extra
            print(f"Added in {time.perf_counter() - t:.2f} s; count() = {db.count()}.")
            describe_mode(len(docs))
            live = np.ones(len(docs), bool)
            run_queries(db, embedder, len(docs), args.top, (vectors, live))

        delete_filter = {"section": {"$in": DELETED_SECTIONS}}
        before = db.count()
        removed = db.delete(json.dumps(delete_filter))
        live = np.array([d["section"] not in DELETED_SECTIONS for d in docs])
        print(f"\ndelete({json.dumps(delete_filter)}) removed {removed} documents: "
              f"count() {before} -> {db.count()}. Searching again:")
        run_query(db, embedder, "compression tool", None, args.top, (vectors, live))

    print(f"\nTotal time {time.perf_counter() - started:.2f} s.")


if __name__ == "__main__":
    main()
