"""``evaluate``: every episode of a type played once with a policy, one row per episode."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Deque, Dict, List, Optional, Sequence, Union

import numpy as np
from gymnasium.vector.utils import concatenate, create_empty_array, iterate

from ._runtime import LOOP, gather_settled
from .env import BrowserTradingEnv
from .errors import raise_first
from .records import flush, record_into
from .runner import PageRunner
from .vector import BrowserTradingVectorEnv

#: A page fault during an episode plays it again, at most this many times in all.
TRIES = 2


@dataclass
class EpisodeResult:
    """One evaluated episode. ``page_error`` is set (and the numbers are those up to the fault) when
    its page failed on every try."""

    episode_type: str
    episode_index: int
    steps: int
    total_reward: float
    pnl: float
    trades: int
    page_error: str = ""


def evaluate(envs: Union[BrowserTradingVectorEnv, BrowserTradingEnv], policy: Callable[[Any], Any], *,
             episode_type: str = "test", episodes: Optional[Sequence[int]] = None,
             record_dir: Optional[str] = None) -> List[EpisodeResult]:
    """Plays each episode of ``episode_type`` (all of them, or those of ``episodes``) exactly once across
    the pages, with ``policy(observations) -> actions`` called on the whole batch (one row per page;
    rows of idle pages are ignored), and returns one row per episode in episode order. A page that
    fails during an episode plays it again. The environments' own episodes end: reset before stepping
    them again. ``record_dir``: write a record of each episode played there (``records``), for
    ``replay`` and ``report``; ``envs`` may also be wrapped (``RecordEpisodes``, say)."""
    envs = envs.unwrapped
    envs_list = envs.envs if isinstance(envs, BrowserTradingVectorEnv) else [envs]
    runners = [env.runner for env in envs_list]
    recorders = [runner.recorder for runner in runners]
    if record_dir is not None:
        record_into(envs, record_dir)
    try:
        return _evaluate(envs, runners, policy, episode_type, episodes)
    finally:
        for runner, recorder in zip(runners, recorders):
            runner.recorder = recorder
        if record_dir is not None:
            flush()


def _evaluate(envs: Any, runners: List[PageRunner], policy: Callable[[Any], Any], episode_type: str,
              episodes: Optional[Sequence[int]]) -> List[EpisodeResult]:
    space = envs.single_observation_space if isinstance(envs, BrowserTradingVectorEnv) else envs.observation_space
    count = runners[0].episode_counts[episode_type] if episode_type in ("train", "test") else 0
    todo: Deque[int] = deque(range(count) if episodes is None else [int(e) for e in episodes])
    for index in todo:
        runners[0].pick(None, {"episode_type": episode_type, "episode_index": index})
    tries: Dict[int, int] = {}
    results: Dict[int, EpisodeResult] = {}
    playing: List[Optional[EpisodeResult]] = [None] * len(runners)
    observations: List[Any] = [None] * len(runners)

    async def start(i: int, index: int) -> None:
        observations[i], _ = await runners[i].reset(episode_type, index)
        playing[i] = EpisodeResult(episode_type, index, 0, 0.0, 0.0, 0)

    async def fill() -> None:
        starts = []
        for i in range(len(runners)):
            if playing[i] is None and todo:
                index = todo.popleft()
                tries[index] = tries.get(index, 0) + 1
                starts.append(start(i, index))
        raise_first(await gather_settled(starts))

    async def step(runner: PageRunner, i: int, action: Any) -> None:
        result = await runner.step(action)
        row = playing[i]
        observations[i] = result.observation
        row.steps += 1
        row.total_reward += result.reward
        if not (result.terminated or result.truncated):
            return
        playing[i] = None
        page_error = result.info.get("page_error", "")
        if page_error and tries[row.episode_index] < TRIES:
            todo.appendleft(row.episode_index)
            return
        row.pnl = float(result.info.get("pnl", row.total_reward))
        row.trades = int(result.info.get("trade_count", 0))
        row.page_error = page_error
        results[row.episode_index] = row

    LOOP.run(fill())
    batch = create_empty_array(space, n=len(runners), fn=np.zeros)
    while any(row is not None for row in playing):
        if isinstance(envs, BrowserTradingVectorEnv):
            filler = next(o for o in observations if o is not None)
            concatenate(space, [o if o is not None else filler for o in observations], batch)
            actions = list(iterate(envs.action_space, policy(batch)))
        else:
            actions = [policy(observations[0])]
        active = [i for i, row in enumerate(playing) if row is not None]
        for i in active:
            runners[i].check(actions[i])
        LOOP.run(_all([step(runners[i], i, actions[i]) for i in active]))
        LOOP.run(fill())
    return [results[index] for index in sorted(results)]


async def _all(awaitables: List[Any]) -> None:
    raise_first(await gather_settled(awaitables))
