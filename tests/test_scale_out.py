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
    changed = [index % 10 == 5 for index in range(N_ENTITIES)]
    assert [score < 1.0 for score in single_process["jaccard"]] == changed
    assert [a != b for a, b in zip(single_process["first"], single_process["second"])] == changed


# Eight partitions of 625 entities are hashed on the calling thread, the
# others on the worker pool: both must agree with one process.
@pytest.mark.parametrize("partitions", [1, 4, 8])
def test_partitions_in_workers_match_one_process(client, single_process, partitions):
    assert scale_out.run_partitioned(client, N_ENTITIES, partitions) == single_process


@pytest.mark.parametrize("key, tamper", [
    ("first", lambda values: values.__setitem__(7, bytes(32))),
    ("second", lambda values: values.pop()),
    ("jaccard", lambda values: values.__setitem__(15, values[15] + 1e-12)),
])
def test_any_difference_is_reported(key, tamper):
    single = scale_out.partition_job(300, 0, 300)
    partitioned = {name: list(values) for name, values in single.items()}
    tamper(partitioned[key])
    problems = scale_out.differences(partitioned, single)
    assert len(problems) == 1 and problems[0].startswith(key)
