"""The README's Python blocks and the examples run as a user would run them
(the blocks state their values with assert), and mypy checks both against
the type stub, so that neither drifts from the module."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import CHILD_ENV

REPO = pathlib.Path(__file__).resolve().parents[2]
README = (REPO / "README.md").read_text()
# (line of the block's first statement, source); blocks are fenced ```python.
BLOCKS = [(README.count("\n", 0, m.start(1)), m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```", README, re.M | re.S)]
EXAMPLES = sorted((REPO / "examples").glob("*.py"))
ARGS = {"package_search.py": ["--no-pad"]}  # the padded run is scripts/demo.sh's


def test_readme_has_blocks_and_examples():
    assert len(BLOCKS) >= 7 and len(EXAMPLES) >= 4


@pytest.mark.parametrize("line, source", BLOCKS, ids=[f"README.md:{n + 1}" for n, _ in BLOCKS])
def test_readme_block(line, source, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # each block on its own, in an empty directory
    code = compile("\n" * line + source, str(REPO / "README.md"), "exec")  # README line numbers
    exec(code, {"__name__": "__main__"})


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_example(path, tmp_path):
    run = subprocess.run([sys.executable, str(path), *ARGS.get(path.name, [])], cwd=tmp_path,
                         env=CHILD_ENV, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and run.stdout, run.stderr
    assert not list(tmp_path.iterdir())  # temporary databases only


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
@pytest.mark.skipif(bool(os.environ.get("OSTREL_EMULATED")), reason="types do not depend on the CPU")
def test_types(tmp_path):
    for n, (_, source) in enumerate(BLOCKS):
        (tmp_path / f"readme_block_{n}.py").write_text(source)
    env = dict(os.environ, MYPYPATH=str(REPO / "src" / "binding"))  # the stub in the tree
    run = subprocess.run([sys.executable, "-m", "mypy", "--check-untyped-defs", "--cache-dir",
                          str(tmp_path / "cache"), *map(str, tmp_path.glob("*.py")),
                          *map(str, EXAMPLES)], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
