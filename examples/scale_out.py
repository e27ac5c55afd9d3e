"""Fingerprints, compares and matches two resolution methods partitioned
across worker processes of a local Dask cluster, then checks the result
against the same job run in one process.

Usage: scale_out.py [N] [--partitions P] [--workers W]

Each worker builds its own frame for a range of entity positions and sends
back tessellar_tools' columns (NumPy arrays, which pickle as whole buffers):
both methods' digests, the positional Jaccard scores, and the order-free
matching of the two methods with its counts. The driver joins them in
position order. Digests depend only on strings and a score only on the pair
of entities at one position, so partitioned and single-process results must
be identical, not merely close. The matching is identical too because
partitions are cut at workload block boundaries: an entity of the second
method takes its extra record from its own block, so entities that share
records always land in the same partition.
"""

import argparse
import pathlib
import sys
import time

import numpy

BENCH = str(pathlib.Path(__file__).resolve().parent.parent / "bench")
ALGORITHM = "sha256"
SIDES = ("first", "second")
LIMITS = (
    "a frame lives in one process's memory: each partition builds its own",
    "comparison is positional: both methods must be partitioned on the same positions",
    "matching is per partition: entities that share records must share a partition",
    "interner IDs are local to a worker: send strings, digests or positions, never IDs",
)


def _workload():
    # The workload lives beside the benchmarks; this runs in the driver and in
    # workers alike, so each puts it on its own path.
    if BENCH not in sys.path:
        sys.path.insert(0, BENCH)
    import workload

    return workload


def partition_job(n_entities, start, stop):
    """Generates positions [start, stop) of the workload, loads both methods
    into a fresh frame, and returns its columns with positions counted from
    `start`, as join() expects."""
    import tessellar
    import tessellar_tools

    workload = _workload()
    first, second = workload.make_methods(n_entities, start=start, stop=stop)
    frame = tessellar.EntityFrame.with_datasets(list(workload.DATASETS))
    frame.add_method("first", first)
    frame.add_method("second", second)
    matching = tessellar_tools.match_collections(frame, "first", "second")
    columns = {"jaccard": tessellar_tools.comparison_columns(frame, "first", "second")["jaccard"]}
    for side in SIDES:
        columns[f"{side}_digest"] = tessellar_tools.digest_columns(frame, side, ALGORITHM)["digest"]
        match = matching[side]["match"]
        columns[f"{side}_match"] = numpy.where(match < 0, match, match + start)
        columns[f"{side}_kind"] = matching[side]["kind"]
    return {"columns": columns, "counts": matching["counts"]}


def position_ranges(n_entities, partitions, align):
    """Splits [0, n_entities) into `partitions` contiguous ranges of nearly
    equal size whose bounds are multiples of `align` (some may be empty)."""
    bounds = [min(round(n_entities * k / partitions / align) * align, n_entities) for k in range(partitions + 1)]
    bounds[-1] = n_entities
    return list(zip(bounds, bounds[1:]))


def join(parts):
    """The partitions' results, in position order, as one: columns
    concatenated, counts of each kind summed."""
    columns = {key: numpy.concatenate([part["columns"][key] for part in parts]) for key in parts[0]["columns"]}
    counts = {side: {kind: sum(part["counts"][side][kind] for part in parts) for kind in parts[0]["counts"][side]}
              for side in SIDES}
    return {"columns": columns, "counts": counts}


def run_partitioned(client, n_entities, partitions):
    """Runs partition_job on the cluster, one task per range, and joins the results."""
    ranges = position_ranges(n_entities, partitions, _workload().BLOCK)
    futures = [client.submit(partition_job, n_entities, start, stop, pure=False) for start, stop in ranges]
    return join(client.gather(futures))


def differences(partitioned, single):
    """One line for each result that differs, with its first differing position."""
    found = []
    for key, expected in single["columns"].items():
        got = partitioned["columns"][key]
        if got.shape != expected.shape:
            found.append(f"{key}: shape {got.shape} vs {expected.shape}")
            continue
        differing = numpy.flatnonzero((got != expected).reshape(len(got), -1).any(axis=1))
        if len(differing):
            found.append(f"{key}: {len(differing):,} of {len(got):,} differ, the first at position {differing[0]:,}")
    if partitioned["counts"] != single["counts"]:
        found.append(f"counts: {partitioned['counts']} vs {single['counts']}")
    return found


def main(n_entities=1_000_000, partitions=8, workers=2):
    from distributed import Client, LocalCluster

    print(f"{n_entities:,} entities x 2 methods, {partitions} partitions, {workers} worker processes")
    start = time.perf_counter()
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        startup = time.perf_counter() - start
        start = time.perf_counter()
        partitioned = run_partitioned(client, n_entities, partitions)
        distributed_time = time.perf_counter() - start

    start = time.perf_counter()
    single = partition_job(n_entities, 0, n_entities)
    single_time = time.perf_counter() - start

    columns = single["columns"]
    print(f"cluster startup            {startup:8.2f} s")
    print(f"partitioned job            {distributed_time:8.2f} s   (generate, load, {ALGORITHM} x 2, compare, match)")
    print(f"single-process job         {single_time:8.2f} s")
    print(f"entities with Jaccard < 1  {int((columns['jaccard'] < 1.0).sum()):,}")
    for side in SIDES:
        print(f"{side + ' by kind':<26} " + ", ".join(f"{kind} {count:,}" for kind, count in single["counts"][side].items()))
    problems = differences(partitioned, single)
    if problems:
        print("MISMATCH between partitioned and single-process results:")
        for problem in problems:
            print("  " + problem)
        return 1
    print(f"identical: {len(columns['first_digest']):,} + {len(columns['second_digest']):,} digests, "
          f"{len(columns['jaccard']):,} scores, both matchings and their counts")
    print("limits of this pattern:")
    for limit in LIMITS:
        print("  - " + limit)
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n_entities", nargs="?", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    arguments = parser.parse_args()
    sys.exit(main(arguments.n_entities, arguments.partitions, arguments.workers))
