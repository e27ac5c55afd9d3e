"""How ingestion scales with the number of entities, and what snapshots of a
frame cost.

Usage: bench_scale.py [N ...]   (entities per method; default 1,000,000 and
3,000,000; `make bench-10m` adds 10,000,000)

Each size runs in a fresh interpreter, so that its memory figures are the
frame's alone (the input, built first, stays held throughout):
- add_method / marshal.dumps: ingesting a method against the least that
  Python needs to walk the same input (the second method's strings are
  already interned);
- time per entity: both methods' add_method over both methods' entities;
- memory per record: growth of the resident set while both methods are
  ingested, per ingested record (interned strings included); peak resident
  memory of the whole process;
- frame.interner and get_collection: one snapshot each, best of three;
- str(frame): the summary table of both methods, best of three.
"""

import gc
import json
import marshal
import subprocess
import sys
import time

from workload import make_methods, print_table

import tessellar


def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def resident_bytes():
    gc.collect()
    return status("VmRSS")


def best_of_three(function):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def record_count(entity_data):
    return sum(len(v) for entity in entity_data for k, v in entity.items() if k != "metadata")


def measure(n):
    """Runs in its own interpreter."""
    methods = make_methods(n)
    frame = tessellar.EntityFrame()
    figures = {"add_method": [], "marshal": [], "records": 0, "grown": 0}
    for name, entity_data in zip(("first", "second"), methods):
        figures["records"] += record_count(entity_data)
        figures["marshal"].append(timed(lambda: marshal.dumps(entity_data)))
        before = resident_bytes()
        figures["add_method"].append(timed(lambda: frame.add_method(name, entity_data)))
        figures["grown"] += resident_bytes() - before
    figures["peak"] = status("VmHWM")
    figures["interner"] = best_of_three(lambda: frame.interner)
    figures["get_collection"] = best_of_three(lambda: frame.get_collection("first"))
    figures["render"] = best_of_three(lambda: str(frame))
    return figures


def in_subprocess(n):
    output = subprocess.run(
        [sys.executable, __file__, "--measure", str(n)], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(output)


def main(sizes):
    results = {n: in_subprocess(n) for n in sizes}
    base = results[sizes[0]]

    def per_entity(figures, n):
        return sum(figures["add_method"]) / (2 * n)

    def row(label, value):
        return [label] + [value(results[n], n) for n in sizes]

    print("ingestion at scale: two methods of N entities each (about 5 records per entity)")
    print_table(
        [
            [""] + [f"{n:,}" for n in sizes],
            row("add_method first / marshal", lambda f, n: f"{f['add_method'][0] / f['marshal'][0]:.2f}x"),
            row("add_method second / marshal", lambda f, n: f"{f['add_method'][1] / f['marshal'][1]:.2f}x"),
            row("add_method first", lambda f, n: f"{f['add_method'][0]:.2f} s"),
            row("add_method second", lambda f, n: f"{f['add_method'][1]:.2f} s"),
            row("time per entity", lambda f, n: f"{per_entity(f, n) * 1e6:.2f} µs"),
            row("  relative to the first size", lambda f, n: f"{per_entity(f, n) / per_entity(base, sizes[0]):.2f}"),
            row("memory per ingested record", lambda f, n: f"{f['grown'] / f['records']:.1f} B"),
            row("peak resident memory", lambda f, n: f"{f['peak'] / 2**30:.2f} GiB"),
            row("frame.interner", lambda f, n: f"{f['interner'] * 1e3:.3f} ms"),
            row("get_collection", lambda f, n: f"{f['get_collection'] * 1e3:.3f} ms"),
            row("str(frame)", lambda f, n: f"{f['render']:.3f} s"),
        ]
    )


if __name__ == "__main__":
    if sys.argv[1:2] == ["--measure"]:
        print(json.dumps(measure(int(sys.argv[2]))))
    else:
        sizes = [int(a) for a in sys.argv[1:]] or [1_000_000, 3_000_000]
        main(sizes)
