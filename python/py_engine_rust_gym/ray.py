"""Environment workers on Ray: each owns one ``make_vec`` on its node and steps it on request.

    import ray
    from py_engine_rust_gym.ray import WorkerPool

    ray.init()                                    # or ray.init(address="HEAD:6379") for a cluster
    with WorkerPool(4, envs_per_worker=2, env_kwargs={"episode_length": 100}) as pool:
        collection = pool.collect(num_rollouts=16, steps=200)
    collection.rollouts                           # Rollout objects, in the order they finished
    collection.lost                               # LostRollout: which rollouts died with their worker

An ``EnvWorker`` is a Ray actor that makes its vector environment (its
engines, its Chromium, its pages) in its own process, so every browser runs
on the machine of its engines and the engines keep listening on 127.0.0.1
only: nothing of the environments is reachable from the network, and only
the rollouts travel through Ray. Each worker knows its index and its
generation (0, then 1 for its first replacement, ...); its engines listen on
ports the system picks, reported by ``describe()``.

Every rollout starts new episodes, chosen by the rollout's number and the
pool's seed alone: rollout ``i`` plays the same episodes (and, with random
actions, the same actions) whichever worker runs it, and rollouts that run
at the same time never share an episode (``EpisodeSchedule``: rollout
``i``'s pages take the slots of ``i mod num_workers``). A page that crashes,
hangs past ``step_timeout`` or loses its connection ends only its own
episode, flagged in ``Rollout.page_errors``, and is opened again by the
worker; the rollout goes on. With ``record_dir`` in ``env_kwargs`` each
worker writes the records of its episodes on its own machine, where they
stay; ``Rollout.records`` names those of a rollout.

``WorkerPool`` starts the workers with Ray's ``SPREAD`` strategy (one CPU
each by default) and hands out rollouts one at a time: whenever a worker
finishes one (``ray.wait``), it gets the next, so a slow worker delays only
its own rollout. A worker whose rollout fails (its process was killed, its
node went away, it ran past ``timeout``, or anything else in the rollout
raised, the policy included) is killed and replaced by a new worker of the
same index, which takes rollouts once its pages are open; that rollout is
reported as a ``LostRollout`` (it is not run again) and the collection goes
on. Past ``max_replacements`` replacements a dead worker is not replaced
any more.

Why not Ray's own: ``ray.util.ActorPool`` hands out work the same way (the
next task to whichever actor is free), but a failed task comes back as a
bare error that names neither the task nor the actor (so no
``LostRollout`` and no replacement could be made from it), its timeout is a
wait for any next result rather than a deadline per task, and an overdue
task it gives up on leaves its (perhaps hung) actor among the idle ones.
Actor restarts (``max_restarts``) restart one actor in place, with a budget
per actor rather than per pool and no limit on how long the restart takes;
``max_task_retries`` would run a lost rollout again, where the pool reports
it and goes on. So the workers are plain actors (``max_restarts=0``) and
``rollouts()`` does its own hand-out, deadlines and replacements.

Needs Ray (``pip install "py_engine_rust[gym,ray]"``); CPython only, as Ray is.
"""

from __future__ import annotations

import os
import socket
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Optional, Union

import numpy as np

try:
    import ray
    import ray.exceptions
    import ray.util
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("py_engine_rust_gym.ray needs Ray, which is not installed: "
                      "pip install \"py_engine_rust[gym,ray]\"") from exc

from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import create_empty_array

from ._seeding import derive_seed
from ._session import HOST
from .records import flush as flush_records
from .vector import make_vec

#: ``policy(observations) -> actions`` for a whole batch; ``None`` means random actions.
Policy = Optional[Callable[[Any], Any]]


@dataclass
class WorkerInfo:
    """Where a worker runs and what it owns."""

    index: int
    generation: int
    pid: int
    node_ip: str
    node_id: str
    hostname: str
    actor_id: str
    num_envs: int
    engine_host: str
    engine_ports: List[int]
    observation_space: Any
    action_space: Any


@dataclass
class Rollout:
    """``steps`` batched steps of one worker's ``num_envs`` environments.

    ``observations[t]`` is what ``actions[t]`` was chosen on; ``rewards``,
    ``terminated`` and ``truncated`` are those of step ``t``. The environments
    reset themselves in the step that ends an episode (``AutoresetMode.SAME_STEP``),
    so the observation after such a step is the first of the next episode, and
    the last observation of the one that ended is ``final_observations[t]``
    (zeros where no episode ended), to bootstrap from on truncation.
    ``page_errors[t]`` flags the pages whose episode a page fault ended in step
    ``t``. ``last_observations`` follow the last step (episodes still running
    there are cut by the rollout's end). ``episode_returns`` and
    ``episode_lengths`` are those of the episodes that ended in this rollout.
    ``elapsed`` is the time the worker spent stepping, the policy included (without Ray).
    ``records``: with ``record_dir`` in the workers' ``env_kwargs``, the records of the episodes that
    ended in this rollout, as paths on the worker's machine (``node_ip``), where they stay.
    """

    rollout: int
    worker: int
    generation: int
    observations: Any
    actions: np.ndarray
    rewards: np.ndarray
    terminated: np.ndarray
    truncated: np.ndarray
    final_observations: Any
    page_errors: np.ndarray
    last_observations: Any
    episode_returns: np.ndarray
    episode_lengths: np.ndarray
    elapsed: float
    pid: int
    node_ip: str
    records: List[str] = field(default_factory=list)

    @property
    def steps(self) -> int:
        return int(self.rewards.shape[0])

    @property
    def num_envs(self) -> int:
        return int(self.rewards.shape[1])

    @property
    def env_steps(self) -> int:
        return self.steps * self.num_envs

    @property
    def env_steps_per_second(self) -> float:
        return self.env_steps / self.elapsed if self.elapsed > 0 else float("inf")


@dataclass
class LostRollout:
    """A rollout that did not come back: its worker (``None`` if none was left to run it) and why."""

    rollout: int
    worker: Optional[int]
    generation: Optional[int]
    error: str


@dataclass
class Collection:
    """What ``WorkerPool.collect`` gathered: rollouts in the order they finished, and the lost ones."""

    rollouts: List[Rollout] = field(default_factory=list)
    lost: List[LostRollout] = field(default_factory=list)
    elapsed: float = 0.0

    @property
    def env_steps(self) -> int:
        return sum(r.env_steps for r in self.rollouts)


def _put(buffer: Any, t: int, value: Any) -> None:
    if isinstance(buffer, dict):
        for key in buffer:
            _put(buffer[key], t, value[key])
    else:
        buffer[t] = value


def _put_row(buffer: Any, t: int, i: int, value: Any) -> None:
    if isinstance(buffer, dict):
        for key in buffer:
            _put_row(buffer[key], t, i, value[key])
    else:
        buffer[t, i] = value


def _copy(value: Any) -> Any:
    if isinstance(value, dict):
        return {key: _copy(item) for key, item in value.items()}
    return np.array(value, copy=True)


@ray.remote(num_cpus=1, max_restarts=0)
class EnvWorker:
    """A Ray actor owning ``make_vec(num_envs, **env_kwargs)`` in its own process.

    Rollouts take their episodes and random actions from ``seed`` and their
    number (see the module's docstring); ``num_workers`` is how many workers
    run rollouts at the same time. The candles come from ``env_kwargs`` (by
    default the same synthetic market for every worker, from
    ``env_kwargs["seed"]``), so that workers differ by episode, as the
    sub-environments of one ``make_vec`` do.
    """

    def __init__(self, index: int, num_envs: int, env_kwargs: Optional[Dict[str, Any]] = None, seed: int = 0,
                 generation: int = 0, num_workers: int = 1) -> None:
        env_kwargs = dict(env_kwargs or {})
        if "autoreset_mode" in env_kwargs:
            raise ValueError("an EnvWorker resets its environments in the step that ends an episode "
                             "(AutoresetMode.SAME_STEP); do not pass autoreset_mode")
        self.index = int(index)
        self.generation = int(generation)
        self.num_workers = max(int(num_workers), 1)
        self._seed = int(seed)
        self._envs = make_vec(num_envs, autoreset_mode=AutoresetMode.SAME_STEP, **env_kwargs)

    def describe(self) -> WorkerInfo:
        envs = self._envs
        return WorkerInfo(index=self.index, generation=self.generation, pid=os.getpid(),
                          node_ip=ray.util.get_node_ip_address(),
                          node_id=ray.get_runtime_context().get_node_id(), hostname=socket.gethostname(),
                          actor_id=ray.get_runtime_context().get_actor_id(), num_envs=envs.num_envs,
                          engine_host=HOST, engine_ports=[env.session.engine.port for env in envs.envs],
                          observation_space=envs.observation_space, action_space=envs.action_space)

    def rollout(self, rollout: int, steps: int, policy: Policy = None) -> Rollout:
        """Resets the environments to rollout ``rollout``'s episodes and steps them ``steps`` times."""
        if int(steps) < 1:
            raise ValueError("steps must be at least 1, got %r" % (steps,))
        envs, n = self._envs, self._envs.num_envs
        envs.assign_slots((int(rollout) % self.num_workers) * n, self.num_workers * n)
        current, _ = envs.reset(seed=derive_seed(self._seed, int(rollout)))
        envs.action_space.seed(derive_seed(self._seed, int(rollout), 1))
        observations = create_empty_array(envs.observation_space, n=steps, fn=np.zeros)
        final_observations = create_empty_array(envs.observation_space, n=steps, fn=np.zeros)
        actions = create_empty_array(envs.action_space, n=steps, fn=np.zeros)
        rewards = np.zeros((steps, n))
        terminated = np.zeros((steps, n), dtype=np.bool_)
        truncated = np.zeros((steps, n), dtype=np.bool_)
        page_errors = np.zeros((steps, n), dtype=np.bool_)
        running = np.zeros(n)
        lengths_now = np.zeros(n, dtype=np.int64)
        returns: List[float] = []
        lengths: List[int] = []
        recorders = [runner.recorder for runner in envs.runners if runner.recorder is not None]
        recorded = [len(recorder.written) for recorder in recorders]
        started = time.perf_counter()
        for t in range(steps):
            action = envs.action_space.sample() if policy is None else policy(current)
            _put(observations, t, current)
            _put(actions, t, action)
            current, rewards[t], terminated[t], truncated[t], info = envs.step(action)
            if "_page_error" in info:
                page_errors[t] = info["_page_error"]
            running += rewards[t]
            lengths_now += 1
            for i in np.flatnonzero(terminated[t] | truncated[t]):
                _put_row(final_observations, t, i, info["final_obs"][i])
                returns.append(float(running[i]))
                lengths.append(int(lengths_now[i]))
                running[i], lengths_now[i] = 0.0, 0
        elapsed = time.perf_counter() - started
        if recorders:
            flush_records()
        return Rollout(rollout=int(rollout), worker=self.index, generation=self.generation, observations=observations,
                       actions=actions, rewards=rewards, terminated=terminated, truncated=truncated,
                       final_observations=final_observations, page_errors=page_errors,
                       last_observations=_copy(current), episode_returns=np.array(returns),
                       episode_lengths=np.array(lengths, dtype=np.int64), elapsed=elapsed, pid=os.getpid(),
                       node_ip=ray.util.get_node_ip_address(),
                       records=[path for recorder, n in zip(recorders, recorded) for path in recorder.written[n:]])

    def reopen_counts(self) -> List[int]:
        """How often each page was opened again after a fault."""
        return [int(c) for c in self._envs.reopen_counts]

    def close(self) -> None:
        """Closes the pages, the engines (their ports are free again) and Chromium."""
        self._envs.close()


def _reason(exc: BaseException) -> str:
    """The first line of what went wrong in a worker, without Ray's traceback around it."""
    cause = getattr(exc, "cause", None)
    if isinstance(exc, ray.exceptions.RayTaskError) and cause is not None:
        text = str(cause).strip().splitlines()
        return "%s: %s" % (type(cause).__name__, text[0] if text else "")
    # Ray's text of a dead actor ends with the reason: the error of __init__, or what ended the process.
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    last = lines[-1] if lines else type(exc).__name__
    if getattr(exc, "actor_init_failed", False):
        return "the worker did not start: %s" % last
    if isinstance(exc, ray.exceptions.RayActorError):
        return "the worker's process died: %s" % last
    return "%s: %s" % (type(exc).__name__, lines[0] if lines else "")


@dataclass
class _Slot:
    index: int
    generation: int
    actor: Any
    ready: bool = False
    alive: bool = True


class WorkerPool:
    """``num_workers`` ``EnvWorker`` of ``envs_per_worker`` environments each, spread over the cluster.

    ``env_kwargs`` go to ``make_vec`` in every worker (``step_timeout``
    among them, or given on its own); ``seed`` chooses every rollout's
    episodes and random actions; ``num_cpus`` is what
    each worker reserves (a browser with its pages keeps about one core
    busy); ``actor_options`` are further options of the actors (Ray's
    ``.options()``, e.g. ``resources`` or another ``scheduling_strategy``).
    The constructor returns when every worker has opened its pages, or
    raises what the first one that could not failed with (after stopping the
    others). ``max_replacements`` (default two per worker) bounds how many
    dead workers are replaced over the pool's life; a replacement that does
    not start within ``startup_timeout`` counts as dead too.
    """

    def __init__(self, num_workers: int, envs_per_worker: int = 1, *, env_kwargs: Optional[Dict[str, Any]] = None,
                 seed: int = 0, num_cpus: float = 1, max_replacements: Optional[int] = None,
                 startup_timeout: float = 300.0, actor_options: Optional[Dict[str, Any]] = None,
                 step_timeout: Optional[float] = None) -> None:
        if int(num_workers) < 1 or int(envs_per_worker) < 1:
            raise ValueError("num_workers and envs_per_worker must be at least 1")
        self.num_workers = int(num_workers)
        self.envs_per_worker = int(envs_per_worker)
        self.env_kwargs = dict(env_kwargs or {})
        if step_timeout is not None:
            self.env_kwargs["step_timeout"] = step_timeout
        self.seed = int(seed)
        self.max_replacements = 2 * self.num_workers if max_replacements is None else int(max_replacements)
        self.replacements = 0
        self.startup_timeout = float(startup_timeout)
        self._options = dict({"num_cpus": num_cpus, "scheduling_strategy": "SPREAD"}, **(actor_options or {}))
        self._slots = [_Slot(i, 0, self._start(i, 0)) for i in range(self.num_workers)]
        try:
            ray.get([slot.actor.describe.remote() for slot in self._slots], timeout=self.startup_timeout)
        except BaseException as exc:
            self._kill_all()
            if isinstance(exc, ray.exceptions.RayError):
                raise RuntimeError("the workers did not start: %s" % _reason(exc)) from exc
            raise
        for slot in self._slots:
            slot.ready = True

    def _start(self, index: int, generation: int) -> Any:
        return EnvWorker.options(**self._options).remote(index, self.envs_per_worker, self.env_kwargs, self.seed,
                                                         generation, self.num_workers)

    def _replace(self, slot: _Slot) -> None:
        """Kills the worker of ``slot`` and, while replacements are left, starts a new one at its index."""
        try:
            ray.kill(slot.actor, no_restart=True)
        except Exception:
            pass
        slot.ready = False
        if self.replacements >= self.max_replacements:
            slot.alive = False
            return
        self.replacements += 1
        slot.generation += 1
        slot.actor = self._start(slot.index, slot.generation)

    @property
    def actors(self) -> List[Any]:
        """The actor handles of the live workers, by index."""
        return [slot.actor for slot in self._slots if slot.alive]

    def describe(self, timeout: Optional[float] = None) -> List[WorkerInfo]:
        """Where each live worker runs, its process, its engines' ports (waits for replacements to start)."""
        slots = [slot for slot in self._slots if slot.alive]
        infos = ray.get([slot.actor.describe.remote() for slot in slots],
                        timeout=self.startup_timeout if timeout is None else timeout)
        # A worker that answered has opened its pages: the next rollouts go to it from the start.
        for slot in slots:
            slot.ready = True
        return infos

    def rollouts(self, num_rollouts: int, steps: int, *, policy: Policy = None,
                 timeout: Optional[float] = None) -> Iterator[Union[Rollout, LostRollout]]:
        """Yields rollouts ``0 .. num_rollouts - 1`` as they finish, each worker starting the next one
        free, and a ``LostRollout`` for each that failed or ran longer than ``timeout`` seconds (its
        worker is then replaced; the replacement takes rollouts once it has opened its pages).
        ``policy(observations) -> actions`` runs in the workers. Rollouts in flight when the caller
        stops iterating still finish in their workers, and later ones queue behind them."""
        if int(num_rollouts) < 0 or int(steps) < 1:
            raise ValueError("num_rollouts must be >= 0 and steps >= 1")
        policy_ref = None if policy is None else ray.put(policy)
        # ref -> (slot, generation, rollout or None while the worker starts, deadline or None)
        pending: Dict[Any, tuple] = {}
        next_rollout = 0

        def submit(slot: _Slot) -> None:
            nonlocal next_rollout
            if not slot.alive:
                return
            if not slot.ready:
                pending[slot.actor.describe.remote()] = (slot, slot.generation, None,
                                                         time.monotonic() + self.startup_timeout)
            elif next_rollout < num_rollouts:
                ref = slot.actor.rollout.remote(next_rollout, steps, policy_ref)
                pending[ref] = (slot, slot.generation, next_rollout,
                                None if timeout is None else time.monotonic() + timeout)
                next_rollout += 1

        def running() -> bool:
            rolling = any(rollout is not None for _, _, rollout, _ in pending.values())
            return rolling or (next_rollout < num_rollouts and bool(pending))

        for slot in self._slots:
            submit(slot)
        while running():
            deadlines = [deadline for _, _, _, deadline in pending.values() if deadline is not None]
            wait = max(0.0, min(deadlines) - time.monotonic()) if deadlines else None
            ready, _ = ray.wait(list(pending), num_returns=1, timeout=wait)
            # Overdue work is noticed even while other workers keep finishing theirs.
            now = time.monotonic()
            for ref, (slot, generation, rollout, deadline) in list(pending.items()):
                if ref not in ready and deadline is not None and now >= deadline:
                    del pending[ref]
                    if rollout is not None:
                        yield LostRollout(rollout, slot.index, generation, "did not finish within %g s" % timeout)
                    self._replace(slot)
                    submit(slot)
            if not ready:
                continue
            slot, generation, rollout, _ = pending.pop(ready[0])
            try:
                result = ray.get(ready[0])
            except ray.exceptions.RayError as exc:
                if rollout is not None:
                    yield LostRollout(rollout, slot.index, generation, _reason(exc))
                self._replace(slot)
            else:
                if rollout is None:
                    slot.ready = True
                else:
                    yield result
            submit(slot)
        for rollout in range(next_rollout, num_rollouts):
            yield LostRollout(rollout, None, None, "no worker left to run it (%d replacements made)"
                              % self.replacements)

    def collect(self, num_rollouts: int, steps: int, *, policy: Policy = None,
                timeout: Optional[float] = None) -> Collection:
        """Every rollout of ``rollouts()``, gathered: ``Collection(rollouts, lost, elapsed)``."""
        collection = Collection()
        started = time.perf_counter()
        for item in self.rollouts(num_rollouts, steps, policy=policy, timeout=timeout):
            (collection.lost if isinstance(item, LostRollout) else collection.rollouts).append(item)
        collection.elapsed = time.perf_counter() - started
        return collection

    def close(self, timeout: float = 60.0) -> None:
        """Closes every worker's environments (pages, engines, Chromium), then ends the workers."""
        live = [slot for slot in self._slots if slot.alive]
        if live:
            ray.wait([slot.actor.close.remote() for slot in live], num_returns=len(live), timeout=timeout)
        self._kill_all()

    def _kill_all(self) -> None:
        for slot in self._slots:
            if slot.alive:
                slot.alive = False
                try:
                    ray.kill(slot.actor, no_restart=True)
                except Exception:
                    pass

    def __enter__(self) -> "WorkerPool":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def collect_rollouts(num_workers: int, envs_per_worker: int, num_rollouts: int, steps: int, *,
                     policy: Policy = None, timeout: Optional[float] = None, **pool_kwargs: Any) -> Collection:
    """Starts a ``WorkerPool``, collects ``num_rollouts`` rollouts of ``steps`` steps and closes it."""
    with WorkerPool(num_workers, envs_per_worker, **pool_kwargs) as pool:
        return pool.collect(num_rollouts, steps, policy=policy, timeout=timeout)
