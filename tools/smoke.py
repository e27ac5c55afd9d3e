"""Uses an installed wheel the way a user would, and checks that the process
runs on the libraries the wheel carries and on nothing from the project.

    python -I tools/smoke.py PROJECT_ROOT    # from a directory outside it

Imports no hashlib: the interpreter's own libcrypto would be mapped too.
"""

import os
import sys
import sysconfig

import tessellar
import tessellar_tools

PROJECT = os.path.realpath(sys.argv[1])
CARRIED = ("libroaring", "libtbb", "libutf8proc", "libcrypto")
DIGEST_SIZES = {"sha256": 32, "sha512": 64, "sha3-256": 32, "sha3-512": 64, "blake3": 32}
# Of b"crm" b"c0" b"erp" b"e0" b"e1", entity 0 of "rules" below.
KNOWN = {
    "sha256": "f1de1403ee1ac97539507cd138b7a309bc16938b2a794869d0c379a07b54cc57",
    "blake3": "e62022a9bdddfd7c9f03ec3c1d25d466d09079f7126b06e8e5b0597d45d4b664",
}
SIZE = 1500  # past the size at which a collection is hashed on all cores


def thread_count():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("Threads:"))


def mapped_files():
    with open("/proc/self/maps") as maps:
        return {fields[5] for fields in (line.rstrip("\n").split(maxsplit=5) for line in maps) if len(fields) == 6}


frame = tessellar.EntityFrame.with_datasets(["crm", "erp"])
frame.add_method("rules", [{"crm": [f"c{i}"], "erp": [f"e{i}", f"e{i + 1}"], "metadata": {"n": i}}
                           for i in range(SIZE)])
frame.add_method("model", [{"crm": [f"c{i}"], "erp": [f"e{i}"]} for i in range(SIZE)])
assert {row["jaccard"] for row in frame.compare_collections("rules", "model")} == {2 / 3}

for algorithm, size in DIGEST_SIZES.items():
    digests = frame.hash_collection("rules", algorithm)
    assert len(set(digests)) == SIZE and {len(digest) for digest in digests} == {size}, algorithm
    assert digests[SIZE - 1] == frame.hash_entity("rules", SIZE - 1, algorithm), algorithm
    assert algorithm not in KNOWN or digests[0].hex() == KNOWN[algorithm], algorithm
    frame.add_collection_hash("rules", algorithm)
    assert frame.verify_collection_hashes("rules", algorithm), algorithm
frame.set_entity_metadata("rules", 3, "hash", b"forged")
assert not frame.verify_collection_hashes("rules", "blake3")
assert os.cpu_count() == 1 or thread_count() > 1, "hashing never started the worker pool"

table = str(frame)
assert "rules" in table and "model" in table and str(SIZE) in table, table

# The companion, working on the same frame in place.
frame.add_method("shuffled", [{"crm": [f"c{i}"], "erp": [f"e{i}"]} for i in reversed(range(SIZE))])
matching = tessellar_tools.match_collections(frame, "model", "shuffled")
assert matching["first"]["match"].tolist() == list(reversed(range(SIZE))), matching
assert matching["counts"]["first"]["exact"] == SIZE
assert tessellar_tools.evaluate(frame, "model", "shuffled")["adjusted_rand_index"] == 1.0
assert tessellar_tools.diff_digests(frame, "rules", frame.hash_collection("rules"))["added"].size == 0

for module in (os.path.realpath(tessellar.__file__), os.path.realpath(tessellar_tools._native.__file__)):
    assert module.startswith(os.path.realpath(sys.prefix) + os.sep), module
carried_dir = os.path.realpath(os.path.join(sysconfig.get_paths()["platlib"], "tessellar.libs"))  # auditwheel puts them there
files = mapped_files()
from_project = sorted(path for path in files if path.startswith(PROJECT + os.sep))
assert not from_project, f"loaded from the project: {from_project}"
for name in CARRIED:
    copies = sorted(path for path in files if os.path.basename(path).startswith(name))
    assert copies and all(os.path.dirname(path) == carried_dir for path in copies), f"{name}: {copies or 'not loaded'}"

print(f"smoke: Python {sys.version.split()[0]} ran on", ", ".join(
    sorted(os.path.basename(path) for path in files if os.path.dirname(path) == carried_dir)))
