"""Fuzzes tessellar_tools' loader with damaged files. Every input is loaded
twice: as it is, and with its checksum made right, so that the fuzzer
reaches the parser behind the checksum. Loading may only fail with
ValueError (or MemoryError); what it loads must answer its accessors.

    python fuzz/fuzz_load.py -max_total_time=60 [corpus directory]
"""

import os
import sys

import atheris
from blake3 import blake3

with atheris.instrument_imports():
    import tessellar
    import tessellar_tools
    from tessellar_tools import _native


def seeds():
    """Small files of each kind of object, as starting points."""
    frame = tessellar.EntityFrame.with_datasets(["crm", "erp"])
    frame.add_method("m", [{"crm": ["c1", "c2", "c2"], "erp": ["e1"], "metadata": {"k": [1, 2**70, {"x": b"y"}]}},
                           {"erp": [f"e{i}" for i in range(300)]}, {}])
    entity = frame.get_collection("m").get_entity(1)
    entity.add_records_by_id(1, list(range(70000, 72000)))
    return [bytes(_native.dump(obj, False, None))
            for obj in (frame, frame.get_collection("m"), entity, frame.interner)]


def with_checksum(data):
    """The data with its last 32 bytes replaced by the checksum of the rest."""
    return data[:-32] + blake3(data[:-32]).digest() if len(data) >= 44 else data


def check(loaded):
    if isinstance(loaded, tessellar.EntityFrame):
        str(loaded)
        for name in loaded.get_collection_names():
            loaded.hash_collection(name, "sha256")
            try:
                tessellar_tools.collection_columns(loaded, name)
            except ValueError:  # IDs that name no string: refused, like add_collection's
                pass
    pickled = _native.dump(loaded, True, None)
    assert isinstance(_native.load(pickled, True, None), type(loaded))


@atheris.instrument_func
def TestOneInput(data):  # noqa: N802 - the name atheris looks for
    for candidate in (data, with_checksum(data)):
        try:
            loaded = _native.load(candidate, False, None)
        except (ValueError, MemoryError):
            continue
        check(loaded)


def main():
    corpus = [arg for arg in sys.argv[1:] if not arg.startswith("-")]
    if corpus:
        os.makedirs(corpus[0], exist_ok=True)
        for index, seed in enumerate(seeds()):
            with open(os.path.join(corpus[0], f"seed-{index}"), "wb") as file:
                file.write(seed)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
