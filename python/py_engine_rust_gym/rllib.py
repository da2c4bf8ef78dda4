"""An RLlib environment creator: the environments of RLlib's env runners, each page on its own episodes.

    from ray import tune
    from py_engine_rust_gym.rllib import env_creator

    tune.register_env("browser_trading", env_creator)
    config = PPOConfig().environment("browser_trading", env_config={"episode_length": 100})

RLlib calls ``env_creator(env_config)`` in each env runner: once per
sub-environment with an ``EnvContext`` (``gym_env_vectorize_mode="sync"``,
the default), or once per runner with the config plus ``num_envs``
(``"vector_entry_point"``), which gets a ``make_vec``. The config holds
``BrowserTradingEnv``'s keyword arguments. The environments run where they
are made, their engines on 127.0.0.1 of that machine and their pages in
that process's Chromium.

Every sub-environment of every runner plays its own episodes: the
episodes are dealt out (``EpisodeSchedule``) by the runner's index and the
sub-environment's place in it, which are read from RLlib (the context's
``worker_index`` and ``num_workers``, and the runner's
``num_envs_per_env_runner``) because RLlib gives every sub-environment the
same context, ``vector_index`` 0 included, and the vector entry point
none at all. Runner 0, the driver's, shares the episodes of runner 1 (it
samples only when there are no others). A seed (``config.debugging(seed=...)``)
shuffles each page's own episodes and cannot make two pages meet. All
runners trade the same market unless ``candles`` says otherwise.

This module needs neither RLlib nor Ray to be imported.
"""

from __future__ import annotations

import itertools
import sys
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Tuple, Union

import gymnasium

from .env import BrowserTradingEnv
from .vector import BrowserTradingVectorEnv, make_vec

__all__ = ["env_creator", "IndexedEnv", "RunnerPlace"]

#: Sub-environments made so far in this process, per runner index (sync mode makes them one by one).
_made: Dict[int, "itertools.count[int]"] = {}


@dataclass(frozen=True)
class RunnerPlace:
    """Where an environment sits among all of RLlib's: its runner and the number of runners and
    sub-environments per runner."""

    worker_index: int = 0
    num_workers: int = 0
    envs_per_runner: int = 1

    @property
    def block(self) -> int:
        """The runner's share of the episodes; the driver's runner 0 shares runner 1's."""
        return max(self.worker_index - 1, 0) if self.num_workers > 0 else 0

    @property
    def blocks(self) -> int:
        return max(self.num_workers, 1)

    def slot(self, sub_index: int) -> Tuple[int, int]:
        """``(episode_slot, episode_slots)`` of sub-environment ``sub_index`` of this runner."""
        n = self.envs_per_runner
        return self.block * n + sub_index % n, self.blocks * n


def runner_place(env_config: Any, num_envs: Optional[int] = None) -> RunnerPlace:
    """The place of the environment being made: from RLlib's env runner on the call stack (the one
    whose ``make_env`` is running), else from the context's attributes."""
    worker = getattr(env_config, "worker_index", None)
    workers = getattr(env_config, "num_workers", None)
    per_runner = num_envs
    frame = sys._getframe(1)
    while frame is not None:
        runner = frame.f_locals.get("self")
        config = getattr(runner, "config", None)
        if hasattr(runner, "worker_index") and hasattr(runner, "num_workers") and \
                hasattr(config, "num_envs_per_env_runner"):
            worker = runner.worker_index if worker is None else worker
            workers = runner.num_workers if workers is None else workers
            per_runner = per_runner or int(config.num_envs_per_env_runner)
            break
        frame = frame.f_back
    return RunnerPlace(int(worker or 0), int(workers or 0), int(per_runner or 1))


class IndexedEnv(gymnasium.Wrapper):
    """A ``BrowserTradingEnv`` that knows its place among RLlib's environments: ``place`` and ``sub_index``."""

    def __init__(self, env: BrowserTradingEnv, place: RunnerPlace, sub_index: int) -> None:
        super().__init__(env)
        self.place = place
        self.sub_index = sub_index

    @property
    def worker_index(self) -> int:
        return self.place.worker_index


def env_creator(env_config: Optional[Mapping[str, Any]] = None) -> Union[IndexedEnv, BrowserTradingVectorEnv]:
    """The environment of one sub-environment of one env runner, or with ``num_envs`` in the config (RLlib's
    vector entry point) all of the runner's in one ``make_vec`` (see the module's docstring)."""
    kwargs = dict(env_config or {})
    num_envs = kwargs.pop("num_envs", None)
    if num_envs is not None:
        place = runner_place(env_config, int(num_envs))
        first, slots = place.slot(0)
        return make_vec(int(num_envs), episode_slot=first, episode_slots=slots, **kwargs)
    place = runner_place(env_config)
    sub_index = next(_made.setdefault(place.worker_index, itertools.count()))
    slot, slots = place.slot(sub_index)
    env = BrowserTradingEnv(episode_slot=slot, episode_slots=slots, **kwargs)
    return IndexedEnv(env, place, sub_index % place.envs_per_runner)
