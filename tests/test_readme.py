"""Every example in the README runs as written: the interactive sessions as
doctests, in order and sharing one namespace, and each Python block as a
script of its own."""

import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
PYTHON_BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.S | re.M)


def test_interactive_examples():
    failures, attempted = doctest.testfile(str(README), module_relative=False, encoding="utf-8", verbose=False)
    assert attempted > 20
    assert failures == 0


def test_readme_has_python_blocks():
    assert PYTHON_BLOCKS


@pytest.mark.parametrize("source", PYTHON_BLOCKS, ids=lambda source: source.splitlines()[0])
def test_python_block(source):
    if "distributed" in source:
        pytest.importorskip("distributed")
    exec(compile(source, str(README), "exec"), {"__name__": "__main__"})
