"""Fingerprints and compares two resolution methods partitioned across worker
processes of a local Dask cluster, then checks the result against the same
job run in one process.

Usage: scale_out.py [N] [--partitions P] [--workers W]

Each worker builds its own frame for a range of entity positions and sends
back only plain data: digests (bytes) and Jaccard scores (floats). Digests do
not depend on the order strings were interned in, so partitioned and
single-process results must be identical, not merely close.
"""

import argparse
import pathlib
import pickle
import sys
import time

BENCH = str(pathlib.Path(__file__).resolve().parent.parent / "bench")
ALGORITHM = "sha256"
LIMITS = (
    "a frame lives in one process's memory: each partition builds its own",
    "tessellar objects do not cross process boundaries; digests and scores do",
    "comparison is positional: both methods must be partitioned on the same positions",
)


def partition_job(n_entities, start, stop):
    """Generates positions [start, stop) of the workload, loads both methods
    into a fresh frame, and returns their digests and Jaccard scores in
    position order."""
    # The workload lives beside the benchmarks; this runs in the driver and in
    # workers alike, so each puts it on its own path.
    if BENCH not in sys.path:
        sys.path.insert(0, BENCH)
    import tessellar
    import workload

    first, second = workload.make_methods(n_entities, start=start, stop=stop)
    frame = tessellar.EntityFrame.with_datasets(list(workload.DATASETS))
    frame.add_method("first", first)
    frame.add_method("second", second)
    return {
        "first": frame.hash_collection("first", ALGORITHM),
        "second": frame.hash_collection("second", ALGORITHM),
        "jaccard": [row["jaccard"] for row in frame.compare_collections("first", "second")],
    }


def position_ranges(n_entities, partitions):
    """Splits [0, n_entities) into `partitions` contiguous ranges of nearly equal size."""
    bounds = [n_entities * k // partitions for k in range(partitions + 1)]
    return list(zip(bounds, bounds[1:]))


def pickled_partition_job(n_entities, start, stop):
    """partition_job's result as one pickle. distributed serializes a list of
    bytes one frame per element, which for a million digests takes far longer
    than the job itself; a single bytes object travels as one frame."""
    return pickle.dumps(partition_job(n_entities, start, stop), protocol=pickle.HIGHEST_PROTOCOL)


def run_partitioned(client, n_entities, partitions):
    """Runs partition_job on the cluster, one task per range, and joins the
    results in position order."""
    futures = [client.submit(pickled_partition_job, n_entities, start, stop, pure=False)
               for start, stop in position_ranges(n_entities, partitions)]
    joined = {"first": [], "second": [], "jaccard": []}
    for packed in client.gather(futures):
        for key, values in pickle.loads(packed).items():
            joined[key].extend(values)
    return joined


def differences(partitioned, single):
    """One line for each result that differs, with its first differing position."""
    found = []
    for key, expected in single.items():
        got = partitioned[key]
        if got != expected:
            mismatch = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                            min(len(got), len(expected)))
            found.append(f"{key}: {len(got):,} vs {len(expected):,} values, first difference at position {mismatch:,}")
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

    differing = sum(score < 1.0 for score in single["jaccard"])
    print(f"cluster startup            {startup:8.2f} s")
    print(f"partitioned job            {distributed_time:8.2f} s   (generate, load, {ALGORITHM} x 2, compare)")
    print(f"single-process job         {single_time:8.2f} s")
    print(f"entities with Jaccard < 1  {differing:,}")
    problems = differences(partitioned, single)
    if problems:
        print("MISMATCH between partitioned and single-process results:")
        for problem in problems:
            print("  " + problem)
        return 1
    print(f"identical: {len(single['first']):,} + {len(single['second']):,} digests and "
          f"{len(single['jaccard']):,} scores")
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
