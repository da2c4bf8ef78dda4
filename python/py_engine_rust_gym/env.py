"""``BrowserTradingEnv``: a Gymnasium environment over one page of ui/ in headless Chromium."""

from __future__ import annotations

import itertools
import weakref
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import gymnasium
import numpy as np
from gymnasium.error import ClosedEnvironmentError, ResetNeeded

from ._runtime import LOOP
from ._session import PageSession, PageSettings
from .actions import ActionScheme, Book, Trader, make_scheme
from .candles import synthetic_candles
from .observations import ObservationBuilder

EPISODE_TYPES = ("train", "test")
SYNC_POLICIES = ("deferred", "eager")
#: Slots of synthetic candles when none are given: 24 training and 8 test episodes by default.
DEFAULT_SLOTS = 32
#: Snapshot fields copied into every info dict.
INFO_FIELDS = ("step", "price", "balance", "equity", "unrealized_pnl", "realized_pnl", "net_units")

_labels = itertools.count()


def make_candles(candles: Union[None, int, np.ndarray], window: int, episode_length: int, seed: int) -> np.ndarray:
    """The candles a page gets: an array as given, or ``rows`` (default enough for 32 episodes) synthetic ones."""
    if candles is None:
        candles = window + episode_length * DEFAULT_SLOTS
    if isinstance(candles, (int, np.integer)) and not isinstance(candles, bool):
        return synthetic_candles(int(candles), seed=seed)
    array = np.asarray(candles, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 5:
        raise ValueError("candles must have 5 columns (open, high, low, close, volume), got shape %s"
                         % (array.shape,))
    return array


class BrowserTradingEnv(gymnasium.Env):
    """A trading episode of the page in ui/, stepped through a ``py_engine_rust`` engine.

    Each environment owns one engine (on 127.0.0.1, a port the system picks)
    and one page in a browser context of its own; all environments of a
    process share one Chromium. See the package's docstring for the spaces,
    the episodes, rewards and the keyword arguments.
    """

    metadata = {"render_modes": ["rgb_array", "human"], "render_fps": 4}

    def __init__(self, *, candles: Union[None, int, np.ndarray] = None, episode_length: int = 50, window: int = 20,
                 balance: float = 10000.0, test_fraction: float = 0.25, seed: int = 7, sync: str = "deferred",
                 action_scheme: Union[str, ActionScheme] = "trade", units: float = 10,
                 observation: str = "features", render_mode: Optional[str] = None, chromium: Optional[str] = None,
                 ui_url: Optional[str] = None, connect_timeout: float = 30.0,
                 viewport: Tuple[int, int] = (1200, 800), end_session: bool = True) -> None:
        self._prepare(candles=candles, episode_length=episode_length, window=window, balance=balance,
                      test_fraction=test_fraction, seed=seed, sync=sync, action_scheme=action_scheme, units=units,
                      observation=observation, render_mode=render_mode, chromium=chromium, ui_url=ui_url,
                      connect_timeout=connect_timeout, viewport=viewport, end_session=end_session)
        LOOP.run(self._open())

    @classmethod
    async def acreate(cls, **kwargs: Any) -> "BrowserTradingEnv":
        """The environment, made from ``async`` code without blocking the caller's loop."""
        env = cls.unopened(**kwargs)
        await LOOP.run_async(env._open())
        return env

    @classmethod
    def unopened(cls, **kwargs: Any) -> "BrowserTradingEnv":
        """The environment with its settings checked but no engine or page yet (``_open`` opens them)."""
        env = cls.__new__(cls)
        env._prepare(**kwargs)
        return env

    def _prepare(self, *, candles: Union[None, int, np.ndarray] = None, episode_length: int = 50, window: int = 20,
                 balance: float = 10000.0, test_fraction: float = 0.25, seed: int = 7, sync: str = "deferred",
                 action_scheme: Union[str, ActionScheme] = "trade", units: float = 10,
                 observation: str = "features", render_mode: Optional[str] = None, chromium: Optional[str] = None,
                 ui_url: Optional[str] = None, connect_timeout: float = 30.0,
                 viewport: Tuple[int, int] = (1200, 800), end_session: bool = True) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError("render_mode must be None, 'rgb_array' or 'human', got %r" % (render_mode,))
        if sync not in SYNC_POLICIES:
            raise ValueError("sync must be 'deferred' or 'eager', got %r" % (sync,))
        if int(episode_length) < 1 or int(window) < 1:
            raise ValueError("episode_length and window must be at least 1")
        if not 0 <= test_fraction < 1:
            raise ValueError("test_fraction must lie in [0, 1), got %r" % (test_fraction,))
        if not balance > 0:
            raise ValueError("balance must be > 0, got %r" % (balance,))
        self.render_mode = render_mode
        self._scheme = make_scheme(action_scheme, units)
        self.action_space = self._scheme.space
        self._observation_kind = observation
        ObservationBuilder.check_kind(observation)
        self._end_session = end_session
        query = {"episode_length": str(int(episode_length)), "window": str(int(window)), "balance": repr(float(balance)),
                 "test_fraction": repr(float(test_fraction)), "seed": str(int(seed)), "sync": sync}
        settings = PageSettings(query=query, candles=make_candles(candles, int(window), int(episode_length), int(seed)),
                                chromium=chromium, headless=render_mode != "human", ui_url=ui_url,
                                connect_timeout=float(connect_timeout), viewport=tuple(viewport),
                                drawn=render_mode is not None)
        self._session = PageSession(settings, "environment %d" % next(_labels))
        # Closes the page and the engine when the environment is closed, collected, or the process ends.
        self._finalizer = weakref.finalize(self, _close_session, self._session)
        self._book = Book()
        self._snapshot: Optional[np.ndarray] = None
        self._episode_over = True
        self._busy = False
        self._cursor = {"train": -1, "test": -1}
        self.episode: Optional[Tuple[str, int]] = None

    async def _open(self) -> None:
        await self._session.open()
        config = self._session.config
        self.config: Dict[str, Any] = config
        self._fields = {name: i for i, name in enumerate(config["snapshot_fields"])}
        self._pnl_column = list(config["summary_columns"]).index("pnl")
        self._builder = ObservationBuilder(self._observation_kind, config, self._scheme.units)
        self.observation_space = self._builder.space

    @property
    def session(self) -> PageSession:
        """The engine and the page behind this environment (``session.engine``, ``session.page``)."""
        return self._session

    @property
    def episode_counts(self) -> Dict[str, int]:
        return {"train": int(self.config["train_episodes"]), "test": int(self.config["test_episodes"])}

    def _pick_episode(self, seed: Optional[int], options: Optional[Dict[str, Any]]) -> Tuple[str, int]:
        options = dict(options or {})
        kind = options.pop("episode_type", "train")
        index = options.pop("episode_index", None)
        if options:
            raise ValueError("unknown reset options: %s (known: episode_index, episode_type)"
                             % ", ".join(sorted(options)))
        if kind not in EPISODE_TYPES:
            raise ValueError("episode_type must be 'train' or 'test', got %r" % (kind,))
        count = self.episode_counts[kind]
        if count == 0:
            raise ValueError("the page has no %s episodes (%d candles, episode_length %d, window %d)"
                             % (kind, self.config["candles"], self.config["episode_length"], self.config["window"]))
        if index is None:
            if seed is not None:
                self._cursor[kind] = int(self.np_random.integers(count))
            else:
                self._cursor[kind] = (self._cursor[kind] + 1) % count
            index = self._cursor[kind]
        index = int(index)
        if not 0 <= index < count:
            raise ValueError("%s episode %d out of range: the page has %d %s episodes" % (kind, index, count, kind))
        return kind, index

    def _info(self, snapshot: np.ndarray) -> Dict[str, Any]:
        info: Dict[str, Any] = {name: float(snapshot[self._fields[name]]) for name in INFO_FIELDS}
        info["step"] = int(info["step"])
        return info

    async def _settled(self, futures: List[Any]) -> List[Any]:
        results = await self._session.settle(futures)
        for result in results:
            if isinstance(result, BaseException):
                raise result
        return results

    async def _do_reset(self, kind: str, index: int) -> Tuple[Any, Dict[str, Any]]:
        session = self._session
        if session.crashed or session.engine is None:
            await session.reopen()
        self._episode_over = True
        engine = session.engine
        first, snapshot, history = await self._settled(
            [session.issue(engine.reset_episode(index, kind)), session.issue(engine.get_snapshot()),
             session.issue(engine.get_ohlc())])
        self._book.clear()
        self._snapshot = snapshot
        self._episode_over = False
        self.episode = (kind, index)
        observation = self._builder.build(snapshot, history[-self._builder.window:])
        info = self._info(snapshot)
        info.update(episode_type=kind, episode_index=index, first_candle=int(first))
        return observation, info

    async def _do_step(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        if self._episode_over:
            raise ResetNeeded("the episode is over (or never began): call reset() before step()")
        session = self._session
        if session.crashed:
            self._episode_over = True
            raise session.crash_error()
        trader = Trader(session, self._book, self._snapshot, self._fields)
        try:
            await self._scheme.apply(action, trader)
        except BaseException:
            await session.settle([future for future, _ in trader.pending])
            raise
        step = session.issue(session.engine.step_and_sync())
        results = await session.settle([future for future, _ in trader.pending] + [step])
        stepped = results[-1]
        if isinstance(stepped, BaseException):
            # Whether the page took the step is unknown: only a reset is safe now.
            self._episode_over = True
            raise stepped
        action_error = None
        for (_, on_result), result in zip(trader.pending, results):
            if isinstance(result, BaseException):
                action_error = action_error or result
                self._book.valid = False
            elif on_result is not None:
                on_result(result)
        snapshot, window = stepped
        f = self._fields
        self._snapshot = snapshot
        self._book.check(snapshot[f["open_positions"]], snapshot[f["pending_orders"]])
        observation = self._builder.build(snapshot, window)
        reward = float(snapshot[f["last_reward"]])
        terminated = bool(snapshot[f["equity"]] <= 0)
        truncated = bool(snapshot[f["done"]] == 1) and not terminated
        info = self._info(snapshot)
        if terminated or truncated:
            self._episode_over = True
            if self._end_session:
                summary = await session.call(session.engine.end_session())
                info["trades"] = summary
                info["pnl"] = float(summary[:, self._pnl_column].sum()) if len(summary) else 0.0
        if action_error is not None:
            raise action_error
        return observation, reward, terminated, truncated, info

    def _check_open(self) -> None:
        if not self._finalizer.alive:
            raise ClosedEnvironmentError("the environment is closed")
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

    def reset(self, *, seed: Optional[int] = None,
              options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """Starts an episode: ``options={"episode_index": i, "episode_type": "train" | "test"}``,
        otherwise the next training episode (after a seed: one drawn from it)."""
        self._check_open()
        super().reset(seed=seed)
        return self._run(self._do_reset(*self._pick_episode(seed, options)))

    def step(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        return self._run(self._do_step(action))

    async def areset(self, *, seed: Optional[int] = None,
                     options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Dict[str, Any]]:
        """``reset`` for ``async`` code: awaits the page without blocking the caller's loop."""
        self._check_open()
        super().reset(seed=seed)
        return await self._arun(self._do_reset(*self._pick_episode(seed, options)))

    async def astep(self, action: Any) -> Tuple[Any, float, bool, bool, Dict[str, Any]]:
        """``step`` for ``async`` code."""
        return await self._arun(self._do_step(action))

    def render(self) -> Optional[np.ndarray]:
        """``"rgb_array"``: the page's screenshot, (height, width, 3) uint8; ``"human"``: redraws the window."""
        if self.render_mode is None:
            return None
        if self.render_mode == "rgb_array":
            return self._run(self._session.screenshot())
        self._run(self._session.show())
        return None

    async def arender(self) -> Optional[np.ndarray]:
        if self.render_mode is None:
            return None
        if self.render_mode == "rgb_array":
            return await self._arun(self._session.screenshot())
        await self._arun(self._session.show())
        return None

    def close(self) -> None:
        """Closes the page, then the engine (its port is free again); the last one closes Chromium."""
        self._finalizer()

    async def aclose(self) -> None:
        if self._finalizer.detach() is not None:
            await LOOP.run_async(self._session.close())

    @property
    def closed(self) -> bool:
        return not self._finalizer.alive


def _close_session(session: PageSession) -> None:
    if LOOP.in_loop_thread():
        # Collected on the loop itself (it cannot wait for itself): close in the background.
        LOOP.spawn(session.close())
        return
    try:
        LOOP.run(session.close(), timeout=60)
    except Exception:
        pass


def split_options(options: Optional[Dict[str, Any]], count: int) -> List[Optional[Dict[str, Any]]]:
    """Per-environment options: a list, tuple or array of ``count`` values goes one to each."""
    if options is None:
        return [None] * count
    out: List[Dict[str, Any]] = [{} for _ in range(count)]
    for key, value in options.items():
        if isinstance(value, (list, tuple, np.ndarray)) and len(value) == count:
            for i in range(count):
                out[i][key] = value[i].item() if isinstance(value[i], np.generic) else value[i]
        else:
            for i in range(count):
                out[i][key] = value
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
