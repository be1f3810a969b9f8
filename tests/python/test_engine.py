"""Engine semantics seen through the Python module: add, count, search,
delete, expiry, build_results, quantization, metadata.bin, and layouts
that once lost or invented search results. (A directory opened again: the README's metadata.bin block.)"""

import numpy as np
import pytest

from conftest import DOC, ids

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


def unit_rows(n, dim):
    v = np.random.default_rng(7).standard_normal((n, dim)).astype(np.float32)
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def deleted_slice(db):  # a whole slice of deleted rows ended the scan
    v = unit_rows(257, 8)
    for i in range(257):
        db.add(i, v[i], f'{{"i": {i}}}')
    db.delete('{"i": {"$lt": 256}}')
    return ids(db.search(v[256], 10)) == [256]


def quantized_rows(db):  # a piece holding fewer than k set a floor for all (k = 5001);
    v = unit_rows(5001, 64)  # a NaN or infinite total was dropped as below any floor
    for i in range(5001):
        db.add(i, v[i], "{}")
    queries = [(v[0], 5001)] + [(np.where(np.arange(64) == 3, bad, v[0]), k)
                                for bad in (np.nan, np.inf, 1e20) for k in (100, 1000)]
    return all(len(db.search(q, k, None, False)) == k for q, k in queries)


def unordered_bucket(db):  # a run of eight rows was trusted on its first and last entries
    a = np.random.default_rng(7).standard_normal(24).astype(np.float32)
    for i in range(22):
        db.add(i, -a if i == 15 else a, '{"keep": %s}' % ("false" if 9 <= i <= 14 else "true"))
    db.add(15, a, '{"keep": true}')  # its bucket's list is now out of id order
    for i in range(22, 5100):
        db.add(i, 3 * a, '{"keep": true}')
    return not set(ids(db.search(a, 10, '{"keep": {"$eq": true}}'))) & set(range(9, 15))


def late_matches(db):  # a filtered search scored only the first max(10 k, 1000) matches
    v = unit_rows(3000, 8)
    for i in range(3000):
        db.add(i, v[i], f'{{"g": {i % 7}}}')
    return all(db.search(v[i], 100, '{"g": {"$lt": 5}}')[0][0] == i for i in (2996, 1001))


@pytest.mark.parametrize("layout", [deleted_slice, quantized_rows, unordered_bucket,
                                    late_matches], ids=lambda f: f.__name__)
def test_layouts_that_once_lost_or_invented_results(db, capfd, layout):
    assert layout(db)


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
