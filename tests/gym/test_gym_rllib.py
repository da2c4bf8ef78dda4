"""The RLlib environment creator: indices from the environment context, and no Ray needed to import it."""

from __future__ import annotations

import subprocess
import sys

import pytest

import py_engine_rust_gym
from py_engine_rust_gym._seeding import derive_seed
from py_engine_rust_gym.rllib import IndexedEnv, env_creator

from gymhelpers import SMALL


class DictContext(dict):
    """What RLlib hands an environment creator, without RLlib: the config dict with two attributes."""

    def __init__(self, config, worker_index, vector_index):
        super().__init__(config)
        self.worker_index = worker_index
        self.vector_index = vector_index


def rllib_context(config, worker_index, vector_index):
    env_context = pytest.importorskip("ray.rllib.env.env_context", reason="RLlib (ray[rllib]) is not installed")
    return env_context.EnvContext(config, worker_index=worker_index, vector_index=vector_index, num_workers=2)


@pytest.fixture
def created():
    envs = []

    def create(config):
        env = env_creator(config)
        envs.append(env)
        return env
    yield create
    for env in envs:
        env.close()


@pytest.mark.parametrize("context", [DictContext, rllib_context], ids=["dict-like", "EnvContext"])
def test_each_sub_environment_starts_its_own_episodes(created, make_env, context):
    config = dict(SMALL, seed=11, episode_length=6, candles=5 + 6 * 12)
    firsts = {}
    for worker, vector in [(1, 0), (1, 1), (2, 0)]:
        env = created(context(config, worker, vector))
        assert isinstance(env, IndexedEnv) and isinstance(env.unwrapped, py_engine_rust_gym.BrowserTradingEnv)
        assert (env.worker_index, env.vector_index) == (worker, vector)
        assert env.unwrapped.config["episode_length"] == 6
        _, info = env.reset()
        firsts[worker, vector] = info["episode_index"]
        # Later resets go on in the order the first one began.
        count = env.unwrapped.episode_counts["train"]
        assert env.reset()[1]["episode_index"] == (info["episode_index"] + 1) % count
        # An explicit seed wins over the indices.
        assert env.reset(seed=5)[1]["episode_index"] == created(dict(config)).reset(seed=5)[1]["episode_index"]
    # The first episode is the one a reset seeded from (seed, worker_index, vector_index) draws.
    reference = make_env(**config)
    assert firsts == {key: reference.reset(seed=derive_seed(11, *key))[1]["episode_index"] for key in firsts}


def test_a_plain_dict_is_worker_0_vector_0(created):
    env = created(dict(SMALL))
    assert (env.worker_index, env.vector_index, env.first_seed) == (0, 0, derive_seed(7, 0, 0))


def test_importing_the_creator_does_not_import_ray():
    code = "import sys, py_engine_rust_gym.rllib; print(sorted(m for m in sys.modules if m.split('.')[0] == 'ray'))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"
