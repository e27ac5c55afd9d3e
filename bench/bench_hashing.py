"""How fast a frame hashes and compares collections, next to the least that
plain Python needs for the same results.

Usage: bench_hashing.py [N]   (N entities per method, default 1,000,000)

Floors:
- hash_collection: hashlib.sha256 over each entity's canonical byte stream,
  with the streams already built in Python (so the floor does no sorting and
  no string lookups at all);
- compare_collections: a comprehension building the same result dicts with
  a constant score;
- hash_entity: the same hashlib floor over the streams of the entities hashed,
  in a frame whose interner holds at least 5,000,000 strings.
Each time is the best of three runs.
"""

import hashlib
import sys
import time

from workload import make_methods, print_table

import tessellar

INTERNED_STRINGS = 5_000_000
SINGLE_ENTITIES = 10_000
PAD_BATCH = 1_000


def canonical_stream(entity):
    parts = []
    for name in sorted((k for k in entity if k != "metadata"), key=str.encode):
        parts.append(name.encode())
        parts.extend(sorted(record.encode() for record in entity[name]))
    return b"".join(parts)


def best_of_three(function):
    times = []
    for _ in range(3):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def pad_interner(frame, target):
    """Adds single-dataset entities of fresh strings until the interner holds
    `target` strings."""
    missing = target - frame.interner_size()
    serial = 0
    entities = []
    while serial < missing:
        count = min(PAD_BATCH, missing - serial)
        entities.append({"pad": ["pad%09d" % (serial + k) for k in range(count)]})
        serial += count
    if entities:
        frame.add_method("padding", entities)


def main(n):
    first, second = make_methods(n)
    frame = tessellar.EntityFrame()
    frame.add_method("first", first)
    frame.add_method("second", second)
    streams = [canonical_stream(entity) for entity in first]

    floor, expected = best_of_three(lambda: [hashlib.sha256(s).digest() for s in streams])
    sha256, digests = best_of_three(lambda: frame.hash_collection("first", "sha256"))
    assert digests == expected
    blake3, _ = best_of_three(lambda: frame.hash_collection("first", "blake3"))

    compare, result = best_of_three(lambda: frame.compare_collections("first", "second"))
    plain_compare, plain = best_of_three(
        lambda: [{"entity_index": i, "process1": "first", "process2": "second", "jaccard": 1.0} for i in range(n)]
    )
    assert len(result) == len(plain)

    pad_interner(frame, INTERNED_STRINGS)
    step = max(1, n // SINGLE_ENTITIES)
    indexes = [(k * step) % n for k in range(SINGLE_ENTITIES)]
    picked = [streams[i] for i in indexes]
    single_floor, _ = best_of_three(lambda: [hashlib.sha256(s).digest() for s in picked])
    single, singles = best_of_three(lambda: [frame.hash_entity("first", i) for i in indexes])
    assert singles == [expected[i] for i in indexes]

    print(f"hashing: {n:,} entities per method; hash_entity in a frame of {frame.interner_size():,} strings")
    print_table(
        [
            ["", "time", "floor", "time / floor"],
            ["hash_collection sha256", f"{sha256:.3f} s", f"{floor:.3f} s", f"{sha256 / floor:.2f}"],
            ["hash_collection blake3", f"{blake3:.3f} s", f"{floor:.3f} s", f"{blake3 / floor:.2f}"],
            ["compare_collections", f"{compare:.3f} s", f"{plain_compare:.3f} s", f"{compare / plain_compare:.2f}"],
            [
                f"hash_entity x{SINGLE_ENTITIES:,}",
                f"{single:.3f} s",
                f"{single_floor:.3f} s",
                f"{single / single_floor:.2f}",
            ],
        ]
    )


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
