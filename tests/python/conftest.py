"""Shared fixtures and helpers. The module under test comes from
OSTREL_MODULE_DIR (CTest sets it to the build tree, scripts/test.sh to the
site-packages where the wheel was installed), else whatever `import ostrel`
finds, else build/python in the repository."""

import os
import pathlib
import subprocess
import sys

import pytest

_REPO = pathlib.Path(__file__).resolve().parents[2]
_module_dir = os.environ.get("OSTREL_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
else:
    try:
        import ostrel  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(_REPO / "build" / "python"))

import ostrel  # noqa: E402

if _module_dir:
    # Never test a stale installed copy by accident.
    assert pathlib.Path(ostrel.__file__).parent.samefile(_module_dir), ostrel.__file__

# Set by scripts/test-cross.sh: the suite runs under qemu-user, which applies
# no RLIMIT_AS to the emulated process and cannot fork one whose threads run.
EMULATED = os.environ.get("OSTREL_EMULATED") == "1"

# For child interpreters: they import the same ostrel.
CHILD_ENV = dict(os.environ, PYTHONPATH=os.path.dirname(ostrel.__file__))
DOC, VEC = "{}", [1.0, 0.0]


def run_children(code, *arg_lists, timeout=120):
    """Runs `code` in a fresh interpreter per argument list, released together by a
    line on stdin; checks that each succeeds and returns what each printed."""
    pipe = subprocess.PIPE
    procs = [subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=CHILD_ENV,
                              text=True, stdin=pipe, stdout=pipe, stderr=pipe)
             for args in arg_lists]
    try:
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        done = [p.communicate(timeout=timeout) for p in procs]
    finally:
        for p in procs:  # a child still running at the deadline
            if p.poll() is None:
                p.kill()
    for p, (out, err) in zip(procs, done):
        assert p.returncode == 0, err
    return [out for out, _ in done]


def ids(results):
    return [r[0] for r in results]


class Num:
    """Converts through __index__ / __float__: runs `hook`, raises `exc` or returns `value`."""

    def __init__(self, value=None, hook=None, exc=None):
        self.value, self.hook, self.exc = value, hook, exc

    def _convert(self):
        if self.hook is not None:
            self.hook()
        if self.exc is not None:
            raise self.exc
        return self.value

    __index__ = __float__ = _convert


class Seq:
    """__len__ returns or raises `length`; __iter__ raises or iterates `items`."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if isinstance(self.items, BaseException):
            raise self.items
        return self.items() if callable(self.items) else (
            iter(self.items) if isinstance(self.items, list) else self.items)


@pytest.fixture
def db(tmp_path):
    """A fresh database in its own directory."""
    return ostrel.OstrelDB(str(tmp_path / "db"))
