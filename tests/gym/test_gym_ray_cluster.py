"""Workers on two nodes of Ray's own test cluster (two raylets on this machine); one node removed."""

from __future__ import annotations

import os
import time

import pytest

ray = pytest.importorskip("ray", reason="Ray does not install on this interpreter")
cluster_utils = pytest.importorskip("ray.cluster_utils")

from py_engine_rust_gym.ray import LostRollout, Rollout, WorkerPool  # noqa: E402

from gymhelpers import SMALL, SlowOn, browser_processes  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def two_nodes(monkeypatch):
    monkeypatch.setenv("RAY_DISABLE_USAGE_STATS", "1")
    monkeypatch.delenv("RAY_ADDRESS", raising=False)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(p for p in (HERE, os.environ.get("PYTHONPATH")) if p))
    cluster = cluster_utils.Cluster(initialize_head=True, head_node_args={
        "num_cpus": 1, "include_dashboard": False, "object_store_memory": 80 * 1024 * 1024})
    second = cluster.add_node(num_cpus=1, object_store_memory=80 * 1024 * 1024)
    ray.init(address=cluster.address, log_to_driver=False)
    try:
        cluster.wait_for_nodes()
        yield cluster, second
    finally:
        ray.shutdown()
        cluster.shutdown()


def test_a_removed_node_loses_only_its_own_rollouts(two_nodes):
    cluster, second = two_nodes
    pool = WorkerPool(2, 1, env_kwargs=SMALL, num_cpus=1, startup_timeout=120, max_replacements=1)
    try:
        infos = pool.describe()
        assert len({info.node_id for info in infos}) == 2  # spread over both nodes
        doomed = next(info for info in infos if info.node_id == second.node_id)
        browsers = list(browser_processes(doomed.pid))
        assert browsers
        items = []
        for item in pool.rollouts(6, 3, policy=SlowOn(doomed.actor_id, 1.0)):
            items.append(item)
            if len(items) == 1:
                cluster.remove_node(second)
        lost = [item for item in items if isinstance(item, LostRollout)]
        done = [item for item in items if isinstance(item, Rollout)]
        assert len(lost) == 1 and lost[0].worker == doomed.index, lost
        assert sorted([r.rollout for r in done] + [lost[0].rollout]) == list(range(6))
        assert {r.node_ip for r in done} and all(r.worker != doomed.index for r in done[1:])
        # The node's worker and its browser went with the node.
        deadline = time.monotonic() + 20
        while browser_processes(doomed.pid) and time.monotonic() < deadline:
            time.sleep(0.2)
        assert browser_processes(doomed.pid) == {}
    finally:
        pool.close(timeout=20)
