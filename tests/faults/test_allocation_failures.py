"""Every allocation a call makes can fail: for each public method, on a small
frame, the k-th allocation of the module's own code (and of Roaring through
it) is failed, for k = 1, 2, ... until the call makes fewer than k; then the
same with the interpreter's allocator (through _testcapi, where the
interpreter has it). Each time the call raises MemoryError and leaves every
object exactly as it was, or it succeeds with the result and state of a run
without failures.

Needs the fault-injection build (make faults), which says where its switch
library is in TESSELLAR_FAULTS; FAULT_LIMIT bounds the sweep per method
(0: every injection point)."""

import contextlib
import ctypes
import os
import pathlib

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

if "TESSELLAR_FAULTS" not in os.environ:
    pytest.skip("needs the fault-injection build (make faults)", allow_module_level=True)

import tessellar
from tessellar import CollectionCore, EntityCore, EntityFrame, StringInternerCore

SWITCH = ctypes.CDLL(str(pathlib.Path(os.environ["TESSELLAR_FAULTS"]) / "libtessellar_faults.so"))
SWITCH.tessellar_faults_arm.argtypes = [ctypes.c_longlong, ctypes.c_int]
SWITCH.tessellar_faults_failures.restype = ctypes.c_longlong
LIMIT = int(os.environ.get("FAULT_LIMIT", "0")) or None
ALGORITHMS = ["sha256", "blake3"]


def wide(dataset, count, start=0):
    """Record IDs enough for a Roaring bitmap, spread over containers."""
    return [f"{dataset}{start + 70_000 * i}" for i in range(count)]


def small_frame():
    frame = EntityFrame.with_datasets(["crm", "erp"])
    entities = [{"crm": [f"c{i}", f"c{i + 1}"], "erp": [f"e{i}"]} for i in range(30)]
    entities[3]["metadata"] = {"note": [3]}
    entities[5]["crm"] = wide("c", 300)
    frame.add_method("a", entities)
    frame.add_method("b", [{"crm": [f"c{i}"], "web": [f"w{i}"]} for i in range(30)])
    frame.add_collection_hash("b", "sha256")
    return frame


def frame_state(frame):
    names = sorted(frame.get_collection_names())
    return (
        str(frame),
        frame.interner_size(),
        sorted(frame.get_dataset_names()),
        names,
        {name: frame.hash_collection(name) for name in names},
        {
            name: [entity_state(e) for e in frame.get_collection(name).get_entities()]
            for name in names
        },
    )


def entity_state(entity):
    return (
        sorted((d, tuple(entity.get_records_by_id(d))) for d in entity.get_dataset_ids()),
        sorted((k, repr(entity.get_metadata_by_id(k))) for k in entity.get_metadata_keys()),
    )


def interner_state(interner):
    return [interner.get_string(i) for i in range(interner.len())]


def collection_state(collection):
    return collection.process_name, [entity_state(e) for e in collection.get_entities()]


def with_frame(call):
    return lambda: {"frame": small_frame()}, lambda objects: call(objects["frame"]), lambda o: frame_state(o["frame"])


def entity_case():
    def setup():
        entity = EntityCore()
        entity.add_records_by_id(1, [i * 70_000 for i in range(300)])
        entity.add_records_by_id(2, [7, 8])
        entity.set_metadata(4, ["kept"])
        return {"entity": entity}

    return setup, lambda o: entity_state(o["entity"])


def entity_calls():
    many = [i * 70_000 + 1 for i in range(300)]
    return {
        "EntityCore.add_record_by_id": lambda e: e.add_record_by_id(1, 5),
        "EntityCore.add_records_by_id (bitmap)": lambda e: e.add_records_by_id(1, many),
        "EntityCore.add_records_by_id (new dataset)": lambda e: e.add_records_by_id(9, many),
        "EntityCore.add_records_by_id (array grows)": lambda e: e.add_records_by_id(2, list(range(100, 400))),
        "EntityCore.add_record": lambda e: e.add_record("crm", 5),
        "EntityCore.add_records": lambda e: e.add_records("crm", many),
        "EntityCore.set_metadata": lambda e: e.set_metadata(6, "value"),
        "EntityCore.get_records_by_id": lambda e: e.get_records_by_id(1),
        "EntityCore.get_dataset_ids": lambda e: e.get_dataset_ids(),
        "EntityCore.get_datasets": lambda e: e.get_datasets(),
        "EntityCore.get_metadata_keys": lambda e: e.get_metadata_keys(),
        "EntityCore.jaccard_similarity": lambda e: e.jaccard_similarity(e),
        "EntityCore.clear_metadata": lambda e: e.clear_metadata(),
    }


def cases():
    for name, call in entity_calls().items():
        setup, observe = entity_case()
        yield name, setup, (lambda call: lambda o: call(o["entity"]))(call), observe

    def interner_setup():
        interner = StringInternerCore()
        for i in range(64):  # every table full: the next string grows them
            interner.intern(f"s{i}")
        return {"interner": interner}

    for name, call in {
        "StringInternerCore.intern": lambda i: i.intern("new"),
        "StringInternerCore.with_capacity": lambda i: StringInternerCore.with_capacity(1000).intern("x"),
        "StringInternerCore.get_string": lambda i: i.get_string(3),
    }.items():
        yield name, interner_setup, (lambda call: lambda o: call(o["interner"]))(call), lambda o: interner_state(
            o["interner"]
        )

    def collection_setup():
        frame = small_frame()
        return {"frame": frame, "collection": frame.get_collection("a"), "interner": frame.interner}

    def collection_observe(o):
        return collection_state(o["collection"]), interner_state(o["interner"])

    for name, call in {
        "CollectionCore.__new__": lambda o: CollectionCore("x").len(),
        "CollectionCore.get_entity": lambda o: entity_state(o["collection"].get_entity(5)),
        "CollectionCore.get_entities": lambda o: len(o["collection"].get_entities()),
        "CollectionCore.compare_with": lambda o: o["collection"].compare_with(o["collection"]),
        "CollectionCore.add_hash": lambda o: o["collection"].add_hash(o["interner"], "sha256"),
        "CollectionCore.verify_hashes": lambda o: o["collection"].verify_hashes(o["interner"], "sha256"),
    }.items():
        yield name, collection_setup, call, collection_observe

    frame_calls = {
        "EntityFrame.with_datasets": lambda f: EntityFrame.with_datasets(["x", "y", "z"]).get_dataset_names(),
        "EntityFrame.declare_dataset": lambda f: f.declare_dataset("a dataset with a longer name"),
        "EntityFrame.get_dataset_id": lambda f: f.get_dataset_id("another dataset with a long name"),
        "EntityFrame.get_dataset_name": lambda f: f.get_dataset_name(0),
        "EntityFrame.interner": lambda f: f.interner.len(),
        "EntityFrame.create_collection": lambda f: f.create_collection("c").process_name,
        "EntityFrame.add_collection": lambda f: f.add_collection("c", f.get_collection("a")),
        "EntityFrame.add_method": lambda f: f.add_method(
            "a",
            [{"crm": ["c1", "z1"], "new": wide("n", 300), "metadata": {"note": 1}}]
            + [{"erp": [f"e{i}"], "more": [f"m{i}"]} for i in range(29)],
        ),
        "EntityFrame.get_collection_names": lambda f: sorted(f.get_collection_names()),
        "EntityFrame.get_collection": lambda f: f.get_collection("a").len(),
        "EntityFrame.compare_collections": lambda f: f.compare_collections("a", "b"),
        "EntityFrame.get_dataset_names": lambda f: sorted(f.get_dataset_names()),
        "EntityFrame.entity_has_dataset": lambda f: f.entity_has_dataset("a", 5, "crm"),
        "EntityFrame.set_entity_metadata": lambda f: f.set_entity_metadata("a", 5, "a fresh and rather long key", 1),
        "EntityFrame.get_entity_metadata": lambda f: f.get_entity_metadata("a", 3, "note"),
        "EntityFrame.hash_entity": lambda f: f.hash_entity("a", 5, "sha512"),
        "EntityFrame.hash_collection": lambda f: f.hash_collection("a", "sha3-256"),
        "EntityFrame.hash_all_entities": lambda f: f.hash_all_entities("blake3"),
        "EntityFrame.add_collection_hash": lambda f: f.add_collection_hash("a", "sha256"),
        "EntityFrame.verify_collection_hashes": lambda f: f.verify_collection_hashes("b", "sha256"),
        "EntityFrame.__str__": lambda f: str(f),
    }
    for name, call in frame_calls.items():
        yield (name, *with_frame(call))

    def large_setup():
        frame = EntityFrame.with_datasets(["crm"])
        frame.add_method("large", [{"crm": [f"c{i}", f"d{i}"]} for i in range(1200)])
        return {"frame": frame}

    # Enough entities for the worker pool.
    for name, call in {
        "EntityFrame.hash_collection (pool)": lambda f: f.hash_collection("large", "sha512"),
        "EntityFrame.add_collection_hash (pool)": lambda f: f.add_collection_hash("large", "blake3"),
    }.items():
        yield name, large_setup, (lambda call: lambda o: call(o["frame"]))(call), lambda o: frame_state(o["frame"])


def normalized(result):
    """Results that hold objects of the module compare by content."""
    if isinstance(result, list):
        return [normalized(item) for item in result]
    if isinstance(result, EntityCore):
        return entity_state(result)
    return result


@contextlib.contextmanager
def ours(k, keep_failing):
    """Fails the k-th allocation of the module (and, if asked, all after it);
    says whether any failed."""
    report = {}
    SWITCH.tessellar_faults_arm(k, keep_failing)
    try:
        yield report
    finally:
        report["failed"] = SWITCH.tessellar_faults_failures() > 0
        SWITCH.tessellar_faults_disarm()


@contextlib.contextmanager
def interpreters(k, _):
    """Fails the interpreter's allocations from the k-th on. It cannot tell
    whether one failed: a call that still succeeds made fewer than k."""
    report = {"failed": True}
    _testcapi.set_nomemory(k, 0)
    try:
        yield report
    finally:
        _testcapi.remove_mem_hooks()


def run_with_failure(failing, setup, call, observe):
    objects = setup()
    before = observe(objects)
    with failing as report:
        try:
            outcome = ("ok", normalized(call(objects)))
        except MemoryError:
            outcome = ("MemoryError", None)
    return report["failed"], outcome, before, observe(objects)


CASES = list(cases())
MODES = [
    pytest.param(ours, 1, id="ours from k on"),
    pytest.param(ours, 0, id="ours k only"),
    pytest.param(interpreters, 1, id="interpreter's from k on",
                 marks=pytest.mark.skipif(_testcapi is None, reason="needs _testcapi")),
]


@pytest.mark.parametrize("failing, keep_failing", MODES)
@pytest.mark.parametrize("name, setup, call, observe", CASES, ids=[case[0] for case in CASES])
def test_every_allocation_failure_is_clean(name, setup, call, observe, failing, keep_failing):
    objects = setup()
    expected = normalized(call(objects)), observe(objects)
    points = 0
    for k in range(1, (LIMIT or 1 << 30) + 1):
        failed, (outcome, result), before, after = run_with_failure(
            failing(k, keep_failing), setup, call, observe
        )
        if not failed or (failing is interpreters and outcome == "ok"):
            assert (outcome, result, after) == ("ok", *expected), f"{name}: a run without failures differs"
            break
        points += 1
        if outcome == "MemoryError":
            assert after == before, f"{name}: state changed by a failure at allocation {k}"
        else:
            assert (result, after) == expected, f"{name}: wrong result after a failure at allocation {k}"
    print(f"{name}: {points} injection points")
