"""``make_vec``: a Gymnasium ``VectorEnv`` whose pages are stepped together from one event loop.

Each page has its own engine and plays its own episodes: the pages share
out the market's episodes (``schedule.EpisodeSchedule``), so that no two
are on the same one as long as there are at least as many episodes as
pages. Every step sends the pages' trading operations at once, then all their
``step_and_sync`` calls as one batch (``batch.PageBatch``): a batch takes
as long as its slowest page, not the sum of all of them, and a page that
crashes, hangs or loses its connection ends only its own episode
(``page_error``).
Autoreset follows Gymnasium's ``AutoresetMode`` (next step by default, same
step, or disabled with ``reset(options={"reset_mask": mask})``) and keeps
the episode type of the last reset.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
import os
import warnings
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import gymnasium
import numpy as np
from gymnasium.error import ResetNeeded
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space, iterate

from ._runtime import LOOP, gather_settled
from .batch import PageBatch
from .env import BrowserTradingEnv, next_label
from .errors import raise_first
from .runner import PageRunner
from .settings import RENDER_MODES, EnvSettings, keyword_signature

LOG = logging.getLogger("py_engine_rust_gym")

#: Reset options that may give one value per page (a sequence of ``num_envs`` values).
PER_PAGE_OPTIONS = ("episode_index", "episode_type")


def is_market_list(candles: Any) -> bool:
    """Whether ``candles`` is one market per page (a list of arrays, DataFrames or file paths) rather
    than one market."""
    return isinstance(candles, (list, tuple)) and len(candles) > 0 and all(
        isinstance(c, (np.ndarray, str, os.PathLike)) or (not isinstance(c, (list, tuple)) and not np.isscalar(c))
        for c in candles)


class BrowserTradingVectorEnv(VectorEnv):
    """``num_envs`` ``BrowserTradingEnv`` pages, each with its own engine, in one shared Chromium.

    Keyword arguments are those of ``BrowserTradingEnv`` (``EnvSettings``),
    plus ``autoreset_mode``. ``candles`` may be a list of markets, one per
    page (cycled when shorter). ``episode_slot`` and ``episode_slots`` give
    the share of the episodes of the whole group when several vector
    environments train together (page ``i`` takes slot ``episode_slot + i``
    of ``episode_slots``, which defaults to ``num_envs``).
    """

    metadata = {"render_modes": list(RENDER_MODES), "render_fps": 4}

    def __init__(self, num_envs: int, settings: Optional[EnvSettings] = None, *,
                 autoreset_mode: Union[str, AutoresetMode] = AutoresetMode.NEXT_STEP, **kwargs: Any) -> None:
        if int(num_envs) < 1:
            raise ValueError("num_envs must be at least 1, got %r" % (num_envs,))
        self.num_envs = int(num_envs)
        self.autoreset_mode = (autoreset_mode if isinstance(autoreset_mode, AutoresetMode)
                               else AutoresetMode(autoreset_mode))
        self.envs: List[BrowserTradingEnv] = [BrowserTradingEnv.unopened(s, next_label())
                                              for s in page_settings(self.num_envs, settings, kwargs)]
        self.runners: List[PageRunner] = [env.runner for env in self.envs]
        LOOP.run(self._open_all())
        self.metadata = dict(self.metadata, autoreset_mode=self.autoreset_mode)
        self.render_mode = self.envs[0].render_mode
        self.single_observation_space = max((r.observation_space for r in self.runners),
                                            key=lambda space: _space_extent(space))
        self.single_action_space = self.envs[0].action_space
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._pages = PageBatch(self.runners, self.autoreset_mode, self._add_info)
        self._warned_shared: set = set()

    async def _open_all(self) -> None:
        opened = 0
        every = max(1, self.num_envs // 10)

        async def open_one(env: BrowserTradingEnv) -> None:
            nonlocal opened
            await env._open()
            opened += 1
            if self.num_envs > 1 and (opened % every == 0 or opened == self.num_envs):
                LOG.info("opened %d/%d pages", opened, self.num_envs)

        results = await gather_settled([open_one(env) for env in self.envs])
        if any(isinstance(r, BaseException) for r in results):
            await gather_settled([runner.close() for runner in self.runners])
            for env in self.envs:
                env._finalizer.detach()
            raise_first(results)

    @classmethod
    async def acreate(cls, num_envs: int, **kwargs: Any) -> "BrowserTradingVectorEnv":
        """The vector environment, made from ``async`` code (its pages open concurrently either way)."""
        return await asyncio.get_running_loop().run_in_executor(None, lambda: cls(num_envs, **kwargs))

    @property
    def reopen_counts(self) -> np.ndarray:
        """How often each page was opened again after a crash, a hang or a lost connection."""
        return np.array([runner.reopen_count for runner in self.runners], dtype=np.int64)

    def assign_slots(self, first: int, slots: int) -> None:
        """Gives the pages slots ``first .. first + num_envs - 1`` of ``slots`` (see ``EpisodeSchedule``): how
        groups of pages in other processes or on other machines keep to their own episodes."""
        if first < 0 or first + self.num_envs > slots:
            raise ValueError("slots %d..%d do not fit in %d" % (first, first + self.num_envs - 1, slots))
        for i, runner in enumerate(self.runners):
            runner.assign_slot(first + i, slots)

    @property
    def episodes(self) -> List[Optional[Tuple[str, int]]]:
        """``(type, index)`` of each page's current (or last) episode."""
        return [runner.episode for runner in self.runners]

    def _check(self) -> None:
        if self.closed:
            raise gymnasium.error.ClosedEnvironmentError("the vector environment is closed")
        self.runners[0].session.check_process()

    def _warn_if_shared(self) -> None:
        kinds = {runner.episode[0] for runner in self.runners if runner.shares_episodes and runner.episode}
        for kind in kinds - self._warned_shared:
            self._warned_shared.add(kind)
            message = ("%d pages but only %d %s episodes: some pages play the same episode at the same time"
                       % (self.num_envs, self.runners[0].episode_counts[kind], kind))
            warnings.warn(message, stacklevel=3)  # the caller's reset() or step()
            LOG.warning("%s", message)

    # -- reset

    def _prepare_reset(self, seed: Any, options: Optional[Dict[str, Any]]) -> List[Tuple[int, str, int]]:
        """Seeds the chosen pages and picks their episodes, in the caller's thread."""
        self._check()
        VectorEnv.reset(self, seed=seed if isinstance(seed, (int, np.integer)) else None)
        seeds = seeds_for(seed, self.num_envs)
        options = dict(options) if options else {}
        mask = options.pop("reset_mask", None)
        if mask is None:
            mask = np.ones(self.num_envs, dtype=np.bool_)
        elif not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
            raise ValueError("options['reset_mask'] must be a bool array of shape (%d,)" % self.num_envs)
        elif not mask.any():
            raise ValueError("options['reset_mask'] must select at least one environment")
        per_page = split_options(options, self.num_envs)
        plan = []
        for i, env in enumerate(self.envs):
            if mask[i]:
                gymnasium.Env.reset(env, seed=seeds[i])
                plan.append((i,) + env.runner.pick(seeds[i], per_page[i]))
        return plan

    async def _do_reset(self, plan: List[Tuple[int, str, int]]) -> Tuple[Any, Dict[str, Any]]:
        return await self._pages.reset(plan)

    def reset(self, *, seed: Union[None, int, Sequence[Optional[int]]] = None,
              options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """Resets every page, or those of ``options["reset_mask"]``. The options go to every page, except
        that ``episode_index`` and ``episode_type`` may each be a sequence of ``num_envs`` values, one per
        page. ``seed`` seeds page ``i`` with ``seed + i`` (or takes a list of seeds)."""
        result = LOOP.run(self._do_reset(self._prepare_reset(seed, options)))
        self._warn_if_shared()
        return result

    async def areset(self, *, seed: Union[None, int, Sequence[Optional[int]]] = None,
                     options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        result = await LOOP.run_async(self._do_reset(self._prepare_reset(seed, options)))
        self._warn_if_shared()
        return result

    # -- step

    def _check_actions(self, actions: Any) -> Tuple[List[Any], List[bool]]:
        """Every action checked, and which pages start a new episode instead, before anything is sent."""
        self._check()
        if isinstance(actions, np.ndarray) and actions.ndim == 1 and actions.dtype.kind in "iu":
            per_page = actions.tolist()  # plain ints: what the checks and the schemes read fastest
        else:
            per_page = list(iterate(self.action_space, actions))
        if len(per_page) != self.num_envs:
            raise ValueError("expected %d actions, got %d" % (self.num_envs, len(per_page)))
        resetting = [runner.episode_over for runner in self.runners]
        if self.autoreset_mode == AutoresetMode.DISABLED and any(resetting):
            raise ResetNeeded("sub-environment %d's episode is over: reset it with "
                              "reset(options={'reset_mask': mask})" % resetting.index(True))
        self.runners[0].scheme.check_all(per_page)
        return per_page, resetting

    async def _do_step(self, per_page: List[Any], resetting: List[bool]) -> Tuple[Any, ...]:
        return await self._pages.step(per_page, resetting)

    def step(self, actions: Any) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        per_page, resetting = self._check_actions(actions)
        result = LOOP.run(self._do_step(per_page, resetting))
        if any(resetting) or self.autoreset_mode == AutoresetMode.SAME_STEP:
            self._warn_if_shared()
        return result

    async def astep(self, actions: Any) -> Tuple[Any, np.ndarray, np.ndarray, np.ndarray, Dict[str, Any]]:
        per_page, resetting = self._check_actions(actions)
        result = await LOOP.run_async(self._do_step(per_page, resetting))
        if any(resetting) or self.autoreset_mode == AutoresetMode.SAME_STEP:
            self._warn_if_shared()
        return result

    # -- the rest

    async def _do_render(self) -> Tuple[Any, ...]:
        if self.render_mode == "rgb_array":
            frames = await gather_settled([runner.session.screenshot() for runner in self.runners])
        else:
            frames = await gather_settled([runner.session.show() for runner in self.runners])
        raise_first(frames)
        return tuple(frames)

    def render(self) -> Optional[Tuple[Any, ...]]:
        if self.render_mode is None:
            return None
        self._check()
        return LOOP.run(self._do_render())

    def call(self, name: str, *args: Any, **kwargs: Any) -> Tuple[Any, ...]:
        results = []
        for env in self.envs:
            attribute = getattr(env, name)
            results.append(attribute(*args, **kwargs) if callable(attribute) else attribute)
        return tuple(results)

    def get_attr(self, name: str) -> Tuple[Any, ...]:
        return tuple(getattr(env, name) for env in self.envs)

    def set_attr(self, name: str, values: Any) -> None:
        if not isinstance(values, (list, tuple)):
            values = [values] * self.num_envs
        for env, value in zip(self.envs, values):
            setattr(env, name, value)

    def close_extras(self, **kwargs: Any) -> None:
        """Closes every page, then its engine, concurrently; the last closes Chromium."""
        # No envs: the constructor refused its arguments (bad candles, say) before making any page.
        runners = [env.runner for env in getattr(self, "envs", ()) if env._finalizer.detach() is not None]
        if not runners:
            return  # closed already (Gymnasium closes again when the object is collected, even at exit)
        if LOOP.in_loop_thread():
            for runner in runners:
                LOOP.spawn(runner.close())
            return
        LOOP.run(gather_settled([runner.close() for runner in runners]))

    async def aclose(self) -> None:
        if self.closed:
            return
        self.closed = True
        runners = [env.runner for env in self.envs if env._finalizer.detach() is not None]
        await LOOP.run_async(gather_settled([runner.close() for runner in runners]))


BrowserTradingVectorEnv.__init__.__signature__ = keyword_signature(  # type: ignore[attr-defined]
    inspect.Parameter("num_envs", inspect.Parameter.POSITIONAL_OR_KEYWORD),
    inspect.Parameter("settings", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None),
    inspect.Parameter("autoreset_mode", inspect.Parameter.KEYWORD_ONLY, default=AutoresetMode.NEXT_STEP))


def page_settings(num_envs: int, settings: Optional[EnvSettings], kwargs: Dict[str, Any]) -> List[EnvSettings]:
    """The settings of each page: one market for all (made once) or one each, and a slot each."""
    kwargs = dict(kwargs)
    candles = kwargs.pop("candles", settings.market if settings is not None else None)
    first = int(kwargs.pop("episode_slot", 0))
    slots = int(kwargs.pop("episode_slots", first + num_envs))
    if first + num_envs > slots:
        raise ValueError("episode_slots (%d) must cover episode_slot + num_envs (%d)" % (slots, first + num_envs))
    markets = list(candles) if is_market_list(candles) else [candles]
    base = [EnvSettings.of(settings, candles=market, **kwargs) for market in markets]
    return [base[i % len(base)].replace(episode_slot=first + i, episode_slots=slots) for i in range(num_envs)]


def split_options(options: Dict[str, Any], count: int) -> List[Dict[str, Any]]:
    """Per-page options: every option to every page, but a sequence of ``count`` values of
    ``episode_index`` or ``episode_type`` gives one to each page."""
    out: List[Dict[str, Any]] = [dict(options) for _ in range(count)]
    for key in PER_PAGE_OPTIONS:
        value = options.get(key)
        if isinstance(value, (list, tuple, np.ndarray)):
            if len(value) != count:
                raise ValueError("options[%r] needs one value per page (%d), got %d" % (key, count, len(value)))
            for i in range(count):
                out[i][key] = value[i].item() if isinstance(value[i], np.generic) else value[i]
    return out


def seeds_for(seed: Union[None, int, Sequence[Optional[int]]], count: int) -> List[Optional[int]]:
    """Gymnasium's convention: ``seed`` gives ``seed, seed + 1, ...``; a list gives one each."""
    if seed is None:
        return [None] * count
    if isinstance(seed, (int, np.integer)):
        return [int(seed) + i for i in range(count)]
    seeds = list(seed)
    if len(seeds) != count:
        raise ValueError("a list of seeds needs one per environment (%d), got %d" % (count, len(seeds)))
    return seeds


def _space_extent(space: Any) -> float:
    """Orders spaces of pages with different markets: the one with the widest bounds covers the others."""
    if isinstance(space, gymnasium.spaces.Dict):
        return sum(_space_extent(s) for s in space.spaces.values())
    high = np.asarray(space.high, dtype=np.float64)
    return float(np.nansum(np.where(np.isfinite(high), high, 0.0)))


def make_vec(num_envs: int, **kwargs: Any) -> BrowserTradingVectorEnv:
    """``num_envs`` environments stepped together: ``make_vec(8, episode_length=100)``.

    ``autoreset_mode=`` takes a ``gymnasium.vector.AutoresetMode`` or its value
    (``"NextStep"``, ``"SameStep"``, ``"Disabled"``); every other keyword is
    one of ``BrowserTradingEnv`` (``candles`` may also be one market per page).
    """
    return BrowserTradingVectorEnv(num_envs, **kwargs)
