"""Shared fixtures for the ostrel Python tests.

The module under test is found, in this order: the directory named by
OSTREL_MODULE_DIR (CTest sets it to the build tree), whatever `import ostrel`
finds on the path, or build/python in the repository.
"""

import os
import pathlib
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


@pytest.fixture
def db(tmp_path):
    """A fresh database in its own directory."""
    return ostrel.OstrelDB(str(tmp_path / "db"))


@pytest.fixture
def make_db(tmp_path):
    """Factory for several independent databases in one test."""
    counter = iter(range(1_000_000))

    def make():
        return ostrel.OstrelDB(str(tmp_path / f"db{next(counter)}"))

    return make
