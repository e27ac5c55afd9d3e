"""EntityFrame: the dataset table, the shared interner and the named
collections."""

import gc
import sys

import pytest

from tessellar import CollectionCore, EntityFrame, StringInternerCore


def frame_state(frame):
    return (
        sorted(frame.get_collection_names()),
        sorted(frame.get_dataset_names()),
        frame.interner_size(),
        frame.total_entities(),
    )


def collection_content(collection):
    """Process name and each entity's records and metadata, comparable."""
    entities = []
    for entity in collection.get_entities():
        records = sorted((d, entity.get_records_by_id(d)) for d in entity.get_dataset_ids())
        metadata = sorted((k, id(entity.get_metadata_by_id(k))) for k in entity.get_metadata_keys())
        entities.append((records, metadata))
    return collection.process_name, entities


# --- datasets and interner -------------------------------------------------------


@pytest.mark.parametrize("make", [EntityFrame, lambda: EntityFrame.with_datasets([])], ids=["new", "no-datasets"])
def test_empty_frame(make):
    frame = make()
    assert frame.get_dataset_names() == []
    assert frame.get_collection_names() == []
    assert frame.interner_size() == 0
    assert frame.collection_count() == 0
    assert frame.total_entities() == 0
    with pytest.raises(IndexError) as raised:
        frame.get_dataset_name(0)
    assert raised.value.args == ("Invalid string ID",)


@pytest.mark.parametrize("names", [["a", "b", "a"], ("a", "b", "a")])
def test_with_datasets_numbers_distinct_names_in_order(names):
    frame = EntityFrame.with_datasets(names)
    assert (frame.get_dataset_id("a"), frame.get_dataset_id("b")) == (0, 1)
    assert sorted(frame.get_dataset_names()) == ["a", "b"]
    assert frame.interner_size() == 2
    assert frame.get_dataset_name(1) == "b"


@pytest.mark.parametrize(
    ("names", "message"),
    [
        ("ab", "argument 'dataset_names': Can't extract `str` to `Vec`"),
        ({"a", "b"}, "argument 'dataset_names': 'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'dataset_names': 'dict' object cannot be converted to 'Sequence'"),
        (["a", 1], "argument 'dataset_names': 'int' object cannot be converted to 'PyString'"),
        (None, "argument 'dataset_names': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_with_datasets_refuses_non_sequences_of_str(names, message):
    with pytest.raises(TypeError) as raised:
        EntityFrame.with_datasets(names)
    assert raised.value.args == (message,)


def test_get_dataset_id_declares_unknown_names():
    frame = EntityFrame()
    assert frame.get_dataset_id("crm") == 0
    assert frame.get_dataset_names() == ["crm"]
    assert frame.get_dataset_id("crm") == 0
    assert frame.interner_size() == 1


def test_declare_dataset_twice_keeps_one_entry():
    frame = EntityFrame()
    assert frame.declare_dataset("x") == frame.declare_dataset("x") == 0
    assert frame.declare_dataset("y") == 1
    assert sorted(frame.get_dataset_names()) == ["x", "y"]


def test_declaring_a_record_string_reuses_its_id():
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r1", "r2"]}])
    record_id = frame.interner.lookup("r2")
    assert frame.declare_dataset("r2") == record_id
    assert frame.get_dataset_name(record_id) == "r2"
    assert sorted(frame.get_dataset_names()) == ["d", "r2"]


def test_get_dataset_name_reaches_any_interned_string():
    frame = EntityFrame()
    frame.add_method("m", [{"metadata": {"key": 1}, "d": ["r"]}])
    names = {frame.get_dataset_name(i) for i in range(frame.interner_size())}
    assert names == {"key", "d", "r"}
    assert frame.get_dataset_names() == ["d"]
    with pytest.raises(IndexError, match="^Invalid string ID$"):
        frame.get_dataset_name(3)
    with pytest.raises(OverflowError):
        frame.get_dataset_name(-1)


def test_interner_property_is_an_independent_snapshot():
    frame = EntityFrame.with_datasets(["a", "b"])
    snapshot = frame.interner
    assert isinstance(snapshot, StringInternerCore)
    assert snapshot is not frame.interner
    assert not callable(snapshot)
    with pytest.raises(TypeError):
        frame.interner()
    assert snapshot.intern("new") == 2
    assert frame.interner_size() == 2
    frame.declare_dataset("c")
    assert snapshot.lookup("c") is None
    assert snapshot.get_string(2) == "new"
    assert frame.interner.get_string(2) == "c"
    assert [snapshot.get_string(i) for i in range(2)] == ["a", "b"]


def test_interner_snapshot_outlives_the_frame():
    frame = EntityFrame()
    frame.add_method("m", [{"d": [f"r{i}" for i in range(5000)]}])
    snapshot = frame.interner
    del frame
    gc.collect()
    assert snapshot.len() == 5001
    assert snapshot.get_string(snapshot.lookup("r4999")) == "r4999"
    assert snapshot.intern("after") == 5001


# --- collections -------------------------------------------------------------------


def test_create_collection_does_not_store():
    frame = EntityFrame()
    collection = frame.create_collection("method")
    assert isinstance(collection, CollectionCore)
    assert collection.process_name == "method"
    assert collection.len() == 0
    assert frame_state(frame) == ([], [], 0, 0)


def test_add_collection_stores_a_copy_under_its_own_name():
    source = EntityFrame()
    value = ["shared"]
    source.add_method("m", [{"d": ["r1"], "metadata": {"k": value}}, {}])
    collection = source.get_collection("m")

    frame = EntityFrame()
    assert frame.add_collection("stored", collection) is None
    assert frame.get_collection_names() == ["stored"]
    assert frame.get_collection("m") is None
    stored = frame.get_collection("stored")
    assert stored.process_name == "m"
    assert stored is not collection
    assert collection_content(stored) == collection_content(collection)
    # Metadata values are shared objects, not copies.
    key = source.interner.lookup("k")
    assert stored.get_entity(0).get_metadata_by_id(key) is value
    # The frame's copy does not follow later changes of the passed object's
    # entities (they are copies too) nor of the source frame.
    source.add_method("m", [])
    assert frame.get_collection("stored").len() == 2
    assert frame.total_entities() == 2


def test_add_collection_replaces_under_an_existing_name():
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r"]}])
    frame.add_collection("m", frame.create_collection("other"))
    assert frame.collection_count() == 1
    assert frame.get_collection("m").process_name == "other"
    assert frame.get_collection("m").len() == 0


@pytest.mark.parametrize("value", [EntityFrame(), "m", None, 3])
def test_add_collection_needs_a_collection(value):
    frame = EntityFrame()
    with pytest.raises(TypeError) as raised:
        frame.add_collection("m", value)
    expected = f"argument 'collection': '{type(value).__name__}' object cannot be converted to 'CollectionCore'"
    assert raised.value.args == (expected,)
    assert frame.collection_count() == 0


def test_get_collection_hands_out_distinct_copies():
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r1", "r2"]}])
    first, second = frame.get_collection("m"), frame.get_collection("m")
    assert first is not second
    assert collection_content(first) == collection_content(second)
    first.get_entity(0)  # a copy of a copy; nothing reaches the frame
    assert frame.get_collection("absent") is None
    assert frame.get_collection("M") is None


def test_total_entities_sums_all_collections():
    frame = EntityFrame()
    frame.add_method("a", [{}, {}, {}])
    frame.add_method("b", [{"d": ["r"]}])
    frame.add_collection("c", frame.create_collection("c"))
    assert frame.total_entities() == 4
    assert frame.total_entities() == sum(frame.get_collection(n).len() for n in frame.get_collection_names())
    frame.add_method("a", [{}])
    assert frame.total_entities() == 2


def test_dropping_a_frame_releases_metadata():
    value = object()
    gc.collect()
    base = sys.getrefcount(value)
    frame = EntityFrame()
    frame.add_method("m", [{"metadata": {"k": value}}] * 3)
    copy = frame.get_collection("m")
    assert sys.getrefcount(value) == base + 3  # shared until one side changes
    frame.set_entity_metadata("m", 0, "other", 1)
    assert sys.getrefcount(value) == base + 6
    del frame
    gc.collect()
    assert sys.getrefcount(value) == base + 3
    del copy
    gc.collect()
    assert sys.getrefcount(value) == base


def test_frame_in_a_reference_cycle_is_collected():
    value = object()
    gc.collect()
    base = sys.getrefcount(value)
    frame = EntityFrame()
    holder = {"frame": frame, "value": value}
    frame.add_method("m", [{"metadata": {"self": holder}}])
    del frame, holder
    gc.collect()
    assert sys.getrefcount(value) == base
