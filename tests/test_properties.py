"""Random sequences of calls against the extension and the pure-Python model
in tests/model.py: every call must give the same result or the same
exception (type and message) in both."""

import os
import random

from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, invariant, multiple, rule

import model
from tessellar import CollectionCore, EntityCore, EntityFrame, StringInternerCore
from sequences import HookedSequence as Records


class Text(str):
    pass


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Names that render identically whatever the width tables: ASCII, Latin,
# wide CJK, a combining mark.
SAFE = "abAB01 _-éßΩж漢かな\u0301"
SPECIAL_NAMES = ["", "a", "ab", "B", "hash", "Metadata", "metadata ", "über"]
names = st.text(alphabet=SAFE, max_size=4) | st.sampled_from(SPECIAL_NAMES)
dataset_names = names.filter(lambda name: name != "metadata")
records = st.text(max_size=4) | names | st.sampled_from(["r2", "r10", "o1", "\x00", "\U0001f600"])
keys = st.text(max_size=3) | st.sampled_from(["hash", "note", "a", ""])
VALUES = [None, 0, 1.5, "text", b"\x00" * 32, [1, 2], {"k": "v"}, object(), Text("t")]
values = st.sampled_from(VALUES)
ALGORITHMS = ["sha256", "sha512", "sha3-256", "sha3-512", "blake3", "SHA256", "Sha3-512", "BLAKE3", "BLA\u212aE3",
              "md5", "sha-256", " sha256", "", "SHA-1", "sha3_256", None, 5]
algorithms = st.sampled_from(ALGORITHMS)
BOUNDARIES = [-1, -2**63 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 1.0, None, "0", Idx(0), True]
indexes = st.integers(0, 3) | st.sampled_from(BOUNDARIES)


def record_list(items):
    return st.sampled_from([list, tuple, Records, lambda x: [Text(i) for i in x]]).map(lambda make: make(items))


valid_entity = st.builds(
    lambda datasets, metadata: {**datasets, **({"metadata": metadata} if metadata is not None else {})},
    st.dictionaries(dataset_names, st.lists(records, max_size=4).flatmap(record_list), max_size=3),
    st.none() | st.dictionaries(keys, values, max_size=3),
)

FAULTY_ENTITIES = [
    5, None, ["a"], "x", ("t",),
    {1: ["x"]}, {b"k": []}, {("a",): []},
    {"metadata": [("k", 1)]}, {"metadata": None}, {"metadata": {"ok": 1, 2: 3}},
    {"d": "x"}, {"d": Text("x")}, {"d": {"x"}}, {"d": None}, {"d": 5}, {"d": {"x": 1}},
    {"d": ["x", 1]}, {"d": [None]}, {"d": b"xy"}, {"d": range(2)}, {"metadata": {"k": 1}, "d": ("x", b"y")},
    {"d": ["\ud800"]}, {"\udc80": []}, {"metadata": {"\udfff": 1}}, {"Metadata": {"k": 1}},
]
entity_or_fault = st.integers(0, 15).flatmap(
    lambda n: st.sampled_from(FAULTY_ENTITIES) if n == 0 else valid_entity)
entity_data = st.lists(entity_or_fault, max_size=5).flatmap(
    lambda items: st.sampled_from([list, tuple, Records]).map(lambda make: make(items)))
bad_entity_data = st.sampled_from(["x", Text("x"), {"a": []}, None, {1, 2}, 5, iter([])])
method_names = names | st.sampled_from([5, None, "\ud800"])


def outcome(call):
    try:
        return "ok", call()
    except Exception as error:  # noqa: BLE001 - every exception is compared
        text = str(error) if isinstance(error, UnicodeError) else error.args
        return "error", type(error), text


def same_outcome(real_call, model_call):
    """Both results, after checking that both calls failed alike."""
    real, expected = outcome(real_call), outcome(model_call)
    if real[0] == "error" or expected[0] == "error":
        assert real == expected
        return None, None
    return real[1], expected[1]


def same_value(real, expected):
    return real is expected or (type(real) is bytes and type(expected) is bytes and real == expected)


def entity_state(entity):
    records = {d: sorted(entity.get_records_by_id(d)) for d in entity.get_dataset_ids()}
    metadata = {k: entity.get_metadata_by_id(k) for k in entity.get_metadata_keys()}
    return records, metadata


def model_entity_state(entity):
    return {d: sorted(r) for d, r in entity.records.items()}, dict(entity.metadata or {})


def check_entity(real, expected):
    (records, metadata), (model_records, model_metadata) = entity_state(real), model_entity_state(expected)
    assert records == model_records
    assert metadata.keys() == model_metadata.keys()
    assert all(same_value(metadata[k], model_metadata[k]) for k in metadata)
    assert real.total_records() == expected.total()
    assert sorted(real.get_datasets()) == sorted(expected.get_datasets())


def check_collection(real, expected):
    assert real.process_name == expected.process_name
    assert real.len() == len(expected.entities)
    assert real.is_empty() is (not expected.entities)
    assert real.total_records() == expected.total_records()
    for entity, model_entity in zip(real.get_entities(), expected.entities, strict=True):
        check_entity(entity, model_entity)


def interner_strings(interner):
    return [interner.get_string(i) for i in range(interner.len())]


def ingest(real, expected, method_name, data):
    """add_method on both; on success the model takes the extension's
    numbering of new strings once it is shown to be an allowed one."""
    result = outcome(lambda: real.add_method(method_name, data))
    assert result == outcome(lambda: expected.add_method(method_name, data))
    actual = interner_strings(real.interner)
    if result[0] == "error":
        assert actual == expected.interner.strings  # only the metadata keys read before the fault
        return
    before, read, datasets = expected.last_ingestion
    assert actual[:len(before)] == before
    assert model.allowed_numbering(before, read, datasets, actual[len(before):])
    model.adopt_ids(expected, actual)


def render(frame, convert=str):
    """str(frame) as it is when standard output is not a terminal."""
    if not os.isatty(1):
        return convert(frame)
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            return convert(frame)
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class FrameMachine(RuleBasedStateMachine):
    entities = Bundle("entities")
    collections = Bundle("collections")
    interners = Bundle("interners")

    @initialize(declared=st.none() | st.lists(dataset_names, max_size=4) | st.sampled_from(["ab", ["x", 1], {"a"}]),
                methods=st.lists(st.tuples(names, st.lists(valid_entity, max_size=4)), max_size=2))
    def create(self, declared, methods):
        self.real, self.model = EntityFrame(), model.Frame()
        if declared is not None:
            real, expected = same_outcome(lambda: EntityFrame.with_datasets(declared),
                                          lambda: model.Frame.with_datasets(declared))
            if real is not None:
                self.real, self.model = real, expected
        for method_name, entities in methods:
            ingest(self.real, self.model, method_name, entities)

    def collection_name(self, data):
        stored = sorted(self.model.collections, key=model.str_order)
        if stored and data.draw(st.integers(0, 9)):
            return data.draw(st.sampled_from(stored))
        return data.draw(names)

    # --- ingestion and datasets ---

    @rule(method_name=method_names, data=entity_data)
    def add_method(self, method_name, data):
        ingest(self.real, self.model, method_name, data)

    @rule(method_name=names, data=bad_entity_data)
    def add_method_with_bad_argument(self, method_name, data):
        ingest(self.real, self.model, method_name, data)

    @rule(name=dataset_names | st.sampled_from([3, None, "\ud800"]))
    def declare_dataset(self, name):
        assert same_outcome(lambda: self.real.declare_dataset(name), lambda: self.model.declare_dataset(name))[0] \
            == self.model.datasets.get(name)

    @rule(name=dataset_names)
    def get_dataset_id(self, name):
        real, expected = same_outcome(lambda: self.real.get_dataset_id(name), lambda: self.model.get_dataset_id(name))
        assert real == expected

    @rule(data=st.data())
    def get_dataset_name(self, data):
        dataset_id = data.draw(st.integers(0, self.model.interner_size() + 1) | st.sampled_from(BOUNDARIES))
        real, expected = same_outcome(lambda: self.real.get_dataset_name(dataset_id),
                                      lambda: self.model.get_dataset_name(dataset_id))
        assert real == expected

    # --- collections ---

    @rule(target=collections, data=st.data())
    def get_collection(self, data):
        name = self.collection_name(data)
        real, expected = self.real.get_collection(name), self.model.get_collection(name)
        assert (real is None) == (expected is None)
        if real is None:
            return multiple()
        check_collection(real, expected)
        return real, expected

    @rule(target=collections, name=names | st.sampled_from([1, "\udc80"]), standalone=st.booleans())
    def create_collection(self, name, standalone):
        if standalone:
            real, expected = same_outcome(lambda: CollectionCore(name), lambda: model.Collection.new(name))
        else:
            real, expected = same_outcome(lambda: self.real.create_collection(name),
                                          lambda: self.model.create_collection(name))
        if real is None:
            return multiple()
        check_collection(real, expected)
        return real, expected

    @rule(target=collections, data=st.lists(valid_entity, max_size=4), declared=st.lists(dataset_names, max_size=3))
    def foreign_collection(self, data, declared):
        """A collection ingested by another frame: its IDs mean other strings here."""
        real, expected = EntityFrame.with_datasets(declared), model.Frame.with_datasets(declared)
        ingest(real, expected, "foreign", data)
        return real.get_collection("foreign"), expected.get_collection("foreign")

    @rule(name=names, pair=collections)
    def add_collection(self, name, pair):
        real, expected = pair
        same_outcome(lambda: self.real.add_collection(name, real), lambda: self.model.add_collection(name, expected))

    @rule(name=names, bad=st.sampled_from([None, "c", EntityCore(), StringInternerCore()]))
    def add_collection_of_another_class(self, name, bad):
        same_outcome(lambda: self.real.add_collection(name, bad), lambda: self.model.add_collection(name, bad))

    @rule(data=st.data())
    def compare_collections(self, data):
        first, second = self.collection_name(data), self.collection_name(data)
        real, expected = same_outcome(lambda: self.real.compare_collections(first, second),
                                      lambda: self.model.compare_collections(first, second))
        assert real == expected

    @rule(first=collections, second=collections)
    def compare_with(self, first, second):
        real, expected = same_outcome(lambda: first[0].compare_with(second[0]),
                                      lambda: first[1].compare_with(second[1]))
        assert real == expected

    @rule(pair=collections)
    def check_a_collection(self, pair):
        check_collection(*pair)

    # --- entities through the frame ---

    @rule(data=st.data(), index=indexes, dataset=dataset_names | records)
    def entity_has_dataset(self, data, index, dataset):
        name = self.collection_name(data)
        real, expected = same_outcome(lambda: self.real.entity_has_dataset(name, index, dataset),
                                      lambda: self.model.entity_has_dataset(name, index, dataset))
        assert real == expected

    @rule(data=st.data(), index=indexes, key=keys | st.sampled_from([7, "\ud800"]), value=values)
    def set_entity_metadata(self, data, index, key, value):
        name = self.collection_name(data)
        same_outcome(lambda: self.real.set_entity_metadata(name, index, key, value),
                     lambda: self.model.set_entity_metadata(name, index, key, value))

    @rule(data=st.data(), index=indexes, key=keys)
    def get_entity_metadata(self, data, index, key):
        name = self.collection_name(data)
        real, expected = same_outcome(lambda: self.real.get_entity_metadata(name, index, key),
                                      lambda: self.model.get_entity_metadata(name, index, key))
        assert same_value(real, expected)

    @rule(target=entities, pair=collections, index=indexes)
    def get_entity(self, pair, index):
        real, expected = same_outcome(lambda: pair[0].get_entity(index), lambda: pair[1].get_entity(index))
        if real is None:
            return multiple()
        check_entity(real, expected)
        return real, expected

    # --- hashing ---

    @rule(data=st.data(), index=indexes, algorithm=algorithms, default=st.booleans())
    def hash_entity(self, data, index, algorithm, default):
        name = self.collection_name(data)
        args = (name, index) if default else (name, index, algorithm)
        real, expected = same_outcome(lambda: self.real.hash_entity(*args), lambda: self.model.hash_entity(*args))
        assert real == expected

    @rule(data=st.data(), algorithm=algorithms)
    def hash_collection(self, data, algorithm):
        name = self.collection_name(data)
        real, expected = same_outcome(lambda: self.real.hash_collection(name, algorithm=algorithm),
                                      lambda: self.model.hash_collection(name, algorithm))
        assert real == expected

    @rule(algorithm=algorithms)
    def hash_all_entities(self, algorithm):
        real, expected = same_outcome(lambda: self.real.hash_all_entities(algorithm),
                                      lambda: self.model.hash_all_entities(algorithm))
        assert real == expected

    @rule(data=st.data(), algorithm=algorithms)
    def add_collection_hash(self, data, algorithm):
        name = self.collection_name(data)
        same_outcome(lambda: self.real.add_collection_hash(name, algorithm),
                     lambda: self.model.add_collection_hash(name, algorithm))

    @rule(data=st.data(), algorithm=algorithms)
    def verify_collection_hashes(self, data, algorithm):
        name = self.collection_name(data)
        real, expected = same_outcome(lambda: self.real.verify_collection_hashes(name, algorithm),
                                      lambda: self.model.verify_collection_hashes(name, algorithm))
        assert real == expected

    @rule(target=interners, fresh=st.booleans())
    def snapshot_interner(self, fresh):
        if fresh:
            return StringInternerCore(), model.StringInterner()
        return self.real.interner, self.model.interner.copy()

    @rule(pair=interners, text=records | st.sampled_from([9, "\ud800"]))
    def intern(self, pair, text):
        real, expected = same_outcome(lambda: pair[0].intern(text), lambda: pair[1].intern(text))
        assert real == expected
        assert pair[0].len() == pair[1].len()

    @rule(collection=collections, interner=interners, algorithm=algorithms, verify=st.booleans())
    def collection_hashes(self, collection, interner, algorithm, verify):
        method = "verify_hashes" if verify else "add_hash"
        real, expected = same_outcome(lambda: getattr(collection[0], method)(interner[0], algorithm),
                                      lambda: model_hashes(collection[1], interner[1], algorithm, verify))
        assert real == expected
        assert interner_strings(interner[0]) == interner[1].strings

    # --- standalone entities ---

    @rule(target=entities)
    def new_entity(self):
        return EntityCore(), model.Entity()

    @rule(pair=entities, dataset=st.integers(0, 5) | st.sampled_from(BOUNDARIES),
          record=st.integers(0, 70000) | st.sampled_from(BOUNDARIES))
    def add_record_by_id(self, pair, dataset, record):
        same_outcome(lambda: pair[0].add_record_by_id(dataset, record),
                     lambda: pair[1].add_record_by_id(dataset, record))

    @rule(pair=entities, dataset=st.integers(0, 5),
          ids=st.lists(st.integers(0, 300) | st.sampled_from([2**32 - 1, 2**32, -1, 1.5]), max_size=300)
          | st.sampled_from(["12", {1}, None]))
    def add_records_by_id(self, pair, dataset, ids):
        same_outcome(lambda: pair[0].add_records_by_id(dataset, ids), lambda: pair[1].add_records_by_id(dataset, ids))

    @rule(pair=entities, dataset=names | st.sampled_from([0, "\ud800"]), ids=st.lists(st.integers(0, 9), max_size=3),
          single=st.booleans())
    def add_by_name(self, pair, dataset, ids, single):
        if single:
            same_outcome(lambda: pair[0].add_record(dataset, len(ids)), lambda: pair[1].add_record(dataset, len(ids)))
        else:
            same_outcome(lambda: pair[0].add_records(dataset, ids), lambda: pair[1].add_records(dataset, ids))

    @rule(pair=entities, dataset=names | st.sampled_from([0, "\ud800"]))
    def query_by_name(self, pair, dataset):
        for method in ("get_records", "has_dataset", "hash_dataset_name"):
            real, expected = same_outcome(lambda: getattr(pair[0], method)(dataset),
                                          lambda: getattr(pair[1], method)(dataset))
            assert real == expected

    @rule(pair=entities, dataset=st.integers(0, 5) | st.sampled_from(BOUNDARIES))
    def query_by_id(self, pair, dataset):
        for method in ("get_records_by_id", "has_dataset_id", "has_metadata"):
            real, expected = same_outcome(lambda: getattr(pair[0], method)(dataset),
                                          lambda: getattr(pair[1], method)(dataset))
            assert real == expected

    @rule(pair=entities, key=st.integers(0, 5) | st.sampled_from(BOUNDARIES), value=values, clear=st.booleans())
    def entity_metadata(self, pair, key, value, clear):
        if clear:
            pair[0].clear_metadata()
            pair[1].clear_metadata()
        same_outcome(lambda: pair[0].set_metadata(key, value), lambda: pair[1].set_metadata(key, value))
        real, expected = same_outcome(lambda: pair[0].get_metadata_by_id(key),
                                      lambda: pair[1].get_metadata_by_id(key))
        assert same_value(real, expected)

    @rule(first=entities, second=entities)
    def jaccard(self, first, second):
        assert first[0].jaccard_similarity(second[0]) == first[1].jaccard(second[1])
        check_entity(*first)

    # --- rendering and the overall state ---

    @rule()
    def render(self):
        text = render(self.real)
        assert text == render(self.real, repr) == model.render(self.model)

    @invariant()
    def same_sizes_and_names(self):
        assert self.real.collection_count() == self.model.collection_count()
        assert self.real.total_entities() == self.model.total_entities()
        assert self.real.interner_size() == self.model.interner_size()
        assert sorted(self.real.get_collection_names()) == sorted(self.model.get_collection_names())
        assert sorted(self.real.get_dataset_names()) == sorted(self.model.get_dataset_names())

    @rule()
    def check_everything(self):
        assert interner_strings(self.real.interner) == self.model.interner.strings
        assert {n: self.real.get_dataset_id(n) for n in self.model.datasets} == self.model.datasets
        for name, expected in self.model.collections.items():
            check_collection(self.real.get_collection(name), expected)
        assert self.real.hash_all_entities("blake3") == self.model.hash_all_entities("blake3")
        assert render(self.real) == model.render(self.model)


def model_hashes(collection, interner, algorithm, verify):
    arguments = model.arguments(algorithm=(model.utf8, algorithm))
    if verify:
        return collection.check_hashes(interner, *arguments)
    collection.store_hashes(interner, *arguments)
    return None


def test_pool_hashing_of_ids_unknown_to_the_interner_agrees_with_the_model():
    """A large collection from another frame: many of its IDs name no string
    here, or another string, and it is hashed on the pool."""
    rng = random.Random(3)
    data = [{rng.choice(["crm", "erp", "web", "ü", ""]): [f"r{rng.randrange(5000)}" for _ in range(rng.randrange(4))]
             for _ in range(rng.randrange(3))} for _ in range(1500)]
    far, far_model = EntityFrame(), model.Frame()
    ingest(far, far_model, "big", data)
    near, near_model = EntityFrame.with_datasets(["web", "zzz", "r7"]), model.Frame.with_datasets(["web", "zzz", "r7"])
    ingest(near, near_model, "small", [{"crm": ["r1", "r2", "r1"]}])
    near.add_collection("big", far.get_collection("big"))
    near_model.add_collection("big", far_model.get_collection("big"))
    for algorithm in ["sha256", "blake3", "sha3-512"]:
        assert near.hash_collection("big", algorithm) == near_model.hash_collection("big", algorithm)
        for index in range(0, 1500, 37):
            assert outcome(lambda: near.hash_entity("big", index, algorithm)) == outcome(
                lambda: near_model.hash_entity("big", index, algorithm))
    near.add_collection_hash("big", "sha256")
    near_model.add_collection_hash("big", "sha256")
    for algorithm in ["sha256", "sha512"]:
        assert near.verify_collection_hashes("big", algorithm) == near_model.verify_collection_hashes("big", algorithm)
    assert near.compare_collections("big", "big") == near_model.compare_collections("big", "big")
    assert render(near) == model.render(near_model)


FrameMachine.TestCase.settings = settings(max_examples=400, stateful_step_count=25, deadline=None)
TestFrameMachine = FrameMachine.TestCase
