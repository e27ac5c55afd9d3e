"""tessellar_tools: matching and digest diffs against their definitions on
random resolutions, and what the companion refuses."""

import random

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sequences import HookedSequence

import tessellar
import tessellar_tools

# Entities over items ("a" or "b", "r0".."r9"); an item may recur across
# entities, and an entity may be empty.
entity = st.dictionaries(st.sampled_from(["a", "b"]), st.lists(st.sampled_from([f"r{i}" for i in range(10)]),
                                                                unique=True), max_size=2)
resolution = st.lists(entity, max_size=8)


def items(entity):
    return {(dataset, record) for dataset, records in entity.items() for record in records}


def expected_matches(first, second):
    """match, shared, jaccard and kind of every entity of `first`, the slow way."""
    rows = []
    for one in map(items, first):
        shared = [len(one & items(other)) for other in second]
        best = int(numpy.argmax(shared)) if any(shared) else -1
        if best < 0:
            rows.append((-1, 0, 0.0, "unmatched"))
            continue
        other = items(second[best])
        touched = [items(e) for e, n in zip(second, shared) if n]
        kind = ("exact" if other == one else
                "split" if len(touched) > 1 and all(t <= one for t in touched) else
                "merged" if len(touched) == 1 and one < other else "partial")
        rows.append((best, shared[best], shared[best] / len(one | other), kind))
    return rows


@settings(max_examples=60, deadline=None)
@given(resolution, resolution)
def test_matching_follows_its_definition_both_ways(first, second):
    frame = tessellar.EntityFrame()
    frame.add_method("first", first)
    frame.add_method("second", second)
    matching = tessellar_tools.match_collections(frame, "first", "second")
    for side, (one, other) in {"first": (first, second), "second": (second, first)}.items():
        columns = matching[side]
        found = list(zip(columns["match"].tolist(), columns["shared"].tolist(), columns["jaccard"].tolist(),
                         columns["kind"].tolist()))
        assert found == expected_matches(one, other)
        assert matching["counts"][side] == {kind: sum(row[3] == kind for row in found)
                                            for kind in tessellar_tools.KINDS}


def test_the_same_partition_in_another_order_matches_exactly():
    entities = [{"crm": [f"c{i}", f"c{i}x"], "erp": [f"e{i}"]} for i in range(3000)]
    order = list(range(len(entities)))
    random.Random(1).shuffle(order)
    frame = tessellar.EntityFrame()
    frame.add_method("original", entities)
    frame.add_method("shuffled", [entities[i] for i in order])
    assert numpy.mean([row["jaccard"] for row in frame.compare_collections("original", "shuffled")]) < 0.01
    matching = tessellar_tools.match_collections(frame, "shuffled", "original")
    assert matching["first"]["match"].tolist() == order
    assert matching["counts"]["first"]["exact"] == matching["counts"]["second"]["exact"] == len(entities)
    assert tessellar_tools.evaluate(frame, "shuffled", "original")["adjusted_rand_index"] == 1.0


@settings(max_examples=40, deadline=None)
@given(resolution, resolution, st.sampled_from(["sha256", "sha3-512", "BLAKE3"]))
def test_digest_diff_is_the_set_difference_both_ways(newer, older, algorithm):
    frame = tessellar.EntityFrame()
    frame.add_method("newer", newer)
    frame.add_method("older", older)
    new, old = frame.hash_collection("newer", algorithm), frame.hash_collection("older", algorithm)
    expected = {"added": [i for i, d in enumerate(new) if d not in old],
                "removed": [i for i, d in enumerate(old) if d not in new]}
    for against in ("older", old, tuple(old)):
        diff = tessellar_tools.diff_digests(frame, "newer", against, algorithm)
        assert {name: column.tolist() for name, column in diff.items()} == expected


@pytest.fixture
def frame():
    frame = tessellar.EntityFrame()
    frame.add_method("ok", [{"crm": ["c1"]}, {"crm": ["c2"]}])
    frame.add_method("twice", [{"crm": ["c1", "c2"]}, {"erp": ["e1"]}, {"crm": ["c2"], "erp": ["e2"]}])
    return frame


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda f: tessellar_tools.evaluate(f, "twice", "ok"), ValueError,
     "Collection 'twice' is not a partition: record 'c2' of dataset 'crm' is in entities 0 and 2"),
    (lambda f: tessellar_tools.evaluate(f, "ok", "nope"), KeyError, "Collection 'nope' not found"),
    (lambda f: tessellar_tools.match_collections(f.get_collection("ok"), "ok", "ok"), TypeError,
     "argument 'frame': 'CollectionCore' object cannot be converted to 'EntityFrame'"),
    (lambda f: tessellar_tools.diff_digests(f, "ok", [b"x" * 32, "y"]), TypeError, "digests[1] must be bytes"),
    (lambda f: tessellar_tools.diff_digests(f, "ok", [b"x" * 31]), ValueError, "digests[0] has 31 bytes"),
    (lambda f: tessellar_tools.diff_digests(f, "ok", "twice", "md5"), ValueError, "Unsupported hash algorithm"),
])
def test_refusals(frame, call, error, message):
    with pytest.raises(error, match=message.replace("[", r"\[").replace("(", r"\(")):
        call(frame)


def test_a_frame_being_changed_refuses(frame):
    def evaluate_meanwhile(index):
        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            tessellar_tools.evaluate(frame, "ok", "ok")
        with pytest.raises(RuntimeError, match="Already mutably borrowed"):
            tessellar_tools.diff_digests(frame, "ok", "ok")

    frame.add_method("new", HookedSequence([{"crm": ["c3"]}], evaluate_meanwhile))
    assert frame.get_collection_names() == ["ok", "twice", "new"]


def test_columns_are_numpy_views_that_outlive_the_frame(frame):
    matching = tessellar_tools.match_collections(frame, "ok", "twice")
    del frame
    match = matching["first"]["match"]
    assert match.dtype == numpy.int64 and match.base is not None and match.tolist() == [0, 0]
    match[0] = 7  # writable, and only this result changes
    assert match.tolist() == [7, 0]
