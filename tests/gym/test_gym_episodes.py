"""Which episodes the pages play: distinct pages, seeds, episode types, markets per page, evaluation."""

from __future__ import annotations

import warnings
from collections import Counter

import numpy as np
import pytest

import py_engine_rust_gym
from py_engine_rust_gym import EpisodeSchedule, evaluate

from gymhelpers import SMALL

SHORT = {"episode_length": 3, "window": 5, "candles": None, "connect_timeout": 20.0}  # the default 32 slots: 24 train, 8 test


def _play(envs, steps):
    """Steps with random actions; each step's (type, index) per page, and whether any two pages shared one."""
    seen, shared = [], False
    for _ in range(steps):
        envs.step(envs.action_space.sample())
        episodes = envs.episodes
        seen.append(list(episodes))
        shared = shared or len(set(episodes)) < len(episodes)
    return seen, shared


@pytest.mark.parametrize("seed", [None, 0])
def test_eight_pages_play_distinct_episodes_and_the_seed_repeats_the_schedule(make_vec, seed):
    envs = make_vec(8, **SHORT)
    assert envs.envs[0].episode_counts["train"] == 24
    runs = []
    for _ in range(2):
        _, info = envs.reset(seed=seed)
        assert len(set(info["episode_index"])) == 8
        envs.action_space.seed(1)
        seen, shared = _play(envs, 4 * (SHORT["episode_length"] + 1))
        assert not shared
        runs.append(seen)
    # Every page moved on to other episodes; with a seed the whole schedule comes back the same, without
    # one each reset goes on where the schedule was.
    assert len({episode for step in runs[0] for episode in step}) > 16
    assert (runs[0] == runs[1]) == (seed is not None)
    if seed is not None:
        envs.reset(seed=seed + 1)
        assert _play(envs, 4 * (SHORT["episode_length"] + 1))[0] != runs[0]


@pytest.mark.parametrize("slots, count", [(1, 5), (3, 10), (8, 24), (4, 4), (5, 2), (7, 3)])
def test_schedules_of_a_group_never_overlap_and_cover_every_episode(slots, count):
    schedules = [EpisodeSchedule(count, slot, slots) for slot in range(slots)]
    for n, schedule in enumerate(schedules):
        schedule.seed(None if n % 2 else 100 + n)
    rounds = [[s.next() for s in schedules] for _ in range(3 * count)]
    limit = -(-slots // count)  # ceil: more pages than episodes share, evenly
    assert all(max(Counter(r).values()) <= limit for r in rounds)
    assert {e for r in rounds for e in r} == set(range(count))
    assert all(s.shared == (slots > count) for s in schedules)


def test_more_pages_than_episodes_warns_once_and_spreads_them_evenly(make_vec):
    envs = make_vec(5, **dict(SHORT, candles=5 + 3 * 3))  # 2 train episodes
    with pytest.warns(UserWarning, match="5 pages but only 2 train episodes"):
        envs.reset()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        seen, _ = _play(envs, 2 * (SHORT["episode_length"] + 1))
    assert all(max(Counter(step).values()) <= 3 for step in seen)


def test_autoreset_keeps_the_episode_type_of_the_last_reset(make_vec):
    envs = make_vec(2, **dict(SMALL, episode_length=2, candles=5 + 2 * 8, test_fraction=0.5))
    _, info = envs.reset(options={"episode_type": "test"})
    assert list(info["episode_type"]) == ["test", "test"]
    seen, shared = _play(envs, 3 * 3)
    assert {kind for step in seen for kind, _ in step} == {"test"} and not shared
    _, info = envs.reset(options={"episode_type": ["train", "test"]})
    assert list(info["episode_type"]) == ["train", "test"]
    seen, _ = _play(envs, 3)
    assert [kind for kind, _ in seen[-1]] == ["train", "test"]


def test_one_market_per_page_cycled(make_vec):
    markets = [py_engine_rust_gym.synthetic_candles(SMALL["candles"], seed=s, start=p)
               for s, p in ((1, 50.0), (2, 500.0))]
    envs = make_vec(3, **dict(SMALL, candles=markets))
    _, info = envs.reset(options={"episode_index": 0})
    first = SMALL["window"] - 1
    assert list(info["price"]) == [markets[0][first, 3], markets[1][first, 3], markets[0][first, 3]]


def test_evaluate_plays_every_test_episode_exactly_once(make_vec):
    envs = make_vec(2, **dict(SMALL, episode_length=3, candles=5 + 3 * 10, test_fraction=0.5))
    count = envs.envs[0].episode_counts["test"]
    assert count == 5
    rows = evaluate(envs, lambda obs: np.ones(len(obs), dtype=np.int64))  # buy every step
    assert [(r.episode_type, r.episode_index, r.steps) for r in rows] == [("test", i, 3) for i in range(count)]
    assert all(r.trades == 3 and not r.page_error and np.isclose(r.pnl, r.total_reward) for r in rows)
    assert len({round(r.pnl, 9) for r in rows}) == count
    held = evaluate(envs, lambda obs: np.zeros(len(obs), dtype=np.int64), episodes=[4, 1])
    assert [(r.episode_index, r.trades, r.pnl) for r in held] == [(1, 0, 0.0), (4, 0, 0.0)]
    # The environments go on after a reset.
    assert envs.reset()[0].shape == envs.observation_space.shape
