"""Every method of the four classes, on its success and failure paths, run
many times: Python objects, native memory and the reference counts of the
objects handed in all come back to where they were."""

import gc
import os
import sys
import tracemalloc

from tessellar import CollectionCore, EntityCore, EntityFrame, StringInternerCore

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Value:
    """A metadata value whose reference count is watched."""


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fixed(*parts):
    """A str the interpreter does not intern, so its count is its own."""
    return "".join(parts)


VALUE, OTHER = Value(), Value()
NAME, KEY, RECORD = fixed("meth", "od"), fixed("ke", "y"), fixed("rec", "ord")
RECORDS = [RECORD, fixed("r", "2"), RECORD]
METADATA = {KEY: VALUE}
ENTITY = {fixed("d", "s"): RECORDS, "metadata": METADATA}
ENTITY_DATA = [ENTITY, {}, {fixed("d", "s"): ()}]
INDEX = Idx(0)
WATCHED = [VALUE, OTHER, NAME, KEY, RECORD, RECORDS, METADATA, ENTITY, ENTITY_DATA, INDEX]

FAILURES = (TypeError, ValueError, KeyError, IndexError, OverflowError, RuntimeError, UnicodeEncodeError,
            MemoryError)


def attempt(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except FAILURES:
        pass


def exercise_interner():
    interner = StringInternerCore.with_capacity(INDEX)
    StringInternerCore.with_capacity(64)
    attempt(StringInternerCore.with_capacity, 2**40)
    interner.intern(RECORD)
    interner.intern(s=KEY)
    interner.lookup(RECORD)
    interner.lookup(NAME)
    interner.get_string(INDEX)
    interner.len()
    interner.is_empty()
    for bad in [(5,), ("\ud800",), (RECORD, RECORD)]:
        attempt(interner.intern, *bad)
    for bad in [9, -1, 2**32, 2**64, 1.5, Idx(2**40)]:
        attempt(interner.get_string, bad)
    attempt(interner.lookup, s=RECORD, t=1)
    attempt(StringInternerCore, 1)


def exercise_entity():
    entity, other = EntityCore(), EntityCore()
    entity.add_record_by_id(1, INDEX)
    entity.add_records_by_id(2, [3, INDEX, 70000] + list(range(300)))
    entity.add_record(RECORD, 4)
    entity.add_records(KEY, (5, 6))
    other.add_records_by_id(2, range(100))
    entity.hash_dataset_name(NAME)
    entity.get_records(RECORD)
    entity.get_records_by_id(2)
    entity.get_dataset_ids()
    entity.get_datasets()
    entity.has_dataset(KEY)
    entity.has_dataset_id(INDEX)
    entity.total_records()
    entity.jaccard_similarity(other)
    entity.set_metadata(INDEX, VALUE)
    entity.set_metadata(0, OTHER)  # replaces
    entity.set_metadata(1, VALUE)
    entity.get_metadata_by_id(0)
    entity.has_metadata(1)
    entity.get_metadata_keys()
    other.set_metadata(7, VALUE)
    other.clear_metadata()
    for bad in [(-1, 0), (0, 2**32), ("x", 0), (0, None)]:
        attempt(entity.add_record_by_id, *bad)
    for bad in [(0, "12"), (0, [1, -1]), (0, {1}), (0, [RECORD])]:
        attempt(entity.add_records_by_id, *bad)
    attempt(entity.add_record, "\ud800", 1)
    attempt(entity.add_records, RECORD, [2**40])
    attempt(entity.jaccard_similarity, VALUE)
    attempt(entity.set_metadata, 2**32, VALUE)
    attempt(entity.get_metadata_by_id, Idx(-1))


def filled_frame():
    frame = EntityFrame.with_datasets((fixed("d", "s"), KEY))
    frame.add_method(NAME, ENTITY_DATA)
    frame.add_method("other", [{KEY: RECORDS}, {}, {"x": []}])
    return frame


def exercise_collection(frame):
    collection = frame.get_collection(NAME)
    standalone = CollectionCore(NAME)
    interner = frame.interner
    collection.process_name
    collection.len()
    collection.is_empty()
    collection.total_records()
    collection.get_entity(INDEX)
    collection.get_entities()
    collection.compare_with(frame.get_collection("other"))
    collection.add_hash(interner, "sha256")
    collection.add_hash(interner, "blake3")  # replaces the stored digests
    collection.verify_hashes(interner, "sha256")
    collection.verify_hashes(interner, "sha512")
    standalone.add_hash(interner, "md5")
    for call, args in [(collection.get_entity, (9,)), (collection.get_entity, (-1,)),
                       (collection.compare_with, (standalone,)), (collection.compare_with, (VALUE,)),
                       (collection.add_hash, (interner, "md5")), (collection.add_hash, (VALUE, "sha256")),
                       (collection.verify_hashes, (interner, 5)), (CollectionCore, (5,))]:
        attempt(call, *args)


def exercise_frame(frame):
    frame.declare_dataset(KEY)
    frame.get_dataset_id(RECORD)
    frame.get_dataset_name(INDEX)
    frame.get_dataset_names()
    frame.interner.len()
    frame.interner_size()
    frame.create_collection(NAME)
    frame.add_collection("copy", frame.get_collection("other"))
    frame.add_collection("copy", CollectionCore(NAME))  # replaces
    frame.add_method(NAME, ENTITY_DATA)  # replaces, releasing the old metadata
    frame.get_collection_names()
    frame.get_collection("absent")
    frame.compare_collections(NAME, "other")
    frame.collection_count()
    frame.total_entities()
    frame.entity_has_dataset(NAME, INDEX, KEY)
    frame.set_entity_metadata(NAME, 1, KEY, OTHER)
    frame.set_entity_metadata(NAME, 1, KEY, VALUE)
    frame.get_entity_metadata(NAME, 0, KEY)
    frame.hash_entity(NAME, INDEX)
    frame.hash_collection(NAME, "sha3-512")
    frame.hash_all_entities("blake3")
    frame.add_collection_hash(NAME, "sha256")
    frame.verify_collection_hashes(NAME, "sha256")
    str(frame)
    repr(frame)
    failures = [
        (frame.add_method, (NAME, [ENTITY, {KEY: RECORD}])),
        (frame.add_method, (NAME, [ENTITY, {"metadata": {KEY: VALUE}, KEY: [RECORD, 5]}])),
        (frame.add_method, (NAME, [ENTITY, 7])),
        (frame.add_method, (NAME, [{"metadata": [KEY]}])),
        (frame.add_method, (NAME, [{"metadata": {1: VALUE}}])),
        (frame.add_method, (NAME, [{KEY: None}])),
        (frame.add_method, (NAME, [{1: []}])),
        (frame.add_method, (NAME, [{KEY: ["\udc80"]}])),
        (frame.add_method, (NAME, RECORD)),
        (frame.add_method, (NAME, None)),
        (frame.add_method, (5, [])),
        (frame.add_method, (NAME,)),
        (frame.get_dataset_name, (2**31,)),
        (frame.compare_collections, (NAME, "absent")),
        (frame.compare_collections, (NAME, "copy")),
        (frame.entity_has_dataset, (NAME, 99, KEY)),
        (frame.set_entity_metadata, ("absent", 0, KEY, VALUE)),
        (frame.set_entity_metadata, (NAME, -1, KEY, VALUE)),
        (frame.get_entity_metadata, (NAME, 1.5, KEY)),
        (frame.hash_entity, (NAME, 0, "md5")),
        (frame.hash_collection, ("absent",)),
        (frame.hash_all_entities, ("md5",)),
        (frame.add_collection_hash, (NAME, None)),
        (frame.verify_collection_hashes, (NAME, "md5")),
        (frame.add_collection, (NAME, VALUE)),
        (EntityFrame.with_datasets, (RECORD,)),
        (EntityFrame.with_datasets, ([KEY, 5],)),
    ]
    for call, args in failures:
        attempt(call, *args)


def exercise():
    exercise_interner()
    exercise_entity()
    frame = filled_frame()
    exercise_collection(frame)
    exercise_frame(frame)


def counts():
    gc.collect()
    return [sys.getrefcount(value) for value in WATCHED]


def python_bytes():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def native_bytes():
    gc.collect()
    return resident_bytes()


def run(workload, rounds, traced_rounds):
    """Warms up, then checks reference counts and resident memory over
    `rounds` runs, and Python allocations over `traced_rounds` traced runs.
    A single leaked object per run exceeds either bound."""
    for _ in range(max(rounds // 10, 3)):
        workload()
    counts_before, resident_before = counts(), native_bytes()
    for _ in range(rounds):
        workload()
    assert counts() == counts_before
    if not UNDER_SANITIZER:  # its allocator quarantines freed memory
        assert native_bytes() - resident_before < max(rounds * 16, 64 << 10)

    tracemalloc.start()
    try:
        workload()
        before = python_bytes()
        for _ in range(traced_rounds):
            workload()
        # The interpreter's own caches add a few hundred bytes once.
        assert python_bytes() - before < 512 + traced_rounds * 8
    finally:
        tracemalloc.stop()


def test_every_method_returns_what_it_takes():
    run(exercise, rounds=3000, traced_rounds=400)


def test_hashing_on_the_pool_returns_what_it_takes():
    entities = [{"crm": [f"c{i}", f"c{i + 1}", f"c{i}"], "erp": [f"e{i % 7}"]} for i in range(1500)]
    frame = EntityFrame()
    frame.add_method("m", entities)

    def workload():
        frame.hash_collection("m", "blake3")
        frame.add_collection_hash("m", "sha256")
        frame.verify_collection_hashes("m", "sha256")
        attempt(frame.hash_collection, "m", "md5")

    run(workload, rounds=150, traced_rounds=30)


def test_large_inputs_are_released():
    # Large record sets and texts go through the allocator's big blocks.
    text = "x" * (1 << 20)
    records = [f"r{i}" for i in range(20000)]

    def workload():
        frame = EntityFrame()
        frame.add_method("m", [{"d": records}, {"d": [text]}])
        frame.hash_entity("m", 0)
        StringInternerCore.with_capacity(100_000)
        entity = EntityCore()
        entity.add_records_by_id(0, range(0, 200_000, 3))
        entity.jaccard_similarity(entity)

    run(workload, rounds=40, traced_rounds=30)
