"""Loads two resolution methods over the same records, compares them, stores
and verifies digests, and prints what the frame holds."""

import pathlib
import sys
import time

import tessellar

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import workload  # noqa: E402


def timed(label, action):
    start = time.perf_counter()
    result = action()
    print(f"{label:<38} {time.perf_counter() - start:8.3f} s")
    return result


def main(n_entities=200_000):
    first, second = timed(f"generate {n_entities:,} entities x 2", lambda: workload.make_methods(n_entities))
    frame = tessellar.EntityFrame.with_datasets(list(workload.DATASETS))
    timed("add_method method_a", lambda: frame.add_method("method_a", first))
    timed("add_method method_b", lambda: frame.add_method("method_b", second))
    print(f"collections {frame.get_collection_names()}, entities {frame.total_entities():,}, "
          f"interned strings {frame.interner_size():,}")

    rows = timed("compare_collections", lambda: frame.compare_collections("method_a", "method_b"))
    differing = [row for row in rows if row["jaccard"] < 1.0]
    mean = sum(row["jaccard"] for row in rows) / len(rows)
    print(f"  {len(differing):,} entities differ; mean Jaccard {mean:.4f}")

    if hasattr(frame, "add_collection_hash"):
        timed("add_collection_hash method_a sha256", lambda: frame.add_collection_hash("method_a", "sha256"))
        ok = timed("verify_collection_hashes", lambda: frame.verify_collection_hashes("method_a", "sha256"))
        print(f"  verified: {ok}; entity 0 digest {frame.get_entity_metadata('method_a', 0, 'hash').hex()}")

    print(frame)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200_000)
