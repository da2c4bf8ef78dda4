"""``BrowserTradingEnv``: a Gymnasium environment over one page of ui/ in headless Chromium."""

from __future__ import annotations

import inspect
import itertools
import weakref
from typing import Any, Dict, Optional, Tuple

import gymnasium
import numpy as np
from gymnasium.error import ClosedEnvironmentError, ResetNeeded

from ._runtime import LOOP
from ._session import PageSession
from .runner import PageRunner
from .settings import RENDER_MODES, EnvSettings, keyword_signature

_labels = itertools.count()


def next_label() -> str:
    return "environment %d" % next(_labels)


class BrowserTradingEnv(gymnasium.Env):
    """A trading episode of the page in ui/, stepped through a ``py_engine_rust`` engine.

    Each environment owns one engine (on 127.0.0.1, a port the system picks)
    and one page, in a renderer process of its own; all environments of a
    process share one Chromium. The keyword arguments are the fields of
    ``EnvSettings``; see the package's docstring for the spaces, the
    episodes, rewards and faults.
    """

    metadata = {"render_modes": list(RENDER_MODES), "render_fps": 4}

    def __init__(self, settings: Optional[EnvSettings] = None, **kwargs: Any) -> None:
        self._prepare(EnvSettings.of(settings, **kwargs))
        LOOP.run(self._open())

    @classmethod
    async def acreate(cls, settings: Optional[EnvSettings] = None, **kwargs: Any) -> "BrowserTradingEnv":
        """The environment, made from ``async`` code without blocking the caller's loop."""
        env = cls.unopened(EnvSettings.of(settings, **kwargs))
        await LOOP.run_async(env._open())
        return env

    @classmethod
    def unopened(cls, settings: EnvSettings, label: Optional[str] = None) -> "BrowserTradingEnv":
        """The environment with its settings checked but no engine or page yet (``_open`` opens them)."""
        env = cls.__new__(cls)
        env._prepare(settings, label)
        return env

    def _prepare(self, settings: EnvSettings, label: Optional[str] = None) -> None:
        self.settings = settings
        self.render_mode = settings.render_mode
        self.action_space = settings.scheme.space
        self.runner = PageRunner(settings, label or next_label())
        # Closes the page and the engine when the environment is closed, collected, or the process ends.
        self._finalizer = weakref.finalize(self, _close_runner, self.runner)
        self._busy = False

    async def _open(self) -> None:
        await self.runner.open()
        self.config: Dict[str, Any] = self.runner.config
        self.observation_space = self.runner.observation_space

    @property
    def session(self) -> PageSession:
        """The engine and the page behind this environment (``session.engine``, ``session.page``)."""
        return self.runner.session

    @property
    def episode(self) -> Optional[Tuple[str, int]]:
        """``(type, index)`` of the current (or last) episode."""
        return self.runner.episode

    @property
    def episode_counts(self) -> Dict[str, int]:
        return self.runner.episode_counts

    @property
    def episode_trades(self) -> Optional[np.ndarray]:
        """The page's trade summary of the last episode that ended (columns: ``config["summary_columns"]``)."""
        return self.runner.last_trades

    @property
    def reopen_count(self) -> int:
        """How often the page was opened again after a crash, a hang or a lost connection."""
        return self.runner.reopen_count

    def _check_open(self) -> None:
        if not self._finalizer.alive:
            raise ClosedEnvironmentError("the environment is closed")
        self.runner.session.check_process()
        if self._busy:
            raise RuntimeError("a reset or step of this environment is still running")

    def _run(self, coro: Any) -> Any:
        try:
            self._check_open()
        except BaseException:
            coro.close()
            raise
        self._busy = True
        try:
            return LOOP.run(coro)
        finally:
            self._busy = False

    async def _arun(self, coro: Any) -> Any:
        try:
            self._check_open()
        except BaseException:
            coro.close()
            raise
        self._busy = True
        try:
            return await LOOP.run_async(coro)
        finally:
            self._busy = False

    def _pick(self, seed: Optional[int], options: Optional[Dict[str, Any]]) -> Tuple[str, int]:
        self._check_open()
        super().reset(seed=seed)
        return self.runner.pick(seed, options)

    async def _step(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        if self.runner.episode_over:
            raise ResetNeeded("the episode is over (or never began): call reset() before step()")
        self.runner.check(action)
        step = await self.runner.step(action)
        return step.observation, step.reward, step.terminated, step.truncated, step.info

    def reset(self, *, seed: Optional[int] = None,
              options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """Starts an episode: ``options={"episode_index": i, "episode_type": "train" | "test"}``;
        otherwise the page's next episode of the type the last reset chose (training at first)."""
        return self._run(self.runner.reset(*self._pick(seed, options)))

    def step(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        return self._run(self._step(action))

    async def areset(self, *, seed: Optional[int] = None,
                     options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """``reset`` for ``async`` code: awaits the page without blocking the caller's loop."""
        return await self._arun(self.runner.reset(*self._pick(seed, options)))

    async def astep(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        """``step`` for ``async`` code."""
        return await self._arun(self._step(action))

    def render(self) -> Optional[np.ndarray]:
        """``"rgb_array"``: the page's screenshot, (height, width, 3) uint8; ``"human"``: redraws the
        window (nothing without a display)."""
        if self.render_mode == "rgb_array":
            return self._run(self.session.screenshot())
        if self.render_mode == "human":
            self._run(self.session.show())
        return None

    async def arender(self) -> Optional[np.ndarray]:
        if self.render_mode == "rgb_array":
            return await self._arun(self.session.screenshot())
        if self.render_mode == "human":
            await self._arun(self.session.show())
        return None

    def close(self) -> None:
        """Closes the page, then the engine (its port is free again); the last one closes Chromium."""
        self._finalizer()

    async def aclose(self) -> None:
        if self._finalizer.detach() is not None:
            await LOOP.run_async(self.runner.close())

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive


# help() and editors show every setting with its default, although they all live in EnvSettings.
BrowserTradingEnv.__init__.__signature__ = keyword_signature(  # type: ignore[attr-defined]
    inspect.Parameter("settings", inspect.Parameter.POSITIONAL_OR_KEYWORD, default=None))


def _close_runner(runner: PageRunner) -> None:
    if LOOP.in_loop_thread():
        # Collected on the loop itself (it cannot wait for itself): close in the background.
        LOOP.spawn(runner.close())
        return
    try:
        LOOP.run(runner.close(), timeout=60)
    except Exception:
        pass
