"""Hostile callers: objects that call back into the receiver, change what is
being read or raise from inside the protocols they implement; str subclasses,
lone surrogates, integers at every range boundary, huge and deeply nested
inputs, and several Python threads sharing one frame. Each ends in an orderly
Python exception or a result, never a crash, and leaves the objects usable
and, after a failure, unchanged."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Sequence

import pytest

import tessellar
from tessellar import CollectionCore, EntityCore, EntityFrame, StringInternerCore
from sequences import HookedSequence as Items

UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
RANGE_ERROR = "out of range integral type conversion attempted"


class Idx:
    """An integer-like object running `hook` whenever it is converted."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


def raising(error):
    def hook(*args):
        raise error
    return hook


# --- snapshots ---------------------------------------------------------------------------


def identity(value):
    """Plain values by value, everything else by identity."""
    return value if type(value) in (bytes, int, str, float, type(None)) else ("object", id(value))


def entity_state(entity):
    records = sorted((d, tuple(entity.get_records_by_id(d))) for d in entity.get_dataset_ids())
    metadata = sorted((k, identity(entity.get_metadata_by_id(k))) for k in entity.get_metadata_keys())
    return records, metadata


def collection_state(collection):
    return collection.process_name, [entity_state(e) for e in collection.get_entities()]


def interner_state(interner):
    return [interner.get_string(i) for i in range(interner.len())]


def frame_state(frame):
    return (
        interner_state(frame.interner),
        sorted(frame.get_dataset_names()),
        {name: collection_state(frame.get_collection(name)) for name in frame.get_collection_names()},
        frame.hash_all_entities("sha256"),
    )


def state(value):
    return {EntityFrame: frame_state, CollectionCore: collection_state, EntityCore: entity_state,
            StringInternerCore: interner_state}[type(value)](value)


VALUE = ["metadata value"]


def sample_frame():
    frame = EntityFrame.with_datasets(["crm", "erp"])
    frame.add_method("m", [{"crm": ["c1", "c2", "c1"], "erp": [], "metadata": {"k": VALUE}}, {"erp": ["e1"]}])
    frame.add_method("n", [{"crm": ["c2"]}, {}])
    frame.add_collection_hash("n", "sha256")
    return frame


def sample_entity():
    entity = EntityCore()
    entity.add_records_by_id(1, [5, 6])
    entity.set_metadata(2, VALUE)
    return entity


def sample_collection():
    return sample_frame().get_collection("m")


def sample_interner():
    interner = StringInternerCore()
    interner.intern("zero")
    return interner


# --- every ID and index parameter at the range boundaries --------------------------------

# (receiver factory, method, arguments with X standing for the value, kind)
ID_PARAMETERS = [
    pytest.param(sample_interner, "get_string", ("X",), "id", id="interner.get_string"),
    pytest.param(sample_entity, "add_record_by_id", ("X", 0), "id", id="entity.add_record_by_id.dataset_id"),
    pytest.param(sample_entity, "add_record_by_id", (0, "X"), "id", id="entity.add_record_by_id.record_id"),
    pytest.param(sample_entity, "add_records_by_id", ("X", [1]), "id", id="entity.add_records_by_id.dataset_id"),
    pytest.param(sample_entity, "add_records_by_id", (0, [1, "X"]), "id", id="entity.add_records_by_id.record_ids"),
    pytest.param(sample_entity, "add_record", ("d", "X"), "id", id="entity.add_record.record_id"),
    pytest.param(sample_entity, "add_records", ("d", ("X",)), "id", id="entity.add_records.record_ids"),
    pytest.param(sample_entity, "get_records_by_id", ("X",), "id", id="entity.get_records_by_id"),
    pytest.param(sample_entity, "has_dataset_id", ("X",), "id", id="entity.has_dataset_id"),
    pytest.param(sample_entity, "set_metadata", ("X", 1), "id", id="entity.set_metadata"),
    pytest.param(sample_entity, "get_metadata_by_id", ("X",), "id", id="entity.get_metadata_by_id"),
    pytest.param(sample_entity, "has_metadata", ("X",), "id", id="entity.has_metadata"),
    pytest.param(sample_frame, "get_dataset_name", ("X",), "id", id="frame.get_dataset_name"),
    pytest.param(sample_collection, "get_entity", ("X",), "index", id="collection.get_entity"),
    pytest.param(sample_frame, "entity_has_dataset", ("m", "X", "crm"), "index", id="frame.entity_has_dataset"),
    pytest.param(sample_frame, "set_entity_metadata", ("m", "X", "k", 1), "index", id="frame.set_entity_metadata"),
    pytest.param(sample_frame, "get_entity_metadata", ("m", "X", "k"), "index", id="frame.get_entity_metadata"),
    pytest.param(sample_frame, "hash_entity", ("m", "X"), "index", id="frame.hash_entity"),
]

TOO_BIG = "int too big to convert"
NEGATIVE = "can't convert negative int to unsigned"
# value -> (outcome for a 32-bit ID, outcome for an index); None: converted.
BOUNDARIES = {
    0: (None, None),
    2**32 - 1: (None, None),
    2**32: (RANGE_ERROR, None),
    2**63 - 1: (RANGE_ERROR, None),
    2**63: (TOO_BIG, None),
    2**64 - 1: (TOO_BIG, None),
    2**64: (TOO_BIG, TOO_BIG),
    -1: (RANGE_ERROR, NEGATIVE),
    -2**63 - 1: (TOO_BIG, NEGATIVE),
}


def substitute(args, value):
    def put(arg):
        if arg == "X":
            return value
        if isinstance(arg, (list, tuple)):
            return type(arg)(put(a) for a in arg)
        return arg
    return tuple(put(a) for a in args)


@pytest.mark.parametrize("wrap", [int, Idx], ids=["int", "index-object"])
@pytest.mark.parametrize("value", list(BOUNDARIES), ids=[hex(v) for v in BOUNDARIES])
@pytest.mark.parametrize(("make", "method", "args", "kind"), ID_PARAMETERS)
def test_integer_boundaries(make, method, args, kind, value, wrap):
    receiver = make()
    before = state(receiver)
    expected = BOUNDARIES[value][0 if kind == "id" else 1]
    call = getattr(receiver, method)
    if expected is not None:
        with pytest.raises(OverflowError) as raised:
            call(*substitute(args, wrap(value)))
        assert raised.value.args == (expected,)
        assert state(receiver) == before
        return
    try:
        call(*substitute(args, wrap(value)))
    except IndexError as error:  # converted, then beyond the data
        assert error.args in {("Invalid string ID",), ("Entity index out of range",)}
        assert state(receiver) == before
    assert state(receiver) is not None  # still answers


def test_boundary_ids_are_stored_exactly():
    entity = EntityCore()
    entity.add_record_by_id(2**32 - 1, 2**32 - 1)
    entity.add_records_by_id(0, [2**32 - 1, 0, Idx(2**32 - 1)])
    entity.set_metadata(Idx(2**32 - 1), "top")
    assert entity.get_records_by_id(2**32 - 1) == [2**32 - 1]
    assert entity.get_records_by_id(0) == [0, 2**32 - 1]
    assert entity.get_metadata_keys() == [2**32 - 1]
    assert entity.has_metadata(2**32 - 1) and not entity.has_metadata(0)


@pytest.mark.parametrize("capacity", [2**32 - 1, 2**32, 2**32 + 1, 2**63, 2**64 - 1])
def test_huge_capacities_fail_cleanly(capacity):
    # Under an address-space limit, so that no machine can actually reserve it.
    if UNDER_SANITIZER:
        pytest.skip("the sanitizer's allocator aborts instead of failing an allocation")
    script = f"""
        import resource
        from tessellar import StringInternerCore
        with open("/proc/self/status") as status:
            size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size_kb << 10) + (512 << 20),) * 2)
        try:
            StringInternerCore.with_capacity({capacity})
        except (MemoryError, OverflowError) as error:
            print(type(error).__name__)
        interner = StringInternerCore.with_capacity(1000)
        assert [interner.intern(str(i)) for i in range(2000)] == list(range(2000))
    """
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in {"MemoryError", "OverflowError"}


def run_python(script):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(tessellar.__file__)] + sys.path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, env=env,
                          timeout=120)


# --- calling back into the receiver while it is borrowed -------------------------------

# (receiver factory, call taking the receiver and a hostile argument whose
# conversion runs the hook, callback on the receiver, borrow message or None)
CALLBACKS = [
    # Exclusive calls: every callback meets the borrow.
    pytest.param(sample_frame, lambda f, h: f.hash_entity("m", Idx(0, h)), lambda f: f.collection_count(),
                 "Already mutably borrowed", id="frame.hash_entity<-read"),
    pytest.param(sample_frame, lambda f, h: f.set_entity_metadata("m", Idx(0, h), "k", 1),
                 lambda f: f.declare_dataset("x"), "Already borrowed", id="frame.set_entity_metadata<-write"),
    pytest.param(sample_frame, lambda f, h: f.get_entity_metadata("m", Idx(0, h), "k"), lambda f: str(f),
                 "Already mutably borrowed", id="frame.get_entity_metadata<-str"),
    pytest.param(sample_frame, lambda f, h: f.add_method("m", Items([{}], h)), lambda f: f.interner,
                 "Already mutably borrowed", id="frame.add_method<-interner"),
    pytest.param(sample_frame, lambda f, h: f.add_method("m", [{"crm": Items(["x"], h)}]),
                 lambda f: f.add_collection_hash("m", "sha256"), "Already borrowed", id="frame.add_method<-hash"),
    pytest.param(sample_entity, lambda e, h: e.add_records_by_id(3, Items([1, 2], h)),
                 lambda e: e.get_metadata_keys(), "Already mutably borrowed", id="entity.add_records_by_id<-read"),
    pytest.param(sample_entity, lambda e, h: e.add_record_by_id(Idx(3, h), 1), lambda e: e.clear_metadata(),
                 "Already borrowed", id="entity.add_record_by_id<-clear"),
    pytest.param(sample_entity, lambda e, h: e.set_metadata(Idx(3, h), 1), lambda e: e.jaccard_similarity(e),
                 "Already mutably borrowed", id="entity.set_metadata<-jaccard"),
    # Shared calls: reads pass, changes meet the borrow.
    pytest.param(sample_frame, lambda f, h: f.entity_has_dataset("m", Idx(0, h), "crm"),
                 lambda f: f.compare_collections("m", "m"), None, id="frame.entity_has_dataset<-read"),
    pytest.param(sample_frame, lambda f, h: f.entity_has_dataset("m", Idx(0, h), "crm"),
                 lambda f: f.add_method("z", []), "Already borrowed", id="frame.entity_has_dataset<-write"),
    pytest.param(sample_frame, lambda f, h: f.get_dataset_name(Idx(0, h)), lambda f: f.hash_collection("m"),
                 "Already borrowed", id="frame.get_dataset_name<-hash"),
    pytest.param(sample_collection, lambda c, h: c.get_entity(Idx(0, h)),
                 lambda c: c.add_hash(StringInternerCore(), "sha256"), "Already borrowed",
                 id="collection.get_entity<-add_hash"),
    pytest.param(sample_collection, lambda c, h: c.get_entity(Idx(0, h)), lambda c: c.compare_with(c), None,
                 id="collection.get_entity<-compare"),
    pytest.param(sample_entity, lambda e, h: e.get_records_by_id(Idx(1, h)), lambda e: e.add_record_by_id(1, 9),
                 "Already borrowed", id="entity.get_records_by_id<-write"),
    pytest.param(sample_entity, lambda e, h: e.has_metadata(Idx(1, h)), lambda e: e.get_records_by_id(1), None,
                 id="entity.has_metadata<-read"),
]


@pytest.mark.parametrize("swallow", [False, True], ids=["raised", "swallowed"])
@pytest.mark.parametrize(("make", "call", "callback", "message"), CALLBACKS)
def test_calling_back_into_the_receiver(make, call, callback, message, swallow):
    receiver = make()
    seen = []

    def hook(*args):
        try:
            callback(receiver)
            seen.append(None)
        except RuntimeError as error:
            seen.append(str(error))
            if not swallow:
                raise

    if message is None or swallow:
        before = None
        call(receiver, hook)
    else:
        before = state(receiver)
        with pytest.raises(RuntimeError) as raised:
            call(receiver, hook)
        assert raised.value.args == (message,)
        assert state(receiver) == before
    assert set(seen) == {message}
    state(receiver)  # every borrow was given back


def test_callbacks_see_the_state_before_the_call():
    frame = sample_frame()
    seen = []
    frame.entity_has_dataset("m", Idx(0, lambda: seen.append(frame.get_collection("m").len())), "crm")
    entity = sample_entity()
    entity.get_records_by_id(Idx(1, lambda: seen.append(entity.get_records_by_id(1))))
    assert seen == [2, [5, 6]]


def test_frame_kept_alive_by_the_call_alone():
    holder = [sample_frame()]
    method = holder[0].add_method
    method("m", Items([{"crm": ["x"]}], lambda index: holder.clear()))
    assert holder == []
    gc.collect()
    del method
    gc.collect()


def test_collecting_garbage_during_calls():
    cycle = []
    cycle.append(cycle)
    frame = sample_frame()
    frame.set_entity_metadata("m", 0, "self", frame)  # a cycle through the frame itself

    def collect(*args):
        cycle.append([cycle])
        gc.collect()

    frame.add_method("g", Items([{"crm": Items(["a", "b"], collect), "metadata": {"c": cycle}}], collect))
    assert frame.entity_has_dataset("g", Idx(0, collect), "crm")
    frame.hash_entity("g", Idx(0, collect))
    assert frame.get_entity_metadata("g", 0, "c") is cycle
    del frame
    gc.collect()


# --- releases that run Python code inside a call ---------------------------------------------


class CallsBack:
    """Runs `action` when released and records what happened."""

    def __init__(self, action, seen):
        self.action, self.seen = action, seen

    def __del__(self):
        try:
            self.action()
            self.seen.append(None)
        except RuntimeError as error:
            self.seen.append(str(error))


# (store a value in the frame, a call that releases it)
RELEASES = {
    "set_entity_metadata-replaces": (lambda f, v: f.set_entity_metadata("m", 0, "k", v),
                                     lambda f: f.set_entity_metadata("m", 0, "k", 1)),
    "add_method-replaces-collection": (lambda f, v: f.add_method("m", [{"metadata": {"k": v}}]),
                                       lambda f: f.add_method("m", [])),
    "add_collection_hash-replaces-value": (lambda f, v: f.set_entity_metadata("n", 0, "hash", v),
                                           lambda f: f.add_collection_hash("n", "sha256")),
    "add_collection-replaces": (lambda f, v: f.add_collection("c", collection_holding(v)),
                                lambda f: f.add_collection("c", CollectionCore("c"))),
}


def collection_holding(value):
    frame = EntityFrame()
    frame.add_method("c", [{"metadata": {"v": value}}])
    return frame.get_collection("c")


@pytest.mark.parametrize(("store", "release"), RELEASES.values(), ids=RELEASES.keys())
def test_values_released_inside_a_call_meet_the_borrow(store, release):
    frame = sample_frame()
    seen = []
    store(frame, CallsBack(lambda: frame.get_dataset_names(), seen))
    gc.collect()
    seen.clear()
    release(frame)
    assert seen == ["Already mutably borrowed"]
    frame_state(frame)


def test_values_released_by_an_entity_meet_its_borrow():
    seen = []
    entity = EntityCore()
    entity.set_metadata(0, CallsBack(lambda: entity.set_metadata(1, "during"), seen))
    entity.set_metadata(2, CallsBack(lambda: entity.get_metadata_keys(), seen))
    entity.clear_metadata()
    assert sorted(seen) == ["Already borrowed", "Already mutably borrowed"]
    assert entity.get_metadata_keys() == []
    entity.set_metadata(0, CallsBack(lambda: entity.set_metadata(1, "after"), seen))
    entity.set_metadata(0, "replacing")
    assert seen[-1] == "Already borrowed"
    assert entity.get_metadata_keys() == [0]


# --- raising from inside the protocols ---------------------------------------------------------


class BadMessage(TypeError):
    def __str__(self):
        raise ValueError("no message")


@pytest.mark.parametrize(
    "error", [ValueError("v"), KeyError("k"), RuntimeError("r"), ZeroDivisionError("z"), KeyboardInterrupt(),
              MemoryError(), RecursionError("deep"), OverflowError("o")],
    ids=lambda e: type(e).__name__)
@pytest.mark.parametrize(
    ("make", "call"),
    [
        pytest.param(sample_frame, lambda f, h: f.hash_entity("m", Idx(0, h)), id="index"),
        pytest.param(sample_entity, lambda e, h: e.add_record_by_id(Idx(1, h), 1), id="id"),
        pytest.param(sample_entity, lambda e, h: e.add_records_by_id(1, Items([7, 8], h)), id="id-list"),
        pytest.param(sample_frame, lambda f, h: f.add_method("m", Items([{}], h)), id="entity-data"),
        pytest.param(sample_frame, lambda f, h: f.add_method("m", [{"crm": Items(["a"], h)}]), id="records"),
        pytest.param(lambda: None, lambda _, h: EntityFrame.with_datasets(Items(["a"], h)), id="dataset-names"),
    ],
)
def test_errors_from_inside_a_protocol_pass_unchanged(make, call, error):
    receiver = make()
    before = receiver and state(receiver)
    with pytest.raises(type(error)) as raised:
        call(receiver, raising(error))
    assert raised.value is error
    if receiver is not None:
        assert state(receiver) == before


@pytest.mark.parametrize(
    ("make", "call", "parameter"),
    [
        pytest.param(sample_frame, lambda f, h: f.get_entity_metadata("m", Idx(0, h), "k"), "entity_index",
                     id="index"),
        pytest.param(sample_entity, lambda e, h: e.add_records_by_id(1, Items([7], h)), "record_ids", id="id-list"),
        pytest.param(sample_frame, lambda f, h: f.add_method("m", Items([{}], h)), "entity_data", id="entity-data"),
    ],
)
def test_type_errors_from_inside_a_protocol(make, call, parameter):
    receiver = make()
    before = state(receiver)
    original = TypeError("inner")
    with pytest.raises(TypeError) as raised:
        call(receiver, raising(original))
    assert raised.value.args == (f"argument '{parameter}': inner",)
    assert raised.value.__cause__ is original
    # A message that cannot be read ends in the error of reading it.
    with pytest.raises(ValueError, match="^no message$"):
        call(receiver, raising(BadMessage()))
    assert state(receiver) == before


def test_type_error_inside_record_lists_is_not_prefixed():
    frame = sample_frame()
    before = frame_state(frame)
    with pytest.raises(TypeError) as raised:
        frame.add_method("m", [{"crm": Items(["a"], raising(TypeError("inner")))}])
    assert raised.value.args == ("inner",)
    assert frame_state(frame) == before


class BrokenIteration(Sequence):
    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        raise IndexError  # an empty sequence by the old protocol

    def __iter__(self):
        raise KeyError("no iterator")


def test_broken_iteration_protocols():
    frame = sample_frame()
    before = frame_state(frame)
    for call in (lambda: frame.add_method("m", BrokenIteration()),
                 lambda: frame.add_method("m", [{"crm": BrokenIteration()}]),
                 lambda: EntityFrame.with_datasets(BrokenIteration()),
                 lambda: EntityCore().add_records_by_id(0, BrokenIteration())):
        with pytest.raises(KeyError, match="no iterator"):
            call()
    assert frame_state(frame) == before

    class OldStyle:  # a sequence by __getitem__ alone, ended by IndexError
        def __getitem__(self, index):
            if index == 2:
                raise IndexError
            return f"r{index}"

    frame.add_method("old", [{"crm": OldStyle()}])
    assert frame.get_collection("old").get_entity(0).total_records() == 2
    assert EntityFrame.with_datasets(OldStyle()).get_dataset_names() in (["r0", "r1"], ["r1", "r0"])


# --- changing what is being read --------------------------------------------------------------


@pytest.mark.parametrize(
    "change",
    [lambda ids: ids.clear(), lambda ids: ids.extend([1, 2]), lambda ids: ids.__setitem__(slice(None), [9]),
     lambda ids: ids.pop()],
    ids=["clear", "extend", "replace", "pop"],
)
def test_id_list_changed_while_it_is_read(change):
    entity = EntityCore()
    ids = [0, 3, 4]
    ids[0] = Idx(7, lambda: change(ids))
    entity.add_records_by_id(1, ids)
    read = entity.get_records_by_id(1)
    assert 7 in read and set(read) <= {7, 1, 2, 3, 4, 9}
    entity.add_records_by_id(1, [5])
    assert 5 in entity.get_records_by_id(1)


def test_dataset_names_changed_while_they_are_read():
    names = Items(["a", "b", "c"])
    names.hook = lambda index: names.items.clear() if index == 1 else None
    frame = EntityFrame.with_datasets(names)
    assert sorted(frame.get_dataset_names()) == ["a"]
    assert frame.interner_size() == 1


def test_later_entities_changed_while_earlier_ones_are_read():
    second = {"crm": ["before"]}

    def change(index):
        second.clear()
        second["erp"] = ["after"]

    frame = sample_frame()
    frame.add_method("x", [{"crm": Items(["a"], change)}, second])
    entity = frame.get_collection("x").get_entity(1)
    assert entity.get_dataset_ids() == [frame.get_dataset_id("erp")]
    assert frame.interner.lookup("before") is None


# --- str subclasses and lone surrogates --------------------------------------------------------


class Hostile(str):
    """Text whose Python-level behaviour is all wrong; only its characters count."""

    __hash__ = str.__hash__

    def __str__(self):
        raise AssertionError("__str__")

    def __eq__(self, other):
        return str.__eq__(self, other)

    def encode(self, *args, **kwargs):
        raise AssertionError("encode")

    def lower(self):
        raise AssertionError("lower")

    def __len__(self):
        raise AssertionError("__len__")

    def __iter__(self):
        raise AssertionError("__iter__")

    def __getitem__(self, index):
        raise AssertionError("__getitem__")

    def __format__(self, format_spec):
        raise AssertionError("__format__")


def build(text):
    """The same calls with every text passed through `text`."""
    frame = EntityFrame.with_datasets([text("crm"), text("erp")])
    frame.declare_dataset(text("web"))
    frame.get_dataset_id(text("new"))
    frame.add_method(text("m"), [{text("crm"): [text("c1"), text("c2")], text("metadata"): {text("k"): 1}},
                                 {text("web"): (text("w"),)}])
    frame.add_collection(text("copy"), frame.create_collection(text("p")))
    frame.set_entity_metadata(text("m"), 1, text("k"), 2)
    frame.add_collection_hash(text("m"), text("SHA3-256"))
    results = [
        frame.get_entity_metadata(text("m"), 0, text("k")),
        frame.entity_has_dataset(text("m"), 1, text("web")),
        frame.get_collection(text("copy")).process_name,
        frame.compare_collections(text("m"), text("m")),
        frame.hash_entity(text("m"), 0, text("Blake3")),
        frame.hash_collection(text("m"), algorithm=text("sha512")),
        frame.verify_collection_hashes(text("m"), text("sha3-256")),
        CollectionCore(text("q")).process_name,
        EntityCore().hash_dataset_name(text("crm")),
        StringInternerCore().intern(text("s")),
    ]
    return frame_state(frame), str(frame), results


def test_str_subclasses_count_by_their_characters():
    assert build(Hostile) == build(str)
    frame = EntityFrame()
    frame.add_method(Hostile("m"), [])
    with pytest.raises(KeyError) as raised:
        frame.hash_collection(Hostile("missing"))
    assert raised.value.args == ("Collection 'missing' not found",)
    frame.add_method("n", [{"d": ["r"]}])
    with pytest.raises(ValueError) as raised:
        frame.hash_collection("n", Hostile("MD5"))
    assert "Unsupported hash algorithm: MD5. " in raised.value.args[0]
    assert all(type(name) is str for name in frame.get_collection_names())


SURROGATE = "a\ud800"
TEXT_PARAMETERS = [
    (sample_interner, lambda i, s: i.intern(s)),
    (sample_interner, lambda i, s: i.lookup(s)),
    (sample_entity, lambda e, s: e.add_record(s, 1)),
    (sample_entity, lambda e, s: e.add_records(s, [1])),
    (sample_entity, lambda e, s: e.hash_dataset_name(s)),
    (sample_entity, lambda e, s: e.get_records(s)),
    (sample_entity, lambda e, s: e.has_dataset(s)),
    (sample_collection, lambda c, s: c.add_hash(StringInternerCore(), s)),
    (sample_collection, lambda c, s: c.verify_hashes(StringInternerCore(), s)),
    (sample_collection, lambda c, s: CollectionCore(s)),
    (sample_frame, lambda f, s: EntityFrame.with_datasets(["ok", s])),
    (sample_frame, lambda f, s: f.declare_dataset(s)),
    (sample_frame, lambda f, s: f.get_dataset_id(s)),
    (sample_frame, lambda f, s: f.create_collection(s)),
    (sample_frame, lambda f, s: f.add_collection(s, CollectionCore("c"))),
    (sample_frame, lambda f, s: f.get_collection(s)),
    (sample_frame, lambda f, s: f.compare_collections(s, "m")),
    (sample_frame, lambda f, s: f.compare_collections("m", s)),
    (sample_frame, lambda f, s: f.entity_has_dataset(s, 0, "crm")),
    (sample_frame, lambda f, s: f.entity_has_dataset("m", 0, s)),
    (sample_frame, lambda f, s: f.set_entity_metadata(s, 0, "k", 1)),
    (sample_frame, lambda f, s: f.set_entity_metadata("m", 0, s, 1)),
    (sample_frame, lambda f, s: f.get_entity_metadata("m", 0, s)),
    (sample_frame, lambda f, s: f.hash_entity(s, 0)),
    (sample_frame, lambda f, s: f.hash_entity("m", 0, s)),
    (sample_frame, lambda f, s: f.hash_collection("m", s)),
    (sample_frame, lambda f, s: f.hash_all_entities(s)),
    (sample_frame, lambda f, s: f.add_collection_hash("m", s)),
    (sample_frame, lambda f, s: f.verify_collection_hashes(s, "sha256")),
    (sample_frame, lambda f, s: f.add_method(s, [])),
]


@pytest.mark.parametrize("text", [SURROGATE, Hostile("\udfff")], ids=["str", "str-subclass"])
@pytest.mark.parametrize(("make", "call"), TEXT_PARAMETERS)
def test_lone_surrogates_in_every_text_parameter(make, call, text):
    receiver = make()
    before = state(receiver)
    with pytest.raises(UnicodeEncodeError) as raised:
        call(receiver, text)
    assert not str(raised.value).startswith("argument")
    assert state(receiver) == before


def test_surrogate_before_a_bad_argument_is_reported_first():
    frame = sample_frame()
    with pytest.raises(UnicodeEncodeError):
        frame.entity_has_dataset(SURROGATE, -1, 5)
    with pytest.raises(OverflowError):
        frame.entity_has_dataset("m", -1, SURROGATE)


# --- very deep and very large inputs ----------------------------------------------------------


def nested(depth):
    outer = inner = []
    for _ in range(depth):
        inner.append([])
        inner = inner[0]
    return outer


@pytest.mark.parametrize(
    ("entity_data", "message"),
    [
        (lambda deep: [{"crm": deep}], "'list' object cannot be converted to 'PyString'"),
        (lambda deep: deep, "'list' object cannot be converted to 'PyDict'"),
        (lambda deep: [{"metadata": {"k": 1}, "crm": ["a", deep]}], "'list' object cannot be converted to 'PyString'"),
    ],
)
def test_deeply_nested_inputs_fail_at_their_first_level(entity_data, message):
    frame = sample_frame()
    before = frame_state(frame)
    with pytest.raises(TypeError) as raised:
        frame.add_method("m", entity_data(nested(10_000)))
    assert raised.value.args == (message,)
    assert frame_state(frame)[1:] == before[1:]
    with pytest.raises(TypeError, match="^argument 'record_ids': 'list' object cannot be interpreted"):
        EntityCore().add_records_by_id(0, nested(10_000))


def test_deeply_nested_metadata_is_kept_and_released():
    frame = sample_frame()
    deep = nested(200_000)
    frame.add_method("deep", [{"metadata": {"deep": deep}, "crm": ["c1"]}])
    frame.set_entity_metadata("m", 1, "deep", deep)
    assert frame.get_entity_metadata("deep", 0, "deep") is deep
    copy = frame.get_collection("deep")
    del deep
    frame.add_method("deep", [])
    del copy, frame
    gc.collect()


def test_large_inputs():
    frame = EntityFrame()
    big = [f"r{i}" for i in range(300_000)]
    frame.add_method("m", [{"crm": big + big[:1000]}, {"crm": ["x" * (8 << 20)]}, {f"d{i}": [] for i in range(3000)}])
    collection = frame.get_collection("m")
    assert collection.total_records() == 300_001
    assert len(frame.get_dataset_names()) == 3001
    assert frame.hash_entity("m", 0) == frame.hash_collection("m")[0]
    assert frame.compare_collections("m", "m")[2]["jaccard"] == 1.0
    entity = EntityCore()
    entity.add_records_by_id(0, range(0, 2**32 - 1, 9973))
    assert entity.total_records() == len(range(0, 2**32 - 1, 9973))
    assert entity.jaccard_similarity(entity) == 1.0


# --- threads --------------------------------------------------------------------------------


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def yielding(items):
    """A sequence that lets other threads run while it is read."""
    return Items(items, lambda index: time.sleep(0))


class Calls:
    """Runs calls from several threads; a call either succeeds or meets a borrow."""

    def __init__(self):
        self.lock = threading.Lock()
        self.unexpected = []
        self.borrowed = 0

    def attempt(self, call):
        try:
            call()
            return True
        except RuntimeError as error:
            if str(error) not in BORROW_ERRORS:
                self.unexpected.append(error)
            with self.lock:
                self.borrowed += 1
        except Exception as error:  # noqa: BLE001 - reported below
            self.unexpected.append(error)
        return False

    def run(self, *targets, rounds=20):
        """Runs the targets together, again while they have not met: on a loaded
        machine one thread may finish before the others are scheduled at all."""
        for _ in range(rounds):
            start = threading.Barrier(len(targets))
            threads = [threading.Thread(target=lambda t=target: (start.wait(60), t())) for target in targets]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(120)
            assert not any(thread.is_alive() for thread in threads)
            assert self.unexpected == []
            if self.borrowed:
                return
        pytest.fail(f"the threads never met in {rounds} rounds")


def test_threads_sharing_a_frame(fast_switching):
    frame = EntityFrame.with_datasets(["crm"])
    frame.add_method("base", [{"crm": ["b"]}])
    calls = Calls()
    ingested = {}
    metadata = {}

    def writer(worker):
        for round_ in range(60):
            name = f"w{worker}-{round_ % 7}"
            data = [{"crm": yielding([f"{name}-{round_}-{i}" for i in range(3)]), "metadata": {f"k{worker}": round_}}]
            if calls.attempt(lambda: frame.add_method(name, yielding(data))):
                ingested[name] = (round_, data)
                metadata.pop(name, None)
            if name not in ingested:
                continue
            if calls.attempt(lambda: frame.set_entity_metadata(name, Idx(0, lambda: time.sleep(0)), "note", round_)):
                metadata[name] = round_
            calls.attempt(lambda: frame.add_collection_hash(name, "blake3"))
            time.sleep(0.0005)  # room for the others to finish a call

    def reader():
        for _ in range(150):
            calls.attempt(lambda: frame.entity_has_dataset("base", Idx(0, lambda: time.sleep(0)), "crm"))
            calls.attempt(lambda: (frame.get_collection_names(), frame.total_entities(), str(frame)))
            calls.attempt(lambda: frame.hash_all_entities("sha256"))
            time.sleep(0.0002)

    calls.run(*(lambda w=w: writer(w) for w in range(3)), reader, reader)

    assert sorted(frame.get_collection_names()) == sorted([*ingested, "base"])
    expected_strings = {"crm", "b", "hash", "note"} | {f"k{w}" for w in range(3)}
    for name, (round_, data) in ingested.items():
        records = data[0]["crm"].items
        entity = frame.get_collection(name).get_entity(0)
        assert sorted(frame.get_dataset_name(r) for r in entity.get_records_by_id(0)) == sorted(records)
        assert frame.get_entity_metadata(name, 0, f"k{name[1]}") == round_
        assert frame.get_entity_metadata(name, 0, "note") == metadata.get(name)
        assert frame.verify_collection_hashes(name, "blake3") is True
    interner = frame.interner
    strings = {interner.get_string(i) for i in range(interner.len())}
    assert {s for s in strings if not s.startswith("w")} <= expected_strings
    assert all(frame.hash_entity(name, 0) == frame.hash_collection(name)[0] for name in ingested)


def test_threads_sharing_an_entity_and_a_collection(fast_switching):
    entity = EntityCore()
    collection = sample_collection()
    interner = StringInternerCore()
    calls = Calls()
    added = [[] for _ in range(3)]

    def adder(worker):
        for round_ in range(100):
            ids = [worker * 1000 + round_, 70000 + round_]
            if calls.attempt(lambda: entity.add_records_by_id(worker, yielding(ids))):
                added[worker].extend(ids)
            calls.attempt(lambda: entity.set_metadata(Idx(worker, lambda: time.sleep(0)), round_))
            calls.attempt(lambda: collection.get_entity(Idx(0, lambda: time.sleep(0))))
            calls.attempt(lambda: collection.add_hash(interner, "sha256"))

    def reader():
        for _ in range(200):
            calls.attempt(lambda: entity.get_records_by_id(Idx(0, lambda: time.sleep(0))))
            calls.attempt(lambda: (entity.jaccard_similarity(entity), entity.total_records()))
            calls.attempt(lambda: collection.verify_hashes(interner, "sha256"))

    calls.run(*(lambda w=w: adder(w) for w in range(3)), reader, reader)
    for worker in range(3):
        assert entity.get_records_by_id(worker) == sorted(set(added[worker]))
    assert entity.total_records() == sum(len(set(ids)) for ids in added)
    assert collection.verify_hashes(interner, "sha256") is True
