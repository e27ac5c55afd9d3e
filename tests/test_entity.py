"""EntityCore from Python: record sets, name-derived dataset IDs, metadata
ownership and the Jaccard similarity."""

import gc
import sys

import pytest

from tessellar import EntityCore, EntityFrame

RANGE_ERROR = "out of range integral type conversion attempted"


def entity_with(**datasets):
    """An entity from keyword arguments d<ID>=[record IDs]."""
    entity = EntityCore()
    for name, records in datasets.items():
        entity.add_records_by_id(int(name[1:]), records)
    return entity


def snapshot(entity):
    """Everything an entity reports about itself, in a comparable form."""
    return (
        sorted((d, entity.get_records_by_id(d)) for d in entity.get_dataset_ids()),
        entity.total_records(),
        sorted(entity.get_metadata_keys()),
    )


class Index:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# --- records -----------------------------------------------------------------


def test_new_entity_is_empty():
    entity = EntityCore()
    assert entity.get_dataset_ids() == []
    assert entity.get_datasets() == []
    assert entity.total_records() == 0
    assert entity.has_dataset_id(0) is False
    assert entity.get_records_by_id(0) == []


def test_empty_record_list_still_declares_the_dataset():
    entity = EntityCore()
    entity.add_records_by_id(5, [])
    assert entity.has_dataset_id(5) is True
    assert entity.get_dataset_ids() == [5]
    assert entity.get_records_by_id(5) == []
    assert entity.total_records() == 0


@pytest.mark.parametrize("records", [[9, 3, 9, 70000, 3], (9, 3, 70000), range(3, 10, 6), [70000, 3, 9]])
def test_records_come_back_sorted_without_duplicates(records):
    entity = EntityCore()
    entity.add_records_by_id(1, records)
    entity.add_record_by_id(1, 70000)
    assert entity.get_records_by_id(1) == [3, 9, 70000]
    assert entity.total_records() == 3


def test_same_record_in_two_datasets_counts_twice():
    entity = entity_with(d1=[7, 8], d2=[7])
    assert entity.total_records() == 3
    assert sorted(entity.get_dataset_ids()) == [1, 2]
    assert sorted(entity.get_datasets()) == ["dataset_1", "dataset_2"]


@pytest.mark.parametrize(
    ("name", "expected"),
    [("abc", 2897426276), ("ABC", 1953657297), ("", 3108574127)],
)
def test_name_derived_dataset_ids(name, expected):
    entity = EntityCore()
    assert entity.hash_dataset_name(name) == expected
    entity.add_record(name, 4)
    entity.add_records(name, [2, 4])
    assert entity.has_dataset(name) is True
    assert entity.has_dataset_id(expected) is True
    assert entity.get_records(name) == [2, 4]
    assert entity.get_records_by_id(expected) == [2, 4]
    assert entity.get_datasets() == [f"dataset_{expected}"]


def test_name_derived_ids_do_not_fold_case():
    entity = EntityCore()
    entity.add_record("abc", 4)
    entity.add_record("ABC", 4)
    assert sorted(entity.get_dataset_ids()) == [1953657297, 2897426276]
    assert entity.total_records() == 2
    assert entity.has_dataset("Abc") is False
    assert entity.get_records("Abc") == []


# Every parameter converted to a 32-bit ID, with the rest of a valid call.
ID_CALLS = [
    pytest.param("add_record_by_id", lambda v: (v, 0), "dataset_id", id="add_record_by_id.dataset_id"),
    pytest.param("add_record_by_id", lambda v: (0, v), "record_id", id="add_record_by_id.record_id"),
    pytest.param("add_records_by_id", lambda v: (v, [0]), "dataset_id", id="add_records_by_id.dataset_id"),
    pytest.param("add_records_by_id", lambda v: (0, [1, v]), "record_ids", id="add_records_by_id.record_ids"),
    pytest.param("add_record", lambda v: ("abc", v), "record_id", id="add_record.record_id"),
    pytest.param("add_records", lambda v: ("abc", [1, v]), "record_ids", id="add_records.record_ids"),
    pytest.param("get_records_by_id", lambda v: (v,), "dataset_id", id="get_records_by_id"),
    pytest.param("has_dataset_id", lambda v: (v,), "dataset_id", id="has_dataset_id"),
    pytest.param("set_metadata", lambda v: (v, "x"), "key_id", id="set_metadata"),
    pytest.param("get_metadata_by_id", lambda v: (v,), "key_id", id="get_metadata_by_id"),
    pytest.param("has_metadata", lambda v: (v,), "key_id", id="has_metadata"),
]


def filled_entity():
    entity = entity_with(d3=[1, 2])
    entity.set_metadata(1, "kept")
    return entity


@pytest.mark.parametrize(("method", "args", "parameter"), ID_CALLS)
@pytest.mark.parametrize("value", [-1, 2**32, -(2**40)])
def test_ids_outside_32_bits_are_refused(method, args, parameter, value):
    entity = filled_entity()
    before = snapshot(entity)
    with pytest.raises(OverflowError) as raised:
        getattr(entity, method)(*args(value))
    assert raised.value.args == (RANGE_ERROR,)
    assert snapshot(entity) == before


@pytest.mark.parametrize(("method", "args", "parameter"), ID_CALLS)
@pytest.mark.parametrize("value", [2**64, -(2**64)])
def test_ids_outside_64_bits_raise_the_interpreters_overflow(method, args, parameter, value):
    entity = filled_entity()
    before = snapshot(entity)
    with pytest.raises(OverflowError):
        getattr(entity, method)(*args(value))
    assert snapshot(entity) == before


@pytest.mark.parametrize(("method", "args", "parameter"), ID_CALLS)
@pytest.mark.parametrize("value", [1.0, "1", None])
def test_non_integer_ids_name_the_argument(method, args, parameter, value):
    entity = filled_entity()
    before = snapshot(entity)
    with pytest.raises(TypeError, match=f"^argument '{parameter}': "):
        getattr(entity, method)(*args(value))
    assert snapshot(entity) == before


@pytest.mark.parametrize(("method", "args", "parameter"), ID_CALLS)
@pytest.mark.parametrize("value", [4294967295, Index(4294967295), True])
def test_largest_id_and_index_objects_are_accepted(method, args, parameter, value):
    getattr(EntityCore(), method)(*args(value))


def test_first_bad_argument_is_reported():
    entity = EntityCore()
    with pytest.raises(TypeError, match="^argument 'dataset_id': "):
        entity.add_record_by_id(1.5, -1)
    with pytest.raises(OverflowError):
        entity.add_record_by_id(-1, 1.5)
    assert entity.get_dataset_ids() == []


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda e: e.add_records_by_id(1, "12"), TypeError, "argument 'record_ids': Can't extract `str` to `Vec`"),
        (
            lambda e: e.add_records_by_id(1, {1, 2}),
            TypeError,
            "argument 'record_ids': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            lambda e: e.add_records("abc", (x for x in [1])),
            TypeError,
            "argument 'record_ids': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda e: e.add_record(7, 1),
            TypeError,
            "argument 'dataset': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda e: e.add_record(b"abc", 1),
            TypeError,
            "argument 'dataset': 'bytes' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_argument_kinds_are_checked(call, error, message):
    entity = filled_entity()
    before = snapshot(entity)
    with pytest.raises(error) as raised:
        call(entity)
    assert raised.value.args == (message,)
    assert snapshot(entity) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.add_record("a\udc80", 1),
        lambda e: e.add_records("\ud800", [1]),
        lambda e: e.hash_dataset_name("\udfff"),
        lambda e: e.has_dataset("\udc80"),
    ],
)
def test_lone_surrogate_dataset_names_fail_unwrapped(call):
    entity = filled_entity()
    before = snapshot(entity)
    with pytest.raises(UnicodeEncodeError):
        call(entity)
    assert snapshot(entity) == before


# --- metadata ----------------------------------------------------------------


def test_metadata_of_new_entity():
    entity = EntityCore()
    assert entity.get_metadata_by_id(0) is None
    assert entity.has_metadata(0) is False
    assert entity.get_metadata_keys() == []
    assert entity.clear_metadata() is None


def test_stored_none_differs_from_missing_key():
    entity = EntityCore()
    entity.set_metadata(3, None)
    assert entity.has_metadata(3) is True
    assert entity.get_metadata_by_id(3) is None
    assert entity.has_metadata(4) is False
    assert entity.get_metadata_keys() == [3]


def test_metadata_identity_replace_and_clear():
    entity = EntityCore()
    first, second = ["first"], {"second": 2}
    entity.set_metadata(3, first)
    assert entity.get_metadata_by_id(3) is first
    first.append("changed")
    assert entity.get_metadata_by_id(3) == ["first", "changed"]
    entity.set_metadata(3, second)
    entity.set_metadata(4294967295, first)
    assert entity.get_metadata_by_id(3) is second
    assert sorted(entity.get_metadata_keys()) == [3, 4294967295]
    entity.clear_metadata()
    assert entity.get_metadata_keys() == []
    assert entity.has_metadata(3) is False
    entity.set_metadata(0, first)
    assert entity.get_metadata_keys() == [0]


class Value:
    pass


def refs(value):
    gc.collect()
    return sys.getrefcount(value)


def test_metadata_references_set_replace_clear():
    value, other = Value(), Value()
    base = refs(value)
    entity = EntityCore()
    entity.set_metadata(1, value)
    assert refs(value) == base + 1
    entity.set_metadata(1, value)  # same object again: still one reference
    assert refs(value) == base + 1
    entity.set_metadata(2, value)
    assert refs(value) == base + 2
    entity.set_metadata(1, other)
    assert refs(value) == base + 1
    entity.clear_metadata()
    assert refs(value) == base
    entity.set_metadata(1, value)
    del entity
    assert refs(value) == base


def test_metadata_failed_set_takes_no_reference():
    value = Value()
    base = refs(value)
    entity = EntityCore()
    with pytest.raises(OverflowError):
        entity.set_metadata(-1, value)
    assert refs(value) == base
    assert entity.get_metadata_keys() == []


def test_metadata_cycle_through_entity_is_collected():
    value = Value()
    base = refs(value)
    entity = EntityCore()
    holder = [entity, value]
    entity.set_metadata(0, holder)
    del entity, holder
    assert refs(value) == base


def test_copies_through_a_collection_share_metadata_values():
    value = Value()
    base = refs(value)
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r1"], "metadata": {"k": value}}])
    assert refs(value) == base + 1
    collection = frame.get_collection("m")
    assert refs(value) == base + 1  # the copy shares the frame's entities
    copy = collection.get_entity(0)
    assert refs(value) == base + 2
    key = frame.interner.lookup("k")
    assert copy.get_metadata_by_id(key) is value
    copy.clear_metadata()
    assert refs(value) == base + 1
    assert collection.get_entity(0).get_metadata_by_id(key) is value
    del copy, collection
    assert refs(value) == base + 1
    del frame
    assert refs(value) == base


def test_get_entity_returns_an_independent_copy():
    frame = EntityFrame.with_datasets(["d"])
    frame.add_method("m", [{"d": ["r1", "r2"], "metadata": {"k": 1}}])
    collection = frame.get_collection("m")
    copy = collection.get_entity(0)
    before = snapshot(copy)
    copy.add_record_by_id(0, 99)
    copy.add_records_by_id(7, [1])
    copy.set_metadata(12345, "new")
    assert snapshot(collection.get_entity(0)) == before
    assert snapshot(frame.get_collection("m").get_entity(0)) == before
    assert collection.get_entity(0) is not collection.get_entity(0)


# --- Jaccard similarity --------------------------------------------------------

PAIRS = [
    pytest.param(entity_with(d1=[1, 2, 3]), entity_with(d1=[2, 3, 4], d2=[1]), 0.4, id="example"),
    pytest.param(entity_with(d1=[5]), entity_with(d2=[5]), 0.0, id="same-record-other-dataset"),
    pytest.param(EntityCore(), EntityCore(), 1.0, id="both-empty"),
    pytest.param(entity_with(d1=[]), entity_with(d2=[]), 1.0, id="empty-bitmaps"),
    pytest.param(EntityCore(), entity_with(d1=[1]), 0.0, id="one-empty"),
    pytest.param(entity_with(d1=[1, 2], d2=[3]), entity_with(d1=[1, 2], d2=[3]), 1.0, id="equal"),
    pytest.param(entity_with(d1=list(range(0, 200000, 2))), entity_with(d1=list(range(100000))), 1 / 3, id="large"),
]


@pytest.mark.parametrize(("a", "b", "expected"), PAIRS)
def test_jaccard_similarity_is_symmetric(a, b, expected):
    assert a.jaccard_similarity(b) == pytest.approx(expected)
    assert b.jaccard_similarity(a) == a.jaccard_similarity(b)


def test_jaccard_of_an_entity_with_itself_and_its_copy():
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r1", "r2"], "e": ["r1"], "metadata": {"k": 1}}])
    entity = frame.get_collection("m").get_entity(0)
    copy = frame.get_collection("m").get_entity(0)
    copy.clear_metadata()
    assert entity.jaccard_similarity(entity) == 1.0
    assert entity.jaccard_similarity(copy) == 1.0


def test_jaccard_ignores_metadata():
    a, b = entity_with(d1=[1, 2]), entity_with(d1=[2])
    a.set_metadata(0, "x")
    assert a.jaccard_similarity(b) == 0.5


def test_jaccard_needs_an_entity():
    with pytest.raises(TypeError) as raised:
        EntityCore().jaccard_similarity(EntityFrame())
    assert raised.value.args == ("argument 'other': 'EntityFrame' object cannot be converted to 'EntityCore'",)
