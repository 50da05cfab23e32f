"""estimate() on Dask LocalClusters: the same count as on this machine on 1 and 3 worker
processes, through the client, its executor or as the current client; after a worker is killed;
after Ctrl-C and a resume; on a threaded cluster; from the command line."""

from __future__ import annotations

import os
import signal
import time
from typing import Any, Iterator

import pytest

from tavrin_estimate import Estimate, EstimateInterrupted, _executors, estimate
from tavrin_estimate.__main__ import main
from tavrin_estimate._progress import Progress

from .support import interrupting, needs

pytestmark = needs("distributed")

PLANE = (30, 30, "ABCDEF")
SEED = 20261207
BLOCK = 8192
TOTAL = 2_000_003


@pytest.fixture(scope="module")
def reference() -> Estimate:
    return estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, client=False)


def local_cluster(workers: int, processes: bool = True, threads: int = 1) -> Any:
    from distributed import LocalCluster

    return LocalCluster(
        n_workers=workers, threads_per_worker=threads, processes=processes, dashboard_address=":0"
    )


@pytest.fixture(scope="module", params=[1, 3], ids=["1 process", "3 processes"])
def client(request: pytest.FixtureRequest) -> Iterator[Any]:
    from distributed import Client

    with local_cluster(request.param) as cluster, Client(cluster) as connected:
        yield connected


def same_counts(result: Estimate, reference: Estimate) -> bool:
    return result.parts == reference.parts and not result.interrupted


def test_clusters_count_what_this_machine_counts(client: Any, reference: Estimate) -> None:
    """The client given, its concurrent.futures executor, and the client current in a `with`
    block all give the count of the local run; no worker is lost."""
    before = set(client.scheduler_info()["workers"])
    assert same_counts(estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, client=client), reference)
    executor = client.get_executor()
    assert same_counts(estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, executor=executor), reference)
    with client.as_current():
        current = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK)
    assert same_counts(current, reference) and current.provenance[0].runner.startswith("dask.distributed")
    assert set(client.scheduler_info()["workers"]) == before


class KillWorker(Progress):
    """Kills one worker process with SIGKILL once a quarter of the run is counted."""

    def __init__(self, pid: int) -> None:
        self.pid = pid
        self.killed_at = 0

    def update(self, successes: int, iterations: int) -> None:
        if not self.killed_at and iterations >= TOTAL // 4:
            os.kill(self.pid, signal.SIGKILL)
            self.killed_at = iterations


def test_a_worker_killed_mid_run_changes_nothing(reference: Estimate, monkeypatch: pytest.MonkeyPatch) -> None:
    """kill -9 of one of two worker processes: its tasks run again elsewhere (or on its
    replacement) and the run ends with exactly the boardings and counts of the local run."""
    from distributed import Client

    from tavrin_estimate import _estimate

    with local_cluster(2) as cluster, Client(cluster) as connected:
        pids = connected.run(os.getpid)
        killer = KillWorker(min(pids.values()))
        monkeypatch.setattr(_estimate, "make_progress", lambda *args, **kwargs: killer)
        result = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, client=connected, progress=True)
        assert 0 < killer.killed_at < TOTAL
        assert result.iterations == TOTAL and same_counts(result, reference)
        # The nanny starts a new worker; a cluster closing while it starts may time out.
        connected.wait_for_workers(2, timeout=120)
        assert killer.pid not in connected.run(os.getpid).values()


def test_ctrl_c_keeps_the_finished_tasks_and_a_resume_completes_them(
    client: Any, reference: Estimate, monkeypatch: pytest.MonkeyPatch
) -> None:
    """SIGINT after a few tasks: the result holds the tasks that had finished (in any order),
    the others are cancelled, and resuming on the cluster runs exactly what is missing."""
    # Short tasks, so that however fast the workers the run is still going at the sixth update.
    monkeypatch.setattr(_executors, "TASK_SECONDS", 0.0)
    interrupting(monkeypatch, updates=6)
    with pytest.raises(EstimateInterrupted) as stopped:
        estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, client=client, progress=True)
    partial = stopped.value.result
    assert partial.interrupted and 0 < partial.iterations < TOTAL
    monkeypatch.undo()
    # Cancelling reaches the scheduler asynchronously; give it a moment.
    deadline = time.monotonic() + 30
    while any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(client.processing().values())
    assert same_counts(estimate(TOTAL, *PLANE, resume=partial, client=client), reference)


def test_a_threaded_cluster_leaves_the_callers_environment_alone(reference: Estimate) -> None:
    """Workers that share this process get their thread budget as an argument: the variable
    the kernel reads is neither set nor changed here, and the count is the local one."""
    from distributed import Client

    before = os.environ.get("TAVRIN_PUZZLES_WORKER_THREADS")
    with local_cluster(2, processes=False, threads=2) as cluster, Client(cluster) as connected:
        result = estimate(TOTAL, *PLANE, seed=SEED, block_size=BLOCK, client=connected)
    assert same_counts(result, reference)
    assert os.environ.get("TAVRIN_PUZZLES_WORKER_THREADS") == before


def test_command_line_runs_on_a_scheduler(client: Any, capsys: pytest.CaptureFixture[str]) -> None:
    """--scheduler ADDRESS sends the run to that cluster and prints the local run's count."""
    local = estimate(20_000, 10, 10, seed=5, client=False)
    arguments = ["20_000", "--passengers", "10", "--seats", "10", "--seed", "5"]
    assert main([*arguments, "--scheduler", client.scheduler.address]) == 0
    assert f"boardings  20,000, the last passenger in their own seat in {local.successes:,}\n" in capsys.readouterr().out
