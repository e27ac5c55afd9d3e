"""Getting resolution output in and results out with tessellar_tools, each
beside its reference, in one run.

Usage: bench_io.py [N]   (default 1,000,000)

- from_pairs: 10 N matched pairs (chains through clusters of about 5
  records, plus extra pairs inside them) into a frame, against add_method
  given the resulting entities as dicts;
- comparison rows as columns, against compare_collections' dicts, on the
  two methods of N entities of bench/workload.py;
- save plus load of that two-method frame, against ingesting it; and the
  file's size against the memory the frame took.
"""

import gc
import os
import sys
import tempfile
import time

import numpy
from workload import make_methods, print_table

import tessellar
import tessellar_tools

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def pairs_workload(n_pairs, seed=3):
    """Left and right record IDs of n_pairs pairs, and the entities they form."""
    rng = numpy.random.default_rng(seed)
    n_records = n_pairs  # clusters of about 5 give 0.8 pairs per record in chains
    sizes = rng.integers(1, 10, size=n_records // 4 + 1)
    cluster = numpy.repeat(numpy.arange(len(sizes)), sizes)[:n_records]
    chain = numpy.flatnonzero(cluster[1:] == cluster[:-1])
    starts = numpy.searchsorted(cluster, cluster)  # first record of each record's cluster
    extra = rng.integers(0, n_records, size=n_pairs - len(chain))
    left = numpy.concatenate([chain, extra])
    right = numpy.concatenate([chain + 1, starts[extra]])
    ids = [f"r{i:010d}" for i in range(n_records)]
    # A lone record no extra pair picked is in no pair, so in no entity.
    named = numpy.zeros(n_records, dtype=bool)
    named[left] = named[right] = True
    bounds = numpy.flatnonzero(numpy.diff(cluster)) + 1
    entities = [{"d": ids[a:b]} for a, b in zip(numpy.r_[0, bounds], numpy.r_[bounds, n_records]) if named[a]]
    return [ids[i] for i in left], [ids[i] for i in right], entities


def bench_pairs(n_pairs):
    left, right, entities = pairs_workload(n_pairs)
    frame = tessellar.EntityFrame()
    ingest, _ = timed(frame.add_method, "dicts", entities)
    ours, _ = timed(lambda: tessellar_tools.from_pairs(frame, "pairs", (left, right), datasets="d"))
    # The pairs give the entities in another order: compared as sets.
    diff = tessellar_tools.diff_digests(frame, "pairs", "dicts")
    same = not len(diff["added"]) and not len(diff["removed"])
    print(f"from_pairs: {n_pairs:,} pairs over {sum(len(e['d']) for e in entities):,} records "
          f"into {len(entities):,} entities (same entities: {'yes' if same else 'NO'})")
    print_table([["", "seconds", "ratio"],
                 ["add_method, the entities as dicts", f"{ingest:.2f} s", "1.00"],
                 ["from_pairs, the pairs as lists of str", f"{ours:.2f} s", f"{ours / ingest:.2f}"]])


def bench_frame(n):
    first, second = make_methods(n)
    before = resident_bytes()
    frame = tessellar.EntityFrame()
    ingest_first, _ = timed(frame.add_method, "first", first)
    ingest_second, _ = timed(frame.add_method, "second", second)
    memory = resident_bytes() - before
    del first, second
    ingest = ingest_first + ingest_second

    dicts, _ = timed(frame.compare_collections, "first", "second")
    columns, _ = timed(tessellar_tools.comparison_columns, frame, "first", "second")
    print(f"comparison rows: {n:,} rows of two methods of {n:,} entities (bench/workload.py)")
    print_table([["", "seconds", "ratio"],
                 ["compare_collections, dicts", f"{dicts:.3f} s", "1.00"],
                 ["comparison_columns, NumPy", f"{columns:.3f} s", f"{columns / dicts:.3f}"]])
    print()

    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "frame.tsl")
        save, _ = timed(tessellar_tools.save, frame, path)
        size = os.path.getsize(path)
        load, loaded = timed(tessellar_tools.load, path)
    same = str(loaded) == str(frame) and loaded.hash_collection("second") == frame.hash_collection("second")
    print(f"files: the same frame, both methods (round trip identical: {'yes' if same else 'NO'})")
    print_table([["", "seconds", "ratio"],
                 ["add_method, both methods", f"{ingest:.2f} s", "1.00"],
                 ["save", f"{save:.2f} s", f"{save / ingest:.3f}"],
                 ["load", f"{load:.2f} s", f"{load / ingest:.3f}"],
                 ["save + load", f"{save + load:.2f} s", f"{(save + load) / ingest:.3f}"]])
    print()
    print_table([["", "MB", "ratio"],
                 ["frame in memory (resident growth while ingesting)", f"{memory / 1e6:.0f}", "1.00"],
                 ["file", f"{size / 1e6:.0f}", f"{size / memory:.2f}"]])


def main(n):
    # The frame's memory is measured first: after the pairs' frames are gone,
    # the allocator would hand their freed pages to it without growing.
    bench_frame(n)
    print()
    bench_pairs(10 * n)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
