"""Environment workers on Ray: rollouts from a local cluster, workers that die, and what ending leaves behind.

One local cluster (two CPUs, no dashboard) and one pool of two workers of
two environments each serve the whole module, since starting them takes
most of the time; the tests run in file order and the last shuts Ray down.
"""

from __future__ import annotations

import os
import signal
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray", reason="Ray does not install on this interpreter")

from py_engine_rust_gym.ray import LostRollout, Rollout, WorkerPool  # noqa: E402
from py_engine_rust_gym.records import load_records  # noqa: E402

from gymhelpers import SMALL, SlowOn, alive, browser_processes, listening_addresses, ports_can_be_bound  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
STEPS = 3
LENGTH = SMALL["episode_length"]


@pytest.fixture(scope="module")
def cluster():
    saved = {name: os.environ.get(name) for name in ("RAY_DISABLE_USAGE_STATS", "RAY_ADDRESS", "PYTHONPATH")}
    os.environ["RAY_DISABLE_USAGE_STATS"] = "1"
    os.environ.pop("RAY_ADDRESS", None)
    # The workers unpickle the tests' policies from gymhelpers.
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, saved["PYTHONPATH"]) if p)
    ray.init(address="local", num_cpus=2, include_dashboard=False, object_store_memory=100 * 1024 * 1024,
             log_to_driver=False)
    try:
        yield
    finally:
        ray.shutdown()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@pytest.fixture(scope="module")
def pool(cluster):
    pool = WorkerPool(2, 2, env_kwargs=SMALL, num_cpus=0.5, startup_timeout=120)
    yield pool
    if ray.is_initialized():
        pool.close()


def wait_gone(pids, limit=20.0):
    deadline = time.monotonic() + limit
    left = list(pids)
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left = [pid for pid in left if alive(pid)]
    return left


def chromium_of(pid):
    """The browser process (not its renderers, not Playwright's driver) below a worker's process."""
    (main,) = [p for p, cmd in browser_processes(pid).items()
               if "--type=" not in cmd and "run-driver" not in cmd and "crashpad" not in cmd]
    return main


def test_two_workers_of_two_environments_collect_rollouts_of_the_expected_shapes(pool):
    infos = pool.describe()
    assert [i.index for i in infos] == [0, 1] and len({i.pid for i in infos}) == 2
    ports = [port for info in infos for port in info.engine_ports]
    assert len(set(ports)) == 4 and 0 not in ports
    # Each engine listens on the loopback address only, on the port the system gave it.
    assert all(listening_addresses(port) == ["127.0.0.1"] for port in ports), \
        {port: listening_addresses(port) for port in ports}
    space = infos[0].observation_space
    assert space.shape[0] == 2

    collection = pool.collect(6, 10)
    assert collection.lost == []
    assert sorted(r.rollout for r in collection.rollouts) == list(range(6))
    assert {r.worker for r in collection.rollouts} == {0, 1}
    for r in collection.rollouts:
        assert isinstance(r, Rollout) and r.env_steps == 20 and r.elapsed > 0
        assert r.observations.shape == (10,) + space.shape and r.observations.dtype == np.float32
        assert r.actions.shape == (10, 2) and r.rewards.shape == (10, 2) and r.rewards.dtype == np.float64
        assert r.terminated.dtype == np.bool_ and r.truncated.shape == (10, 2)
        assert r.last_observations.shape == space.shape
        assert all(obs in space for obs in r.observations)
    for r in collection.rollouts:
        # Every rollout starts new episodes (progress 0); they end together after LENGTH steps, where the
        # final observations are kept, and nothing failed.
        progress = space.shape[1] - 3
        assert not r.observations[0, :, progress].any()
        done = r.terminated | r.truncated
        assert [list(np.flatnonzero(done[:, env])) for env in (0, 1)] == [[LENGTH - 1]] * 2
        assert r.final_observations.shape == r.observations.shape and not r.page_errors.any()
        assert (r.final_observations[LENGTH - 1, :, progress] == 1.0).all()
        assert not np.delete(r.final_observations, LENGTH - 1, axis=0).any()
        np.testing.assert_allclose(r.episode_returns, r.rewards[:LENGTH].sum(axis=0), atol=1e-9)
        assert list(r.episode_lengths) == [LENGTH, LENGTH]


def test_a_rollout_plays_the_same_episodes_whichever_worker_runs_it(pool):
    by_worker = ray.get([actor.rollout.remote(5, STEPS + 6) for actor in pool.actors])
    assert [r.worker for r in by_worker] == [0, 1]
    for field in ("actions", "observations", "rewards", "final_observations"):
        np.testing.assert_array_equal(getattr(by_worker[0], field), getattr(by_worker[1], field))
    # Rollouts that run side by side (5 and 6) and the pages of each start different episodes.
    (next_one,) = ray.get([pool.actors[0].rollout.remote(6, 1)])
    starts = np.concatenate([by_worker[0].observations[0], next_one.observations[0]])
    assert len({row.tobytes() for row in starts}) == 4


def test_a_slow_worker_does_not_hold_the_others_back(pool):
    slow = pool.describe()[1]
    order = list(pool.rollouts(5, STEPS, policy=SlowOn(slow.actor_id, 2.0)))
    # The slow worker's one rollout (the second handed out) comes last; the fast one did all the others.
    assert [(r.rollout, r.worker) for r in order] == [(0, 0), (2, 0), (3, 0), (4, 0), (1, 1)]
    assert all(not r.actions.any() for r in order)


def test_a_killed_browser_costs_only_page_errors(pool):
    victim = pool.describe()[1]
    items = []
    for item in pool.rollouts(3, STEPS + 4, policy=SlowOn(victim.actor_id, 0.5)):
        items.append(item)
        if len(items) == 1:
            os.kill(chromium_of(victim.pid), signal.SIGKILL)
    assert all(isinstance(item, Rollout) for item in items) and len(items) == 3
    (hit,) = [r for r in items if r.page_errors.any()]
    assert hit.worker == 1 and hit.page_errors.any(axis=0).all()
    assert ray.get(pool.actors[1].reopen_counts.remote()) == [1, 1]
    assert pool.describe()[1].pid == victim.pid  # the same worker goes on, with a new browser


@pytest.mark.parametrize("death", ["ray.kill", "timeout", "ray.kill, no replacement left"])
def test_a_dead_worker_loses_only_its_rollout(pool, death):
    victim = pool.describe()[1]
    browsers = list(browser_processes(victim.pid))
    assert browsers
    timeout = None
    if death == "timeout":
        slow, timeout = SlowOn(victim.actor_id, 60.0), 8.0
    else:
        slow = SlowOn(victim.actor_id, 60.0)
    if death.endswith("no replacement left"):
        pool.max_replacements = pool.replacements
    items = []
    for item in pool.rollouts(6, STEPS, policy=slow, timeout=timeout):
        items.append(item)
        if len(items) == 1:
            assert isinstance(item, Rollout) and item.worker == 0
            if death.startswith("ray.kill"):
                ray.kill(pool.actors[1])
    lost = [item for item in items if isinstance(item, LostRollout)]
    assert [(l.rollout, l.worker, l.generation) for l in lost] == [(1, 1, victim.generation)], lost
    reason = {"ray.kill": "ray.kill", "timeout": "did not finish within 8 s"}.get(death.split(",")[0])
    assert reason is None or reason in lost[0].error, lost[0].error
    assert sorted(r.rollout for r in items if isinstance(r, Rollout)) == [0, 2, 3, 4, 5]
    # Until its replacement is up, the others take its share.
    assert all(r.worker == 0 or r.generation > victim.generation for r in items if isinstance(r, Rollout))
    # The dead worker's browser went with it.
    assert wait_gone(browsers + [victim.pid]) == []
    infos = pool.describe()
    if death.endswith("no replacement left"):
        assert [i.index for i in infos] == [0]
        assert [r.worker for r in pool.collect(2, STEPS).rollouts] == [0, 0]
        return
    # Its replacement has the same index, a new process and engines, and takes rollouts.
    assert [(i.index, i.generation) for i in infos] == [(0, 0), (1, victim.generation + 1)]
    assert infos[1].pid != victim.pid and len(infos[1].engine_ports) == 2
    collection = pool.collect(2, STEPS)
    assert sorted((r.worker, r.generation) for r in collection.rollouts) == [(0, 0), (1, victim.generation + 1)]


def test_workers_record_their_episodes_on_their_own_machine(cluster, tmp_path):
    with WorkerPool(1, 1, env_kwargs=dict(SMALL, record_dir=str(tmp_path)), num_cpus=0.5,
                    startup_timeout=120) as pool:
        (rollout,) = pool.collect(1, LENGTH).rollouts
    (record,) = load_records([tmp_path])
    assert rollout.records == [record.path] and record.pid == rollout.pid
    assert record.actions == rollout.actions[:, 0].tolist() and record.rewards == rollout.rewards[:, 0].tolist()
    assert record.truncated and record.steps == LENGTH


def test_a_worker_that_cannot_start_fails_the_pool(cluster):
    with pytest.raises(RuntimeError, match="the workers did not start: .*Chromium not found"):
        WorkerPool(1, 1, env_kwargs=dict(SMALL, chromium="/nonexistent/chromium"), num_cpus=0.5)


def test_closing_the_pool_leaves_no_browser_and_no_listener(cluster):
    pool = WorkerPool(1, 1, env_kwargs=SMALL, num_cpus=0.5)
    (info,) = pool.describe()
    browsers = list(browser_processes(info.pid))
    assert len(pool.collect(1, STEPS).rollouts) == 1 and browsers
    pool.close()
    assert wait_gone(browsers + [info.pid]) == []
    assert listening_addresses(info.engine_ports[0]) == [] and ports_can_be_bound(info.engine_ports)


def test_shutting_ray_down_leaves_no_browser_and_no_listener(pool):
    infos = pool.describe()
    pids = [info.pid for info in infos] + [p for info in infos for p in browser_processes(info.pid)]
    ports = [port for info in infos for port in info.engine_ports]
    assert len(pids) > len(infos) and all(listening_addresses(port) for port in ports)
    ray.shutdown()
    assert wait_gone(pids) == []
    assert all(listening_addresses(port) == [] for port in ports) and ports_can_be_bound(ports)
