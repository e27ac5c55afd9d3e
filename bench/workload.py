"""Synthetic entity-resolution output used by the benchmarks and the demos.

Two methods over the same records: half the entities hold one record, most
of the rest 2 to 6, one in twenty 7 to 100 (about 5 on average); records are
spread unevenly over three datasets; one entity in ten carries a one-key
metadata dict. The second method differs from the first in one entity in ten,
which gives up one record and takes one at random from the entities of its
block up to itself.

The workload can be made in slices: entities come in blocks of BLOCK, each
drawn from its own generator seeded from (seed, block), and record IDs follow
from the entity's position, so make_methods(n, start=a, stop=b) equals the
full workload's [a:b] while generating only the blocks that overlap it, and
those no further than b.
"""

import bisect
import random

DATASETS = ("crm", "erp", "web")  # drawn with weights 0.6, 0.3, 0.1
BLOCK = 1024
RECORD_ID = "rec%09d"  # of entity index * RECORD_SLOTS + the record's slot
# Room for every record of an entity; RECORD_ID stays 12 characters for the
# first 10**9 // RECORD_SLOTS (about 7.8 million) entities.
RECORD_SLOTS = 128


def _record_count(rng):
    roll = rng.random()
    if roll < 0.5:
        return 1
    if roll < 0.95:
        return rng.randint(2, 6)
    return rng.randint(7, 100)


def _block(seed, block, count):
    """Both methods' first `count` entities of a block. Each entity depends only
    on the entities before it in its block, so a block cut short, by a slice
    or by the end of a workload, holds the same entities as a whole one."""
    rng = random.Random("%d:%d" % (seed, block))
    first_index = block * BLOCK
    first, second = [], []
    ends = []  # running record count of the block, for a uniform pick among its records
    total = 0
    for index in range(first_index, first_index + count):
        entity = {}
        base = index * RECORD_SLOTS
        size = _record_count(rng)
        for record in range(base, base + size):
            roll = rng.random()
            dataset = "crm" if roll < 0.6 else "erp" if roll < 0.9 else "web"
            records = entity.get(dataset)
            if records is None:
                records = entity[dataset] = []
            records.append(RECORD_ID % record)
        if index % 10 == 0:
            entity["metadata"] = {"source": "batch-%d" % (index % 7)}
        first.append(entity)
        total += size
        ends.append(total)
        if index % 10 != 5:
            second.append(entity)
            continue
        # Give up one record and take another of the block's records so far.
        changed = {k: list(v) for k, v in entity.items() if k != "metadata"}
        given_up = changed[next(iter(changed))].pop()
        taken = given_up
        while taken == given_up:
            picked = rng.randrange(total)
            owner = bisect.bisect_right(ends, picked)
            slot = picked - (ends[owner - 1] if owner else 0)
            taken = RECORD_ID % ((first_index + owner) * RECORD_SLOTS + slot)
        changed.setdefault("web", []).append(taken)
        second.append(changed)
    return first, second


def make_methods(n_entities, seed=7, start=0, stop=None):
    """Returns (first, second): the two methods' entities at positions
    [start, stop) of a workload of n_entities (stop defaults to n_entities)."""
    stop = n_entities if stop is None else min(stop, n_entities)
    first, second = [], []
    if start >= stop:
        return first, second
    for block in range(start // BLOCK, (stop - 1) // BLOCK + 1):
        block_first, block_second = _block(seed, block, min(stop - block * BLOCK, BLOCK))
        low = max(start - block * BLOCK, 0)
        first.extend(block_first[low:])
        second.extend(block_second[low:])
    return first, second


def print_table(rows):
    """Prints rows of strings as aligned columns, the first row as a heading."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for index, row in enumerate(rows):
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))
        if index == 0:
            print("  ".join("-" * w for w in widths))
