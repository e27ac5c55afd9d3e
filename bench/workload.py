"""Synthetic entity-resolution output used by the benchmarks and the demo.

Two methods over the same records: half the entities hold one record, most
of the rest 2 to 6, one in twenty 7 to 100 (about 5 on average); records are
spread unevenly over three datasets; one entity in ten carries a one-key
metadata dict. The second method differs from the first in one entity in ten.
"""

import random

DATASETS = ("crm", "erp", "web")  # drawn with weights 0.6, 0.3, 0.1


def _record_count(rng):
    roll = rng.random()
    if roll < 0.5:
        return 1
    if roll < 0.95:
        return rng.randint(2, 6)
    return rng.randint(7, 100)


def make_methods(n_entities, seed=7):
    """Returns (first, second): two lists of entity dicts over the same records."""
    rng = random.Random(seed)
    first = []
    serial = 0
    for index in range(n_entities):
        entity = {}
        for _ in range(_record_count(rng)):
            roll = rng.random()
            dataset = "crm" if roll < 0.6 else "erp" if roll < 0.9 else "web"
            records = entity.get(dataset)
            if records is None:
                records = entity[dataset] = []
            records.append("rec%09d" % serial)  # 12 characters
            serial += 1
        if index % 10 == 0:
            entity["metadata"] = {"source": "batch-%d" % (index % 7)}
        first.append(entity)

    second = []
    for index, entity in enumerate(first):
        if index % 10 != 5:
            second.append(entity)
            continue
        # Move one record to the neighbouring entity's dataset lists.
        changed = {k: list(v) for k, v in entity.items() if k != "metadata"}
        dataset = next(iter(changed))
        if changed[dataset]:
            changed[dataset].pop()
        changed.setdefault("web", []).append("rec%09d" % rng.randrange(serial))
        second.append(changed)
    return first, second


def print_table(rows):
    """Prints rows of strings as aligned columns, the first row as a heading."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for index, row in enumerate(rows):
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if index == 0:
            print("  ".join("-" * w for w in widths))
