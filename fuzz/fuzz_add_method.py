"""Fuzzes EntityFrame.add_method and the argument conversions of the other
methods with Python values built from the fuzzer's bytes: nested lists,
tuples, dicts and their subclasses, str subclasses, lone surrogates, integers
at the range boundaries, sequences written in Python that raise or call back
into the frame.

A call may only fail with one of the module's documented exception types,
and after every call the frame must still answer its accessors consistently.
Inputs made of plain data are also run through the model in tests/model.py,
which must agree on the outcome and on what was stored.

    python fuzz/fuzz_add_method.py -max_total_time=60 [corpus directory]
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
with atheris.instrument_imports():
    import model
from sequences import HookedSequence as Items

from tessellar import CollectionCore, EntityCore, EntityFrame, StringInternerCore

DOCUMENTED = (TypeError, ValueError, KeyError, IndexError, OverflowError, RuntimeError, UnicodeEncodeError,
              MemoryError)
ALGORITHMS = ["sha256", "SHA512", "sha3-256", "Sha3-512", "blake3", "md5", "", " sha256", "BLA\u212aE3"]
NAMES = ["", "a", "crm", "erp", "metadata", "Metadata", "hash", "r1", "é", "\x00", "漢字", "m"]
BOUNDARIES = [0, 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -1, -2**63 - 1, 2**100]


class Planted(ValueError):
    """Raised on purpose by the hostile objects below."""


class Text(str):
    pass


class Mapping(dict):
    def items(self):
        raise Planted("items() must not be used")


class Idx:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook(0)
        return self.value


class Builder:
    """Python values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.frame = None
        self.plain = True  # no object with behaviour of its own was built

    def number(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def choice(self, options):
        return options[self.number(0, len(options) - 1)]

    def text(self):
        kind = self.number(0, 9)
        if kind == 0:
            return self.fdp.ConsumeUnicode(self.number(0, 6))  # may hold lone surrogates
        if kind == 1:
            return Text(self.choice(NAMES))
        if kind <= 3:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.number(0, 4))
        return self.choice(NAMES)

    def integer(self):
        kind = self.number(0, 3)
        if kind == 0:
            return self.choice(BOUNDARIES)
        if kind == 1:
            self.plain = False
            return Idx(self.choice(BOUNDARIES + [0, 1]), self.hook())
        return self.number(0, 5)

    def hook(self):
        """Something to run while the module reads a value, or None."""
        kind = self.number(0, 5)
        if kind == 0:
            return None
        self.plain = False
        frame, swallow = self.frame, self.fdp.ConsumeBool()
        call = self.choice([
            lambda: frame.collection_count(),
            lambda: frame.add_method("hook", []),
            lambda: frame.get_collection("m"),
            lambda: frame.hash_all_entities(),
            lambda: str(frame),
        ])

        def run(index):
            if kind == 1:
                raise Planted("from a hook")
            try:
                call()
            except RuntimeError:
                if not swallow:
                    raise
        return run

    def value(self, depth=0):
        kind = self.number(0, 12 if depth < 3 else 6)
        if kind <= 1:
            return self.text()
        if kind == 2:
            return self.integer()
        if kind == 3:
            return self.choice([None, 1.5, b"xy", True, {"x"}, range(2)])
        if kind == 4:
            return [self.text() for _ in range(self.number(0, 3))]
        if kind <= 6:
            return self.choice([object(), Planted("stored"), frozenset()])
        if kind == 7:
            return [self.value(depth + 1) for _ in range(self.number(0, 3))]
        if kind == 8:
            return tuple(self.value(depth + 1) for _ in range(self.number(0, 3)))
        if kind == 9:
            return {self.text(): self.value(depth + 1) for _ in range(self.number(0, 3))}
        if kind == 10:
            return self.entity(depth + 1)
        return self.records(depth + 1)

    def records(self, depth):
        items = [self.text() for _ in range(self.number(0, 4))]
        kind = self.number(0, 9)
        if kind <= 4:
            return items
        if kind == 5:
            return tuple(items)
        if kind == 6:
            if self.fdp.ConsumeBool():
                self.plain = False
                return Items(items, self.hook())
            return Items(items)
        if kind == 7 and depth < 4:
            items.insert(self.number(0, len(items)), self.value(depth + 1))
            return items
        return self.value(depth + 1)

    def entity(self, depth=0):
        if self.number(0, 15) == 0:
            return self.value(depth + 1)
        entity = {}
        for _ in range(self.number(0, 4)):
            key = self.text() if self.number(0, 9) else self.value(depth + 1)
            try:
                if self.number(0, 3) == 0:
                    entity["metadata"] = {self.text(): self.value(depth + 1) for _ in range(self.number(0, 3))}
                else:
                    entity[key] = self.records(depth)
            except TypeError:  # an unhashable key
                pass
        if self.number(0, 9) == 0:
            return Mapping(entity)
        return entity

    def entity_data(self):
        entities = [self.entity() for _ in range(self.number(0, 5))]
        kind = self.number(0, 9)
        if kind <= 5:
            return entities
        if kind == 6:
            return tuple(entities)
        if kind == 7:
            if self.fdp.ConsumeBool():
                self.plain = False
                return Items(entities, self.hook())
            return Items(entities)
        return self.value()


def attempt(call, *args):
    """The call's outcome; any exception outside the documented ones is a fault."""
    try:
        return "ok", call(*args)
    except DOCUMENTED as error:
        return "error", type(error), str(error) if isinstance(error, UnicodeError) else error.args


def strings_of(interner):
    return [interner.get_string(i) for i in range(interner.len())]


def check_frame(frame):
    """The frame answers every accessor, and the answers agree."""
    names = frame.get_collection_names()
    assert len(names) == len(set(names)) == frame.collection_count()
    collections = [frame.get_collection(name) for name in names]
    assert frame.total_entities() == sum(c.len() for c in collections)
    size = frame.interner_size()
    interner = frame.interner
    assert interner.len() == size
    for dataset in frame.get_dataset_names():
        assert interner.get_string(frame.get_dataset_id(dataset)) == dataset
    assert frame.interner_size() == size
    for collection in collections:
        for entity in collection.get_entities():
            for dataset_id in entity.get_dataset_ids():
                assert all(r < size for r in entity.get_records_by_id(dataset_id))
    assert str(frame) == repr(frame)


def describe(frame):
    interner = frame.interner
    described = {}
    for name in frame.get_collection_names():
        entities = []
        for entity in frame.get_collection(name).get_entities():
            records = {interner.get_string(d): sorted(map(interner.get_string, entity.get_records_by_id(d)))
                       for d in entity.get_dataset_ids()}
            metadata = {interner.get_string(k): id(entity.get_metadata_by_id(k)) for k in entity.get_metadata_keys()}
            entities.append((records, metadata))
        described[name] = entities
    return described


def describe_model(frame):
    strings = frame.interner.strings
    return {name: [({strings[d]: sorted(strings[r] for r in rs) for d, rs in e.records.items()},
                    {strings[k]: id(v) for k, v in (e.metadata or {}).items()}) for e in c.entities]
            for name, c in frame.collections.items()}


def ingest(frame, expected, builder, method_name, entity_data):
    result = attempt(frame.add_method, method_name, entity_data)
    if expected is None or not builder.plain:
        return None
    assert result == attempt(expected.add_method, method_name, entity_data), (result, method_name, entity_data)
    actual = strings_of(frame.interner)
    if result[0] == "error":
        assert actual == expected.interner.strings
    else:
        before, read, datasets = expected.last_ingestion
        assert actual[:len(before)] == before
        assert model.allowed_numbering(before, read, datasets, actual[len(before):])
        model.adopt_ids(expected, actual)
    assert describe(frame) == describe_model(expected)
    if all(map(renderable, [*expected.collections, *expected.datasets])):
        assert model.render(expected) == str(frame)
    return expected


def renderable(name):
    """Whether the model's width tables are sure to agree on `name`."""
    return all(" " <= ch <= "~" or ch in "é漢字" for ch in name)


def other_call(frame, builder):
    """One more call with drawn arguments, on the frame or another class."""
    text, integer, value = builder.text, builder.integer, builder.value
    algorithm = lambda: builder.choice(ALGORITHMS) if builder.number(0, 5) else value()  # noqa: E731
    name = lambda: builder.choice(frame.get_collection_names() or ["m"]) if builder.number(0, 3) else text()  # noqa: E731
    calls = [
        lambda: frame.hash_entity(name(), integer(), algorithm()),
        lambda: frame.hash_collection(name(), algorithm()),
        lambda: frame.hash_all_entities(algorithm()),
        lambda: frame.add_collection_hash(name(), algorithm()),
        lambda: frame.verify_collection_hashes(name(), algorithm()),
        lambda: frame.set_entity_metadata(name(), integer(), text(), value()),
        lambda: frame.get_entity_metadata(name(), integer(), text()),
        lambda: frame.entity_has_dataset(name(), integer(), text()),
        lambda: frame.compare_collections(name(), name()),
        lambda: (frame.get_collection(name()) or CollectionCore("none")).get_entity(integer()),
        lambda: frame.add_collection(text(), frame.get_collection(name()) or value()),
        lambda: frame.declare_dataset(text()),
        lambda: frame.get_dataset_name(integer()),
        lambda: EntityFrame.with_datasets(builder.records(0)),
        lambda: EntityCore().add_records_by_id(integer(), builder.records(0)),
        lambda: EntityCore().add_records(text(), [integer(), integer()]),
        lambda: CollectionCore(value()).compare_with(value()),
        lambda: StringInternerCore.with_capacity(builder.choice([0, 7, -1, 2**64, 2**65, 1.5])),
        lambda: frame.interner.get_string(integer()),
    ]
    return attempt(builder.choice(calls))


@atheris.instrument_func
def TestOneInput(data):  # noqa: N802 - the name atheris looks for
    builder = Builder(data)
    if builder.fdp.ConsumeBool():
        declared = [builder.text() for _ in range(builder.number(0, 3))]
        frame, expected = EntityFrame(), model.Frame()
        if attempt(EntityFrame.with_datasets, declared)[0] == "ok":
            frame, expected = EntityFrame.with_datasets(declared), model.Frame.with_datasets(declared)
    else:
        frame, expected = EntityFrame(), model.Frame()
    builder.frame = frame
    for _ in range(builder.number(1, 3)):
        expected = ingest(frame, expected, builder, builder.text(), builder.entity_data())
        check_frame(frame)
    for _ in range(builder.number(0, 6)):
        other_call(frame, builder)
        check_frame(frame)


def main():
    atheris.instrument_all()  # the builders' branches guide the search
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
