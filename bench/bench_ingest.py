"""How fast add_method ingests a method's output, and how much memory the
frame keeps per record, next to the same work done in plain Python.

Usage: bench_ingest.py [N]   (N entities per method, default 1,000,000)

Memory is measured as resident set size in a fresh interpreter per
representation, with the input already built and still held, so that only
the representation's own growth is counted. The frame copies every string
into its interner; the plain-Python representation shares its strings with
the input, so their size is added to its growth.
"""

import gc
import json
import marshal
import os
import subprocess
import sys
import time

from workload import make_methods, print_table

import tessellar

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def record_count(entity_data):
    return sum(len(v) for entity in entity_data for k, v in entity.items() if k != "metadata")


def ingest_plain(entity_data, strings):
    """One method's output as a user would keep it in Python: per entity a
    dict of dataset name -> set of record strings (plus its metadata), every
    string shared through `strings`."""
    entities = []
    for entity in entity_data:
        kept = {}
        for key, value in entity.items():
            key = strings.setdefault(key, key)
            if key == "metadata":
                kept[key] = {strings.setdefault(k, k): v for k, v in value.items()}
            else:
                kept[key] = {strings.setdefault(r, r) for r in value}
        entities.append(kept)
    return entities


def object_bytes(text):
    """What the small-object allocator spends on a str: its size rounded up
    to the 16-byte alignment."""
    return (sys.getsizeof(text) + 15) // 16 * 16


def measure_memory(representation, n):
    """Runs in its own interpreter: growth of the resident set while building
    one representation of both methods."""
    methods = make_methods(n)
    records = sum(record_count(m) for m in methods)
    before = resident_bytes()
    if representation == "frame":
        frame = tessellar.EntityFrame()
        for name, entity_data in zip(("first", "second"), methods):
            frame.add_method(name, entity_data)
        grown = resident_bytes() - before
    else:
        strings = {}
        kept = {name: ingest_plain(m, strings) for name, m in zip(("first", "second"), methods)}
        grown = resident_bytes() - before + sum(object_bytes(s) for s in strings)
        del kept
    return {"bytes_per_record": grown / records}


def timed(function, *args):
    start = time.perf_counter()
    function(*args)
    return time.perf_counter() - start


def memory_in_subprocess(representation, n):
    output = subprocess.run(
        [sys.executable, __file__, "--memory", representation, str(n)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(output)["bytes_per_record"]


def main(n):
    methods = make_methods(n)
    names = ("first", "second")
    records = [record_count(m) for m in methods]

    frame = tessellar.EntityFrame()
    ingest = [timed(frame.add_method, name, m) for name, m in zip(names, methods)]
    del frame
    dumps = [timed(marshal.dumps, m) for m in methods]
    strings = {}
    plain = [timed(ingest_plain, m, strings) for m in methods]
    del strings
    gc.collect()

    frame_memory = memory_in_subprocess("frame", n)
    plain_memory = memory_in_subprocess("plain", n)

    def seconds(values):
        return [f"{v:.3f} s" for v in values] + [f"{sum(values):.3f} s"]

    print(f"add_method: {n:,} entities per method, {sum(records):,} records in all")
    print_table(
        [
            ["", "first", "second", "both", "time / add_method"],
            ["add_method", *seconds(ingest), "1.00"],
            ["marshal.dumps", *seconds(dumps), f"{sum(dumps) / sum(ingest):.2f}"],
            ["plain Python", *seconds(plain), f"{sum(plain) / sum(ingest):.2f}"],
        ]
    )
    print()
    print_table(
        [
            ["resident memory", "bytes per record"],
            ["frame", f"{frame_memory:.1f}"],
            ["plain Python", f"{plain_memory:.1f}"],
            ["plain / frame", f"{plain_memory / frame_memory:.2f}x"],
        ]
    )


if __name__ == "__main__":
    if sys.argv[1:2] == ["--memory"]:
        print(json.dumps(measure_memory(sys.argv[2], int(sys.argv[3]))))
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
