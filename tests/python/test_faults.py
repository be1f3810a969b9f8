"""Faults from outside: a full disk, a file size limit, metadata.bin edited
or replaced, an unusable database directory, two processes appending to one
file. No case relies on file permissions: the suite also runs as root."""

import json
import os
import shutil

import pytest

from conftest import ids, run_children
from ostrel import OstrelDB

A, B, C = '{"c": "red", "n": 0}', '{"c": "blue"}', '{"c": "green", "n": 2}'
V0, V1, V2 = [1.0, 0.0], [0.0, 1.0], [0.6, 0.8]


# name: (make the next append fail, given the directory and metadata.bin, its message)
APPEND_FAULTS = {
    "disk full": (lambda d, f: (f.unlink(), f.symlink_to("/dev/full")),
                  "No space left on device (os error 28)"),
    "directory renamed": (lambda d, f: d.rename(d.with_name("aside")),
                          "No such file or directory (os error 2)"),
}  # a file above 4 GiB fails the same way: metadata_store_test.cpp


@pytest.mark.parametrize("fault, message", APPEND_FAULTS.values(), ids=APPEND_FAULTS.keys())
def test_failed_append_leaves_vector_without_record(tmp_path, fault, message):
    d, path = tmp_path / "db", tmp_path / "db" / "metadata.bin"
    db = OstrelDB(str(d))
    db.add(0, V0, A)
    saved = path.read_bytes()
    fault(d, path)
    for doc_id, vec in [(1, V1), (0, V0)]:
        with pytest.raises(ValueError) as err:
            db.add(doc_id, vec, B, -5)  # the expiry would purge it, were it recorded
        assert err.value.args == (message,)

    # Counted and stored, no expiry: the purge inside count() keeps it.
    assert db.count() == 2
    assert db.search(V1, 5, None, False)[0] == (1, pytest.approx(1.0, abs=1e-6), "")
    assert 1 not in ids(db.search(V1, 5))  # no record to build its result from
    assert db.build_results([(1, 0.5)], True) == []
    # Neither in the set of all documents (a negation does not see it) nor indexed.
    assert ids(db.search(V1, 5, '{"$not": {"c": {"$eq": "red"}}}', False)) == []
    assert db.delete('{"c": {"$eq": "blue"}}') == 0

    shutil.rmtree(d, ignore_errors=True)  # put the directory back
    d.mkdir()
    path.write_bytes(saved)
    # The failed re-add of 0 left its record and filter entries as they were.
    assert db.search(V0, 5, '{"c": {"$eq": "red"}}') == [(0, pytest.approx(1.0, abs=1e-6), A)]
    db.add(2, V2, C)
    db.add(1, V1, B)
    assert path.read_bytes() == saved + (C + B).encode()
    assert db.build_results([(i, 0.5) for i in range(3)], True) == [
        (0, 0.5, A), (1, 0.5, B), (2, 0.5, C)]
    assert ids(db.search(V1, 5, '{"c": {"$eq": "blue"}}')) == [1]
    assert db.count() == 3


# Runs a plan of adds ([id, text], or null to lift the limit) under a 100-byte
# file size limit. Python ignores SIGXFSZ, so a write beyond the limit fails
# with EFBIG instead of killing the process.
FSIZE_CHILD = r"""
import json, resource, sys, ostrel
db = ostrel.OstrelDB(sys.argv[1])
sys.stdin.readline()
hard = resource.getrlimit(resource.RLIMIT_FSIZE)[1]
resource.setrlimit(resource.RLIMIT_FSIZE, (100, hard))
errors = []
for step in json.loads(sys.argv[2]):
    if step is None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
        continue
    try:
        db.add(step[0], [1.0, float(step[0])], step[1])
        errors.append(None)
    except ValueError as e:
        errors.append(str(e))
results = db.build_results([(i, 0.25) for i in range(7)], True)
print(json.dumps({"errors": errors, "results": results, "count": db.count()}))
"""


def test_file_size_limit(tmp_path):
    # Two bytes per "é": offsets and lengths are counted in bytes.
    sizes = {0: 14, 1: 14, 2: 7, 5: 16, 6: 12}
    t = {i: f'{{"i": {i}, "p": "{"é" * n}"}}' for i, n in sizes.items()}
    raw = {i: s.encode() for i, s in t.items()}  # 45, 45, 31, 49 and 41 bytes
    # 45 + 45 bytes fit; id 2 crosses the limit and leaves 10 of its bytes
    # behind; a 1-byte re-add of 0 cannot grow the file either; an empty text
    # writes nothing, so it is recorded and then fails as JSON.
    plan = [[0, t[0]], [1, t[1]], [2, t[2]], [0, "5"], [4, ""], None,
            [5, t[5]], [6, t[6]], [2, t[2]]]
    got = json.loads(run_children(FSIZE_CHILD, [tmp_path / "db", json.dumps(plan)])[0])
    too_large = "File too large (os error 27)"
    assert got["errors"] == [None, None, too_large, too_large,
                             "EOF while parsing a value at line 1 column 0", None, None, None]
    assert (tmp_path / "db" / "metadata.bin").read_bytes() == (
        raw[0] + raw[1] + raw[2][:10] + raw[5] + raw[6] + raw[2])
    t[4] = ""  # 3 was never added
    assert got["results"] == [[i, 0.25, t[i]] for i in (0, 1, 2, 4, 5, 6)]
    assert got["count"] == 7


# An int truncates the file to that size, None deletes it, bytes replace it
# by a new file holding them, (at, bytes) overwrite record 1 from byte `at` on.
@pytest.mark.parametrize("edit", [
    30, 29, None, b"0123456789ABCDEFGHIJ", bytes(range(256))[::5], (7, b"\xff"),
    (7, b"\xe2\x82"),  # a sequence cut short is one subsequence
    (14, b"\xf0\x9f\x98"),  # cut by the end of the record
    (7, b"\xc3\xa9\xf0\x9f\x98\x80"),  # well-formed bytes stay as they are
])
def test_edited_file_reads_back_what_is_there(tmp_path, edit):
    db, path = OstrelDB(str(tmp_path / "db")), tmp_path / "db" / "metadata.bin"
    for i, text in enumerate(['{"k": "aaaa"}', '{"k": "bbbbbbbb"}', '{"k": "cc"}']):
        db.add(i, [1.0, float(i)], text)  # at bytes 0..13, 13..30, 30..41
    if isinstance(edit, int):
        os.truncate(path, edit)
    elif isinstance(edit, tuple):
        with open(path, "r+b") as f:
            f.seek(13 + edit[0])
            f.write(edit[1])
    else:
        path.unlink()
        if edit is not None:
            path.write_bytes(edit)
    now = path.read_bytes() if path.exists() else b""
    # Ill-formed UTF-8 reads as U+FFFD, one per maximal ill-formed subsequence.
    order, spans = [2, 1, 0, 2], [(0, 13), (13, 30), (30, 41)]
    expected = [(i, 0.5, now[spans[i][0]:spans[i][1]].decode("utf-8", "replace"))
                for i in order if spans[i][1] <= len(now)]
    assert db.build_results([(i, 0.5) for i in order], True) == expected
    assert sorted(ids(db.search([1.0, 1.0], 10))) == sorted(set(ids(expected)))
    assert sorted(ids(db.search([1.0, 1.0], 10, None, False))) == [0, 1, 2]
    db.add(3, [1.0, 3.0], '{"k": "new"}')  # starts the file again when it was deleted
    assert path.read_bytes() == now + b'{"k": "new"}'
    assert db.build_results([(3, 0.5)], True) == [(3, 0.5, '{"k": "new"}')]
    assert db.count() == 4


@pytest.mark.parametrize("name, message", [
    ("file", "File exists (os error 17)"),
    ("file/db", "Not a directory (os error 20)"),
    ("x" * 300, "File name too long (os error 36)"),
    ("new/parents/a\0b", "file name contained an unexpected NUL byte"),
])
def test_unusable_directory_path(tmp_path, name, message):
    (tmp_path / "file").write_bytes(b"")
    before = sorted(tmp_path.rglob("*"))
    with pytest.raises(ValueError) as err:
        OstrelDB(str(tmp_path / name))
    assert err.value.args == (message,)
    assert sorted(tmp_path.rglob("*")) == before  # no parent was created


WRITER_CHILD = r"""
import json, sys, ostrel
db = ostrel.OstrelDB(sys.argv[1])
tag = sys.argv[2]
texts = [json.dumps({"w": tag, "i": i, "pad": "x" * (i % 37)}) for i in range(2000)]
sys.stdin.readline()  # start together
for i, text in enumerate(texts):
    db.add(i, [1.0, float(i)], text)
got = db.build_results([(i, 0.0) for i in range(2000)], True)
wrong = [r for r in got if r[2] != texts[r[0]]]
print(json.dumps({"n": len(got), "wrong": wrong[:3], "bytes": sum(len(t) for t in texts)}))
"""


def test_two_processes_each_read_back_their_own_records(tmp_path):
    d = tmp_path / "db"
    OstrelDB(str(d))
    got = [json.loads(out) for out in run_children(WRITER_CHILD, [d, "a"], [d, "b"])]
    for g in got:
        assert (g["n"], g["wrong"]) == (2000, [])
    assert (d / "metadata.bin").stat().st_size == sum(g["bytes"] for g in got)
