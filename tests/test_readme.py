"""Every example in the README runs as written: the interactive sessions as
doctests, in order and sharing one namespace, and each Python block as a
script of its own. The make targets it names exist."""

import doctest
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
PYTHON_BLOCKS = re.findall(r"^```python\n(.*?)^```$", TEXT, re.S | re.M)


def test_interactive_examples(capfd):
    # capfd keeps file descriptor 1 off the terminal, which would change how
    # a frame renders even under `pytest -s`.
    failures, attempted = doctest.testfile(str(README), module_relative=False, encoding="utf-8", verbose=False)
    report = capfd.readouterr().out
    assert attempted > 20
    assert failures == 0, report


def test_readme_has_python_blocks():
    assert PYTHON_BLOCKS


@pytest.mark.parametrize("source", PYTHON_BLOCKS, ids=lambda source: source.splitlines()[0])
def test_python_block(source):
    if "distributed" in source:
        pytest.importorskip("distributed")
    exec(compile(source, str(README), "exec"), {"__name__": "__main__"})


def test_named_make_targets_exist():
    targets = set(re.findall(r"^([a-z][a-z0-9-]*):", (ROOT / "Makefile").read_text(), re.M))
    named = set(re.findall(r"`make ([a-z][a-z0-9-]*)", TEXT)) | set(re.findall(r"^\s+make ([a-z][a-z0-9-]*)", TEXT, re.M))
    assert named and named <= targets, named - targets
