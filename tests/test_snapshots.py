"""Snapshots share until one side writes: the interner property, collections
taken out of a frame and collections put into one stay independent copies,
whichever side changes first, and cost nothing until then."""

import gc
import sys

import pytest

from tessellar import EntityFrame

BASE = [{"crm": ["c1", "c2"], "erp": ["e1"], "metadata": {"note": "n0"}}, {"crm": ["c3"]}]


def frame_with(*names):
    frame = EntityFrame.with_datasets(["crm", "erp"])
    for name in names:
        frame.add_method(name, BASE)
    return frame


def metadata(collection, key_id):
    return [entity.get_metadata_by_id(key_id) for entity in collection.get_entities()]


# Each write changes one side; the other side must not see it.
WRITES_ON_THE_FRAME = {
    "add_collection_hash": lambda frame: frame.add_collection_hash("m", "sha256"),
    "set_entity_metadata": lambda frame: frame.set_entity_metadata("m", 1, "note", "changed"),
    "add_method replaces": lambda frame: frame.add_method("m", [{"web": ["w1"]}]),
}


@pytest.mark.parametrize("write", WRITES_ON_THE_FRAME.values(), ids=WRITES_ON_THE_FRAME.keys())
@pytest.mark.parametrize("snapshot", ["get_collection", "add_collection"])
def test_collection_copies_stay_independent(snapshot, write):
    frame = frame_with("m")
    if snapshot == "get_collection":
        copy = frame.get_collection("m")
    else:
        copy = frame_with("m").get_collection("m")
        frame.add_collection("m", copy)
    note = frame.interner.lookup("note")
    before = [e.get_records_by_id(0) for e in copy.get_entities()], metadata(copy, note)
    write(frame)
    assert ([e.get_records_by_id(0) for e in copy.get_entities()], metadata(copy, note)) == before
    # And the other way round: the copy's change stays out of the frame.
    frame_before = frame.hash_collection("m"), frame.get_entity_metadata("m", 0, "hash")
    copy.add_hash(frame.interner, "blake3")
    assert (frame.hash_collection("m"), frame.get_entity_metadata("m", 0, "hash")) == frame_before


def test_interner_snapshots_stay_independent():
    frame = frame_with("m")
    snapshot = frame.interner
    size = frame.interner_size()
    assert snapshot.intern("only in the snapshot") == size
    assert frame.interner.lookup("only in the snapshot") is None
    frame.declare_dataset("only in the frame")
    assert snapshot.lookup("only in the frame") is None
    assert snapshot.get_string(size) == "only in the snapshot"
    assert frame.get_dataset_name(size) == "only in the frame"


def test_shared_entities_are_released_once_and_cycles_collected():
    class Value:
        pass

    value = Value()
    base = sys.getrefcount(value)
    frame = frame_with()
    frame.add_method("m", [{"metadata": {"k": value, "frame": frame}}])  # a cycle
    copies = [frame.get_collection("m") for _ in range(3)]
    assert sys.getrefcount(value) == base + 1  # one store holds it for all
    del frame
    gc.collect()
    assert sys.getrefcount(value) == base + 1  # the copies keep the store, and the frame in it
    del copies
    gc.collect()
    assert sys.getrefcount(value) == base


def test_ingestion_leaves_the_collector_alone():
    entities = [{"crm": [f"c{i}", f"d{i}"], "metadata": {"k": i}} for i in range(200_000)]
    collections = []
    gc.callbacks.append(lambda phase, info: phase == "start" and collections.append(info))
    try:
        EntityFrame().add_method("m", entities)
    finally:
        gc.callbacks.pop()
    assert collections == []
