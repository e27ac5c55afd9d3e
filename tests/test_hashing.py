"""Entity digests: one entity, whole collections, every collection of a
frame, and digests stored on entities and verified later."""

import hashlib
import random
import shutil
import subprocess
import sys

import pytest

from tessellar import CollectionCore, EntityFrame, StringInternerCore

ALGORITHMS = ["sha256", "sha512", "sha3-256", "sha3-512", "blake3"]
HASHLIB = {"sha256": hashlib.sha256, "sha512": hashlib.sha512, "sha3-256": hashlib.sha3_256,
           "sha3-512": hashlib.sha3_512}
SIZES = {"sha256": 32, "sha512": 64, "sha3-256": 32, "sha3-512": 64, "blake3": 32}
UNSUPPORTED = "Unsupported hash algorithm: md5. Supported: sha256, sha512, sha3-256, sha3-512, blake3"


def canonical_stream(entity):
    """Dataset names in byte order, each followed by its records in byte order."""
    parts = []
    for name in sorted((k for k in entity if k != "metadata"), key=str.encode):
        parts.append(name.encode())
        parts.extend(sorted(record.encode() for record in entity[name]))
    return b"".join(parts)


def make_entities(count, seed=5):
    """Prefix-sharing names and records, duplicates, empty lists, non-ASCII."""
    rng = random.Random(seed)
    entities = []
    for index in range(count):
        entity = {}
        for name in rng.sample(["crm", "cr", "erp", "web", "ü"], rng.randint(1, 3)):
            entity[name] = [rng.choice(["r", "ré", "r1"]) + str(rng.randrange(3000))
                            for _ in range(rng.choice([0, 1, 1, 2, 3, 6]))]
        if index % 4 == 0:
            entity["metadata"] = {"note": index}
        entities.append(entity)
    return entities


def frame_with(entities, name="m", datasets=()):
    frame = EntityFrame.with_datasets(list(datasets))
    frame.add_method(name, entities)
    return frame


WORKED = {"users": ["r2", "r10"], "orders": ["o1"]}


@pytest.fixture
def stored():
    """A frame whose collection "m" carries sha256 digests, and those digests."""
    frame = frame_with(make_entities(6))
    frame.add_collection_hash("m", "sha256")
    return frame, frame.hash_collection("m")


# --- digests -------------------------------------------------------------------------


@pytest.mark.parametrize("users", [["r2", "r10", "r2"], ["r10", "r2", "r2"], ["r2", "r2", "r10"]])
@pytest.mark.parametrize("declared", [(), ("users", "orders"), ("orders", "r2", "users")])
def test_ingested_duplicates_are_fed_twice(users, declared):
    frame = frame_with([{"users": users, "orders": ["o1"]}], datasets=declared)
    expected = hashlib.sha256(b"orderso1usersr10r2r2").digest()
    assert frame.hash_collection("m") == [expected]
    assert frame.hash_entity("m", 0) == expected


@pytest.mark.parametrize(
    "entity", [WORKED, {"orders": ["o1"], "users": ["r10", "r2"]}], ids=["users-first", "orders-first"]
)
@pytest.mark.parametrize("declared", [(), ("users", "orders"), ("o1", "r10", "r2", "orders", "users")])
def test_digest_ignores_listing_order_and_numbering(entity, declared):
    frame = frame_with([entity], datasets=declared)
    expected = hashlib.sha256(b"orderso1usersr10r2").digest()
    assert frame.hash_entity("m", 0) == frame.hash_collection("m")[0] == expected


@pytest.mark.parametrize("count", [40, 1200], ids=["calling-thread", "pool"])
@pytest.mark.parametrize("algorithm", list(HASHLIB))
def test_digests_equal_hashlib_over_the_canonical_stream(count, algorithm):
    entities = make_entities(count)
    digests = frame_with(entities).hash_collection("m", algorithm)
    assert digests == [HASHLIB[algorithm](canonical_stream(e)).digest() for e in entities]


@pytest.mark.skipif(shutil.which("b3sum") is None, reason="b3sum not installed")
def test_blake3_digests_equal_b3sum(tmp_path):
    entities = make_entities(1200)
    digests = frame_with(entities).hash_collection("m", "blake3")
    files = []
    for index in range(0, 1200, 60):
        files.append(tmp_path / str(index))
        files[-1].write_bytes(canonical_stream(entities[index]))
    output = subprocess.run(["b3sum", "--no-names", *map(str, files)], capture_output=True, text=True, check=True)
    assert output.stdout.split() == [digests[index].hex() for index in range(0, 1200, 60)]


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_single_entity_and_batch_agree(algorithm):
    frame = frame_with(make_entities(30))
    digests = frame.hash_collection("m", algorithm)
    assert {len(d) for d in digests} == {SIZES[algorithm]}
    assert [frame.hash_entity("m", i, algorithm) for i in range(30)] == digests
    assert frame.hash_collection("m", algorithm.upper()) == digests


def test_same_data_in_two_frames_gives_same_digests():
    entities = make_entities(1500)
    first = frame_with(entities, datasets=["crm", "cr", "erp", "web", "ü"])
    second = EntityFrame.with_datasets(["ü", "web", "r7", "erp", "cr", "crm"])
    second.add_method("other", [{"x": ["y"]}] * 3)
    second.add_method("m", entities)
    assert first.hash_collection("m", "blake3") == second.hash_collection("m", "blake3")


def test_metadata_and_later_strings_leave_digests_unchanged(stored):
    frame, digests = stored
    frame.set_entity_metadata("m", 2, "note", ["changed"])
    frame.add_method("later", make_entities(50, seed=9))
    assert frame.hash_collection("m") == digests
    assert frame.verify_collection_hashes("m", "sha256") is True


def test_hash_all_entities_keys_collections_by_frame_name():
    frame = frame_with(make_entities(3), name="a")
    frame.add_method("empty", [])
    frame.add_collection("alias", frame.get_collection("a"))
    result = frame.hash_all_entities("sha512")
    assert sorted(result) == ["a", "alias", "empty"]
    assert result["a"] == result["alias"] == frame.hash_collection("a", "sha512")
    assert result["empty"] == []
    assert frame.hash_all_entities() == {name: frame.hash_collection(name) for name in result}


def test_empty_collections_are_never_checked_for_the_name():
    frame = EntityFrame()
    assert frame.hash_all_entities("md5") == {}
    frame.add_method("empty", [])
    assert frame.hash_all_entities("md5") == {"empty": []}
    assert frame.hash_collection("empty", "md5") == []


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.hash_entity("m", 0, "md5"),
        lambda f: f.hash_collection("m", "md5"),
        lambda f: f.hash_all_entities("md5"),
        lambda f: f.add_collection_hash("m", "md5"),
    ],
    ids=["hash_entity", "hash_collection", "hash_all_entities", "add_collection_hash"],
)
def test_unsupported_name_with_entities(call):
    frame = frame_with(make_entities(3))
    frame.add_method("empty", [])
    size = frame.interner_size()
    with pytest.raises(ValueError) as raised:
        call(frame)
    assert raised.value.args == (UNSUPPORTED,)
    assert frame.interner_size() == size  # a failed add_collection_hash interns nothing
    assert frame.get_entity_metadata("m", 0, "hash") is None


def test_records_unknown_to_the_interner():
    source = frame_with([{"users": ["r1"], "orders": ["o1", "o2"]}], datasets=["users", "orders"])
    target = EntityFrame.with_datasets(["users", "orders"])
    target.add_collection("m", source.get_collection("m"))
    with pytest.raises(IndexError) as raised:
        target.hash_entity("m", 0)
    assert raised.value.args == ("Invalid string ID",)
    assert target.hash_collection("m") == [hashlib.sha256(b"ordersusers").digest()]


# --- storage and verification -----------------------------------------------------


def test_add_hash_stores_bytes_and_replaces_earlier_values(stored):
    frame, digests = stored
    assert [frame.get_entity_metadata("m", i, "hash") for i in range(6)] == digests
    old = frame.get_entity_metadata("m", 0, "hash")
    references = sys.getrefcount(old)
    frame.add_collection_hash("m", "sha512")
    assert sys.getrefcount(old) == references - 1
    assert frame.get_entity_metadata("m", 0, "hash") == frame.hash_entity("m", 0, "sha512")
    assert frame.verify_collection_hashes("m", "sha512") is True


@pytest.mark.parametrize(("algorithm", "expected"), [("sha256", True), ("SHA256", True), ("blake3", False),
                                                     ("sha3-512", False)])
def test_verify_recomputes_with_the_given_algorithm(stored, algorithm, expected):
    frame, _ = stored
    assert frame.verify_collection_hashes("m", algorithm) is expected


class Digest(bytes):
    pass


@pytest.mark.parametrize(
    ("tamper", "expected"),
    [
        (lambda d: Digest(d), True),
        (lambda d: d.hex(), False),
        (lambda d: int.from_bytes(d, "big"), False),
        (bytearray, False),
        (memoryview, False),
        (lambda d: d + b"\0", False),
        (lambda d: d[:-1], False),
        (lambda d: d[:7] + bytes([d[7] ^ 1]) + d[8:], False),
        (lambda d: b"", False),
    ],
    ids=["bytes-subclass", "str", "int", "bytearray", "memoryview", "longer", "shorter", "one-byte", "empty"],
)
def test_verify_judges_each_stored_value(stored, tamper, expected):
    frame, digests = stored
    frame.set_entity_metadata("m", 3, "hash", tamper(digests[3]))
    assert frame.verify_collection_hashes("m", "sha256") is expected


@pytest.mark.parametrize(("value", "expected"), [(0, True), (1, False)], ids=["correct", "other-entity"])
def test_verify_checks_only_entities_holding_a_hash(value, expected):
    frame = frame_with(make_entities(5))
    frame.set_entity_metadata("m", 4, "hash", frame.hash_entity("m", 4 - value))
    assert frame.verify_collection_hashes("m", "sha256") is expected
    with pytest.raises(ValueError):
        frame.verify_collection_hashes("m", "md5")


def test_verify_without_stored_hashes_interns_the_key_once():
    frame = frame_with(make_entities(5))
    size = frame.interner_size()
    assert frame.verify_collection_hashes("m", "md5") is True
    assert frame.interner_size() == size + 1
    assert frame.verify_collection_hashes("m", "md5") is True
    assert frame.interner_size() == size + 1


def test_add_hash_on_an_empty_collection_interns_the_key():
    frame = EntityFrame()
    frame.add_method("empty", [])
    assert frame.add_collection_hash("empty", "md5") is None
    assert frame.interner_size() == 1
    interner = StringInternerCore()
    assert CollectionCore("solo").add_hash(interner, "md5") is None
    assert interner.lookup("hash") == 0


def test_collection_methods_use_the_interner_passed_in():
    frame = frame_with(make_entities(1100))
    collection = frame.get_collection("m")
    interner = frame.interner
    assert collection.verify_hashes(interner, "md5") is True
    collection.add_hash(interner, "blake3")
    key = interner.lookup("hash")
    assert collection.get_entity(7).get_metadata_by_id(key) == frame.hash_entity("m", 7, "blake3")
    assert collection.verify_hashes(interner, "blake3") is True
    assert collection.verify_hashes(interner, "sha512") is False
    assert frame.get_entity_metadata("m", 7, "hash") is None  # the frame keeps its own copy


@pytest.mark.parametrize("method", ["add_hash", "verify_hashes"])
def test_collection_methods_need_an_interner(method):
    with pytest.raises(TypeError) as raised:
        getattr(CollectionCore("c"), method)(5, "sha256")
    assert raised.value.args == ("argument 'interner': 'int' object cannot be converted to 'StringInternerCore'",)


# --- arguments and check order -----------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.hash_entity("x", 99, "md5"),
        lambda f: f.hash_collection("x", "md5"),
        lambda f: f.add_collection_hash("x", "md5"),
        lambda f: f.verify_collection_hashes("x", "md5"),
    ],
    ids=["hash_entity", "hash_collection", "add_collection_hash", "verify_collection_hashes"],
)
def test_missing_collection_is_reported_first(call):
    frame = frame_with(make_entities(2))
    with pytest.raises(KeyError) as raised:
        call(frame)
    assert str(raised.value) == "\"Collection 'x' not found\""
    assert raised.value.args == ("Collection 'x' not found",)


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda f: f.hash_entity("m", 2, "md5"), IndexError, "Entity index out of range"),
        (lambda f: f.hash_entity("x", -1), OverflowError, None),
        (lambda f: f.hash_collection("x", None), TypeError,
         "argument 'algorithm': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda f: f.hash_entity("m", 1.0), TypeError, None),
        (lambda f: f.add_collection_hash("m"), TypeError,
         "EntityFrame.add_collection_hash() missing 1 required positional argument: 'algorithm'"),
        (lambda f: f.verify_collection_hashes("m"), TypeError,
         "EntityFrame.verify_collection_hashes() missing 1 required positional argument: 'algorithm'"),
    ],
    ids=["index-before-name", "conversion-before-lookup", "none-algorithm", "float-index", "add-no-default",
         "verify-no-default"],
)
def test_argument_errors(call, error, message):
    frame = frame_with(make_entities(2))
    with pytest.raises(error) as raised:
        call(frame)
    if message is not None:
        assert raised.value.args == (message,)


def test_defaults_and_keywords():
    frame = frame_with(make_entities(2))
    assert frame.hash_entity("m", 1) == frame.hash_entity(collection_name="m", entity_index=1, algorithm="sha256")
    assert frame.hash_collection(collection_name="m") == frame.hash_collection("m", "sha256")
    assert frame.hash_all_entities() == frame.hash_all_entities(algorithm="sha256")


@pytest.mark.parametrize(
    ("owner", "name", "signature", "description"),
    [
        (EntityFrame, "hash_entity", '($self, collection_name, entity_index, algorithm="sha256")',
         "Compute hash of an entity"),
        (EntityFrame, "hash_collection", '($self, collection_name, algorithm="sha256")',
         "Batch hash all entities in a collection for optimal performance"),
        (EntityFrame, "hash_all_entities", '($self, algorithm="sha256")',
         "Batch hash all entities across all collections"),
        (EntityFrame, "add_collection_hash", "($self, collection_name, algorithm)",
         "Add hashes to all entities in a collection by name"),
        (EntityFrame, "verify_collection_hashes", "($self, collection_name, algorithm)",
         "Verify hashes for all entities in a collection by name"),
        (CollectionCore, "add_hash", "($self, interner, algorithm)",
         "Add hashes to all entities in this collection using optimized batch processing"),
        (CollectionCore, "verify_hashes", "($self, interner, algorithm)",
         "Verify hashes for all entities in this collection"),
    ],
)
def test_docstrings(owner, name, signature, description):
    method = getattr(owner, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == description
