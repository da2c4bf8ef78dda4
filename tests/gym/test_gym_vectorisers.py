"""Gymnasium's own vectorisers over BrowserTradingEnv, across episode ends, in every mode."""

from __future__ import annotations

import os

import gymnasium
import numpy as np
import pytest
from gymnasium.vector import AutoresetMode

import py_engine_rust_gym

from gymhelpers import SMALL, browser_processes

MODES = {
    "sync": {"vectorization_mode": "sync"},
    "async-fork": {"vectorization_mode": "async", "vector_kwargs": {"context": "fork"}},
    "async-spawn": {"vectorization_mode": "async", "vector_kwargs": {"context": "spawn"}},
    "vector_entry_point": {"vectorization_mode": "vector_entry_point"},
}


@pytest.mark.parametrize("mode", list(MODES))
def test_gymnasium_make_vec_steps_across_episode_ends_and_closes_cleanly(mode):
    length = 3
    kwargs = dict(SMALL, episode_length=length, candles=5 + length * 8)
    envs = gymnasium.make_vec(py_engine_rust_gym.ENV_ID, num_envs=2, **MODES[mode], **kwargs)
    try:
        obs, info = envs.reset(seed=0)
        assert obs.shape == (2,) + envs.single_observation_space.shape
        ends = 0
        for _ in range(3 * (length + 1)):
            obs, rewards, terminated, truncated, info = envs.step(envs.action_space.sample())
            assert obs in envs.observation_space and rewards.shape == (2,)
            ends += int(truncated.sum())
            if truncated.any():
                assert info["_pnl"][truncated].all() and info["_trade_count"][truncated].all()
        assert ends >= 4
        if mode != "vector_entry_point":
            # Gymnasium's autoreset keeps each page on its own episodes: the sub-environments were seeded 0 and 1.
            assert envs.metadata["autoreset_mode"] == AutoresetMode.NEXT_STEP
    finally:
        envs.close()
    assert browser_processes(os.getpid()) == {}


def test_sync_vector_env_stacks_every_info_of_a_single_environment():
    envs = gymnasium.vector.SyncVectorEnv(
        [lambda: py_engine_rust_gym.BrowserTradingEnv(**dict(SMALL, episode_length=2, candles=5 + 2 * 8))] * 2)
    try:
        _, info = envs.reset(seed=3)
        shapes = {key: {np.shape(value)} for key, value in info.items()}
        for _ in range(6):
            _, _, _, _, info = envs.step(np.array([1, 2]))
            for key, value in info.items():
                shapes.setdefault(key, set()).add(np.shape(value))
        assert all(len(s) == 1 for s in shapes.values()), shapes
        assert {"step", "equity", "episode_index", "pnl", "trade_count", "_pnl"} <= set(shapes)
    finally:
        envs.close()
