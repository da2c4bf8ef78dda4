"""An RLlib environment creator: one ``BrowserTradingEnv`` per sub-environment of each env runner.

    from ray import tune
    from py_engine_rust_gym.rllib import env_creator

    tune.register_env("browser_trading", env_creator)
    config = PPOConfig().environment("browser_trading", env_config={"episode_length": 100})

RLlib calls ``env_creator(env_config)`` in each of its env runners with an
``EnvContext``: the ``env_config`` dict (``BrowserTradingEnv``'s keyword
arguments) that also carries ``worker_index`` and ``vector_index``. The
environment runs where it is made, its engine on 127.0.0.1 of that machine
and its page in that process's Chromium. All environments trade the same
market (the candles come from ``env_config["seed"]``, 7 by default); they
differ by episode: a first ``reset()`` without a seed draws its episode from
``derive_seed(seed, worker_index, vector_index)``, so no two sub-environments
start the same sequence of episodes. An explicit ``reset(seed=...)`` (RLlib
passes one when its ``seed`` is configured) wins.

This module does not need RLlib, or Ray, to be imported; anything with the
two attributes, or a plain dict (index 0 and 0), will do as the context.
"""

from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Tuple

import gymnasium

from ._seeding import derive_seed
from .env import BrowserTradingEnv

__all__ = ["env_creator", "IndexedEnv"]


class IndexedEnv(gymnasium.Wrapper):
    """A ``BrowserTradingEnv`` that knows its ``worker_index`` and ``vector_index`` and seeds its first
    reset from them (``first_seed``)."""

    def __init__(self, env: BrowserTradingEnv, worker_index: int, vector_index: int, first_seed: int) -> None:
        super().__init__(env)
        self.worker_index = worker_index
        self.vector_index = vector_index
        self.first_seed = first_seed
        self._seeded = False

    def reset(self, *, seed: Optional[int] = None,
              options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        if seed is None and not self._seeded:
            seed = self.first_seed
        self._seeded = True
        return self.env.reset(seed=seed, options=options)


def env_creator(env_config: Optional[Mapping[str, Any]] = None) -> IndexedEnv:
    """The environment of one sub-environment of one env runner (see the module's docstring)."""
    kwargs = dict(env_config or {})
    worker_index = int(getattr(env_config, "worker_index", 0))
    vector_index = int(getattr(env_config, "vector_index", 0))
    env = BrowserTradingEnv(**kwargs)
    return IndexedEnv(env, worker_index, vector_index,
                      derive_seed(int(kwargs.get("seed", 7)), worker_index, vector_index))
