"""make_vec: batched steps over many pages, autoreset, slow pages, and what closing leaves behind."""

from __future__ import annotations

import gc
import json
import logging
import os
import subprocess
import sys
import textwrap
import time

import gymnasium
import numpy as np
import psutil
import pytest
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode

import py_engine_rust_gym
from py_engine_rust_gym._runtime import LOOP

from gymhelpers import SMALL, alive, browser_processes, ports_can_be_bound


def test_make_vec_4_steps_every_page(make_vec):
    envs = make_vec(4)
    assert envs.observation_space.shape == (4,) + envs.single_observation_space.shape
    obs, info = envs.reset(seed=5)
    assert obs in envs.observation_space
    # Seeds 5..8 draw where each page's training order starts.
    assert list(info["episode_index"]) == [e.reset(seed=5 + i)[1]["episode_index"] for i, e in
                                           enumerate(envs.envs)]
    obs, info = envs.reset(seed=5)
    envs.action_space.seed(5)
    returns = np.zeros(4)
    for step in range(1, SMALL["episode_length"] + 1):
        obs, rewards, terminated, truncated, info = envs.step(envs.action_space.sample())
        assert obs in envs.observation_space and rewards.dtype == np.float64
        assert list(info["step"]) == [step] * 4
        returns += rewards
    assert truncated.all() and not terminated.any()
    np.testing.assert_allclose(returns, info["pnl"], atol=1e-6)
    assert info["trade_count"].dtype == np.int64 and info["_trade_count"].all()
    assert [len(trades) for trades in envs.call("episode_trades")] == list(info["trade_count"])


def test_gymnasium_make_vec_uses_the_vector_entry_point():
    envs = gymnasium.make_vec(py_engine_rust_gym.ENV_ID, num_envs=2, **SMALL)
    try:
        assert isinstance(envs.unwrapped, py_engine_rust_gym.BrowserTradingVectorEnv)
        assert envs.reset()[0].shape == (2,) + envs.single_observation_space.shape
    finally:
        envs.close()


def test_options_given_per_environment(make_vec):
    envs = make_vec(3, test_fraction=0.5)
    _, info = envs.reset(options={"episode_index": [2, 0, 1], "episode_type": "test"})
    assert list(info["episode_index"]) == [2, 0, 1] and list(info["episode_type"]) == ["test"] * 3


@pytest.mark.parametrize("mode", list(AutoresetMode), ids=lambda m: m.value)
def test_autoreset_modes(make_vec, mode):
    length = 3
    envs = make_vec(2, episode_length=length, candles=5 + length * 8, autoreset_mode=mode)
    assert envs.metadata["autoreset_mode"] == mode
    envs.reset(seed=0)
    returns = np.zeros(2)
    for _ in range(length - 1):
        returns += envs.step(np.array([1, 2]))[1]
    obs, rewards, terminated, truncated, info = envs.step(np.array([0, 0]))
    returns += rewards
    assert truncated.all()
    if mode == AutoresetMode.SAME_STEP:
        # The new episode has begun; the finished one is in final_obs / final_info.
        assert list(info["step"]) == [0, 0] and info["_final_obs"].all()
        assert list(info["final_info"]["step"]) == [length, length]
        np.testing.assert_allclose(returns, info["final_info"]["pnl"], atol=1e-6)
        assert all(final in envs.single_observation_space for final in info["final_obs"])
        assert not np.array_equal(info["final_obs"][0], obs[0])
        assert list(envs.step(np.array([0, 0]))[4]["step"]) == [1, 1]
    elif mode == AutoresetMode.NEXT_STEP:
        np.testing.assert_allclose(returns, info["pnl"], atol=1e-6)
        obs, rewards, terminated, truncated, info = envs.step(np.array([1, 1]))
        assert list(rewards) == [0, 0] and not truncated.any() and list(info["step"]) == [0, 0]
        assert list(info["net_units"]) == [0, 0]  # the reset step ignores the action
        assert list(envs.step(np.array([0, 0]))[4]["step"]) == [1, 1]
    else:
        with pytest.raises(ResetNeeded, match="reset_mask"):
            envs.step(np.array([0, 0]))
        _, info = envs.reset(options={"reset_mask": np.array([True, False])})
        assert list(info["_step"]) == [True, False]
        envs.reset(options={"reset_mask": np.array([False, True])})
        assert list(envs.step(np.array([0, 0]))[4]["step"]) == [1, 1]


def _delay(envs, index, ms):
    LOOP.run(envs.envs[index].session.evaluate("window.uiPeer.delayAnswers(%d, 1)" % ms))


def test_a_slow_page_does_not_stall_the_others(make_vec):
    delay = 1.0
    envs = make_vec(4)
    envs.reset(seed=0)
    hold = np.zeros(4, dtype=np.int64)
    envs.step(hold)
    # One page answers its step late: the batch takes that page's delay, not more.
    _delay(envs, 0, delay * 1000)
    started = time.monotonic()
    _, _, _, _, info = envs.step(hold)
    one_slow = time.monotonic() - started
    assert list(info["step"]) == [2] * 4
    # Every page late: served side by side, the batch still takes about one delay, not four.
    for i in range(4):
        _delay(envs, i, delay * 1000)
    started = time.monotonic()
    envs.step(hold)
    all_slow = time.monotonic() - started
    assert delay <= one_slow < delay + 1.0, one_slow
    assert delay <= all_slow < 2 * delay, all_slow


def _settled_descriptors(target=None) -> int:
    """Open descriptors once garbage is collected (PyPy closes files of dead objects only then),
    giving closing threads a moment to reach ``target``."""
    deadline = time.monotonic() + 5
    while True:
        gc.collect()
        count = psutil.Process().num_fds()
        if target is None or count <= target or time.monotonic() > deadline:
            return count
        time.sleep(0.1)


def test_sixteen_environments_made_and_closed_twice_leave_nothing_behind():
    counts = []
    for _ in range(2):
        envs = py_engine_rust_gym.make_vec(16, **SMALL)
        ports = [env.session.engine.port for env in envs.envs]
        assert len(set(ports)) == 16
        envs.reset(seed=1)
        envs.step(np.ones(16, dtype=np.int64))
        assert browser_processes(os.getpid())
        envs.close()
        assert ports_can_be_bound(ports)
        assert browser_processes(os.getpid()) == {}
        counts.append(_settled_descriptors(counts[0] if counts else None))
    assert counts[1] <= counts[0], counts


CHILD = textwrap.dedent("""
    import json, os, sys
    sys.path.insert(0, sys.argv[1])
    import numpy as np
    import py_engine_rust_gym
    from gymhelpers import SMALL, browser_processes
    env = py_engine_rust_gym.BrowserTradingEnv(**SMALL)
    envs = py_engine_rust_gym.make_vec(2, **SMALL)
    env.reset()
    envs.reset()
    env.step(1)
    envs.step(np.array([1, 2]))
    print(json.dumps(sorted(browser_processes(os.getpid()))), flush=True)
    if sys.argv[2] == "raise":
        raise RuntimeError("boom in the middle of an episode")
""")


@pytest.mark.parametrize("ending", ["raise", "return"])
def test_script_ending_mid_episode_leaves_no_browser(ending):
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run([sys.executable, "-c", CHILD, tests_dir, ending], capture_output=True, text=True,
                           timeout=120, stdin=subprocess.DEVNULL)
    assert child.returncode == (1 if ending == "raise" else 0), child.stderr
    if ending == "raise":
        assert "boom in the middle of an episode" in child.stderr
    pids = json.loads(child.stdout.strip().splitlines()[-1])
    assert pids, "the child saw no browser process"
    deadline = time.monotonic() + 10
    living = pids
    while living and time.monotonic() < deadline:
        living = [pid for pid in pids if alive(pid)]
        time.sleep(0.1)
    assert living == [], living


@pytest.mark.parametrize("observation", ["features", "raw"])
def test_a_batched_step_gives_what_separate_environments_give(make_vec, make_env, observation):
    """Pages that trade and pages that hold in one batch, across an episode's end: observations, rewards
    and infos equal those of single environments playing the same episodes with the same actions."""
    kwargs = dict(observation=observation, episode_length=3, candles=5 + 3 * 6)
    envs = make_vec(3, **kwargs)
    singles = [make_env(**kwargs) for _ in range(3)]
    obs, info = envs.reset(options={"episode_index": [0, 1, 2]})
    for i, env in enumerate(singles):
        single_obs, _ = env.reset(options={"episode_index": i})
        _assert_same(single_obs, obs, i)
    actions = np.random.default_rng(4).integers(0, 4, (8, 3))
    actions[:, 1] = 0  # one page only ever holds
    for step in actions:
        obs, rewards, terminated, truncated, info = envs.step(step)
        for i, env in enumerate(singles):
            if env.runner.episode_over:
                single_obs, single_info = env.reset(options={"episode_index": envs.episodes[i][1]})
                single = (single_obs, 0.0, False, False, single_info)
            else:
                single = env.step(step[i])
            _assert_same(single[0], obs, i)
            assert (single[1], single[2], single[3]) == (rewards[i], terminated[i], truncated[i])
            for key, value in single[4].items():
                assert info["_" + key][i] and info[key][i] == value, (key, i)


def _assert_same(single, batch, i):
    if isinstance(single, dict):
        for key in single:
            np.testing.assert_array_equal(single[key], batch[key][i])
    else:
        np.testing.assert_array_equal(single, batch[i])


def test_opening_many_pages_logs_its_progress(make_vec, caplog):
    caplog.set_level(logging.INFO, logger="py_engine_rust_gym")
    make_vec(3)
    progress = [r.getMessage() for r in caplog.records if r.getMessage().startswith("opened ")]
    assert progress == ["opened 1/3 pages", "opened 2/3 pages", "opened 3/3 pages"]
    opened = [r for r in caplog.records if "page opened and connected in" in r.getMessage()]
    assert len(opened) == 3 and all(r.levelname == "INFO" for r in opened)
