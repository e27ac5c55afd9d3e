"""When the worker pool cannot start a single thread, large collections are
hashed on the calling thread: the same digests, on every call."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

if "TESSELLAR_FAULTS" not in os.environ:
    pytest.skip("needs the fault-injection build (make faults)", allow_module_level=True)

import tessellar

SCRIPT = textwrap.dedent(
    """
    import tessellar as T
    frame = T.EntityFrame.with_datasets(["crm"])
    frame.add_method("m", [{"crm": [f"c{i}", f"d{i}"]} for i in range(5000)])
    print(repr([frame.hash_collection("m", "sha256") for _ in range(3)]))
    """
)


def test_hashing_without_threads_gives_the_same_digests():
    frame = tessellar.EntityFrame.with_datasets(["crm"])
    frame.add_method("m", [{"crm": [f"c{i}", f"d{i}"]} for i in range(5000)])
    expected = frame.hash_collection("m", "sha256")
    shim = pathlib.Path(os.environ["TESSELLAR_FAULTS"]) / "libtessellar_no_threads.so"
    env = dict(os.environ, LD_PRELOAD=str(shim),
               PYTHONPATH=os.pathsep.join([os.path.dirname(tessellar.__file__)] + sys.path))
    result = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    assert eval(result.stdout) == [expected] * 3
