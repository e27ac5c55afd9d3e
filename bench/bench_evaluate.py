"""How fast tessellar_tools scores, matches and diffs resolutions, next to
er-evaluation on the same membership vectors and to compare_collections on
the same frame.

Usage: bench_evaluate.py [N]   (N records and N entities, default 1,000,000)

Scores: a reference partition of N records into clusters of 1 to 9 (about
5) records, and a prediction that moves one record in ten to a random other
cluster. er-evaluation takes them as pandas Series, tessellar_tools as two
collections of a frame; each er-evaluation function is timed once, and the
one tessellar_tools call that computes them all by its best of three calls
after a first one, which also starts the worker pool.

Matching: the two methods of the benchmark workload (N entities each), and
the second one again with its entities in random order.
"""

import random
import sys
import time

import numpy
import pandas
from workload import make_methods, print_table

import tessellar
import tessellar_tools

try:
    import er_evaluation
except ImportError:  # the peer column stays empty
    er_evaluation = None

PEER_METRICS = {
    "pairwise_precision": "pairwise_precision",
    "pairwise_recall": "pairwise_recall",
    "pairwise_f1": "pairwise_f",
    "bcubed_precision": "b_cubed_precision",
    "bcubed_recall": "b_cubed_recall",
    "bcubed_f1": "b_cubed_f",
    "cluster_precision": "cluster_precision",
    "cluster_recall": "cluster_recall",
    "cluster_f1": "cluster_f",
    "homogeneity": "cluster_homogeneity",
    "completeness": "cluster_completeness",
    "v_measure": "cluster_v_measure",
    "adjusted_rand_index": "adjusted_rand_score",
}


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def membership_vectors(n, seed=11):
    rng = numpy.random.default_rng(seed)
    reference = numpy.repeat(numpy.arange(n), rng.integers(1, 10, size=n))[:n]
    prediction = reference.copy()
    moved = rng.choice(n, size=n // 10, replace=False)
    prediction[moved] = rng.choice(reference, size=moved.size)
    return prediction, reference


def entities_of(membership, records):
    order = numpy.argsort(membership, kind="stable")
    bounds = numpy.flatnonzero(numpy.diff(membership[order])) + 1
    return [{"r": list(group)} for group in numpy.split(records[order], bounds)]


def bench_scores(n):
    prediction, reference = membership_vectors(n)
    records = numpy.array([f"rec{i:09d}" for i in range(n)], dtype=object)
    frame = tessellar.EntityFrame.with_datasets(["r"])
    frame.add_method("prediction", entities_of(prediction, records))
    frame.add_method("reference", entities_of(reference, records))
    # The first call also starts the worker pool, once per process; the
    # ratios use the best of three calls after it.
    first, scores = timed(tessellar_tools.evaluate, frame, "prediction", "reference")
    ours = min(timed(tessellar_tools.evaluate, frame, "prediction", "reference")[0] for _ in range(3))

    rows = [["metric", "er-evaluation", "tessellar_tools", "ratio", "same value"]]
    peer_total = 0.0
    index = pandas.Index(records)
    peer_prediction, peer_reference = pandas.Series(prediction, index=index), pandas.Series(reference, index=index)
    for name, peer_name in PEER_METRICS.items():
        if er_evaluation is None:
            rows.append([name, "", f"{ours:.3f} s", "", ""])
            continue
        seconds, value = timed(getattr(er_evaluation, peer_name), peer_prediction, peer_reference)
        peer_total += seconds
        rows.append([name, f"{seconds:.2f} s", f"{ours:.3f} s", f"{ours / seconds:.1%}",
                     "yes" if abs(value - scores[name]) <= 1e-9 else f"{value:.6f} / {scores[name]:.6f}"])
    if er_evaluation is not None:
        rows.append(["all 13 together", f"{peer_total:.2f} s", f"{ours:.3f} s", f"{ours / peer_total:.2%}", ""])
    print(f"scores: {n:,} records, {len(set(reference.tolist())):,} reference clusters, one record in ten moved; "
          f"one tessellar_tools call computes every metric: {ours:.3f} s, {first:.3f} s for the first call,"
          " which starts the worker pool")
    print_table(rows)
    print("B-cubed differs by definition (record-weighted here, reference-cluster-weighted in er-evaluation):"
          " see the README")


def bench_matching(n):
    first, second = make_methods(n)
    shuffled = second[:]
    random.Random(5).shuffle(shuffled)
    frame = tessellar.EntityFrame()
    for name, entities in (("first", first), ("second", second), ("shuffled", shuffled)):
        frame.add_method(name, entities)
    del first, second, shuffled
    compare, _ = timed(frame.compare_collections, "first", "second")
    rows = [["", "seconds", "time / compare_collections"], ["compare_collections", f"{compare:.3f} s", "1.00"]]
    for other in ("second", "shuffled"):
        seconds, matching = timed(tessellar_tools.match_collections, frame, "first", other)
        exact = matching["counts"]["first"]["exact"]
        rows.append([f"match_collections, {other} ({exact:,} exact)", f"{seconds:.3f} s", f"{seconds / compare:.2f}"])
    seconds, diff = timed(tessellar_tools.diff_digests, frame, "first", "shuffled")
    rows.append([f"diff_digests, shuffled ({len(diff['added']):,} added)", f"{seconds:.3f} s", f"{seconds / compare:.2f}"])
    print(f"matching: two methods of {n:,} entities each (bench/workload.py)")
    print_table(rows)


def main(n):
    bench_scores(n)
    print()
    bench_matching(n)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
