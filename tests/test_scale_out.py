"""The scale-out pattern: a workload generated in slices, and partitions
fingerprinted and compared in worker processes, must give exactly what one
process gives over the whole workload."""

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
for directory in ("bench", "examples"):
    if str(ROOT / directory) not in sys.path:
        sys.path.insert(0, str(ROOT / directory))

import scale_out  # noqa: E402
import workload  # noqa: E402

N_ENTITIES = 5_000
BLOCK = workload.BLOCK


@pytest.fixture(scope="module")
def full_workload():
    return workload.make_methods(N_ENTITIES)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("start, stop", [
    (0, 0), (BLOCK, BLOCK), (N_ENTITIES, N_ENTITIES), (3000, 2000),
    (0, 1), (0, BLOCK), (BLOCK - 1, BLOCK + 1), (BLOCK, 2 * BLOCK), (1000, 3100),
    (N_ENTITIES - 1, N_ENTITIES), (4000, N_ENTITIES + 500),
])
def test_slice_equals_slice_of_full_workload(full_workload, start, stop):
    first, second = workload.make_methods(N_ENTITIES, start=start, stop=stop)
    assert first == full_workload[0][start:stop]
    assert second == full_workload[1][start:stop]


def test_entities_do_not_depend_on_workload_size(full_workload):
    shorter = 2 * BLOCK + 100
    assert workload.make_methods(shorter) == (full_workload[0][:shorter], full_workload[1][:shorter])


def test_second_method_moves_one_record_in_one_entity_in_ten(full_workload):
    first, second = full_workload
    records = [{r for name, rs in entity.items() if name != "metadata" for r in rs} for entity in first]
    everything = set().union(*records)
    assert len(everything) == sum(map(len, records))  # no record in two entities of the first method
    for index, (before, after) in enumerate(zip(first, second)):
        if index % 10 != 5:
            assert after == before
            continue
        kept = {r for rs in after.values() for r in rs}
        assert kept <= everything
        assert len(records[index] - kept) == 1 and len(kept - records[index]) <= 1


@pytest.fixture(scope="module")
def single_process():
    return scale_out.partition_job(N_ENTITIES, 0, N_ENTITIES)


def test_single_process_job_sees_the_changed_entities(single_process):
    columns = single_process["columns"]
    changed = [index % 10 == 5 for index in range(N_ENTITIES)]
    assert [score < 1.0 for score in columns["jaccard"]] == changed
    assert (columns["first_digest"] != columns["second_digest"]).any(axis=1).tolist() == changed
    assert sum(single_process["counts"]["first"].values()) == N_ENTITIES


@pytest.mark.parametrize("n_entities, partitions", [(5000, 8), (5000, 3), (300, 4), (2 * BLOCK, 2)])
def test_ranges_cover_the_positions_on_block_bounds(n_entities, partitions):
    ranges = scale_out.position_ranges(n_entities, partitions, BLOCK)
    assert len(ranges) == partitions and ranges[0][0] == 0 and ranges[-1][1] == n_entities
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert all(start <= stop and start % BLOCK == 0 for start, stop in ranges)


# Partitions below 1,000 entities are hashed on the calling thread, larger
# ones on the worker pool; matches are offset back to whole-workload
# positions; both must agree with one process.
@pytest.mark.parametrize("partitions", [1, 4, 8])
def test_partitions_in_workers_match_one_process(client, single_process, partitions):
    partitioned = scale_out.run_partitioned(client, N_ENTITIES, partitions)
    assert scale_out.differences(partitioned, single_process) == []


def test_unaligned_partitions_would_miss_matches(single_process):
    # Cut inside blocks, some entities' best matches fall in another
    # partition: the check that catches it is the one the example runs.
    parts = [scale_out.partition_job(N_ENTITIES, start, stop) for start, stop in [(0, 1500), (1500, N_ENTITIES)]]
    problems = scale_out.differences(scale_out.join(parts), single_process)
    assert problems and not any(problem.startswith(("first_digest", "second_digest", "jaccard")) for problem in problems)


@pytest.mark.parametrize("key, tamper", [
    ("first_digest", lambda columns: columns["first_digest"].__setitem__(7, 0)),
    ("second_digest", lambda columns: columns.__setitem__("second_digest", columns["second_digest"][:-1])),
    ("jaccard", lambda columns: columns["jaccard"].__setitem__(15, columns["jaccard"][15] + 1e-12)),
    ("second_match", lambda columns: columns["second_match"].__setitem__(3, -1)),
])
def test_any_difference_is_reported(key, tamper):
    single = scale_out.partition_job(300, 0, 300)
    partitioned = scale_out.join([scale_out.partition_job(300, 0, 300)])
    tamper(partitioned["columns"])
    problems = scale_out.differences(partitioned, single)
    assert len(problems) == 1 and problems[0].startswith(key)
