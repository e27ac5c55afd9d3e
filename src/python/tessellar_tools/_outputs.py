"""A frame's contents as columns: NumPy arrays, handed to pandas or Arrow by
`to_pandas` and `to_arrow` where those are installed."""

from __future__ import annotations

from typing import Any

import numpy

import tessellar

from tessellar_tools import _native

Columns = dict[str, numpy.ndarray]


def _array(column: object) -> numpy.ndarray:
    return numpy.frombuffer(column, dtype=memoryview(column).format)  # type: ignore[call-overload]


def _texts(values: list) -> numpy.ndarray:
    array = numpy.empty(len(values), dtype=object)
    array[:] = values
    return array


def _repeated(text: str, count: int) -> numpy.ndarray:
    # fill() takes a reference per row; numpy.full converts the text per row.
    array = numpy.empty(count, dtype=object)
    array.fill(text)
    return array


def _rows(frame: tessellar.EntityFrame, collection: str, order: str) -> Columns:
    raw = _native.rows(frame, collection, order)
    return {
        "entity": _array(raw["entity"]),
        "dataset": _texts(raw["dataset_names"])[_array(raw["dataset"])],
        "record": _texts(raw["record"]),
    }


def collection_columns(frame: tessellar.EntityFrame, collection: str) -> Columns:
    """One row per record of `collection`: "entity" (its position), "dataset"
    and "record" (the record ID), in entity order."""
    return _rows(frame, collection, "entity")


def membership(frame: tessellar.EntityFrame, collection: str) -> Columns:
    """The membership vector of `collection`: "dataset", "record" and the
    "entity" holding it, ordered by dataset name and record ID (by their
    UTF-8 bytes), so that the vectors of two collections over the same
    records line up row by row."""
    rows = _rows(frame, collection, "record")
    return {name: rows[name] for name in ("dataset", "record", "entity")}


def comparison_columns(frame: tessellar.EntityFrame, first: str, second: str) -> Columns:
    """`frame.compare_collections(first, second)` as columns: "entity_index",
    "process1", "process2" and "jaccard"."""
    raw = _native.comparison(frame, first, second)
    jaccard = _array(raw["jaccard"])
    count = len(jaccard)
    return {
        "entity_index": numpy.arange(count, dtype=numpy.int64),
        "process1": _repeated(raw["process1"], count),
        "process2": _repeated(raw["process2"], count),
        "jaccard": jaccard,
    }


def digest_columns(frame: tessellar.EntityFrame, collection: str, algorithm: str = "sha256") -> Columns:
    """`frame.hash_collection(collection, algorithm)` as columns: "entity" and
    "digest", one row of bytes (uint8) per entity."""
    raw = _native.digests(frame, collection, algorithm)
    digests = _array(raw["digests"]).reshape(-1, raw["size"])
    return {"entity": numpy.arange(len(digests), dtype=numpy.int64), "digest": digests}


def to_pandas(columns: Columns) -> Any:
    """The columns as a pandas DataFrame (pandas is the `pandas` extra); a
    column of digests becomes a column of `bytes`."""
    import pandas

    return pandas.DataFrame({name: list(map(bytes, values)) if values.ndim == 2 else values
                             for name, values in columns.items()}, copy=False)


def to_arrow(columns: Columns) -> Any:
    """The columns as a pyarrow Table (pyarrow is the `arrow` extra); a column
    of digests becomes fixed-size binary."""
    import pyarrow

    def array(values: numpy.ndarray) -> Any:
        if values.ndim == 2:
            data = pyarrow.py_buffer(numpy.ascontiguousarray(values))
            return pyarrow.FixedSizeBinaryArray.from_buffers(pyarrow.binary(values.shape[1]), len(values),
                                                             [None, data])
        if values.dtype == object:
            return pyarrow.array(values, type=pyarrow.string())
        return pyarrow.array(values)

    return pyarrow.table({name: array(values) for name, values in columns.items()})
