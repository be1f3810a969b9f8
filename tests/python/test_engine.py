"""Engine semantics seen through the Python module: add, count, search,
delete, expiry, build_results, quantization, metadata.bin and the parallel
scoring path. (A directory opened again: the README's metadata.bin block.)"""

import os
import signal
import traceback
import warnings

import numpy as np
import pytest

from conftest import DOC, EMULATED, ids

RED, BLUE = '{"c": "red"}', '{"c": "blue"}'
IS_RED = '{"c": {"$eq": "red"}}'


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


def test_filtered_fallback_scores_every_match(db):
    # It once scored only the first max(10 k, 1000) matching ids. (The scoring
    # shortcuts are checked against the plain pipeline by core_test.)
    v = np.random.default_rng(7).standard_normal((3000, 8)).astype(np.float32)
    for i in range(3000):
        db.add(i, v[i], f'{{"g": {i % 7}}}')
    for i in (2996, 1001):
        assert db.search(v[i], 100, '{"g": {"$lt": 5}}')[0][0] == i


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


def test_highest_id_largest_k_and_extreme_ttls_do_not_wrap(db):
    # Such a k scores every stored document (not every id: they would not fit in memory).
    k = 2**64 - 1  # the largest k
    db.add(4294967295, [0.0, 1.0], '{"end": "high"}')
    db.add(0, [1.0, 0.0], '{"end": "low"}')
    db.add(1, [1.0, 0.0], DOC, -(2**63))  # the expiry saturates: expired at once
    db.add(2, [1.0, 0.0], DOC, 2**63 - 1)  # never
    assert db.count() == 4294967295  # one expired
    expected = [(4294967295, '{"end": "high"}'), (0, '{"end": "low"}')]
    flt = '{"end": {"$in": ["low", "high"]}}'
    assert [(i, m) for i, _, m in db.search([0.0, 1.0], k, flt)] == expected
    assert db.delete('{"end": {"$eq": "high"}}') == 1
    assert [(i, m) for i, _, m in db.search([0.0, 1.0], k)] == [expected[1], (2, DOC)]
    flt = '{"end": {"$exists": true}}'
    assert [(i, m) for i, _, m in db.search([0.0, 1.0], k, flt)] == expected[1:]
    assert db.count() == 4294967294


def test_recall_floor_on_a_clustered_mixture(db):
    # 8000 unit vectors around 400 centres, quantized. With k = 10 the index's
    # scan visits the buckets nearest the query's code and finds about a third
    # of the true ten nearest (a scan in table order finds almost none); k =
    # 100 scores every document. Recall is deterministic: floors, not timings.
    rng = np.random.default_rng(7)
    centres = rng.standard_normal((400, 64))
    x = centres[rng.integers(0, 400, 8100)] + rng.standard_normal((8100, 64)) * 0.75
    x = (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
    docs, queries = x[:8000], x[8000:]
    truth = np.argsort(-(queries.astype(np.float64) @ docs.astype(np.float64).T), axis=1)[:, :10]
    for i in range(len(docs)):
        db.add(i, docs[i], "{}")

    def recall(k):
        found = [set(ids(db.search(q, k, None, False)[:10])) for q in queries]
        return np.mean([len(f & set(t)) / 10 for f, t in zip(found, truth)])

    assert recall(10) >= 0.25
    assert recall(100) >= 0.55


@pytest.mark.skipif(EMULATED, reason="qemu-user cannot fork a process whose threads run")
def test_a_forked_child_scores_on_a_pool_of_its_own(db):
    vecs = np.random.default_rng(5).standard_normal((1001, 16)).astype(np.float32)
    for i in range(1001):
        db.add(i, vecs[i], "{}")
    parallel = db.search(vecs[0], 5000, None, False)  # 1001 candidates: on the pool
    assert len(parallel) == 1001
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        pid = os.fork()
    if pid == 0:  # exit code 0 when the child gets the same; SIGALRM ends one that hangs
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(120)
        try:
            os._exit(0 if db.search(vecs[0], 5000, None, False) == parallel else 2)
        except BaseException:
            traceback.print_exc()
            os._exit(3)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert db.search(vecs[0], 5000, None, False) == parallel
