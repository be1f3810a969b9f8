"""The Python surface of ostrel: module and class attributes, argument binding,
argument conversion, result conversion, exceptions and the borrow counter.
Engine behaviour beyond what is needed to observe a conversion is tested
elsewhere."""

import array
import ast
import collections
import inspect
import os
import pathlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import ostrel
from ostrel import OstrelDB

DOC = "{}"


# --- module and class ------------------------------------------------------


def test_module_attributes():
    assert ostrel.__all__ == ["OstrelDB"]
    assert ostrel.__doc__ == ""
    assert ostrel.OstrelDB is OstrelDB
    # The internal-fault class is reachable but not exported, and is not an
    # Exception, so that `except Exception` cannot swallow it.
    assert ostrel.InternalError.__bases__ == (BaseException,)
    assert "InternalError" not in ostrel.__all__


def test_class_attributes(db):
    assert OstrelDB.__module__ == "builtins"
    assert OstrelDB.__name__ == OstrelDB.__qualname__ == "OstrelDB"
    assert OstrelDB.__doc__ == ""
    assert OstrelDB.__text_signature__ == "(path)"
    assert repr(db).startswith("<builtins.OstrelDB object at ")
    assert not hasattr(db, "__dict__")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("add", "($self, internal_id, vector, metadata_json, ttl=None)"),
        ("search", "($self, query, k, filter_json=None, include_metadata=True)"),
        ("build_results", "($self, scored, include_metadata)"),
        ("delete", "($self, filter_json)"),
        ("count", "($self)"),
        ("clean_expired", "($self)"),
    ],
)
def test_method_signatures(db, name, signature):
    for method in (getattr(OstrelDB, name), getattr(db, name)):
        assert method.__text_signature__ == signature
        assert method.__doc__ is None


def test_class_is_closed(db):
    with pytest.raises(TypeError):
        type("Sub", (OstrelDB,), {})
    with pytest.raises(TypeError):
        weakref.ref(db)
    with pytest.raises(AttributeError):
        db.anything = 1


def test_second_initialisation_raises_import_error():
    code = (
        "import sys, ostrel\n"
        "del sys.modules['ostrel']\n"
        "try:\n"
        "    import ostrel\n"
        "except ImportError:\n"
        "    print('refused')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(ostrel.__file__))
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    )
    assert out.stdout == "refused\n"


def test_type_stub_matches_runtime():
    stub = pathlib.Path(__file__).resolve().parents[2] / "src" / "binding" / "ostrel.pyi"
    tree = ast.parse(stub.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "OstrelDB")
    stub_methods = {
        f.name: f for f in cls.body if isinstance(f, ast.FunctionDef) and f.name != "__new__"
    }
    runtime = [n for n, v in vars(OstrelDB).items() if callable(v) and not n.startswith("_")]
    assert sorted(stub_methods) == sorted(runtime)
    for name, func in stub_methods.items():
        params = list(inspect.signature(getattr(OstrelDB, name)).parameters.values())
        assert [a.arg for a in func.args.args] == [p.name for p in params]
        with_default = [p.name for p in params if p.default is not inspect.Parameter.empty]
        assert [a.arg for a in func.args.args[len(func.args.args) - len(func.args.defaults) :]] == (
            with_default
        )


# --- argument binding --------------------------------------------------------

BINDING_ERRORS = [
    ("add", (1, [1.0], DOC, None, 5), {},
     "OstrelDB.add() takes from 3 to 4 positional arguments but 5 were given"),
    ("add", (1, [1.0]), {}, "OstrelDB.add() missing 1 required positional argument: 'metadata_json'"),
    ("add", (1,), {}, "OstrelDB.add() missing 2 required positional arguments: 'vector' and 'metadata_json'"),
    ("add", (), {"ttl": 1},
     "OstrelDB.add() missing 3 required positional arguments: 'internal_id', 'vector', and 'metadata_json'"),
    ("add", (1, [1.0], DOC), {"x": 1}, "OstrelDB.add() got an unexpected keyword argument 'x'"),
    ("search", ([1.0],), {"k": 1, "query": [1.0]}, "OstrelDB.search() got multiple values for argument 'query'"),
    ("search", ([1.0], 1, None, True, 0), {},
     "OstrelDB.search() takes from 2 to 4 positional arguments but 5 were given"),
    ("build_results", ([],), {"k": 1}, "OstrelDB.build_results() got an unexpected keyword argument 'k'"),
    ("build_results", ([], True, 1), {}, "OstrelDB.build_results() takes 2 positional arguments but 3 were given"),
    ("delete", (DOC, DOC), {}, "OstrelDB.delete() takes 1 positional argument but 2 were given"),
    ("delete", (), {}, "OstrelDB.delete() missing 1 required positional argument: 'filter_json'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(db, method, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        getattr(db, method)(*args, **kwargs)
    assert str(err.value) == message


def test_constructor_binding(tmp_path):
    with pytest.raises(TypeError, match=r"^OstrelDB.__new__\(\) missing 1 required positional "
                                        r"argument: 'path'$"):
        OstrelDB()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        OstrelDB(str(tmp_path), str(tmp_path))
    assert isinstance(OstrelDB(path=str(tmp_path / "kw")), OstrelDB)
    assert (tmp_path / "kw").is_dir()


def test_no_argument_methods_refuse_arguments(db):
    for method in (db.count, db.clean_expired):
        with pytest.raises(TypeError):
            method(1)
        with pytest.raises(TypeError):
            method(x=1)


def test_keywords_bind_by_name(db):
    db.add(vector=[1.0, 0.0], metadata_json=DOC, internal_id=0, ttl=None)
    assert db.build_results(include_metadata=False, scored=[(0, 0.5)]) == [(0, 0.5, "")]
    hits = db.search(k=1, query=[1.0, 0.0], include_metadata=False, filter_json=None)
    assert [(i, m) for i, _, m in hits] == [(0, "")]


# --- argument conversion -----------------------------------------------------


class Num:
    """A number that converts only through __index__ or __float__ and runs a
    hook first (used to call back into the database during conversion)."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return int(self.value)

    def __float__(self):
        if self.hook:
            self.hook()
        return float(self.value)


class TypeErrorSubclass(TypeError):
    pass


class BadFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


VEC = [1.0, 0.0]

# (method, args, exception type, exact message or None for the interpreter's own)
CONVERSION_ERRORS = [
    ("add", (-1, VEC, DOC), OverflowError, "out of range integral type conversion attempted"),
    ("add", (4294967296, VEC, DOC), OverflowError, "out of range integral type conversion attempted"),
    ("add", (2**64, VEC, DOC), OverflowError, None),
    ("add", (2.0, VEC, DOC), TypeError, "argument 'internal_id': 'float' object cannot be interpreted as an integer"),
    ("add", ("1", VEC, DOC), TypeError, "argument 'internal_id': 'str' object cannot be interpreted as an integer"),
    ("add", (0, "ab", DOC), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    ("add", (0, 5, DOC), TypeError, "argument 'vector': 'int' object cannot be converted to 'Sequence'"),
    ("add", (0, {1.0}, DOC), TypeError, "argument 'vector': 'set' object cannot be converted to 'Sequence'"),
    ("add", (0, (x for x in VEC), DOC), TypeError,
     "argument 'vector': 'generator' object cannot be converted to 'Sequence'"),
    ("add", (0, [1.0, "a"], DOC), TypeError, "argument 'vector': must be real number, not str"),
    ("add", (0, [None], DOC), TypeError, "argument 'vector': must be real number, not NoneType"),
    ("add", (0, [BadFloat(TypeErrorSubclass("sub"))], DOC), TypeErrorSubclass, "sub"),
    ("add", (0, [BadFloat(ValueError("val"))], DOC), ValueError, "val"),
    ("add", (0, VEC, b"{}"), TypeError, "argument 'metadata_json': 'bytes' object cannot be converted to 'PyString'"),
    ("add", (0, VEC, "\udc00"), UnicodeEncodeError, None),
    ("add", (0, VEC, DOC, 2.5), TypeError, "argument 'ttl': 'float' object cannot be interpreted as an integer"),
    ("add", (0, VEC, DOC, 2**63), OverflowError, None),
    # The first failing parameter in declaration order is reported.
    ("add", (2.0, "ab", None, 2.5), TypeError, "argument 'internal_id': 'float' object cannot be interpreted as an integer"),
    ("search", (VEC, -1), OverflowError, None),
    ("search", (VEC, 2**64), OverflowError, None),
    ("search", (VEC, 1.0), TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("search", ("ab", 1), TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    ("search", (VEC, 1, 5), TypeError, "argument 'filter_json': 'int' object cannot be converted to 'PyString'"),
    ("search", (VEC, 1, None, 1), TypeError, "argument 'include_metadata': 'int' object cannot be converted to 'PyBool'"),
    ("search", (VEC, 1, None, None), TypeError, "argument 'include_metadata': 'NoneType' object cannot be converted to 'PyBool'"),
    ("build_results", ([[1, 0.5]], True), TypeError, "argument 'scored': 'list' object cannot be converted to 'PyTuple'"),
    ("build_results", ([(1, 0.5, 2)], True), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("build_results", ([(1,)], True), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ("build_results", ([(-1, 0.5)], True), OverflowError, "out of range integral type conversion attempted"),
    ("build_results", ([("1", 0.5)], True), TypeError, "argument 'scored': 'str' object cannot be interpreted as an integer"),
    ("build_results", ([(1, "x")], True), TypeError, "argument 'scored': must be real number, not str"),
    ("build_results", ("ab", True), TypeError, "argument 'scored': Can't extract `str` to `Vec`"),
    ("build_results", (3, True), TypeError, "argument 'scored': 'int' object cannot be converted to 'Sequence'"),
    ("build_results", ([], 0), TypeError, "argument 'include_metadata': 'int' object cannot be converted to 'PyBool'"),
    ("delete", (None,), TypeError, "argument 'filter_json': 'NoneType' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("method, args, exc_type, message", CONVERSION_ERRORS)
def test_conversion_errors(db, method, args, exc_type, message):
    with pytest.raises(Exception) as err:
        getattr(db, method)(*args)
    assert type(err.value) is exc_type
    if message is not None:
        assert str(err.value) == message
    else:
        assert not str(err.value).startswith("argument ")
    # A failed conversion leaves the instance unclaimed.
    db.add(0, VEC, DOC)


def test_constructor_errors(tmp_path):
    regular = tmp_path / "file"
    regular.write_text("")
    with pytest.raises(ValueError) as err:
        OstrelDB(str(regular))
    assert err.value.args == ("File exists (os error 17)",)
    with pytest.raises(ValueError) as err:
        OstrelDB(str(tmp_path / "a\0b"))
    assert err.value.args == ("file name contained an unexpected NUL byte",)
    with pytest.raises(TypeError) as err:
        OstrelDB(str(tmp_path).encode())
    assert str(err.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match="^argument 'path': 'PosixPath' object"):
        OstrelDB(tmp_path)


def test_constructor_creates_missing_parents(tmp_path):
    class Text(str):
        pass

    OstrelDB(Text(tmp_path / "a" / "b" / "c"))  # str subclasses are text
    assert (tmp_path / "a" / "b" / "c").is_dir()
    OstrelDB(str(tmp_path / "a"))  # an existing directory is fine


def test_ids_convert_through_index(db):
    db.add(True, VEC, '{"n": 1}')  # bool is an int: id 1
    db.add(Num(3), VEC, '{"n": 3}')
    assert db.count() == 4
    got = db.build_results([(Num(1), Num(0.5)), (3, 1)], True)
    assert got == [(1, 0.5, '{"n": 1}'), (3, 1.0, '{"n": 3}')]


def test_ttl_is_passed_on(db):
    db.add(0, VEC, DOC, None)  # no expiry
    db.add(1, VEC, DOC, -1)  # already expired: purged by the next count
    db.add(2, VEC, DOC, Num(3600))
    assert db.count() == 2
    assert sorted(r[0] for r in db.search(VEC, 10)) == [0, 2]


def test_vector_sequences_agree(make_db):
    """Every accepted sequence type stores the same float32 vector."""
    values = [0.1, -2.5, 3.0, 1e-3]
    query = [1.0, 0.5, -0.25, 2.0]
    sources = [
        values,
        tuple(values),
        np.array(values, dtype=np.float32),
        np.array(values, dtype=np.float64),
        np.array(values, dtype=">f8"),  # non-native order: iteration path
        np.repeat(np.array(values, dtype=np.float64), 2)[::2],  # strided: iteration path
        array.array("d", values),
        memoryview(array.array("f", values)),
        [Num(v) for v in values],
        collections.UserList(values),
    ]
    results = []
    for source in sources:
        db = make_db()
        db.add(0, source, DOC)
        db.add(1, [1.0, 1.0, 1.0, 1.0], DOC)
        results.append(db.search(query, 2))
    assert len(results[0]) == 2
    assert all(r == results[0] for r in results), results


def test_query_sequences_agree(db):
    rng = np.random.default_rng(7)
    for i in range(20):
        db.add(i, rng.standard_normal(8).tolist(), DOC)
    query = rng.standard_normal(8)
    expected = db.search(query.tolist(), 5)
    assert len(expected) == 5
    assert db.search(query, 5) == expected
    assert db.search(query.astype(np.float32), 5) == expected
    assert db.search(array.array("d", query), 5) == expected


def test_bytes_and_integer_arrays_use_item_values(make_db):
    a, b, c = make_db(), make_db(), make_db()
    a.add(0, [1.0, 2.0, 3.0], DOC)
    b.add(0, b"\x01\x02\x03", DOC)
    c.add(0, np.array([1, 2, 3], dtype=np.int32), DOC)
    expected = a.search([3.0, 2.0, 1.0], 1)
    assert len(expected) == 1
    assert b.search([3.0, 2.0, 1.0], 1) == expected
    assert c.search([3.0, 2.0, 1.0], 1) == expected


def test_two_dimensional_array_is_refused(db):
    with pytest.raises(TypeError, match="^argument 'vector': "):
        db.add(0, np.ones((2, 2)), DOC)


# --- results and engine failures ----------------------------------------------


def test_result_types(db):
    assert db.add(0, VEC, '{"k": "v"}') is None
    assert db.clean_expired() is None
    n = db.count()
    assert type(n) is int and n == 1
    hits = db.search(VEC, 5)
    assert [(i, m) for i, _, m in hits] == [(0, '{"k": "v"}')]  # include_metadata defaults to True
    assert all(type(t) is tuple and list(map(type, t)) == [int, float, str] for t in hits)
    assert hits[0][1] == pytest.approx(1.0, abs=1e-6)
    assert [(i, m) for i, _, m in db.search(VEC, 5, None, False)] == [(0, "")]
    deleted = db.delete('{"k": {"$eq": "v"}}')
    assert type(deleted) is int and deleted == 1


def test_build_results_conversion(db):
    Pair = collections.namedtuple("Pair", "id score")
    got = db.build_results([(7, 0.1), Pair(4294967295, -1.5), (3000000000, 1e40)], False)
    assert got == [(7, 0.10000000149011612, ""), (4294967295, -1.5, ""), (3000000000, float("inf"), "")]
    assert type(got) is list and db.build_results([], True) == []
    # Every call returns fresh objects.
    assert db.build_results([(7, 0.1)], False) is not db.build_results([(7, 0.1)], False)


def test_engine_failures_are_value_errors(db):
    db.add(0, VEC, DOC)
    with pytest.raises(ValueError) as err:
        db.add(1, [1.0, 2.0, 3.0], DOC)
    assert err.value.args == ("Dimension mismatch: expected 2, got 3",)
    for call in (lambda: db.search(VEC, 1, "{"), lambda: db.delete("not json")):
        with pytest.raises(ValueError):
            call()
    # The instance stays usable.
    db.add(1, VEC, DOC)
    assert db.count() == 2


# --- borrow counter -------------------------------------------------------------


class HookedSequence:
    """A sequence whose __iter__ runs a hook first."""

    def __init__(self, values, hook):
        self.values, self.hook = values, hook

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]

    def __iter__(self):
        self.hook()
        return iter(self.values)


BUSY, MUT = "Already borrowed", "Already mutably borrowed"


def _add(db):
    return lambda: db.add(9, VEC, DOC)


# (call whose argument conversion re-enters the same instance, RuntimeError text)
REENTRANT = {
    "add/internal_id/count": (lambda db: db.add(Num(0, db.count), VEC, DOC), MUT),
    "add/vector item/count": (lambda db: db.add(0, [Num(1.0, db.count), 0.0], DOC), MUT),
    "add/vector iter/count": (lambda db: db.add(0, HookedSequence(VEC, db.count), DOC), MUT),
    "add/ttl/clean_expired": (lambda db: db.add(0, VEC, DOC, Num(5, db.clean_expired)), MUT),
    "add/internal_id/add": (lambda db: db.add(Num(0, _add(db)), VEC, DOC), BUSY),
    "search/query item/add": (lambda db: db.search([Num(1.0, _add(db)), 0.0], 1), BUSY),
    "search/query iter/add": (lambda db: db.search(HookedSequence(VEC, _add(db)), 1), BUSY),
    "search/k/add": (lambda db: db.search(VEC, Num(1, _add(db))), BUSY),
    "build_results/id/add": (lambda db: db.build_results([(Num(1, _add(db)), 0.5)], False), BUSY),
    "build_results/score/add": (lambda db: db.build_results([(1, Num(0.5, _add(db)))], False), BUSY),
}


@pytest.mark.parametrize("case", REENTRANT.values(), ids=REENTRANT.keys())
def test_reentrant_conflicts(db, case):
    call, message = case
    with pytest.raises(RuntimeError) as err:
        call(db)
    assert str(err.value) == message
    # The counter was restored: both kinds of claim succeed again.
    db.add(0, VEC, DOC)
    db.count()


def test_nested_shared_claims(db):
    db.add(0, VEC, DOC)
    seen = []

    def hook():
        db.count()
        db.search(VEC, 1)
        seen.append(db.build_results([(5, 0.5)], False))

    db.search(VEC, Num(1, hook))
    assert db.build_results([(Num(0, hook), 0.5)], False) == [(0, 0.5, "")]
    assert seen == [[(5, 0.5, "")]] * 2
    db.add(1, VEC, DOC)  # every shared claim was released
