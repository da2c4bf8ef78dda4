"""Records of episodes: written as each episode ends, by single and vector environments alike, complete
enough to replay the episode on the page, which then gives the same rewards."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys

import gymnasium
import numpy as np
import pytest

import py_engine_rust_gym
from py_engine_rust_gym.data import candle_hash
from py_engine_rust_gym.records import EpisodeRecord, load_records

from gymhelpers import SMALL, crash_page

LENGTH = SMALL["episode_length"]


def play(envs, steps, seed):
    """``steps`` steps of random actions; what each page saw: its rewards and its actions."""
    envs.action_space.seed(seed)
    seen = []
    for _ in range(steps):
        actions = envs.action_space.sample()
        _, rewards, terminated, truncated, info = envs.step(actions)
        seen.append((np.atleast_1d(actions), np.atleast_1d(rewards)))
    return seen


def check_record(record, env, actions, rewards):
    assert record.actions == [int(a) for a in actions] and record.rewards == list(rewards)
    assert record.steps == LENGTH and record.truncated and not record.terminated and not record.page_error
    assert record.pnl == pytest.approx(sum(rewards), abs=1e-6) and len(record.trades) == record.trade_count
    np.testing.assert_array_equal(np.array(record.trades).reshape(-1, len(record.summary_columns)),
                                  env.episode_trades.reshape(-1, len(record.summary_columns)))
    assert record.market["sha256"] == candle_hash(env.settings.candles) == env.settings.market.sha256
    np.testing.assert_array_equal(np.load(record.candles_file), env.settings.candles)
    assert record.settings["episode_length"] == LENGTH and record.settings["window"] == SMALL["window"]
    assert len(record.prices) == LENGTH + 1 and record.prices[0] == env.settings.candles[record.first_candle, 3]


@pytest.mark.parametrize("scheme", ["trade", "target"])
def test_a_single_environment_records_its_episodes_and_they_replay(tmp_path, make_env, scheme):
    env = make_env(record_dir=tmp_path, action_scheme=scheme)
    _, info = env.reset(seed=4)
    seen = play(env, LENGTH, seed=4)
    (record,) = load_records([tmp_path])
    assert (record.episode_type, record.episode_index, record.reset_seed) == ("train", info["episode_index"], 4)
    check_record(record, env, [a[0] for a, _ in seen], [r[0] for _, r in seen])
    assert record.settings["action_scheme"]["class"].endswith(
        "TradeActions" if scheme == "trade" else "TargetPositionActions")
    result = py_engine_rust_gym.replay(record.path)
    assert (result.steps, result.trade_count) == (LENGTH, record.trade_count)
    assert result.total_reward == pytest.approx(record.total_reward, abs=1e-9)


def test_every_page_of_a_vector_environment_records_its_own_episodes(tmp_path, make_vec):
    envs = make_vec(2, record_dir=tmp_path)
    envs.reset(seed=6)
    seen = play(envs, LENGTH + 1, seed=6)  # the last step starts the next episodes (nothing to record)
    records = load_records([tmp_path])
    assert sorted(r.page for r in records) == sorted(env.runner.label for env in envs.envs)
    assert len(os.listdir(tmp_path / "markets")) == 1  # one market, stored once
    for record in records:
        i = next(n for n, env in enumerate(envs.envs) if env.runner.label == record.page)
        assert (record.slot, record.slots) == (i, 2)
        check_record(record, envs.envs[i], [a[i] for a, _ in seen[:LENGTH]], [r[i] for _, r in seen[:LENGTH]])
        assert py_engine_rust_gym.replay(record).total_reward == pytest.approx(record.total_reward, abs=1e-9)


def alter(record, step, action):
    """A copy of ``record``'s file with the action of ``step`` (1 is the first) changed."""
    data = json.load(open(record.path))
    data["actions"][step - 1] = action
    path = os.path.join(os.path.dirname(record.path), "altered-%d.json" % step)
    with open(path, "w") as f:
        json.dump(data, f)
    return path


@pytest.mark.parametrize("step", [1, LENGTH - 2])
def test_a_replay_of_altered_actions_fails_at_the_altered_step(tmp_path, make_env, step):
    env = make_env(record_dir=tmp_path)
    env.reset(options={"episode_index": 0})
    for _ in range(LENGTH):
        env.step(0)  # holding earns nothing, so buying instead changes that step's reward
    (record,) = load_records([tmp_path])
    run = subprocess.run([sys.executable, "-m", "py_engine_rust_gym", "replay", alter(record, step, 1)],
                         capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert run.returncode == 1, run.stdout + run.stderr
    assert "differs from the record at step %d: reward " % step in run.stderr
    assert "0.0 in the record (action 1)" in run.stderr
    with pytest.raises(py_engine_rust_gym.ReplayMismatch) as raised:
        py_engine_rust_gym.replay(alter(record, step, 2))
    assert raised.value.step == step


def test_an_episode_cut_by_a_crash_is_recorded_with_its_page_error(tmp_path, make_env):
    env = make_env(record_dir=tmp_path)
    env.reset(options={"episode_index": 1})
    env.step(1)
    env.step(0)
    crash_page(env.session)
    *_, truncated, info = env.step(2)
    assert truncated and "crashed" in info["page_error"]
    (record,) = load_records([tmp_path])
    assert record.steps == 3 and record.page_errors[:2] == ["", ""] and record.page_error == info["page_error"]
    assert record.rewards[2] == 0.0 and record.pnl is None and record.trades == []
    # The replay plays the steps before the fault, and says where the record stops.
    result = py_engine_rust_gym.replay(record)
    assert result.steps == 2 and result.page_error == record.page_error
    assert result.total_reward == pytest.approx(sum(record.rewards[:2]), abs=1e-9)


@pytest.mark.parametrize("vector", [False, True], ids=["single", "vector"])
def test_record_episodes_wraps_an_environment_made_already(tmp_path, make_vec, vector):
    if vector:
        envs = make_vec(2)
    else:
        envs = gymnasium.make(py_engine_rust_gym.ENV_ID, **SMALL)  # Gymnasium's own wrappers around it
    recording = py_engine_rust_gym.RecordEpisodes(envs, tmp_path)
    assert isinstance(recording, gymnasium.vector.VectorWrapper if vector else gymnasium.Wrapper)
    try:
        recording.reset(seed=1)
        for _ in range(LENGTH):
            recording.step(recording.action_space.sample())
        assert [os.path.dirname(path) for path in recording.written] == [str(tmp_path)] * (2 if vector else 1)
        assert [record.path for record in load_records([tmp_path])] == recording.written
    finally:
        if not vector:
            recording.close()


def test_evaluate_records_every_episode_it_plays_and_stops_recording_after(tmp_path, make_vec):
    envs = make_vec(2, test_fraction=0.5)
    rows = py_engine_rust_gym.evaluate(envs, lambda obs: np.ones(len(obs), dtype=np.int64), record_dir=tmp_path)
    records = load_records([tmp_path])
    assert sorted((r.episode_type, r.episode_index) for r in records) == [("test", row.episode_index) for row in rows]
    for row in rows:
        record = next(r for r in records if r.episode_index == row.episode_index)
        assert record.total_reward == pytest.approx(row.total_reward, abs=1e-9) and record.trade_count == row.trades
    assert all(runner.recorder is None for runner in envs.runners)


def test_the_rllib_creator_passes_the_record_directory_on(tmp_path):
    from py_engine_rust_gym.rllib import env_creator
    env = env_creator(dict(SMALL, record_dir=str(tmp_path)))
    try:
        env.reset(seed=0)
        for _ in range(LENGTH):
            env.step(0)
    finally:
        env.close()
    # Closed, the environment has its records on disk.
    (name,) = [name for name in os.listdir(tmp_path) if name.endswith(".json")]
    record = EpisodeRecord.load(tmp_path / name)
    assert record.steps == LENGTH and record.actions == [0] * LENGTH


def test_a_record_whose_candles_are_gone_or_changed_says_so(tmp_path, make_env):
    market = tmp_path / "market.npy"
    candles = py_engine_rust_gym.synthetic_candles(SMALL["candles"], seed=2)
    np.save(market, candles)
    env = make_env(record_dir=tmp_path / "records", candles=str(market))
    env.reset()
    for _ in range(LENGTH):
        env.step(0)
    (record,) = load_records([tmp_path / "records"])
    assert record.market["path"] == str(market)
    os.remove(record.candles_file)
    assert record.load_market().path == str(market)  # found again through the file it was read from
    np.save(market, candles * 1.01)
    with pytest.raises(FileNotFoundError, match="the candles of market %s were not found: .*missing.*other candles"
                       % record.market["sha256"][:12]):
        record.load_market()


def test_a_record_that_cannot_be_written_is_logged_and_kept_as_a_failure(tmp_path, make_env, caplog):
    env = make_env(record_dir=tmp_path / "gone")
    shutil.rmtree(tmp_path / "gone")
    env.reset()
    for _ in range(LENGTH):
        env.step(0)  # the episode ends, and its file cannot be written: the environment goes on
    env.reset()
    py_engine_rust_gym.flush_records()
    (failure,) = env.runner.recorder.failures
    assert isinstance(failure, FileNotFoundError) and env.runner.recorder.written == []
    (logged,) = [r for r in caplog.records if r.levelname == "ERROR"]
    assert "episode" in logged.getMessage() and "was not written to %s" % (tmp_path / "gone") in logged.getMessage()
