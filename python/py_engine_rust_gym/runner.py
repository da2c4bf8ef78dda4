"""``PageRunner``: the episodes of one page, reset and stepped; what both environments are made of.

A single ``BrowserTradingEnv`` drives one runner and ``make_vec`` drives
many, each through this face only:

- ``pick(seed, options)``: the episode of the next reset, checked in the
  caller's thread (bad options raise before anything is sent).
- ``reset(kind, index)``: starts that episode (reopening the page first if
  it is down) and returns ``(observation, info)``.
- ``check(action)``: raises ``ValueError`` for an action outside the space.
- ``step(action)``: one step of this page alone, as a ``Step``. A vector
  environment takes the same phases for many pages at once, so that their
  ``step_and_sync`` calls go out as one batch (``py_engine_rust.EngineGroup``):
  ``sends_calls(action)`` and ``start_step(action)`` send the action's
  trading calls (``plan()`` when there are none), ``settle_calls(plan)``
  awaits them, ``failure(exc)`` types a failed step, ``accept(snapshot)``
  takes a step that went through, ``faulted(error)`` ends the episode on a
  page fault, and ``end_episode()`` reads the summary of an episode that
  ended. ``step_outcomes`` and ``ObservationBuilder.build_batch`` turn the
  snapshots and windows of one or many pages into rewards, ends and
  observations.
- ``recorder``: when the page records its episodes (``record_dir``,
  ``RecordEpisodes``), told of every reset and of every step (``record``).

A page that crashes, hangs past ``step_timeout`` or loses its connection
is not an exception of the step: the episode ends there, truncated, with
the last good observation, reward 0 and ``info["page_error"]``, and the
page is opened again in the background; the next ``reset`` waits for it.
A step that is interrupted (Ctrl-C, a cancelled task) ends its episode too.
"""

from __future__ import annotations

import asyncio
import logging
import time
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from ._seeding import derive_seed
from ._session import PageSession
from .actions import Book, Trader
from .errors import BrowserTradingError, PageFault, PageRefusedError
from .observations import ObservationBuilder
from .records import EpisodeRecorder, flush as flush_records
from .schedule import EpisodeSchedule
from .settings import EnvSettings

LOG = logging.getLogger("py_engine_rust_gym")

EPISODE_TYPES = ("train", "test")
#: Snapshot fields copied into every info dict (``step`` as an int, the others as floats).
INFO_FIELDS = ("step", "price", "balance", "equity", "unrealized_pnl", "realized_pnl", "net_units")
#: Failed reopenings of one page in a row after which its environment gives up and raises.
MAX_REOPEN_FAILURES = 3


@dataclass
class Step:
    """What one step of one page gave."""

    observation: Any
    reward: float
    terminated: bool
    truncated: bool
    info: Dict[str, Any]


@dataclass
class StepPlan:
    """A step under way: its trading calls in flight, or the fault that stopped it before it went
    out, and the deadline that all its calls share."""

    trader: Optional[Trader] = None
    fault: Optional[BaseException] = None
    deadline: float = 0.0

    def remaining(self) -> float:
        return max(self.deadline - time.monotonic(), 0.001)


class PageRunner:
    """Resets and steps one page (see the module's docstring); every coroutine runs on the package's loop."""

    def __init__(self, settings: EnvSettings, label: str) -> None:
        self.settings = settings
        self.label = label
        self.session = PageSession(settings, label)
        self.scheme = settings.scheme
        self.book = Book()
        #: ``(type, index)`` of the episode being played (or last played).
        self.episode: Optional[Tuple[str, int]] = None
        self.episode_over = True
        #: How often the page was opened again after a fault.
        self.reopen_count = 0
        #: Failed reopenings since the last one that worked.
        self.reopen_failures = 0
        #: The page's trade summary of the last episode that ended (``summary_columns`` of the config).
        self.last_trades: Optional[np.ndarray] = None
        self.config: Dict[str, Any] = {}
        #: The seed of the last reset that gave one (it drew the order of the page's episodes).
        self.reset_seed: Optional[int] = None
        #: Told of every reset and every finished step (``records.EpisodeRecorder``), when recording.
        self.recorder = EpisodeRecorder(settings.record_dir) if settings.record_dir else None
        self._kind = "train"
        self._schedules: Dict[str, EpisodeSchedule] = {}
        # The page's state after its last step or reset: an array of its own, or a row of a batch's
        # states (``_rows``: the array and the row), taken out only when something reads it.
        self._snapshot: Optional[np.ndarray] = None
        self._rows: Optional[Tuple[np.ndarray, int]] = None
        self._observation: Any = None
        self._down: Optional[BaseException] = None
        self._reopening: Optional["asyncio.Future[None]"] = None

    # -- opening

    async def open(self) -> None:
        await self.session.open()
        self._configure(self.session.config)

    def _configure(self, config: Dict[str, Any]) -> None:
        self.config = config
        self.fields = {name: i for i, name in enumerate(config["snapshot_fields"])}
        self.summary_columns = list(config["summary_columns"])
        self._pnl_column = self.summary_columns.index("pnl")
        self.builder = ObservationBuilder(self.settings.observation, config, self.scheme.units)
        s = self.settings
        self._schedules = {kind: EpisodeSchedule(count, s.episode_slot, s.episode_slots)
                           for kind, count in self.episode_counts.items() if count > 0}

    def assign_slot(self, slot: int, slots: int) -> None:
        """Gives the page another share of the episodes (its order starts over, unseeded)."""
        self.settings = self.settings.replace(episode_slot=slot, episode_slots=slots)
        if self.config:
            self._configure(self.config)

    @property
    def episode_counts(self) -> Dict[str, int]:
        return {"train": int(self.config["train_episodes"]), "test": int(self.config["test_episodes"])}

    @property
    def observation_space(self) -> Any:
        return self.builder.space

    @property
    def shares_episodes(self) -> bool:
        """Whether there are more pages than episodes of the current type, so that some play the same."""
        schedule = self._schedules.get(self._kind)
        return schedule is not None and schedule.shared

    # -- choosing episodes

    def seed(self, seed: Optional[int]) -> None:
        """Starts the page's episode order over, drawn from ``seed`` (in order without one)."""
        self.reset_seed = seed
        for n, kind in enumerate(EPISODE_TYPES):
            if kind in self._schedules:
                self._schedules[kind].seed(None if seed is None else derive_seed(seed, n))

    def pick(self, seed: Optional[int], options: Optional[Dict[str, Any]]) -> Tuple[str, int]:
        """The episode that ``reset(seed=seed, options=options)`` starts; raises ``ValueError`` for bad options.

        Without ``episode_type`` the type of the last reset is kept; without
        ``episode_index`` the page's schedule gives the next of its episodes.
        """
        options = dict(options or {})
        kind = options.pop("episode_type", self._kind)
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
        if seed is not None:
            self.seed(seed)
        if index is None:
            index = self._schedules[kind].next()
        index = int(index)
        if not 0 <= index < count:
            raise ValueError("%s episode %d out of range: the page has %d %s episodes" % (kind, index, count, kind))
        self._kind = kind
        return kind, index

    # -- reset

    async def reset(self, kind: str, index: int) -> Tuple[Any, Dict[str, Any]]:
        """Starts episode ``index`` of ``kind``; a page that is down is opened again first, and a fault
        during the reset reopens the page and tries once more."""
        self.episode_over = True
        await self._ensure_page()
        try:
            return await self._reset_calls(kind, index)
        except PageFault as fault:
            self._fault(fault)
            await self._ensure_page()
            return await self._reset_calls(kind, index)

    async def _reset_calls(self, kind: str, index: int) -> Tuple[Any, Dict[str, Any]]:
        session, timeout = self.session, self.settings.step_timeout
        engine = session.engine
        first, snapshot, history = await self._settled(
            [session.issue(engine.reset_episode(index, kind, timeout_secs=timeout)),
             session.issue(engine.get_snapshot(timeout_secs=timeout)),
             session.issue(engine.get_ohlc(timeout_secs=timeout))])
        self.book.clear()
        self._snapshot, self._rows = snapshot, None
        self._observation = self.builder.build(snapshot, history[-self.builder.window:])
        self.episode = (kind, index)
        self.episode_over = False
        info = self.info()
        info.update(episode_type=kind, episode_index=index, first_candle=int(first))
        if self.recorder is not None:
            self.recorder.began(self, info)
        return self._observation, info

    async def _settled(self, futures: List[Any]) -> List[Any]:
        results = await self.session.settle(futures)
        for result in results:
            if isinstance(result, BaseException):
                raise result
        return results

    # -- step

    def check(self, action: Any) -> None:
        self.scheme.check(action)

    def sends_calls(self, action: Any) -> bool:
        """Whether the action sends trading calls before the step (a hold sends none)."""
        return not self.scheme.is_noop(action, float(self.last_snapshot[self.fields["net_units"]]))

    async def step(self, action: Any) -> Step:
        """One step of this page alone (the vector environment batches the same phases)."""
        step = await self._step(action)
        self.record(action, step)
        return step

    def record(self, action: Any, step: Step) -> None:
        """Tells the recorder, if the page records its episodes, of a step taken."""
        if self.recorder is not None:
            self.recorder.stepped(self, action, step)

    async def _step(self, action: Any) -> Step:
        plan = await self.start_step(action) if self.sends_calls(action) else self.plan()
        if plan.fault is not None:
            return self.faulted(plan.fault)
        stepped = self.session.issue(self.session.engine.step_and_sync(timeout_secs=plan.remaining()))
        try:
            fault, action_error = await self.settle_calls(plan)
            (stepped,) = await self.session.settle([stepped])
        except BaseException:
            self.episode_over = True  # interrupted: whether the page took the step is unknown
            raise
        if isinstance(stepped, BaseException) and fault is None:
            fault = await self.failure(stepped)
            if not isinstance(fault, PageFault):
                raise fault
        if fault is not None:
            return self.faulted(fault)
        snapshot, window = stepped
        f = self.fields
        self.accept(snapshot[None], 0, [float(snapshot[f["open_positions"]]), float(snapshot[f["pending_orders"]])])
        observation = self.builder.build(snapshot, window)
        self._observation = observation
        rewards, terminated, truncated = step_outcomes(snapshot[None], self.fields)
        info = self.info()
        if action_error is not None:
            info["action_error"] = str(action_error)
        if terminated[0] or truncated[0]:
            info.update(await self.end_episode())
        return Step(observation, float(rewards[0]), bool(terminated[0]), bool(truncated[0]), info)

    def plan(self) -> StepPlan:
        """A step with nothing sent before it; its calls share one deadline, so that a hung page
        costs one ``step_timeout``."""
        if self.episode_over:
            raise BrowserTradingError("%s: the episode is over; reset before stepping" % self.label)
        plan = StepPlan(deadline=time.monotonic() + self.settings.step_timeout)
        if self.session.crashed:
            plan.fault = self.session.crash_error()
        return plan

    async def start_step(self, action: Any) -> StepPlan:
        """Sends the action's trading calls (a ``close all`` may first read the ticket list); the step
        itself goes out behind them."""
        plan = self.plan()
        if plan.fault is not None:
            return plan
        plan.trader = Trader(self.session, self.book, self.last_snapshot, self.fields,
                             timeout=self.settings.step_timeout)
        try:
            await self.scheme.apply(action, plan.trader)
        except PageFault as fault:
            plan.fault = fault
        except BaseException:
            self.episode_over = True
            await self.session.settle([future for future, _ in plan.trader.pending])
            raise
        return plan

    async def settle_calls(self, plan: StepPlan) -> Tuple[Optional[BaseException], Optional[BaseException]]:
        """Awaits the trading calls of ``plan``: the fault among them, and the page's refusal of one
        (the step goes on without that order; the book is read again)."""
        if plan.trader is None or not plan.trader.pending:
            return None, None
        results = await self.session.settle([future for future, _ in plan.trader.pending])
        fault = action_error = None
        for (_, on_result), result in zip(plan.trader.pending, results):
            if isinstance(result, PageFault):
                fault = fault or result
            elif isinstance(result, PageRefusedError):
                action_error = action_error or result
                self.book.valid = False
                LOG.warning("%s", result)
            elif isinstance(result, BaseException):
                raise result
            elif on_result is not None:
                on_result(result)
        return fault, action_error

    def drop_calls(self, plan: StepPlan) -> None:
        """Cancels the trading calls of ``plan`` that are still in flight (the step was interrupted)."""
        if plan.trader is not None:
            for future, _ in plan.trader.pending:
                future.cancel()

    async def failure(self, exc: BaseException) -> BaseException:
        """The typed error of a failed step call (``errors.classify``, with a crash told apart from a
        lost connection); the caller raises anything but a ``PageFault``."""
        (error,) = await self.session.settle([_failed(exc)])
        return error

    def accept(self, states: np.ndarray, row: int, counts: List[float]) -> None:
        """Takes the page's state after a step that went through: row ``row`` of ``states`` (kept, not
        copied: the caller does not change it), with its open positions and pending orders."""
        self._snapshot, self._rows = None, (states, row)
        self.book.check(*counts)

    def faulted(self, fault: BaseException) -> Step:
        """The step in which a page fault ended the episode: the last good observation, reward 0,
        truncated, ``page_error``; the page is opened again in the background."""
        self.episode_over = True
        self._fault(fault)
        info = self.info()
        info["page_error"] = str(fault)
        return Step(self._observation, 0.0, False, True, info)

    async def end_episode(self) -> Dict[str, Any]:
        """The episode ended in the step just taken: its summary, from ``end_session``."""
        self.episode_over = True
        if not self.settings.end_session:
            return {}
        session = self.session
        (summary,) = await session.settle([session.issue(session.engine.end_session(
            timeout_secs=self.settings.step_timeout))])
        if isinstance(summary, PageFault):
            # The step itself went through; only the summary is lost.
            self._fault(summary)
            return {"page_error": str(summary)}
        if isinstance(summary, BaseException):
            raise summary
        self.last_trades = summary
        return {"pnl": float(summary[:, self._pnl_column].sum()) if len(summary) else 0.0,
                "trade_count": int(len(summary))}

    @property
    def last_snapshot(self) -> Optional[np.ndarray]:
        """The page's state after its last step or reset."""
        if self._snapshot is None and self._rows is not None:
            states, row = self._rows
            self._snapshot = states[row]
        return self._snapshot

    @property
    def last_observation(self) -> Any:
        return self._observation

    def info(self) -> Dict[str, Any]:
        """The info fields of the page's last snapshot."""
        snapshot = self.last_snapshot
        info: Dict[str, Any] = {name: float(snapshot[self.fields[name]]) for name in INFO_FIELDS}
        info["step"] = int(info["step"])
        return info

    # -- faults and reopening

    def _fault(self, fault: BaseException) -> None:
        """The page is down: note it and open it again in the background."""
        if self._down is not None:
            return
        self._down = fault
        # The fault's text begins with the page's label already.
        LOG.warning("%s; the episode ends here and the page is opened again", fault)
        self._reopening = asyncio.ensure_future(self._reopen())

    async def _reopen(self) -> None:
        started = time.monotonic()
        try:
            await self.session.reopen()
        except BaseException as exc:
            self.reopen_failures += 1
            LOG.warning("%s: reopening the page failed (%d in a row): %s", self.label, self.reopen_failures, exc)
            raise
        self._down = None
        self.reopen_failures = 0
        self.reopen_count += 1
        LOG.info("%s: page reopened in %.2f s (reopen %d)", self.label, time.monotonic() - started,
                 self.reopen_count)

    @property
    def down(self) -> bool:
        """Whether the page is down (a fault was seen and no reopening has worked since)."""
        return self._down is not None

    async def _ensure_page(self) -> None:
        """Waits for a reopening under way, or starts one, while the page is down. Raises what the
        reopening failed with; past ``MAX_REOPEN_FAILURES`` in a row, a ``BrowserTradingError``."""
        if self._down is None and not self.session.crashed and self.session.engine is not None:
            return
        if self._down is None:
            self._down = self.session.crash_error() if self.session.crashed else PageFault("%s: no page" % self.label)
        task, self._reopening = self._reopening, None
        if task is None:
            task = asyncio.ensure_future(self._reopen())
        try:
            await task
        except asyncio.CancelledError:
            raise
        except BaseException as exc:
            if self.reopen_failures >= MAX_REOPEN_FAILURES:
                raise BrowserTradingError("%s: the page could not be opened again %d times in a row: %s"
                                          % (self.label, self.reopen_failures, exc)) from exc
            raise

    async def close(self) -> None:
        task, self._reopening = self._reopening, None
        if task is not None:
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
        await self.session.close()
        if self.recorder is not None:
            flush_records()  # a closed environment has all its records on disk


async def _failed(exc: BaseException) -> Any:
    raise exc


def step_outcomes(snapshots: np.ndarray, fields: Dict[str, int]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Rewards, terminations and truncations of steps, from their snapshots (one row per page): the
    reward is the change of equity, an account at zero equity is terminated, an episode that has
    taken all its steps (``done``) is truncated."""
    rewards = snapshots[:, fields["last_reward"]].astype(np.float64)
    terminated = snapshots[:, fields["equity"]] <= 0
    truncated = (snapshots[:, fields["done"]] == 1) & ~terminated
    return rewards, terminated, truncated
