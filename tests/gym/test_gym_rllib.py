"""The RLlib environment creator: every sub-environment of every env runner on its own episodes.

The environments are made by RLlib's own ``SingleAgentEnvRunner.make_env``
(the step of an env runner's construction that makes its environments), in
both of its vectorise modes, for two runners of two sub-environments each.
"""

from __future__ import annotations

import subprocess
import sys
import types

import pytest

import py_engine_rust_gym
from py_engine_rust_gym.rllib import IndexedEnv, RunnerPlace, env_creator

from gymhelpers import SMALL

CONFIG = dict(SMALL, episode_length=2, candles=5 + 2 * 12)  # 9 training episodes for 4 pages


def runner_envs(mode, worker_index, num_workers=2, num_envs=2, seed=None):
    """The environments of env runner ``worker_index``, made the way RLlib makes them."""
    pytest.importorskip("ray.rllib", reason="RLlib (ray[rllib]) is not installed")
    from ray.rllib.algorithms.algorithm_config import AlgorithmConfig
    from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner
    from ray.rllib.utils.metrics.metrics_logger import MetricsLogger
    from ray.tune.registry import register_env

    register_env("browser_trading", env_creator)
    config = (AlgorithmConfig().environment("browser_trading", env_config=dict(CONFIG))
              .env_runners(num_env_runners=num_workers, num_envs_per_env_runner=num_envs,
                           gym_env_vectorize_mode=mode).debugging(seed=seed))
    runner = SingleAgentEnvRunner.__new__(SingleAgentEnvRunner)
    runner.__dict__.update(config=config, worker_index=worker_index, num_workers=num_workers, env=None,
                           _callbacks=[], metrics=MetricsLogger())
    SingleAgentEnvRunner.make_env(runner)
    return runner.env


def _episodes(envs):
    vector = envs.unwrapped
    if isinstance(vector, py_engine_rust_gym.BrowserTradingVectorEnv):
        return vector.episodes
    return [env.unwrapped.episode for env in vector.envs]


@pytest.mark.parametrize("seed", [None, 0])
@pytest.mark.parametrize("mode", ["sync", "vector_entry_point"])
def test_two_runners_of_two_sub_environments_never_share_an_episode(mode, seed):
    runners = [runner_envs(mode, worker) for worker in (1, 2)]
    try:
        if mode == "sync":
            places = [(env.get_wrapper_attr("place"), env.get_wrapper_attr("sub_index"))
                      for envs in runners for env in envs.unwrapped.envs]
            assert places == [(RunnerPlace(w, 2, 2), k) for w in (1, 2) for k in (0, 1)]
        for n, envs in enumerate(runners):
            # As RLlib seeds them: the runner's seed, plus one per sub-environment in Gymnasium's vectorisers.
            envs.reset(seed=None if seed is None else seed + 100 * n)
        seen = []
        for _ in range(4 * (CONFIG["episode_length"] + 1)):
            for envs in runners:
                envs.step(envs.action_space.sample())
            seen.append([episode for envs in runners for episode in _episodes(envs)])
        assert all(len(set(step)) == 4 for step in seen), seen
        assert len({episode for step in seen for episode in step}) == 9
        # Each runner's two sub-environments are on different episodes at every step.
        assert all(step[0] != step[1] and step[2] != step[3] for step in seen), seen
        # The schedule's rule, written out: the page of slot s of 4 owns training episodes s, s + 4,
        # s + 8 (of 9) and plays them in that order without a seed; runner 1 holds slots 0 and 1,
        # runner 2 slots 2 and 3.
        owned = [[0, 4, 8], [1, 5], [2, 6], [3, 7]]
        for slot, episodes in enumerate(owned):
            assert all(step[slot][0] == "train" for step in seen)
            played = [step[slot][1] for step in seen]
            played = [e for i, e in enumerate(played) if i == 0 or e != played[i - 1]]
            assert set(played) == set(episodes), (slot, played)
            if seed is None:
                cycle = episodes * len(played)
                assert played == cycle[:len(played)], (slot, played)
    finally:
        for envs in runners:
            envs.close()


def test_vector_entry_point_gets_a_make_vec_with_the_runners_slots():
    envs = runner_envs("vector_entry_point", 2, num_workers=3, num_envs=2)
    try:
        vector = envs.unwrapped
        assert isinstance(vector, py_engine_rust_gym.BrowserTradingVectorEnv)
        assert [(r.settings.episode_slot, r.settings.episode_slots) for r in vector.runners] == [(2, 6), (3, 6)]
    finally:
        envs.close()


@pytest.mark.parametrize("context, place", [
    ({}, RunnerPlace(0, 0, 1)),
    (types.SimpleNamespace(worker_index=3, num_workers=4), RunnerPlace(3, 4, 1)),
])
def test_without_a_runner_the_place_comes_from_the_context(context, place):
    config = dict(CONFIG)
    if not isinstance(context, dict):
        holder = type("Context", (dict,), {})(config)
        holder.worker_index, holder.num_workers = context.worker_index, context.num_workers
        config = holder
    env = env_creator(config)
    try:
        assert isinstance(env, IndexedEnv) and env.place == place
        assert env.unwrapped.settings.episode_slots == place.blocks
    finally:
        env.close()


@pytest.mark.parametrize("worker, workers, per_runner, slots", [
    (0, 0, 2, [(0, 2), (1, 2)]),          # only the driver's runner
    (0, 2, 2, [(0, 4), (1, 4)]),          # the driver's runner shares runner 1's episodes
    (1, 2, 2, [(0, 4), (1, 4)]),
    (2, 2, 2, [(2, 4), (3, 4)]),
    (3, 3, 1, [(2, 3)]),
])
def test_runner_places_deal_out_disjoint_slots(worker, workers, per_runner, slots):
    place = RunnerPlace(worker, workers, per_runner)
    assert [place.slot(k) for k in range(per_runner)] == slots


def test_importing_the_creator_does_not_import_ray():
    code = "import sys, py_engine_rust_gym.rllib; print(sorted(m for m in sys.modules if m.split('.')[0] == 'ray'))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"
