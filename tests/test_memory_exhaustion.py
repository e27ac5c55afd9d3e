"""Running out of memory for real: the process's address space is capped,
filled, and then given back a few megabytes at a time, and calls are made
in that little room. Each must succeed or raise MemoryError, leave its
objects as they were when it fails, and never end the process."""

import os
import subprocess
import sys
import textwrap

import pytest

import tessellar

pytestmark = [
    pytest.mark.skipif(sys.platform != "linux", reason="needs RLIMIT_AS and /proc"),
    # A sanitizer reserves terabytes of address space for its shadow: a cap
    # above that would let the filler take all the machine's memory.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="not under AddressSanitizer"),
]

SWEEP = textwrap.dedent(
    """
    import resource, sys
    import tessellar as T

    def state(frame):
        return (str(frame), frame.interner_size(), sorted(frame.get_dataset_names()),
                sorted(frame.get_collection_names()))

    def in_little_room(margins_mb, call, observe):
        \"\"\"Runs call() with about `margin` MB free, for every margin.\"\"\"
        outcomes = set()
        for margin in margins_mb:
            before = observe()
            size = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")][0] * 1024
            resource.setrlimit(resource.RLIMIT_AS, (size + (96 << 20), resource.RLIM_INFINITY))
            filler, crumbs = [], []
            # Made now: once memory is full there is no room for them.
            headroom = slice(-8, None)
            releasing = iter([None] * (margin * 16))
            try:
                while True:
                    filler.append(bytearray(1 << 16))
            except MemoryError:
                pass
            for size in (1 << 12, 1 << 8):  # the gaps too
                try:
                    while True:
                        crumbs.append(bytearray(size))
                except MemoryError:
                    pass
            del crumbs[headroom]
            for _ in releasing:
                filler.pop()
            try:
                call()
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            del filler, crumbs
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            if outcome == "MemoryError":
                assert observe() == before, f"changed by a failure with {margin} MB free"
            outcomes.add(outcome)
        return outcomes

    frame = T.EntityFrame.with_datasets(["crm"])
    frame.add_method("small", [{"crm": [f"c{i}"]} for i in range(30000)])
    entities = [{f"set{i % 50}": [f"r{i}", f"s{i}"], "crm": [f"c{i}"]} for i in range(20000)]
    print("add_method", in_little_room(range(0, 24, 2), lambda: frame.add_method("wide", entities),
                                         lambda: state(frame)))
    print("str", in_little_room(range(0, 8), lambda: str(frame), lambda: state(frame)))
    print("hash_collection", in_little_room(range(0, 8), lambda: frame.hash_collection("small", "blake3"),
                                              lambda: state(frame)))
    entity = T.EntityCore()
    entity.add_records_by_id(1, [c * 65536 + k for c in range(300) for k in range(0, 40, 3)])
    more = [c * 65536 + k for c in range(300) for k in range(1, 4000, 2)]
    print("add_records_by_id", in_little_room(range(0, 16), lambda: entity.add_records_by_id(1, more),
                                                lambda: entity.get_records_by_id(1)))
    """
)


def test_calls_in_little_room_fail_cleanly_or_succeed():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(tessellar.__file__)] + sys.path))
    result = subprocess.run([sys.executable, "-c", SWEEP], capture_output=True, text=True, env=env, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert set(lines) == {"add_method", "str", "hash_collection", "add_records_by_id"}
    # Every sweep reached the failure it is there for.
    assert all("MemoryError" in outcomes for outcomes in lines.values()), lines


def test_both_extension_modules_share_one_reserve():
    # Each module carries the reserve code; libroaring is loaded once, so the
    # second module must find the first one's reserve, whichever builds first.
    script = textwrap.dedent(
        """
        import tessellar, tessellar_tools

        def reserves():
            sizes = (int(b, 16) - int(a, 16) for a, b in
                     (line.split()[0].split("-") for line in open("/proc/self/maps")))
            return sum(size == 16 << 20 for size in sizes)

        frame = tessellar.EntityFrame.with_datasets(["a"])
        ids = [f"x{i}" for i in range(5000)]
        tessellar_tools.from_pairs(frame, "pairs", (ids[:-1], ids[1:]), datasets="a")
        frame.add_method("m", [{"a": [f"y{i}" for i in range(5000)]}])
        print(reserves())
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert run.stdout.split() == ["1"]
