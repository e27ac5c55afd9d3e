"""python -m tessellar_tools: the scores, digests and diffs of its library
functions, from CSV and Parquet files."""

import subprocess
import sys

import pytest

import tessellar
import tessellar_tools


def run(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "tessellar_tools", *map(str, arguments)], cwd=cwd,
                          capture_output=True, text=True)


@pytest.fixture
def files(tmp_path):
    (tmp_path / "truth.csv").write_text("record,cluster\nr1,a\nr2,a\nr3,b\nr4,c\n")
    (tmp_path / "pairs.csv").write_text("left,right\nr1,r2\nr2,r3\n")
    return tmp_path


def test_evaluate_prints_the_library_scores(files):
    frame = tessellar.EntityFrame()
    tessellar_tools.from_membership(frame, "truth", ["a", "a", "b", "c"], ["r1", "r2", "r3", "r4"], dataset="records")
    tessellar_tools.from_pairs(frame, "pairs", (["r1", "r2"], ["r2", "r3"]), datasets="records")
    scores = tessellar_tools.evaluate(frame, "pairs", "truth")
    result = run("evaluate", "pairs.csv", "truth.csv", cwd=files)
    assert result.returncode == 0, result.stderr
    printed = dict(line.split() for line in result.stdout.splitlines()[2:])
    assert printed == {name: f"{value:.6f}" if isinstance(value, float) else str(value) for name, value in scores.items()}


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_fingerprints_diff_as_sets(files, suffix):
    if suffix == ".parquet":
        pyarrow = pytest.importorskip("pyarrow")
        import pyarrow.parquet
        pyarrow.parquet.write_table(pyarrow.table({"record": ["r4", "r3", "r2"], "cluster": [1, 2, 2]}),
                                    files / "other.parquet")
    else:
        (files / "other.csv").write_text("record,cluster\nr4,1\nr3,2\nr2,2\n")
    for name in ("truth.csv", "other" + suffix):
        assert run("fingerprint", name, "-o", name + ".digests", cwd=files).returncode == 0
    result = run("diff", "truth.csv.digests", "other" + suffix + ".digests", cwd=files)
    assert result.returncode == 1
    assert [line[0] for line in result.stdout.splitlines()] == ["-", "-", "+"]
    assert run("diff", "truth.csv.digests", "truth.csv.digests", cwd=files).returncode == 0


def test_a_bad_row_is_named(files):
    (files / "bad.csv").write_text("record,cluster\nr1,a\nr1,b\n")
    result = run("evaluate", "bad.csv", "truth.csv", cwd=files)
    assert result.returncode == 1 and "bad.csv: records[1]: record 'r1' of dataset 'records' is there twice" in result.stderr
