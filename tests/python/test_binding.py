"""The Python surface of ostrel: module and class attributes, argument binding
and conversion (hostile objects included), result conversion and the borrow
counter (Python code run by a conversion is the only way back into a claimed
instance, from this thread or, the lock handed over, from another one)."""

import array
import collections
import copy
import math
import pathlib  # noqa: F401 (the calls of BAD_ARGUMENTS use it, and Seq)
import pickle
import re
import weakref

import numpy as np
import pytest

import ostrel
from conftest import DOC, VEC, Num, Seq, run_children  # noqa: F401
from ostrel import OstrelDB

def test_class_is_closed(db):
    """No subclass, weak reference, attribute, copy, or instance without an engine."""
    assert ostrel.__all__ == ["OstrelDB"] and OstrelDB.__text_signature__ == "(path)"
    # Not exported, and not an Exception: `except Exception` cannot swallow an internal fault.
    assert ostrel.InternalError.__bases__ == (BaseException,)
    for call in (lambda: type("Sub", (OstrelDB,), {}), lambda: weakref.ref(db),
                 lambda: OstrelDB.__new__(int, "x"), lambda: object.__new__(OstrelDB),
                 lambda: copy.copy(db), lambda: pickle.dumps(db),
                 lambda: OstrelDB.count(None), lambda: OstrelDB.add(5, 0, VEC, DOC)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(AttributeError):
        db.anything = 1


def test_second_initialisation_raises_import_error():
    code = ("import sys, ostrel\ndel sys.modules['ostrel']\n"
            "try: import ostrel\nexcept ImportError: print('refused')")
    assert run_children(code, []) == ["refused\n"]


def failing_iterator():
    yield 1.0
    raise ZeroDivisionError("mid-way")


class OwnTypeError(TypeError):
    pass


# (call, exception type, message: exact, up to "..." or None for the
# interpreter's own, which must not carry an argument prefix)
BAD_ARGUMENTS = [
    # Binding.
    ("db.add(1, [1.0], DOC, None, 5)",
     TypeError, "OstrelDB.add() takes from 3 to 4 positional arguments but 5 were given"),
    ("db.add(ttl=1)", TypeError, "OstrelDB.add() missing 3 required positional arguments: "
                                 "'internal_id', 'vector', and 'metadata_json'"),
    ("db.delete(DOC, DOC)",
     TypeError, "OstrelDB.delete() takes 1 positional argument but 2 were given"),
    ("OstrelDB()", TypeError, "OstrelDB.__new__() missing 1 required positional argument: 'path'"),
    ("db.add(1, [1.0], DOC, x=1)",
     TypeError, "OstrelDB.add() got an unexpected keyword argument 'x'"),
    ("db.search([1.0], k=1, query=[1.0])",
     TypeError, "OstrelDB.search() got multiple values for argument 'query'"),
    # Conversion: the first failing parameter in declaration order is reported.
    ("db.add(2.0, 'ab', None, 2.5)", TypeError, "argument 'internal_id': 'float' object..."),
    ("db.add(2**32, VEC, DOC)", OverflowError, "out of range integral type conversion attempted"),
    ("db.add(0, VEC, DOC, -(2**63) - 1)", OverflowError, None),
    ("db.add(0, 'ab', DOC)", TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("db.add(0, 5, DOC)",
     TypeError, "argument 'vector': 'int' object cannot be converted to 'Sequence'"),
    ("db.add(0, VEC, b'{}')", TypeError, "argument 'metadata_json': 'bytes' object..."),
    ("db.add(0, [10**400], DOC)", OverflowError, "int too large to convert to float"),
    ("db.search(VEC, -1)", OverflowError, None),
    ("db.search(VEC, 1, None, 1)",
     TypeError, "argument 'include_metadata': 'int' object cannot be converted to 'PyBool'"),
    ("db.search(VEC, 1, '\\ud800')", UnicodeEncodeError, None),
    ("db.build_results([[1, 0.5]], True)",
     TypeError, "argument 'scored': 'list' object cannot be converted to 'PyTuple'"),
    ("db.build_results([(1, 0.5, 2)], True)",
     ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("db.build_results([('1', 0.5)], True)", TypeError, "argument 'scored': 'str' object..."),
    ("db.delete(None)", TypeError, "argument 'filter_json': 'NoneType' object..."),
    ("OstrelDB(pathlib.Path('/tmp/x'))",
     TypeError, "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
    # Objects whose protocols raise or lie: only an exact TypeError gets the prefix.
    ("db.add(Num(exc=TypeError('plain')), VEC, DOC)", TypeError, "argument 'internal_id': plain"),
    ("db.add(Num(exc=OwnTypeError('own')), VEC, DOC)", OwnTypeError, "own"),
    ("db.add(Num(exc=KeyError('k')), VEC, DOC)", KeyError, "'k'"),
    ("db.add(0, Seq(2, 5), DOC)", TypeError, "argument 'vector': iter() returned..."),
    ("db.add(0, Seq(2, failing_iterator), DOC)", ZeroDivisionError, "mid-way"),
    ("db.add(0, [Num('s')], DOC)", TypeError, "argument 'vector': Num.__float__ returned..."),
    ("db.add(0, [Num(exc=StopIteration())], DOC)", StopIteration, ""),  # not the end
    ("db.search(Seq(2, SystemExit(3)), 1)", SystemExit, "3"),
]


@pytest.mark.parametrize("call, exc_type, message", BAD_ARGUMENTS,
                         ids=[call for call, *_ in BAD_ARGUMENTS])
def test_bad_arguments(db, call, exc_type, message):
    with pytest.raises(BaseException) as err:
        eval(call)
    assert type(err.value) is exc_type
    if message is None:
        assert not str(err.value).startswith("argument ")
    else:
        assert re.fullmatch(re.escape(message).replace(r"\.\.\.", ".*"), str(err.value))
    db.add(0, VEC, DOC)  # the instance stays usable, every claim released
    assert db.count() == 1


class Text(str):
    pass


def test_keywords_index_conversions_and_text_paths(db, tmp_path):
    db.add(vector=[1.0, 0.0], metadata_json=DOC, internal_id=0, ttl=None)
    assert db.build_results(include_metadata=False, scored=[(0, 0.5)]) == [(0, 0.5, "")]
    hits = db.search(k=1, query=[1.0, 0.0], include_metadata=False, filter_json=None)
    assert [(i, m) for i, _, m in hits] == [(0, "")]
    db.add(True, VEC, '{"n": 1}')  # bool is an int: id 1
    db.add(Num(3), VEC, '{"n": 3}', Num(3600))
    db.add(2, VEC, DOC, -1)  # already expired: purged by the next count
    assert db.count() == 3
    got = db.build_results([(Num(1), Num(0.5)), (3, 1)], True)
    assert got == [(1, 0.5, '{"n": 1}'), (3, 1.0, '{"n": 3}')]
    assert isinstance(OstrelDB(path=Text(tmp_path / "a" / "b" / "c")), OstrelDB)  # parents made
    assert (tmp_path / "a" / "b" / "c").is_dir()
    with pytest.raises(TypeError, match="^argument 'vector': "):
        db.add(0, np.ones((2, 2)), DOC)  # two dimensions


FLOAT_SOURCES = [
    list, collections.UserList, lambda v: [Num(x) for x in v],
    lambda v: np.array(v, dtype=np.float64), lambda v: memoryview(array.array("f", v)),
    lambda v: np.array(v, dtype=">f8"),  # non-native order: iteration path
    lambda v: np.repeat(np.array(v, dtype=np.float64), 2)[::2],  # strided: iteration path
]
INT_SOURCES = [list, bytes, lambda v: np.array(v, dtype=np.int32)]  # item values, not raw bytes


@pytest.mark.parametrize("values, sources", [
    ([0.1, -2.5, 3.0, 1e-3], FLOAT_SOURCES), ([1, 2, 3, 250], INT_SOURCES)], ids=["float", "int"])
def test_sequence_types_agree(tmp_path, values, sources):
    """Every accepted sequence type gives the same float32 vector, stored or queried."""
    results = []
    for n, make in enumerate(sources):
        db = OstrelDB(str(tmp_path / str(n)))
        db.add(0, make(values), DOC)
        db.add(1, [1.0, 1.0, 1.0, 1.0], DOC)
        results += [db.search(values[::-1], 2), db.search(make(values[::-1]), 2)]
    assert len(results[0]) == 2
    assert all(r == results[0] for r in results), results


def test_result_conversion(db):
    assert db.add(0, VEC, '{"k": "v"}') is None and db.clean_expired() is None
    hits = db.search(VEC, 5)  # include_metadata defaults to True
    assert hits == [(0, pytest.approx(1.0, abs=1e-6), '{"k": "v"}')]
    assert [list(map(type, t)) for t in [hits[0], (db.count(), 0.0, "")]] == [[int, float, str]] * 2
    assert [(i, m) for i, _, m in db.search(VEC, 5, None, False)] == [(0, "")]
    db.add(2, VEC, '{"n": 2}')
    assert db.delete('{"k": {"$eq": "v"}}') == 1
    # build_results keeps order and duplicates, skips missing ids, still reads deleted ones.
    pairs = [(2, 0.5), (7, 0.25), (0, -1.0), (2, 0.75), (1, 2.0)]
    assert db.build_results(pairs, True) == [
        (2, 0.5, '{"n": 2}'), (0, -1.0, '{"k": "v"}'), (2, 0.75, '{"n": 2}')]
    assert db.build_results(pairs, False) == [(i, s, "") for i, s in pairs]
    Pair = collections.namedtuple("Pair", "id score")
    scored = [(7, 0.1), Pair(4294967295, -1.5), (3000000000, -1e40), (1, math.nan)]
    got = db.build_results(scored, False)
    assert got[:3] == [(7, 0.10000000149011612, ""), (4294967295, -1.5, ""),
                       (3000000000, -math.inf, "")] and math.isnan(got[3][1])


def _add(db):
    return lambda: db.add(9, VEC, DOC)


# (call whose argument conversion re-enters the same instance, RuntimeError text)
REENTRANT = {
    "add/count": (lambda db: db.add(Num(0, db.count), VEC, DOC), "Already mutably borrowed"),
    "add/add": (lambda db: db.add(Num(0, _add(db)), VEC, DOC), "Already borrowed"),
    "search/add": (lambda db: db.search(VEC, Num(1, _add(db))), "Already borrowed"),
    "build_results/add": (lambda db: db.build_results([(1, Num(0.5, _add(db)))], False),
                          "Already borrowed"),
}


@pytest.mark.parametrize("case", REENTRANT.values(), ids=REENTRANT.keys())
def test_reentrant_conflicts(db, case):
    call, message = case
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        call(db)
    db.add(0, VEC, DOC)  # the counter was restored: both kinds of claim succeed again
    db.search(VEC, Num(1, db.count))  # and shared claims stack
