"""Evaluation of the resolutions a `tessellar.EntityFrame` holds, regardless
of the order of their entities; resolution output in (matched pairs,
membership vectors) and results out (columns); files; and pickling.

Every function reads the frame's collections in place, under the same
borrow as the frame's own methods, and does its work in native code;
results come back as NumPy columns or plain numbers. Importing this package
makes frames, collections, entities and interners picklable (and copyable
with the copy module), in the format of `save`.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Union

import numpy

import tessellar

from tessellar_tools import _native
from tessellar_tools._files import load, save
from tessellar_tools._inputs import from_membership, from_pairs
from tessellar_tools._outputs import (collection_columns, comparison_columns, digest_columns, membership, to_arrow,
                                      to_pandas)

__all__ = ["KINDS", "match_collections", "evaluate", "diff_digests", "from_pairs", "from_membership",
           "collection_columns", "membership", "comparison_columns", "digest_columns", "to_pandas", "to_arrow",
           "save", "load"]

# How the other collection treats an entity, in the order of the codes.
KINDS = ("exact", "split", "merged", "partial", "unmatched")
_KIND_NAMES = numpy.array(KINDS)

Columns = dict[str, numpy.ndarray]


def _array(column: object) -> numpy.ndarray:
    return numpy.frombuffer(column, dtype=memoryview(column).format)  # type: ignore[call-overload]


def _match_columns(raw: dict[str, object]) -> Columns:
    columns = {name: _array(column) for name, column in raw.items()}
    columns["kind"] = _KIND_NAMES[columns["kind"]]
    return columns


def match_collections(frame: tessellar.EntityFrame, first: str, second: str) -> dict[str, dict]:
    """Pairs every entity of `first` with the entity of `second` that shares
    the most (dataset, record) items with it, and every entity of `second`
    with one of `first`, whatever their positions.

    Returns {"first": columns, "second": columns, "counts": {"first": {...},
    "second": {...}}}. The columns, one value per entity in order, are
    "match" (the best match's index, -1 when nothing is shared; the lowest
    index among equals), "shared" (items shared with it), "jaccard" (shared
    items over the items of both) and "kind" (one of KINDS); "counts" holds
    the number of entities of each kind.
    """
    raw = _native.match(frame, first, second)
    sides = {side: _match_columns(raw[side]) for side in ("first", "second")}
    counts = {side: {kind: int((columns["kind"] == kind).sum()) for kind in KINDS} for side, columns in sides.items()}
    return {**sides, "counts": counts}


def evaluate(frame: tessellar.EntityFrame, prediction: str, reference: str) -> dict[str, Union[float, int]]:
    """Scores the partition `prediction` against the partition `reference`
    over the (dataset, record) items both hold.

    Returns pairwise, B-cubed and cluster precision, recall and F1,
    homogeneity, completeness, V-measure and the adjusted Rand index, with
    "items" (the items scored), "only_in_prediction" and "only_in_reference"
    (items left out because the other collection lacks them). A collection
    holding one item in two entities is no partition: ValueError.
    """
    return _native.score(frame, prediction, reference)


def diff_digests(
    frame: tessellar.EntityFrame,
    collection: str,
    against: Union[str, Sequence[bytes]],
    algorithm: str = "sha256",
) -> Columns:
    """What changed: the entities of `collection` whose digest `against`
    lacks, and the entries of `against` whose digest `collection` lacks.

    `against` is another collection's name or the list of digests that
    `frame.hash_collection` returned in an earlier run, with the same
    algorithm. Returns {"added": positions in `collection`, "removed":
    positions in `against`}, ascending; positions, not digests, so that
    entities that are equal count as present wherever they are.
    """
    if isinstance(against, str):
        raw = _native.diff_collections(frame, collection, against, algorithm)
    else:
        raw = _native.diff_digests(frame, collection, against, algorithm)
    return {name: _array(column) for name, column in raw.items()}
