"""EntityFrame.add_method: a method's output as Python dicts becomes a stored
collection, or nothing at all when any part of it is malformed."""

import gc
import importlib.util
import pathlib
import sys

import pytest

from tessellar import CollectionCore, EntityFrame
from sequences import HookedSequence as Records

WORKLOAD = pathlib.Path(__file__).resolve().parents[1] / "bench" / "workload.py"


def load_workload():
    location = importlib.util.spec_from_file_location("workload", WORKLOAD)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module


class Text(str):
    pass


class Value:
    pass


def describe(frame, name):
    """Per entity of a stored collection: dataset name -> sorted record
    strings, and metadata key -> value."""
    interner = frame.interner
    described = []
    for entity in frame.get_collection(name).get_entities():
        records = {
            interner.get_string(d): sorted(interner.get_string(r) for r in entity.get_records_by_id(d))
            for d in entity.get_dataset_ids()
        }
        metadata = {interner.get_string(k): entity.get_metadata_by_id(k) for k in entity.get_metadata_keys()}
        described.append((records, metadata))
    return described


def expected(entity_data):
    """What describe() gives back for an ingested input."""
    return [
        (
            {str(k): sorted(set(map(str, v))) for k, v in entity.items() if k != "metadata"},
            dict(entity.get("metadata", {})),
        )
        for entity in entity_data
    ]


def frame_state(frame):
    """What a failed add_method must leave as it was (the interner aside)."""
    return (
        sorted(frame.get_collection_names()),
        sorted(frame.get_dataset_names()),
        {name: describe(frame, name) for name in frame.get_collection_names()},
    )


def populated_frame():
    frame = EntityFrame.with_datasets(["crm"])
    frame.add_method("m", [{"crm": ["c1", "c2"], "metadata": {"old": "value"}}, {}])
    return frame


def refs(value):
    gc.collect()
    return sys.getrefcount(value)


# --- round trips ---------------------------------------------------------------

ROUND_TRIPS = {
    "empty": [],
    "empty-entities": [{}, {"a": []}, {}],
    "metadata-only": [{"metadata": {"k": 1, "j": None}}],
    "empty-metadata": [{"metadata": {}}, {"metadata": {}, "a": ["x"]}],
    "near-metadata-names": [{"Metadata": ["x"], "metadata ": ["y"], "METADATA": (), "metadata": {"k": 0}}],
    "tuples-and-duplicates": [{"a": ("x", "y", "x")}, {"a": ("y",), "b": ["y", "y"]}],
    "names-shared-with-records": [{"a": ["x", "a"], "x": ["a"], "metadata": {"a": 1, "x": 2}}],
    "unicode": [{"données": ["é", "𝄞", "", "a\x00b"], "": ["empty-named"]}],
    "many-datasets": [{f"d{i}": [f"r{i}", f"r{i + 1}"] for i in range(40)}],
}


@pytest.mark.parametrize("entity_data", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_entities_round_trip(entity_data):
    frame = EntityFrame()
    assert frame.add_method("m", entity_data) is None
    assert describe(frame, "m") == expected(entity_data)
    collection = frame.get_collection("m")
    assert collection.process_name == "m"
    assert frame.collection_count() == 1
    assert frame.total_entities() == len(entity_data)
    declared = {k for entity in entity_data for k in entity if k != "metadata"}
    assert sorted(frame.get_dataset_names()) == sorted(declared)
    strings = declared | {s for e in entity_data for k, v in e.items() for s in v}
    assert frame.interner_size() == len(strings)
    assert collection.total_records() == sum(len(set(v)) for e in entity_data for k, v in e.items() if k != "metadata")


def test_worked_example():
    frame = EntityFrame()
    score = 0.9
    frame.add_method("m", [{"users": ["u1", "u2"], "orders": ["o1"], "metadata": {"score": score}}, {"users": ["u3"]}])
    assert frame.interner_size() == 7
    assert frame.interner.get_string(0) == "score"
    assert {frame.get_dataset_id("users"), frame.get_dataset_id("orders")} == {1, 2}
    assert frame.interner_size() == 7
    assert sorted(frame.get_dataset_names()) == ["orders", "users"]
    first, second = frame.get_collection("m").get_entities()
    assert first.get_metadata_keys() == [0]
    assert first.get_metadata_by_id(0) is score
    assert frame.get_entity_metadata("m", 0, "score") is score
    assert second.get_metadata_keys() == []
    assert frame.entity_has_dataset("m", 1, "users") and not frame.entity_has_dataset("m", 1, "orders")


def test_empty_input_stores_an_empty_collection_in_place_of_the_old():
    frame = populated_frame()
    size = frame.interner_size()
    assert frame.add_method("m", []) is None
    assert frame.get_collection("m").len() == 0
    assert frame.collection_count() == 1
    assert frame.interner_size() == size


def test_empty_metadata_dict_creates_no_metadata():
    frame = EntityFrame()
    frame.add_method("m", [{"metadata": {}}])
    entity = frame.get_collection("m").get_entity(0)
    assert entity.get_metadata_keys() == []
    assert entity.get_dataset_ids() == []
    assert frame.interner_size() == 0


def test_declared_datasets_keep_their_ids():
    frame = EntityFrame.with_datasets(["crm", "erp"])
    frame.add_method("m", [{"web": ["w"], "erp": ["e"]}, {"crm": ["c"], "web": ["w"]}])
    assert (frame.get_dataset_id("crm"), frame.get_dataset_id("erp")) == (0, 1)
    web = frame.get_dataset_id("web")
    assert web >= 2
    assert frame.interner_size() == 6
    first, second = frame.get_collection("m").get_entities()
    assert sorted(first.get_dataset_ids()) == [1, web]
    assert sorted(second.get_dataset_ids()) == sorted([0, web])
    assert first.get_records_by_id(web) == second.get_records_by_id(web)


def test_entities_keep_input_order():
    entity_data = [{"d": [f"r{i}"] * (i + 1)} if i % 3 else {"d": [f"r{j}" for j in range(i)]} for i in range(30)]
    frame = EntityFrame()
    frame.add_method("m", entity_data)
    assert [e.total_records() for e in frame.get_collection("m").get_entities()] == [
        len(set(e["d"])) for e in entity_data
    ]


def test_dict_subclass_entities_are_read_by_storage_order():
    class Hostile(dict):
        def items(self):
            raise AssertionError("items() must not be used")

        def __iter__(self):
            raise AssertionError("__iter__ must not be used")

        def keys(self):
            raise AssertionError("keys() must not be used")

    entity = Hostile(a=["x"], metadata=Hostile(k=1))
    frame = EntityFrame()
    frame.add_method("m", [entity])
    assert describe(frame, "m") == [({"a": ["x"]}, {"k": 1})]


@pytest.mark.parametrize(
    "make",
    [
        lambda items: type("Listed", (list,), {})(items),
        lambda items: Records(items),
        tuple,
    ],
    ids=["list-subclass", "python-sequence", "tuple"],
)
def test_sequence_kinds_for_entity_data_and_records(make):
    entity_data = make([{"a": make(["x", "y"])}, {"b": make([])}, {"metadata": {"k": 1}}])
    frame = EntityFrame()
    frame.add_method("m", entity_data)
    assert describe(frame, "m") == [({"a": ["x", "y"]}, {}), ({"b": []}, {}), ({}, {"k": 1})]


def test_str_subclasses_as_names_keys_and_records():
    frame = EntityFrame()
    frame.add_method(Text("m"), [{Text("a"): [Text("x"), "y"], Text("metadata"): {Text("k"): 1}}])
    assert type(frame.get_collection_names()[0]) is str
    assert frame.get_collection("m").process_name == "m"
    assert describe(frame, "m") == [({"a": ["x", "y"]}, {"k": 1})]


def test_keys_with_equal_text_merge_into_one_dataset():
    class Unequal(str):
        __hash__ = object.__hash__

        def __eq__(self, other):
            return self is other

    entity = {Unequal("a"): ["x"], "a": ["y"]}
    assert len(entity) == 2
    frame = EntityFrame()
    frame.add_method("m", [entity])
    assert describe(frame, "m") == [({"a": ["x", "y"]}, {})]
    assert frame.get_collection("m").total_records() == 2


# --- metadata ownership ---------------------------------------------------------


def test_metadata_values_are_shared_and_copies_are_independent():
    value = ["v"]
    frame = EntityFrame()
    frame.add_method("m", [{"d": ["r"], "metadata": {"k": value}}])
    key = frame.interner.lookup("k")
    copy = frame.get_collection("m")
    entity = copy.get_entity(0)
    assert entity.get_metadata_by_id(key) is value
    value.append("changed")
    assert frame.get_entity_metadata("m", 0, "k") == ["v", "changed"]

    before = describe(frame, "m")
    entity.set_metadata(key, "local")
    entity.add_record_by_id(frame.get_dataset_id("d"), 12345)
    assert describe(frame, "m") == before
    assert frame.get_entity_metadata("m", 0, "k") is value
    frame.set_entity_metadata("m", 0, "k", "frame")
    assert copy.get_entity(0).get_metadata_by_id(key) is value

    frame.add_collection("n", copy)
    assert frame.get_collection("n").get_entity(0).get_metadata_by_id(key) is value


def test_metadata_references_follow_the_entities():
    value = Value()
    base = refs(value)
    frame = EntityFrame()
    frame.add_method("m", [{"metadata": {"a": value, "b": value}}, {"metadata": {"a": value}}])
    assert refs(value) == base + 3
    copy = frame.get_collection("m")
    assert refs(value) == base + 3  # a copy shares the entities until one side changes
    copy.add_hash(frame.interner, "sha256")
    assert refs(value) == base + 6  # now each holds its own
    del copy
    assert refs(value) == base + 3
    frame.add_method("m", [{"metadata": {"a": 1}}])  # replaces: the old entities go
    assert refs(value) == base
    assert frame.interner.lookup("b") is not None  # their strings stay
    frame.add_method("n", [{"metadata": {"a": value}}])
    del frame
    assert refs(value) == base


# --- failures ----------------------------------------------------------------------

ARGUMENT_FAILURES = [
    (5, [], "argument 'method_name': 'int' object cannot be converted to 'PyString'"),
    (None, [], "argument 'method_name': 'NoneType' object cannot be converted to 'PyString'"),
    (b"m", [], "argument 'method_name': 'bytes' object cannot be converted to 'PyString'"),
    (5, "x", "argument 'method_name': 'int' object cannot be converted to 'PyString'"),
    ("m", "x", "argument 'entity_data': Can't extract `str` to `Vec`"),
    ("m", Text("x"), "argument 'entity_data': Can't extract `str` to `Vec`"),
    ("m", {"a": ["x"]}, "argument 'entity_data': 'dict' object cannot be converted to 'Sequence'"),
    ("m", {1, 2}, "argument 'entity_data': 'set' object cannot be converted to 'Sequence'"),
    ("m", None, "argument 'entity_data': 'NoneType' object cannot be converted to 'Sequence'"),
    ("m", iter([{}]), "argument 'entity_data': 'list_iterator' object cannot be converted to 'Sequence'"),
    ("m", ({} for _ in "x"), "argument 'entity_data': 'generator' object cannot be converted to 'Sequence'"),
]


@pytest.mark.parametrize(("method_name", "entity_data", "message"), ARGUMENT_FAILURES)
def test_argument_failures_are_prefixed(method_name, entity_data, message):
    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    with pytest.raises(TypeError) as raised:
        frame.add_method(method_name, entity_data)
    assert raised.value.args == (message,)
    assert frame_state(frame) == before
    assert frame.interner_size() == size


ITEM_FAILURES = {
    "entity-int": (5, "'int' object cannot be converted to 'PyDict'"),
    "entity-list": (["a"], "'list' object cannot be converted to 'PyDict'"),
    "entity-none": (None, "'NoneType' object cannot be converted to 'PyDict'"),
    "key-int": ({1: ["x"]}, "'int' object cannot be converted to 'PyString'"),
    "key-tuple": ({("a",): ["x"]}, "'tuple' object cannot be converted to 'PyString'"),
    "metadata-list": ({"metadata": [("k", 1)]}, "'list' object cannot be converted to 'PyDict'"),
    "metadata-none": ({"metadata": None}, "'NoneType' object cannot be converted to 'PyDict'"),
    "metadata-key-int": ({"metadata": {2: "v"}}, "'int' object cannot be converted to 'PyString'"),
    "records-str": ({"ds": "x"}, "Can't extract `str` to `Vec`"),
    "records-str-subclass": ({"ds": Text("x")}, "Can't extract `str` to `Vec`"),
    "records-set": ({"ds": {"x"}}, "'set' object cannot be converted to 'Sequence'"),
    "records-none": ({"ds": None}, "'NoneType' object cannot be converted to 'Sequence'"),
    "records-iterator": ({"ds": iter(["x"])}, "'list_iterator' object cannot be converted to 'Sequence'"),
    "records-dict": ({"ds": {"x": 1}}, "'dict' object cannot be converted to 'Sequence'"),
    "records-bytes": ({"ds": b"xy"}, "'int' object cannot be converted to 'PyString'"),
    "record-int": ({"ds": ["x", 1]}, "'int' object cannot be converted to 'PyString'"),
    "record-bytes": ({"ds": [b"x"]}, "'bytes' object cannot be converted to 'PyString'"),
    "record-none-in-tuple": ({"ds": ("x", None)}, "'NoneType' object cannot be converted to 'PyString'"),
    "Metadata-is-a-dataset": ({"Metadata": {"k": 1}}, "'dict' object cannot be converted to 'Sequence'"),
    "metadata-space-is-a-dataset": ({"metadata ": {"k": 1}}, "'dict' object cannot be converted to 'Sequence'"),
}


@pytest.mark.parametrize("method_name", ["m", "new"])
@pytest.mark.parametrize(("faulty", "message"), ITEM_FAILURES.values(), ids=ITEM_FAILURES.keys())
def test_item_failures_store_nothing_but_keep_interned_keys(faulty, message, method_name):
    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    value = Value()
    good = {"metadata": {"k1": value, "old": value}, "fresh": ["fresh-record"]}
    base = refs(value)
    with pytest.raises(TypeError) as raised:
        frame.add_method(method_name, [good, faulty, {"metadata": {"after": 1}}])
    assert raised.value.args == (message,)
    assert frame_state(frame) == before
    assert frame.interner_size() == size + 1
    interner = frame.interner
    assert interner.get_string(size) == "k1"
    assert [interner.lookup(s) for s in ("fresh", "fresh-record", "after", "ds")] == [None] * 4
    assert refs(value) == base


@pytest.mark.parametrize(
    ("entity_data", "message"),
    [
        ([{"ds": [1]}, 5], "'int' object cannot be converted to 'PyString'"),
        ([5, {"ds": [1]}], "'int' object cannot be converted to 'PyDict'"),
        ([{"ds": "x", 1: []}], "Can't extract `str` to `Vec`"),
        ([{1: [], "ds": "x"}], "'int' object cannot be converted to 'PyString'"),
        ([{"ds": [1, b"x"]}], "'int' object cannot be converted to 'PyString'"),
        ([{"metadata": 5, "ds": "x"}], "'int' object cannot be converted to 'PyDict'"),
        ([{"ds": "x", "metadata": 5}], "Can't extract `str` to `Vec`"),
        ([{"ds": ["x"], "metadata": {"k": 1, 2: 3}}, "x"], "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_first_failing_element_decides(entity_data, message):
    with pytest.raises(TypeError) as raised:
        EntityFrame().add_method("m", entity_data)
    assert raised.value.args == (message,)


def test_the_whole_sequence_is_read_before_its_elements_are_checked():
    def fail_second(index):
        if index == 1:
            raise ValueError("boom")

    with pytest.raises(ValueError):
        EntityFrame().add_method("m", Records([5, {}], fail_second))


@pytest.mark.parametrize("faulty", [False, True])
def test_ingestion_keeps_no_reference_to_its_input(faulty):
    name, dataset, record, key = ("".join(("x", str(i))) for i in range(4))
    records = [record, record]
    metadata = {key: 1}
    entity = {dataset: records, "metadata": metadata}
    entity_data = [entity, {"bad": "x"}] if faulty else [entity]
    watched = (name, dataset, record, key, records, metadata, entity, entity_data)
    before = [refs(value) for value in watched]
    frame = EntityFrame()
    if faulty:
        with pytest.raises(TypeError):
            frame.add_method(name, entity_data)
    else:
        frame.add_method(name, entity_data)
    assert [refs(value) for value in watched] == before


def test_keyword_arguments_and_missing_ones():
    frame = EntityFrame()
    frame.add_method(entity_data=[{"a": ["x"]}], method_name="m")
    assert frame.get_collection_names() == ["m"]
    with pytest.raises(TypeError, match="entity_data"):
        frame.add_method("n")
    with pytest.raises(TypeError, match="unexpected keyword argument 'data'"):
        frame.add_method("n", data=[])
    assert frame.collection_count() == 1


def test_keys_of_the_faulty_dict_before_the_fault_stay_interned():
    frame = EntityFrame()
    with pytest.raises(TypeError):
        frame.add_method("m", [{"metadata": {"a": 1, "b": 2}}, {"metadata": {"b": 3, "c": 4}, "ds": "x"}])
    assert frame.interner_size() == 3
    with pytest.raises(TypeError):
        frame.add_method("m", [{"ds": "x", "metadata": {"late": 1}}])
    assert frame.interner_size() == 3
    assert frame.get_dataset_names() == []


@pytest.mark.parametrize(
    "entity_data",
    [
        [{"a": ["\udc80"]}],
        [{"\ud800": ["x"]}],
        [{"metadata": {"\udfff": 1}}],
        [{"metadata": {"kept": 1}}, {"a": ["ok", Text("\udc80")]}],
    ],
)
def test_lone_surrogates_fail_unwrapped(entity_data):
    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    with pytest.raises(UnicodeEncodeError):
        frame.add_method("m", entity_data)
    assert frame_state(frame) == before
    assert frame.interner_size() == size + (1 if "kept" in str(entity_data) else 0)


def test_lone_surrogate_method_name_fails_unwrapped():
    frame = populated_frame()
    with pytest.raises(UnicodeEncodeError):
        frame.add_method("m\udc80", [{"a": ["x"]}])
    assert frame.collection_count() == 1


# --- Python code running during ingestion --------------------------------------------


@pytest.mark.parametrize("error", [ValueError, KeyError, RuntimeError])
@pytest.mark.parametrize("where", ["entity_data", "records"])
def test_exception_midway_through_a_sequence_reaches_the_caller(where, error):
    def fail_second(index):
        if index == 1:
            raise error("boom")

    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    if where == "entity_data":
        entity_data = Records([{"metadata": {"k": 1}, "a": ["x"]}, {"b": ["y"]}], fail_second)
    else:
        entity_data = [{"metadata": {"k": 1}, "a": Records(["x", "y"], fail_second)}]
    with pytest.raises(error) as raised:
        frame.add_method("m", entity_data)
    assert raised.value.args == ("boom",)
    assert frame_state(frame) == before
    assert frame.interner_size() == size + (where == "records")  # "k" was met first


def test_type_error_from_a_record_sequence_is_not_prefixed():
    def fail(index):
        raise TypeError("boom")

    with pytest.raises(TypeError) as raised:
        EntityFrame().add_method("m", [{"a": Records(["x"], fail)}])
    assert raised.value.args == ("boom",)


def test_type_error_from_the_entity_data_sequence_is_prefixed():
    def fail(index):
        raise TypeError("boom")

    with pytest.raises(TypeError) as raised:
        EntityFrame().add_method("m", Records([{}], fail))
    assert raised.value.args == ("argument 'entity_data': boom",)


SHARED_CALLS = {
    "interner_size": lambda f: f.interner_size(),
    "get_collection": lambda f: f.get_collection("m"),
    "interner": lambda f: f.interner,
    "get_dataset_names": lambda f: f.get_dataset_names(),
}
EXCLUSIVE_CALLS = {
    "declare_dataset": lambda f: f.declare_dataset("x"),
    "add_method": lambda f: f.add_method("m", []),
    "add_collection": lambda f: f.add_collection("m", CollectionCore("m")),
    "get_dataset_id": lambda f: f.get_dataset_id("new"),
}
CALLBACKS = [(call, "Already mutably borrowed") for call in SHARED_CALLS.values()] + [
    (call, "Already borrowed") for call in EXCLUSIVE_CALLS.values()
]
CALLBACK_IDS = list(SHARED_CALLS) + list(EXCLUSIVE_CALLS)


def calling_back(frame, call, seen, swallow):
    def hook(index):
        try:
            call(frame)
        except RuntimeError as error:
            seen.append(error.args)
            if not swallow:
                raise
        else:
            seen.append("no error")

    return hook


@pytest.mark.parametrize("where", ["entity_data", "records"])
@pytest.mark.parametrize(("call", "message"), CALLBACKS, ids=CALLBACK_IDS)
def test_calling_back_into_the_frame_meets_its_borrow(call, message, where):
    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    seen = []
    hook = calling_back(frame, call, seen, swallow=False)
    if where == "entity_data":
        entity_data = Records([{"a": ["x"]}], hook)
    else:
        entity_data = [{"a": Records(["x"], hook)}]
    with pytest.raises(RuntimeError) as raised:
        frame.add_method("m", entity_data)
    assert raised.value.args == (message,)
    assert seen == [(message,)]
    assert frame_state(frame) == before
    assert frame.interner_size() == size


@pytest.mark.parametrize(("call", "message"), CALLBACKS, ids=CALLBACK_IDS)
def test_swallowed_borrow_errors_let_ingestion_finish(call, message):
    frame = populated_frame()
    seen = []
    hook = calling_back(frame, call, seen, swallow=True)
    frame.add_method("m", Records([{"a": Records(["x", "y"], hook)}], hook))
    assert set(seen) == {(message,)}
    assert describe(frame, "m") == [({"a": ["x", "y"]}, {})]
    assert frame.interner_size() == 7  # crm, c1, c2, old, a, x, y
    assert frame.get_dataset_id("a") == frame.interner.lookup("a")


def mutating(entity, change):
    """The entity dict with a record sequence under "a" that calls change(entity)."""
    entity["a"] = Records(["x", "y"], lambda index: change(entity))
    return entity


# Changes of the dict being walked: each must end in an orderly exception.
DICT_CHANGES = {
    "add-key": lambda d: d.setdefault("zz", ["new"]),
    "delete-later-key": lambda d: d.pop("b", None),
    "delete-current-key": lambda d: d.pop("a", None),
    "clear": lambda d: d.clear(),
    "swap-later-key": lambda d: d.pop("b", None) is not None and d.setdefault("c", ["q"]),
    "swap-visited-key": lambda d: d.pop("0", None) is not None and d.setdefault("c", ["q"]),
}
@pytest.mark.parametrize("change", list(DICT_CHANGES.values()), ids=list(DICT_CHANGES))
def test_changing_the_entity_dict_while_it_is_read_fails_orderly(change):
    frame = populated_frame()
    before, size = frame_state(frame), frame.interner_size()
    entity = mutating({"0": ["first"], "metadata": {"k": 1}}, change)
    entity["b"] = ["z"]
    with pytest.raises(RuntimeError):
        frame.add_method("m", [{"ok": ["r"]}, entity])
    assert frame_state(frame) == before
    assert frame.interner_size() == size + 1  # "k"


def test_replacing_values_while_reading_keeps_what_was_read_alive():
    # The strings read so far exist only in containers that the record
    # sequence empties: ingestion must hold them itself.
    first = ["".join(("rec", str(i))) for i in range(100)]
    metadata = {"".join(("key", str(i))): Value() for i in range(10)}
    entity = {"metadata": metadata, "first": first}

    def change(entity):
        entity["metadata"].clear()
        entity["first"].clear()
        entity["first"] = []
        gc.collect()
        [str(i) * 3 for i in range(1000)]  # reuse freed memory

    entity = mutating(entity, change)
    del first[50:], metadata  # nothing else refers to the strings and values
    frame = EntityFrame()
    frame.add_method("m", [entity])
    (records, stored), = describe(frame, "m")
    assert records == {"first": sorted(f"rec{i}" for i in range(50)), "a": ["x", "y"]}
    assert sorted(stored) == [f"key{i}" for i in range(10)]
    assert all(type(value) is Value for value in stored.values())


def test_emptying_entity_data_while_reading_keeps_its_entities():
    entity_data = [{"a": ["x"]}, {"b": ["y"]}]
    entity_data[0]["a"] = Records(["x"], lambda index: entity_data.clear())
    frame = EntityFrame()
    frame.add_method("m", entity_data)
    assert describe(frame, "m") == [({"a": ["x"]}, {}), ({"b": ["y"]}, {})]


# --- volume --------------------------------------------------------------------------


def test_ingesting_two_methods_of_200k_entities():
    first, second = load_workload().make_methods(200_000)
    frame = EntityFrame()
    frame.add_method("first", first)
    frame.add_method("second", second)

    strings = set()
    totals = {}
    for name, entities in (("first", first), ("second", second)):
        total = 0
        for entity in entities:
            for key, value in entity.items():
                strings.update(value)
                if key != "metadata":
                    strings.add(key)
                    total += len(set(value))
        totals[name] = total

    assert frame.total_entities() == 400_000
    assert frame.interner_size() == len(strings)
    assert sorted(frame.get_dataset_names()) == ["crm", "erp", "web"]
    for name, total in totals.items():
        collection = frame.get_collection(name)
        assert collection.len() == 200_000
        assert collection.total_records() == total
    collection = frame.get_collection("second")
    interner = frame.interner
    for index in range(0, 200_000, 9973):
        entity = collection.get_entity(index)
        records = {
            interner.get_string(d): sorted(interner.get_string(r) for r in entity.get_records_by_id(d))
            for d in entity.get_dataset_ids()
        }
        assert records == expected([second[index]])[0][0]


# --- where a failure happened ---------------------------------------------------

# The input, the exception, and the faulty element's index and path within it.
LOCATED_FAILURES = [
    ([{"crm": ["a"]}, {"crm": ["b", 5]}], TypeError, 1, "['crm'][1]"),
    ([{"crm": ["a"]}, 7], TypeError, 1, ""),
    ([{"crm": ["a"], 5: ["b"]}], TypeError, 0, ""),
    ([{"metadata": {1: 2}}], TypeError, 0, "['metadata']"),
    ([{}, {}, {"erp": "x"}], TypeError, 2, "['erp']"),
    ([{"crm": ["a", "\ud800"]}], UnicodeEncodeError, 0, "['crm'][1]"),
]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes arrived in 3.11")
@pytest.mark.parametrize("careful", [False, True], ids=["lists", "a sequence type of Python's"])
@pytest.mark.parametrize("entity_data, error, index, path", LOCATED_FAILURES)
def test_a_failure_notes_where_it_happened(entity_data, error, index, path, careful):
    if careful:  # a Python sequence first makes the whole walk the careful one
        entity_data = [{"first": Records(["r"])}] + entity_data
        index += 1
    with pytest.raises(error) as raised:
        EntityFrame().add_method("m", entity_data)
    assert raised.value.__notes__ == [f"at entity_data[{index}]{path}"]
