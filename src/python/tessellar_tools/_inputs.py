"""Resolution output into a frame: matched pairs and membership vectors.

Columns may be Python lists, NumPy arrays, pandas Series or Index objects,
or Arrow arrays, and are read in native code: no Python object is made per
record. Record IDs and labels are str or int; an int stands for its decimal
text, so 17 and "17" name the same record (or label).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, Optional, Union

import numpy

import tessellar

from tessellar_tools import _native

Column = Any  # a list, NumPy array, pandas Series or Index, or Arrow array
Datasets = Union[str, Column]


def _module_of(values: object) -> str:
    return type(values).__module__.split(".")[0]


def _arrow(values: Any, what: str) -> object:
    import pyarrow  # the object came from it, so it is installed

    if isinstance(values, pyarrow.ChunkedArray):
        values = values.combine_chunks()
    if pyarrow.types.is_dictionary(values.type):
        values = values.dictionary_decode()
    if values.null_count:
        first = int(numpy.flatnonzero(values.is_null().to_numpy(zero_copy_only=False))[0])
        raise ValueError(f"{what}[{first}] is missing (null)")
    if pyarrow.types.is_integer(values.type):
        return _native_column(values.to_numpy(), what)
    if not (pyarrow.types.is_string(values.type) or pyarrow.types.is_large_string(values.type)):
        raise TypeError(f"{what} must hold str or int values, not Arrow {values.type}")
    values = values.cast(pyarrow.large_string())
    _, offsets, data = values.buffers()
    bounds = numpy.frombuffer(offsets, dtype=numpy.int64)[values.offset:values.offset + len(values) + 1]
    return (bounds, data if data is not None else b"")


def _native_column(values: Any, what: str) -> object:
    """`values` in a form the native reader takes: a list, an int64/uint64 or
    UCS-4 buffer, or Arrow's (offsets, data)."""
    module = _module_of(values)
    if module == "pandas":
        import pandas

        if isinstance(values, pandas.MultiIndex):
            raise TypeError(f"{what} must be a single column, not a MultiIndex")
        if "pyarrow" in str(values.dtype):
            import pyarrow

            return _arrow(pyarrow.array(values.array), what)
        values = values.to_numpy()
    elif module == "pyarrow":
        return _arrow(values, what)
    if isinstance(values, numpy.ndarray):
        if values.ndim != 1:
            raise ValueError(f"{what} must be one-dimensional")
        kind = values.dtype.kind
        if kind == "i" or values.size == 0:  # an empty array is float64 unless told otherwise
            return numpy.ascontiguousarray(values, dtype=numpy.int64)
        if kind == "u":
            return numpy.ascontiguousarray(values, dtype=numpy.uint64)
        if kind == "U":
            return numpy.ascontiguousarray(values)
        if kind == "O":
            return values.tolist()
        raise TypeError(f"{what} must hold str or int values, not {values.dtype}")
    if isinstance(values, list):
        return values
    if isinstance(values, (str, bytes)) or not isinstance(values, Sequence):
        raise TypeError(f"{what} must be a column (a list, NumPy array, pandas or Arrow column), "
                        f"not '{type(values).__name__}'")
    return list(values)


def _datasets(datasets: Datasets, what: str) -> object:
    return datasets if isinstance(datasets, str) else _native_column(datasets, f"{what} datasets")


def _split(records: Column, what: str) -> tuple[list, list]:
    """(dataset, id) pairs as a datasets column and an IDs column."""
    records = list(records)
    for row, record in enumerate(records):
        if not (isinstance(record, tuple) and len(record) == 2):
            raise TypeError(f"{what}[{row}] must be a (dataset, record ID) pair without datasets=, "
                            f"not '{type(record).__name__}'")
    return [record[0] for record in records], [record[1] for record in records]


def from_pairs(
    frame: tessellar.EntityFrame,
    method: str,
    pairs: Any,
    *,
    datasets: Union[Datasets, tuple[Datasets, Datasets], None] = None,
    universe: Optional[Mapping[str, Column]] = None,
) -> None:
    """Adds the connected components of matched record pairs to `frame` as
    the collection `method` (replacing one of that name), all or nothing.

    `pairs` is a pandas MultiIndex of two levels (what recordlinkage's
    classifiers return) or a pair (left, right) of aligned columns of record
    IDs. `datasets` names the datasets of the left and right records: one
    name for both sides, or a (left, right) pair of names or of columns
    naming each row's dataset. Without it, every record is a (dataset,
    record ID) pair. `universe` maps dataset names to columns of record IDs
    that are kept as entities of their own when no pair names them.

    Entities come in the order of their first record, counting the universe
    first and then the pairs row by row, left before right; within an
    entity, datasets and records come in the order the input first names
    them.
    """
    if _module_of(pairs) == "pandas" and hasattr(pairs, "levels"):
        if pairs.nlevels != 2:
            raise ValueError(f"pairs must have two levels, not {pairs.nlevels}")
        left, right = pairs.get_level_values(0), pairs.get_level_values(1)
    else:
        if isinstance(pairs, (str, bytes)) or len(pairs) != 2:
            raise TypeError("pairs must be a (left, right) pair of columns or a two-level pandas MultiIndex")
        left, right = pairs
    if datasets is None:
        left_datasets, left = _split(left, "left")
        right_datasets, right = _split(right, "right")
    elif isinstance(datasets, tuple):
        left_datasets, right_datasets = datasets
    else:
        left_datasets = right_datasets = datasets
    kept = [(name, _native_column(ids, f"universe '{name}'")) for name, ids in (universe or {}).items()]
    _native.from_pairs(frame, method, _native_column(left, "left"), _datasets(left_datasets, "left"),
                       _native_column(right, "right"), _datasets(right_datasets, "right"), kept)


def from_membership(
    frame: tessellar.EntityFrame,
    method: str,
    labels: Any,
    records: Optional[Column] = None,
    *,
    dataset: Optional[Datasets] = None,
) -> None:
    """Adds the groups of a membership vector (record to cluster label) to
    `frame` as the collection `method`, all or nothing: one entity per label.

    `labels` is a pandas Series whose index holds the record IDs, or a
    column aligned with the column `records`. `dataset` names the records'
    dataset, or is a column naming each row's; a Series indexed by a
    two-level (dataset, record ID) MultiIndex needs none. A record given
    twice is an error.

    Entities come in the order of their label's first row; within an
    entity, datasets and records come in the order the input first names
    them.
    """
    if records is None:
        if _module_of(labels) != "pandas" or not hasattr(labels, "index"):
            raise TypeError("labels must be a pandas Series when records is not given")
        index = labels.index
        if dataset is None and getattr(index, "nlevels", 1) == 2:
            dataset, records = index.get_level_values(0), index.get_level_values(1)
        else:
            records = index
    if dataset is None:
        raise TypeError("dataset is needed: a name, or a column naming each record's dataset")
    _native.from_membership(frame, method, _native_column(records, "records"), _datasets(dataset, "records"),
                            _native_column(labels, "labels"))
