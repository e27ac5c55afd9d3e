"""A process that used every class, including the hashing worker pool and
metadata objects, ends with status 0 whether its objects are still alive at
exit or were released before."""

import subprocess
import sys

import pytest

USE_EVERY_CLASS = """
import tessellar

class Payload:
    pass

interner = tessellar.StringInternerCore.with_capacity(8)
interner.intern("kept")
loose = tessellar.EntityCore()
loose.add_record_by_id(0, 1)
loose.set_metadata(0, Payload())
frame = tessellar.EntityFrame.with_datasets(["crm"])
frame.add_method("rules", [{"crm": [f"c{i}"], "metadata": {"owner": Payload(), "tags": [i]}} for i in range(1500)])
frame.add_collection_hash("rules", "blake3")  # large enough to start the worker pool
frame.set_entity_metadata("rules", 1, "frame", frame)  # a cycle through metadata
collection = frame.get_collection("rules")
entity = collection.get_entity(0)
assert collection.compare_with(collection)[0]["jaccard"] == 1.0
"""


@pytest.mark.parametrize("ending", [
    pytest.param("", id="objects-alive-at-exit"),
    pytest.param("del interner, loose, frame, collection, entity\nimport gc\ngc.collect()", id="objects-released"),
])
def test_process_exits_cleanly(ending):
    script = USE_EVERY_CLASS + ending + "\nprint('ok')"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", "ok\n")
