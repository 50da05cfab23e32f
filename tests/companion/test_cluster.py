"""estimate(client=...) on a LocalCluster of two worker processes of one thread each."""

from __future__ import annotations

import os
import time
from typing import Any, Iterator

import pytest

from tavrin_estimate import EstimateInterrupted, estimate
from tavrin_estimate.__main__ import main

from .support import NEAR_CERTAIN, interrupting, needs

pytestmark = needs("distributed")

VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS"


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as connected:
            yield connected


def workers(client: Any) -> set[str]:
    return set(client.scheduler_info()["workers"])


def test_counts_add_up_on_the_cluster_without_losing_a_worker(client: Any) -> None:
    """Every boarding asked is counted exactly once, the interval covers 1/2 (at near
    certainty), each worker's kernel uses one thread, and no worker is lost."""
    before = workers(client)
    result = estimate(400_003, 10, 10, client=client, confidence=NEAR_CERTAIN)
    assert result.iterations == 400_003 and not result.interrupted
    low, high = result.interval
    assert low <= 0.5 <= high
    assert set(client.run(os.getenv, VARIABLE).values()) == {"1"}
    assert workers(client) == before and len(before) == 2


def test_ctrl_c_cancels_the_rest_and_keeps_what_finished(client: Any, monkeypatch: pytest.MonkeyPatch) -> None:
    """SIGINT after a few tasks: the result holds the tasks that had finished, the others are
    cancelled, and the cluster is fit for the next run."""
    reporter = interrupting(monkeypatch, updates=4)
    with pytest.raises(EstimateInterrupted) as stopped:
        estimate(10**12, 10, 10, client=client)
    partial = stopped.value.result
    assert partial.interrupted and partial.iterations >= reporter.seen > 0
    # Cancelling reaches the scheduler asynchronously; give it a moment.
    deadline = time.monotonic() + 30
    while any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(client.processing().values())
    assert len(workers(client)) == 2
    assert estimate(partial.iterations + 1000, 10, 10, client=client, resume=partial).iterations == partial.iterations + 1000


def test_command_line_runs_on_a_scheduler(client: Any, capsys: pytest.CaptureFixture[str]) -> None:
    """--scheduler ADDRESS sends the run to that cluster."""
    assert main(["20_000", "--passengers", "10", "--seats", "10", "--scheduler", client.scheduler.address]) == 0
    assert "boardings  20,000," in capsys.readouterr().out
