"""The demo's clustering helpers: matches to entities, and entities lined up
with a reference. Pure Python, so they run without the demo's extras."""

import importlib.util
import pathlib

import pytest

HELPER = pathlib.Path(__file__).resolve().parents[1] / "examples" / "clustering.py"
location = importlib.util.spec_from_file_location("clustering", HELPER)
clustering = importlib.util.module_from_spec(location)
location.loader.exec_module(clustering)

A1, A2, A3, B1, B2 = ("a", "1"), ("a", "2"), ("a", "3"), ("b", "1"), ("b", "2")


@pytest.mark.parametrize(("matches", "groups"), [
    ([], [{A1}, {A2}, {A3}, {B1}, {B2}]),
    ([(A1, B1), (B2, A2)], [{A1, B1}, {A2, B2}, {A3}]),
    ([(A1, B1), (A2, B2), (B1, B2), (A2, A1)], [{A1, A2, B1, B2}, {A3}]),  # chains and a cycle
])
def test_connected_components(matches, groups):
    cluster_of = clustering.connected_components([A1, A2, A3, B1, B2], matches)
    found = {}
    for record, cluster in cluster_of.items():
        found.setdefault(cluster, set()).add(record)
    assert sorted(map(sorted, found.values())) == sorted(map(sorted, groups))
    assert sorted(set(cluster_of.values())) == list(range(len(groups)))


@pytest.mark.parametrize(("values", "key"), [
    ((" Ann ", "SMITH"), "ann|smith"),
    (("ann", None), None),
    (("ann", float("nan")), None),
    (("ann", "  "), None),
])
def test_normalised_key_never_keys_missing_values(values, key):
    assert clustering.normalised_key(values) == key


def test_matches_sharing_key_skip_missing_keys():
    keyed = [(A1, "k"), (A2, None), (B1, "k"), (B2, None), (A3, "k")]
    assert clustering.matches_sharing_key(keyed) == [(A1, B1), (A1, A3)]


def test_alignment_follows_anchors_and_repeats_merged_clusters():
    cluster_of = clustering.connected_components([A1, A2, A3, B1, B2], [(A1, B1), (A2, B1)])
    aligned = clustering.aligned_entities(cluster_of, [A3, A1, A2])
    merged = {"a": ["1", "2"], "b": ["1"]}
    assert aligned == [{"a": ["3"]}, merged, merged]
    assert clustering.cross_dataset_pairs(cluster_of, "a", "b") == {("1", "1"), ("2", "1")}
