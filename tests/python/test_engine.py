"""Engine semantics seen through the Python module: add, count, search,
delete, expiry, build_results, quantization, metadata.bin and the parallel
scoring path."""

import os
import signal
import traceback
import warnings

import numpy as np
import pytest

from conftest import VEC, ids
from ostrel import OstrelDB

DIM = 8
RED, BLUE = '{"c": "red"}', '{"c": "blue"}'
IS_RED = '{"c": {"$eq": "red"}}'
ACTIVATION_LINE = "Activating quantization at 5000 vectors...\n"


def run_in_child(fn, timeout=120):
    """Runs fn() in a forked child: exit code 0 when it returned a true value.
    SIGALRM ends a child still running at the deadline: a hang fails."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        pid = os.fork()
    if pid == 0:
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(timeout)
        try:
            os._exit(0 if fn() else 2)
        except BaseException:
            traceback.print_exc()
            os._exit(3)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def test_first_vector_fixes_dimension_and_mismatch_changes_nothing(db, tmp_path):
    assert db.search([1.0], 2**64 - 1) == [] and db.search([1.0], 5, '{"v": {"$eq": 0}}') == []
    db.add(0, [], '{"v": 0}')  # an empty first vector leaves the dimension open
    db.add(1, [1.0, 0.0, 0.0], '{"v": 0}')
    before = db.search([1.0, 0.0, 0.0], 10)
    for doc_id, vec in [(5, [1.0, 0.0]), (1, [0.0, 1.0, 0.0, 0.0]), (2, [])]:
        with pytest.raises(ValueError) as err:
            db.add(doc_id, vec, '{"v": 1}')
        assert err.value.args == (f"Dimension mismatch: expected 3, got {len(vec)}",)
    assert db.count() == 2  # id 5 did not raise the counter
    assert db.search([1.0, 0.0, 0.0], 10) == before and before[0][0] == 1
    assert db.delete('{"v": {"$eq": 1}}') == 0  # nothing was indexed
    assert (tmp_path / "db" / "metadata.bin").read_bytes() == b'{"v": 0}{"v": 0}'  # nor written


def test_invalid_json_still_stores_record_vector_and_id(db, tmp_path):
    db.add(0, [1.0, 0.0], '{"a": 0}')
    with pytest.raises(ValueError, match=r"^trailing characters at line 1 column \d+$"):
        db.add(3, [0.0, 1.0], '{"a": 1} x')
    assert (tmp_path / "db" / "metadata.bin").read_bytes() == b'{"a": 0}{"a": 1} x'
    with pytest.raises(ValueError, match=r"^EOF while parsing a value at line 1 column 0$"):
        db.delete("")  # a malformed filter deletes nothing
    with pytest.raises(ValueError, match="^EOF while parsing"):  # parsed even for k = 0
        db.search([0.0, 1.0], 0, '{"a": ')
    assert db.search([0.0, 1.0], 0, '{"a": {"$exists": true}}') == []
    assert db.count() == 4
    assert db.build_results([(3, 0.5)], True) == [(3, 0.5, '{"a": 1} x')]
    assert [(i, m) for i, _, m in db.search([0.0, 1.0], 1)] == [(3, '{"a": 1} x')]
    # In the set of all documents (negations see it) but not indexed.
    assert ids(db.search([0.0, 1.0], 10, '{"$not": {"a": {"$exists": true}}}', False)) == [3]


def test_deleted_ids_skipped_on_index_path(db):
    # 40 documents share one vector: the index proposes all of them, the list is
    # kept as it comes. Re-added, the deleted ids are filed again but stay deleted.
    for i in list(range(40)) + list(range(10)):
        db.add(i, [1.0, 2.0, 3.0], f'{{"i": {i}}}')
        if i == 39:
            assert db.delete('{"i": {"$lt": 10}}') == 10
    hits = db.search([1.0, 2.0, 3.0], 15)
    assert len(hits) == 15 and min(ids(hits)) >= 10


def test_filtered_search_finds_matches_outside_the_candidates(db):
    v = np.full(DIM, 1.0 / np.sqrt(DIM))
    v[::2] *= -1
    for i in range(500):  # fill the query's own bucket with non-matches
        db.add(i, v.tolist(), BLUE)
    for i in range(500, 520):  # matches sit in the opposite bucket
        db.add(i, (-v).tolist(), RED)
    hits = db.search(v.tolist(), 10, IS_RED)
    assert len(hits) == 10
    assert set(ids(hits)) <= set(range(500, 520))
    assert all(s == pytest.approx(-1.0, abs=1e-5) for _, s, _ in hits)
    assert sorted(ids(db.search(v.tolist(), 100, IS_RED))) == list(range(500, 520))


def test_readd_replaces_vector_and_filter_entries(db):
    q = [1.0, 0.0]
    db.add(0, q, '{"c": "red", "old": 1}')
    db.add(0, [0.0, 1.0], BLUE)  # vector and metadata both replaced
    assert db.search([0.0, 1.0], 1) == [(0, pytest.approx(1.0, abs=1e-6), BLUE)]
    assert [db.search(q, 5, f) for f in (IS_RED, '{"old": {"$exists": true}}')] == [[], []]
    # Invalid JSON takes the entries away; the next valid text brings its own.
    with pytest.raises(ValueError):
        db.add(0, q, '{"c": ')
    assert db.search(q, 5, '{"c": {"$eq": "blue"}}') == []
    db.add(0, q, RED)
    assert db.search(q, 5, IS_RED) == [(0, pytest.approx(1.0, abs=1e-6), RED)]
    assert db.count() == 1


@pytest.mark.parametrize("ttl, live", [(-(2**63), 0), (2**63 - 1, 1)])
def test_extreme_ttl_saturates(db, ttl, live):
    db.add(0, [1.0, 0.0], RED, ttl)
    assert db.count() == live
    assert len(db.search([1.0, 0.0], 5)) == live


def test_highest_id_does_not_wrap(db):
    k = 2**64 - 1  # the largest k
    db.add(4294967295, [0.0, 1.0], '{"end": "high"}')
    db.add(0, [1.0, 0.0], '{"end": "low"}')
    assert db.count() == 4294967296
    expected = [(4294967295, '{"end": "high"}'), (0, '{"end": "low"}')]
    flt = '{"end": {"$in": ["low", "high"]}}'
    assert [(i, m) for i, _, m in db.search([0.0, 1.0], k, flt)] == expected
    assert db.delete('{"end": {"$eq": "high"}}') == 1
    for flt in (None, '{"end": {"$exists": true}}'):
        assert [(i, m) for i, _, m in db.search([0.0, 1.0], k, flt)] == expected[1:]
    assert db.count() == 4294967295


def test_fallback_enumerates_only_stored_ids(db):
    db.add(3000000000, [0.0, 1.0], RED)
    want = [(3000000000, pytest.approx(1.0, abs=1e-6), RED)]
    assert run_in_child(lambda: db.search([0.0, 1.0], 100) == want) == 0
    assert db.count() == 3000000001


@pytest.mark.parametrize("spread", [False, True], ids=["dense-ids", "random-32-bit-ids"])
def test_recall_floor_on_a_clustered_mixture(db, capfd, spread):
    # 8000 unit vectors around 400 centres, quantized. With k = 10 the index's
    # scan visits the buckets nearest the query's code and finds about a third
    # of the true ten nearest (a scan in table order finds almost none); k =
    # 100 scores every document. Recall is deterministic: floors, not timings.
    # Random ids change nothing: quantization starts at the 5001st distinct id
    # (a re-add does not count) and trains on 5000 real vectors.
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((400, 64))
    x = centres[rng.integers(0, 400, 8100)] + rng.standard_normal((8100, 64)) * 0.75
    x = (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
    docs, queries = x[:8000], x[8000:]
    truth = np.argsort(-(queries.astype(np.float64) @ docs.astype(np.float64).T), axis=1)[:, :10]
    doc_ids = [int(i) for i in (rng.choice(2**32, 8000, replace=False) if spread else range(8000))]
    for i in range(len(docs)):
        db.add(doc_ids[i], docs[i], "{}")
        if i == 4998:
            db.add(doc_ids[0], docs[0], "{}")
        if i in (4999, 5000):
            assert capfd.readouterr().out == ("" if i == 4999 else ACTIVATION_LINE)
    index_of = {d: i for i, d in enumerate(doc_ids)}

    def recall(k):
        found = [{index_of[d] for d in ids(db.search(q, k, None, False)[:10])} for q in queries]
        return np.mean([len(f & set(t)) / 10 for f, t in zip(found, truth)])

    assert recall(10) >= 0.25
    assert recall(100) >= 0.55


def test_metadata_file_and_reopen(tmp_path):
    path = tmp_path / "store"
    db = OstrelDB(str(path))
    assert not (path / "metadata.bin").exists()
    db.add(5, [1.0, 0.0], '{"a":"xy"}')
    db.add(2, [0.0, 1.0], "[12]")
    del db
    db = OstrelDB(str(path))  # starts empty, appends to the old file
    assert (db.count(), db.search(VEC, 10), db.build_results([(5, 0.5)], True)) == (0, [], [])
    db.add(5, [1.0, 0.0], '"again"')
    assert (path / "metadata.bin").read_bytes() == b'{"a":"xy"}[12]"again"'
    assert db.build_results([(5, 0.5)], True) == [(5, 0.5, '"again"')]


def test_sequential_and_parallel_scoring_agree(db):
    # Pairs of identical vectors give exact ties; the index finds only a few
    # of the 1001 documents, so the search falls back to every live id.
    rng = np.random.default_rng(5)
    vecs = np.repeat(rng.standard_normal((501, 16)).astype(np.float32), 2, axis=0)[:1001]
    for i in range(1001):
        db.add(i, vecs[i], f'{{"i": {i}}}')
    query = rng.standard_normal(16)
    parallel = db.search(query, 5000, None, False)  # 1001 candidates
    # A forked child gets a working pool, and the parent keeps its own.
    assert run_in_child(lambda: db.search(query, 5000, None, False) == parallel) == 0
    assert db.search(query, 5000, None, False) == parallel
    assert db.delete('{"i": {"$eq": 1000}}') == 1
    sequential = db.search(query, 5000, None, False)  # 1000 candidates
    assert [r for r in parallel if r[0] != 1000] == sequential
    v64 = vecs.astype(np.float64)
    cosine = v64 @ query / (np.linalg.norm(v64, axis=1) * np.linalg.norm(query))
    score = {i: s for i, s, _ in parallel}
    assert [score[i] for i in range(1001)] == pytest.approx(cosine.tolist(), abs=1e-5)
    assert all(score[i] == score[i + 1] for i in range(0, 1000, 2))  # exact ties
    assert ids(parallel) == sorted(range(1001), key=lambda i: (-score[i], i))  # ties by id
