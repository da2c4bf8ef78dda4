"""``PageBatch``: the pages of a vector environment reset and stepped as one.

A step takes the runners' phases (``runner.PageRunner``) across all pages
at once: the trading calls of the pages whose action sends any go out
together, then one ``py_engine_rust.EngineGroup`` call sends every page's
``step_and_sync`` and gives back the snapshots and windows already stacked,
from which the rewards, the ends, the observations and the info arrays are
computed once for the whole batch. Only what concerns a single page (a
fault, an episode's end, a reset) is done page by page.
"""

from __future__ import annotations

import asyncio
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np
from gymnasium.vector import AutoresetMode

import py_engine_rust

from ._runtime import gather_settled
from .errors import BrowserTradingError, PageFault, PageRefusedError, raise_first
from .runner import INFO_FIELDS, MAX_REOPEN_FAILURES, PageRunner, Step, StepPlan, step_outcomes

#: Engine groups kept for the sets of pages that were stepped together lately.
GROUPS_KEPT = 8


class PageBatch:
    """Resets and steps ``runners`` together; ``add_info`` is the vector environment's ``_add_info``."""

    def __init__(self, runners: Sequence[PageRunner], autoreset_mode: AutoresetMode, add_info: Any) -> None:
        self.runners = list(runners)
        self.n = len(self.runners)
        self.autoreset_mode = autoreset_mode
        self._add_info = add_info
        self._groups: Dict[Tuple[int, ...], Any] = {}
        self._out: Optional[Tuple[np.ndarray, np.ndarray]] = None
        self.last_obs: Any = None  # a private copy of the last observations returned
        config = self.runners[0].config
        self._fields = self.runners[0].fields
        self._info_columns = [self._fields[name] for name in INFO_FIELDS]
        self._counts = [self._fields["open_positions"], self._fields["pending_orders"]]
        # The pages' states after the last step or reset (a private copy; runners hold rows of it).
        self.last_states = np.zeros((self.n, len(config["snapshot_fields"])))

    @property
    def builder(self) -> Any:
        return self.runners[0].builder

    # -- reset

    async def reset(self, plan: List[Tuple[int, str, int]]) -> Tuple[Any, Dict[str, Any]]:
        results = await gather_settled([self.runners[i].reset(kind, index) for i, kind, index in plan])
        raise_first(results)
        obs = self._carry_over()
        states = np.array(self.last_states)
        infos: Dict[str, Any] = {}
        for (i, _, _), (observation, info) in zip(plan, results):
            self._take(obs, states, i, observation)
            infos = self._add_info(infos, info, i)
        return self._returned(obs, states), infos

    # -- step

    async def step(self, per_page: List[Any], resetting: List[bool]) -> Tuple[Any, ...]:
        resets = {i: asyncio.ensure_future(self._reset_step(i)) for i in range(self.n) if resetting[i]}
        try:
            return await self._step(per_page, resets)
        except BaseException:
            # Interrupted: whether each page took its step is unknown, so every episode of the batch ends.
            for task in resets.values():
                task.cancel()
            for runner in self.runners:
                runner.episode_over = True
            raise

    async def _step(self, per_page: Any, resets: Dict[int, "asyncio.Future[Step]"]) -> Tuple[Any, ...]:
        runners = self.runners
        stepping = [i for i in range(self.n) if i not in resets]
        noop = runners[0].scheme.noops(per_page, self.last_states[:, self._fields["net_units"]].tolist())
        calling = [i for i in stepping if not noop[i]]
        plans: Dict[int, StepPlan] = {i: runners[i].plan() for i in stepping if noop[i]}
        if calling:
            started = await gather_settled([runners[i].start_step(per_page[i]) for i in calling])
            raise_first(started)
            plans.update(zip(calling, started))
        faults = {i: plan.fault for i, plan in plans.items() if plan.fault is not None}
        batch = [i for i in stepping if i not in faults]
        stepped = self._send_batch(batch, plans)
        try:
            snapshots, windows, errors = await stepped
        except BaseException:
            for i in calling:
                runners[i].drop_calls(plans[i])
            raise
        # A page answers in order: with its step in, the calls sent before it are too, and settling
        # them mostly takes no wait at all.
        settled = await gather_settled([runners[i].settle_calls(plans[i]) for i in calling])
        raise_first(settled)
        action_errors: Dict[int, BaseException] = {}
        for i, (fault, action_error) in zip(calling, settled):
            if fault is not None:
                faults.setdefault(i, fault)
            if action_error is not None:
                action_errors[i] = action_error
        failed = [(k, i) for k, i in enumerate(batch) if errors[k] is not None and i not in faults]
        if failed:
            typed = await asyncio.gather(*(runners[i].failure(errors[k]) for k, i in failed))
            raise_first([error for error in typed if not isinstance(error, PageFault)])
            faults.update((i, error) for (_, i), error in zip(failed, typed))

        # The whole batch at once; the rows of the pages that did not step are put right below.
        rewards, terminated, truncated = step_outcomes(snapshots, self._fields)
        if len(batch) == self.n:
            obs = self.builder.build_batch(snapshots, windows)
            states = snapshots
        else:
            obs = self._carry_over()
            states = np.empty((self.n, snapshots.shape[1]))
            rewards, terminated, truncated = _spread(self.n, batch, rewards, terminated, truncated)
            if batch:
                rows = np.asarray(batch)
                _set_rows(obs, rows, self.builder.build_batch(snapshots, windows))
                states[rows] = snapshots
        kept = np.array(snapshots)
        counts = kept[:, self._counts].tolist()
        for k, i in enumerate(batch):
            if i not in faults:
                runners[i].accept(kept, k, counts[k])
        extras: Dict[int, Dict[str, Any]] = {i: {"action_error": str(e)} for i, e in action_errors.items()}
        for i, fault in faults.items():
            step = runners[i].faulted(fault)
            self._take(obs, states, i, self.last_obs)
            rewards[i], terminated[i], truncated[i] = 0.0, False, True
            extras.setdefault(i, {})["page_error"] = step.info["page_error"]
        ends = (terminated | truncated).tolist()
        ended = [i for i in batch if ends[i] and i not in faults]
        if ended:
            summaries = await gather_settled([runners[i].end_episode() for i in ended])
            raise_first(summaries)
            for i, summary in zip(ended, summaries):
                extras.setdefault(i, {}).update(summary)
        self._record(per_page, stepping, states, rewards, terminated, truncated, extras)
        if self.autoreset_mode == AutoresetMode.SAME_STEP:
            await self._restart_ended(obs, states, ended + list(faults), extras)
        for i, task in resets.items():
            step = await task
            self._take(obs, states, i, step.observation)
            terminated[i], truncated[i] = step.terminated, step.truncated
            extras.setdefault(i, {}).update((k, v) for k, v in step.info.items() if k not in INFO_FIELDS)
        return self._returned(obs, states), rewards, terminated, truncated, self._infos(extras)

    def _record(self, per_page: Any, rows: List[int], states: np.ndarray, rewards: np.ndarray,
                terminated: np.ndarray, truncated: np.ndarray, extras: Dict[int, Dict[str, Any]]) -> None:
        """Tells the recorders of the pages that record their episodes of the steps they took."""
        price = self._fields["price"]
        for i in rows:
            runner = self.runners[i]
            if runner.recorder is not None:
                info = dict(extras.get(i, {}), price=float(states[i, price]))
                runner.record(per_page[i], Step(None, float(rewards[i]), bool(terminated[i]), bool(truncated[i]),
                                                info))

    def _send_batch(self, batch: List[int], plans: Dict[int, StepPlan]) -> "asyncio.Future[Any]":
        """Every page of ``batch`` steps in one call; an awaitable of (snapshots, windows, errors)."""
        if not batch:
            return _ready(self._arrays(0) + ((),))
        engines = tuple(self.runners[i].session.engine for i in batch)
        key = tuple(batch)
        group = self._groups.get(key)
        if group is None or any(a is not b for a, b in zip(group.engines, engines)):
            if len(self._groups) >= GROUPS_KEPT:
                self._groups.clear()
            group = self._groups[key] = py_engine_rust.EngineGroup(engines)
        # Arrays of known shapes, so that a batch whose every row failed still has them.
        if len(batch) == self.n:
            if self._out is None:
                self._out = self._arrays(self.n)
            out = self._out
        else:
            out = self._arrays(len(batch))
        timeout = min(plans[i].remaining() for i in batch)
        return group.step_and_sync(timeout_secs=timeout, out=out)

    def _arrays(self, rows: int) -> Tuple[np.ndarray, np.ndarray]:
        config = self.runners[0].config
        return (np.empty((rows, len(config["snapshot_fields"]))),
                np.empty((rows, int(config["window"]), len(config["window_columns"]))))

    async def _restart_ended(self, obs: Any, states: np.ndarray, ended: List[int],
                             extras: Dict[int, Dict[str, Any]]) -> None:
        """Same-step autoreset: the pages whose episode ended start the next one in this step."""
        if not ended:
            return
        finals = {i: (_row(obs, i, copy=True), self._row_info(states[i], extras.get(i, {}))) for i in ended}
        steps = await gather_settled([self.restart(i) for i in ended])
        raise_first(steps)
        for i, step in zip(ended, steps):
            self._take(obs, states, i, step.observation)
            info = extras.setdefault(i, {})
            page_error = info.get("page_error")
            info.clear()
            info.update((k, v) for k, v in step.info.items() if k not in INFO_FIELDS)
            info["final_obs"], info["final_info"] = finals[i]
            if page_error is not None:
                info["page_error"] = page_error  # what ended this step, also where NextStep puts it

    async def restart(self, i: int) -> Step:
        """Starts page ``i``'s next episode; a page that cannot be opened again gives a truncated step
        with ``page_error`` instead (and is tried again at its next step)."""
        runner = self.runners[i]
        try:
            observation, info = await runner.reset(*runner.pick(None, None))
        except BrowserTradingError as exc:
            if isinstance(exc, PageRefusedError) or runner.reopen_failures >= MAX_REOPEN_FAILURES:
                raise
            return Step(_row(self.last_obs, i, copy=True), 0.0, False, True, {"page_error": str(exc)})
        return Step(observation, 0.0, False, False, info)

    async def _reset_step(self, i: int) -> Step:
        """The step of a page whose episode was already over: it starts the next one, the action is
        ignored. With same-step autoreset (where a learner expects no such step) it is reported as an
        empty episode that ends at once."""
        step = await self.restart(i)
        if self.autoreset_mode == AutoresetMode.SAME_STEP:
            info = dict(step.info, final_obs=_row(self.last_obs, i, copy=True), final_info={})
            return Step(step.observation, 0.0, False, True, info)
        return step

    # -- assembling the batch

    def _take(self, obs: Any, states: np.ndarray, i: int, observation: Any) -> None:
        """Row ``i`` from one page's own step or reset (or, given ``last_obs``, what it showed last)."""
        if observation is self.last_obs:
            observation = _row(self.last_obs, i)
        _set_row(obs, i, observation)
        snapshot = self.runners[i].last_snapshot
        if snapshot is not None:
            states[i] = snapshot

    def _carry_over(self) -> Any:
        """A new batch whose rows start as the last observations (those of pages that do not change)."""
        if self.last_obs is None:
            return self.builder.empty_batch(self.n)
        return _copy(self.last_obs)

    def _returned(self, obs: Any, states: Optional[np.ndarray] = None) -> Any:
        """``obs`` as returned; private copies of it and of the pages' states stay for the next step."""
        self.last_obs = _copy(obs)
        if states is not None:
            self.last_states = np.array(states)
        return obs

    def _infos(self, extras: Dict[int, Dict[str, Any]]) -> Dict[str, Any]:
        """The info arrays: the snapshot fields of every page, taken from the stacked states at once,
        then what only some pages have."""
        table = np.ascontiguousarray(self.last_states[:, self._info_columns].T)
        masks = np.ones(table.shape, dtype=np.bool_)
        infos: Dict[str, Any] = {}
        for j, name in enumerate(INFO_FIELDS):
            infos[name] = table[j].astype(np.int64) if name == "step" else table[j]
            infos["_" + name] = masks[j]
        for i in sorted(extras):
            infos = self._add_info(infos, extras[i], i)
        return infos

    def _row_info(self, state: np.ndarray, extra: Dict[str, Any]) -> Dict[str, Any]:
        info: Dict[str, Any] = {name: float(state[self._fields[name]]) for name in INFO_FIELDS}
        info["step"] = int(info["step"])
        info.update(extra)
        return info


def _spread(n: int, rows: List[int], *columns: np.ndarray) -> Tuple[np.ndarray, ...]:
    """Columns of the stepped rows placed in arrays of every page (zeros elsewhere)."""
    out = []
    for column in columns:
        full = np.zeros(n, dtype=column.dtype)
        if rows:
            full[np.asarray(rows)] = column
        out.append(full)
    return tuple(out)


async def _ready(value: Any) -> Any:
    return value


def _row(batch: Any, i: int, copy: bool = False) -> Any:
    if isinstance(batch, dict):
        return {key: _row(value, i, copy) for key, value in batch.items()}
    return np.array(batch[i]) if copy else batch[i]


def _set_row(batch: Any, i: int, value: Any) -> None:
    if isinstance(batch, dict):
        for key in batch:
            batch[key][i] = value[key]
    else:
        batch[i] = value


def _set_rows(batch: Any, rows: np.ndarray, values: Any) -> None:
    if isinstance(batch, dict):
        for key in batch:
            batch[key][rows] = values[key]
    else:
        batch[rows] = values


def _copy(batch: Any) -> Any:
    if isinstance(batch, dict):
        return {key: np.array(value) for key, value in batch.items()}
    return np.array(batch)
