"""Golden results: a database built from a seed, searched while its vectors
are raw and again once they are quantized, returns exactly these ids and
scores on every CPU (x86-64, aarch64 with NEON or SVE, armv7): the kernels
give the same bits everywhere, so the whole search does.

After an intended change of results, `python3 tests/python/test_golden.py`
(with the module importable) prints the new table."""

import json

import numpy as np

DIM, CENTRES = 24, 40
PHASES = {"raw": 4000, "quantized": 5040}  # documents stored when the queries run
# (query seed, k, filter): near a centre (the index proposes), anywhere (scan)
QUERIES = [(1, 5, None), (2, 5, None), (3, 5, '{"g": {"$lt": 3}}'), (4, 40, None),
           (5, 12, '{"g": {"$in": [1, 2, 5]}}'), (6, 3, None)]


def corpus():
    """Vectors around CENTRES centres (near unit length), distinct random 32-bit
    ids and a small numeric field. Components are n / 250 rounded to float:
    the same inputs on every machine, yet sums of their products round, so
    a change in the order or fusing of the arithmetic shows."""
    rng = np.random.default_rng(20)
    centres = rng.integers(-100, 101, (CENTRES, DIM))
    docs = PHASES["quantized"]
    noise = rng.integers(-3, 4, (docs, DIM))
    vectors = ((centres[np.arange(docs) % CENTRES] + noise) / 250).astype(np.float32)
    drawn = rng.integers(0, 2**32, 2 * docs, dtype=np.uint64).tolist()
    ids = list(dict.fromkeys(drawn))[:docs]
    return centres, vectors, ids


def query(centres, seed):
    rng = np.random.default_rng(seed)
    base = centres[seed % CENTRES] if seed % 2 else rng.integers(-100, 101, DIM)
    return ((base + rng.integers(-5, 6, DIM)) / 250).astype(np.float32)


def run(tmp_path):
    import ostrel

    centres, vectors, ids = corpus()
    db = ostrel.OstrelDB(str(tmp_path / "golden"))
    out, stored = {}, 0
    for phase, upto in PHASES.items():
        for i in range(stored, upto):
            db.add(ids[i], vectors[i], json.dumps({"g": i % 7}))
        stored = upto
        for seed, k, where in QUERIES:
            found = db.search(query(centres, seed), k, where, False)
            out[f"{phase} {seed}"] = ([i for i, _, _ in found[:4]], [s for _, s, _ in found[:4]])
    return out


# A line per query: the first four ids found, then their scores (float32, shortest repr).
EXPECTED = """\
raw 1       4186952193 2761201039   69362615 3141434111  0.9989339 0.99872106 0.9987013 0.9986838
raw 2       2102034209 3660448749  439778284 1140827455  0.34507728 0.34469786 0.33856258 0.33725765
raw 3       1973491000 1560245951 4182090839 3454650294  0.9988173 0.9986358 0.9984152 0.9983899
raw 4       3284168568 3241727805 2043383193  393515482  0.40135008 0.40097183 0.3990115 0.3986731
raw 5       2243404707 2591103928  119043324 1341883413  0.9985924 0.99842197 0.9982911 0.99820197
raw 6       3013190787 1680039154 4234744577  0.5314868 0.4420654 0.44051838
quantized 1 4291419850 3048672738 3991482724   69362615  0.9845404 0.9845404 0.9845404 0.9845404
quantized 2 2768965052 1561631407 2594338959 2591103928  0.68303156 0.68303156 0.6828628 0.6828628
quantized 3 1560245951 1973491000 1186008032 3635736195  0.9856473 0.9851003 0.9851003 0.9845081
quantized 4  908195838 2807674223   50772451 1742756645  0.662773 0.662773 0.662773 0.662773
quantized 5 1489543367 1053089796 1323313871 2591103928  0.9843795 0.98422027 0.9837519 0.9834773
quantized 6 3013190787  191679709 1680039154  0.7468755 0.7113168 0.7113168
"""


def table(results):
    return "".join(f"{key:<12}" + " ".join(f"{i:>10}" for i in ids) + "  "
                   + " ".join(str(np.float32(s)) for s in scores) + "\n"
                   for key, (ids, scores) in results.items())


def test_search_gives_the_same_ids_and_scores_on_every_cpu(tmp_path):
    got = run(tmp_path)
    assert table(got) == EXPECTED
    assert all(float(np.float32(s)) == s for _, scores in got.values() for s in scores)  # exact


if __name__ == "__main__":
    import pathlib
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        print(table(run(pathlib.Path(tmp))), end="")
