"""Saving and loading frames, and pickling tessellar's objects, in one file
format (docs/file-format.md): the interner's strings, the datasets, the
collections in order with their record sets in the Roaring portable
serialization, and a checksum."""

from __future__ import annotations

import copyreg
import os
import tempfile
from typing import Union

import tessellar

from tessellar_tools import _native

Saveable = Union[tessellar.EntityFrame, tessellar.CollectionCore, tessellar.EntityCore, tessellar.StringInternerCore]
PathLike = Union[str, "os.PathLike[str]"]


def save(obj: Saveable, path: PathLike, *, allow_pickle: bool = False) -> None:
    """Writes `obj` (a frame, a collection, an entity or an interner) to
    `path`, replacing the file only once the whole of it is written.

    Metadata values of plain types (None, bool, int, float, str, bytes, and
    lists, tuples and dicts of them) are stored as data. Any other value is
    pickled into the file with allow_pickle=True, and refused with
    ValueError (naming its collection, entity and key) otherwise.
    """
    data = _native.dump(obj, allow_pickle, None)
    directory = os.path.dirname(os.path.abspath(path))
    with tempfile.NamedTemporaryFile(dir=directory, prefix=".tessellar-", delete=False) as file:
        try:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        except BaseException:
            os.unlink(file.name)
            raise
    os.replace(file.name, path)


def load(path: PathLike, *, allow_pickle: bool = False) -> Saveable:
    """The object saved in `path`. A file that is truncated, damaged or not
    one of ours raises ValueError saying what is wrong and at which byte.

    Loading runs no code of the file's unless allow_pickle=True, which a
    file with pickled metadata values needs: allow it only for files you
    trust.
    """
    with open(path, "rb") as file:
        data = file.read()
    return _native.load(data, allow_pickle, None)


def _reduce(obj: Saveable) -> tuple:
    # Metadata values travel beside the bytes, so that the pickler (or
    # copy.deepcopy) treats them as it treats any object: shared values stay
    # shared, and copy.copy shares them with the original.
    values: list = []
    return _restore, (bytes(_native.dump(obj, False, values)), values)


def _restore(data: bytes, values: list) -> Saveable:
    return _native.load(data, False, values)


for _class in (tessellar.EntityFrame, tessellar.CollectionCore, tessellar.EntityCore, tessellar.StringInternerCore):
    copyreg.pickle(_class, _reduce)
