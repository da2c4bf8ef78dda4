"""``make_vec``: a Gymnasium ``VectorEnv`` whose pages are stepped concurrently from one event loop.

Every step sends each page its operations and its ``step_and_sync`` at once
and gathers the answers as they arrive: a batch takes as long as its
slowest page, not the sum of all of them. Autoreset follows Gymnasium's
``AutoresetMode`` (next step by default, same step, or disabled with
``reset(options={"reset_mask": mask})``).
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import gymnasium
import numpy as np
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space, concatenate, create_empty_array, iterate

from ._runtime import LOOP, gather_settled
from .env import BrowserTradingEnv, make_candles, seeds_for, split_options

#: Info entries whose arrays differ in shape from one environment to the next.
_RAGGED_INFO = ("trades",)


class BrowserTradingVectorEnv(VectorEnv):
    """``num_envs`` ``BrowserTradingEnv`` pages, each with its own engine, in one shared Chromium.

    Keyword arguments are those of ``BrowserTradingEnv``; the candles are made
    once and shared, so that the sub-environments differ by episode (a
    ``reset(seed=s)`` seeds sub-environment ``i`` with ``s + i``, which draws
    its first training episode), not by market.
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 4}

    def __init__(self, num_envs: int, *, autoreset_mode: Union[str, AutoresetMode] = AutoresetMode.NEXT_STEP,
                 **env_kwargs: Any) -> None:
        if int(num_envs) < 1:
            raise ValueError("num_envs must be at least 1, got %r" % (num_envs,))
        self.num_envs = int(num_envs)
        self.autoreset_mode = (autoreset_mode if isinstance(autoreset_mode, AutoresetMode)
                               else AutoresetMode(autoreset_mode))
        window = int(env_kwargs.get("window", 20))
        episode_length = int(env_kwargs.get("episode_length", 50))
        env_kwargs["candles"] = make_candles(env_kwargs.get("candles"), window, episode_length,
                                             int(env_kwargs.get("seed", 7)))
        self.envs: List[BrowserTradingEnv] = [BrowserTradingEnv.unopened(**env_kwargs) for _ in range(self.num_envs)]
        LOOP.run(self._open_all())
        first = self.envs[0]
        self.metadata = dict(self.metadata, autoreset_mode=self.autoreset_mode)
        self.render_mode = first.render_mode
        self.single_observation_space = first.observation_space
        self.single_action_space = first.action_space
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._env_obs: List[Any] = [None] * self.num_envs
        self._autoreset = np.zeros(self.num_envs, dtype=np.bool_)

    async def _open_all(self) -> None:
        results = await gather_settled([env._open() for env in self.envs])
        failures = [r for r in results if isinstance(r, BaseException)]
        if failures:
            await gather_settled([env._session.close() for env in self.envs])
            for env in self.envs:
                env._finalizer.detach()
            raise failures[0]

    @classmethod
    async def acreate(cls, num_envs: int, **kwargs: Any) -> "BrowserTradingVectorEnv":
        """The vector environment, made from ``async`` code (its pages open concurrently either way)."""
        import asyncio
        return await asyncio.get_running_loop().run_in_executor(None, lambda: cls(num_envs, **kwargs))

    def _batch(self) -> Any:
        out = create_empty_array(self.single_observation_space, n=self.num_envs, fn=np.zeros)
        return concatenate(self.single_observation_space, self._env_obs, out)

    def _add(self, infos: Dict[str, Any], info: Dict[str, Any], i: int) -> Dict[str, Any]:
        for key in _RAGGED_INFO:
            if key in info and key not in infos:
                infos[key] = np.full(self.num_envs, None, dtype=object)
        if "final_info" in info:
            inner = infos.setdefault("final_info", {})
            for key in _RAGGED_INFO:
                if key in info["final_info"] and key not in inner:
                    inner[key] = np.full(self.num_envs, None, dtype=object)
        return self._add_info(infos, info, i)

    # -- reset

    def _prepare_reset(self, seed: Any, options: Optional[Dict[str, Any]]) -> List[Tuple[int, str, int]]:
        """Seeds the chosen sub-environments and picks their episodes, in the caller's thread."""
        if self.closed:
            raise gymnasium.error.ClosedEnvironmentError("the vector environment is closed")
        VectorEnv.reset(self, seed=seed if isinstance(seed, (int, np.integer)) else None)
        seeds = seeds_for(seed, self.num_envs)
        options = dict(options) if options else None
        mask = np.ones(self.num_envs, dtype=np.bool_)
        if options is not None and "reset_mask" in options:
            mask = options.pop("reset_mask")
            if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
                raise ValueError("options['reset_mask'] must be a bool array of shape (%d,)" % self.num_envs)
            if not mask.any():
                raise ValueError("options['reset_mask'] must select at least one environment")
        per_env = split_options(options, self.num_envs)
        plan = []
        for i, env in enumerate(self.envs):
            if mask[i]:
                gymnasium.Env.reset(env, seed=seeds[i])
                plan.append((i,) + env._pick_episode(seeds[i], per_env[i]))
        return plan

    async def _do_reset(self, plan: List[Tuple[int, str, int]]) -> Tuple[Any, Dict[str, Any]]:
        results = await gather_settled([self.envs[i]._do_reset(kind, index) for i, kind, index in plan])
        infos: Dict[str, Any] = {}
        failure = None
        for (i, _, _), result in zip(plan, results):
            if isinstance(result, BaseException):
                failure = failure or result
                self._autoreset[i] = True
                continue
            self._env_obs[i], info = result
            self._autoreset[i] = False
            infos = self._add(infos, info, i)
        if failure is not None:
            raise failure
        return self._batch(), infos

    def reset(self, *, seed: Union[None, int, Sequence[Optional[int]]] = None,
              options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """Resets every sub-environment, or those of ``options["reset_mask"]``; options whose value is a
        sequence of ``num_envs`` items (for example ``episode_index``) give one item to each."""
        return LOOP.run(self._do_reset(self._prepare_reset(seed, options)))

    async def areset(self, *, seed: Union[None, int, Sequence[Optional[int]]] = None,
                     options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        return await LOOP.run_async(self._do_reset(self._prepare_reset(seed, options)))

    # -- step

    async def _step_one(self, i: int, action: Any) -> Tuple[Any, ...]:
        env = self.envs[i]
        if self._autoreset[i]:
            if self.autoreset_mode == AutoresetMode.DISABLED:
                raise ResetNeeded("sub-environment %d's episode is over: reset it with "
                                  "reset(options={'reset_mask': mask})" % i)
            observation, info = await env._do_reset(*env._pick_episode(None, None))
            return observation, 0.0, False, False, info, None
        observation, reward, terminated, truncated, info = await env._do_step(action)
        if self.autoreset_mode == AutoresetMode.SAME_STEP and (terminated or truncated):
            final = {"final_obs": observation, "final_info": info}
            observation, info = await env._do_reset(*env._pick_episode(None, None))
            return observation, reward, terminated, truncated, info, final
        return observation, reward, terminated, truncated, info, None

    async def _do_step(self, actions: Any) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        per_env = list(iterate(self.action_space, actions))
        results = await gather_settled([self._step_one(i, a) for i, a in enumerate(per_env)])
        rewards = np.zeros(self.num_envs, dtype=np.float64)
        terminations = np.zeros(self.num_envs, dtype=np.bool_)
        truncations = np.zeros(self.num_envs, dtype=np.bool_)
        infos: Dict[str, Any] = {}
        failure = None
        for i, result in enumerate(results):
            if isinstance(result, BaseException):
                # Its episode is lost; the next step (or a masked reset) starts another.
                failure = failure or result
                self._autoreset[i] = True
                continue
            self._env_obs[i], rewards[i], terminations[i], truncations[i], info, final = result
            if final is not None:
                infos = self._add(infos, final, i)
            infos = self._add(infos, info, i)
            # A same-step reset has already begun the next episode.
            self._autoreset[i] = final is None and (terminations[i] or truncations[i])
        if failure is not None:
            raise failure
        return self._batch(), rewards, terminations, truncations, infos

    def step(self, actions: Any) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        if self.closed:
            raise gymnasium.error.ClosedEnvironmentError("the vector environment is closed")
        return LOOP.run(self._do_step(actions))

    async def astep(self, actions: Any) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        if self.closed:
            raise gymnasium.error.ClosedEnvironmentError("the vector environment is closed")
        return await LOOP.run_async(self._do_step(actions))

    # -- the rest

    async def _do_render(self) -> Tuple[Any, ...]:
        if self.render_mode == "rgb_array":
            frames = await gather_settled([env._session.screenshot() for env in self.envs])
        else:
            frames = await gather_settled([env._session.show() for env in self.envs])
        for frame in frames:
            if isinstance(frame, BaseException):
                raise frame
        return tuple(frames)

    def render(self) -> Optional[Tuple[Any, ...]]:
        if self.render_mode is None:
            return None
        return LOOP.run(self._do_render())

    def call(self, name: str, *args: Any, **kwargs: Any) -> Tuple[Any, ...]:
        results = []
        for env in self.envs:
            attribute = getattr(env, name)
            results.append(attribute(*args, **kwargs) if callable(attribute) else attribute)
        return tuple(results)

    def get_attr(self, name: str) -> Tuple[Any, ...]:
        return tuple(getattr(env, name) for env in self.envs)

    def close_extras(self, **kwargs: Any) -> None:
        """Closes every page, then its engine, concurrently; the last closes Chromium."""
        sessions = [env._session for env in self.envs if env._finalizer.detach() is not None]
        if LOOP.in_loop_thread():
            for session in sessions:
                LOOP.spawn(session.close())
            return
        LOOP.run(gather_settled([session.close() for session in sessions]))

    async def aclose(self) -> None:
        if self.closed:
            return
        self.closed = True
        sessions = [env._session for env in self.envs if env._finalizer.detach() is not None]
        await LOOP.run_async(gather_settled([session.close() for session in sessions]))


def make_vec(num_envs: int, **kwargs: Any) -> BrowserTradingVectorEnv:
    """``num_envs`` environments stepped concurrently: ``make_vec(8, episode_length=100)``.

    ``autoreset_mode=`` takes a ``gymnasium.vector.AutoresetMode`` or its value
    (``"NextStep"``, ``"SameStep"``, ``"Disabled"``); every other keyword is
    one of ``BrowserTradingEnv``.
    """
    return BrowserTradingVectorEnv(num_envs, **kwargs)
