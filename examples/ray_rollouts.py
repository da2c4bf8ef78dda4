"""Random-action rollouts from environment workers on Ray, with the env-steps per second of each worker.

    pip install ".[gym,ray]"        # with Chromium from the system on every machine: apt-get install chromium
    python examples/ray_rollouts.py --num-workers 2 --envs-per-worker 2 --steps 200
    python examples/ray_rollouts.py --address HEAD:6379 --num-workers 8   # a cluster started with `ray start`

Without ``--address`` a local Ray cluster is started for the run and stopped
after it. Each worker owns ``make_vec(--envs-per-worker)`` on its node; the
work is ``--steps`` batched steps per worker on average, cut into rollouts
of ``--rollout-steps`` that go to whichever worker is free. Prints one row
per worker (the env-steps per second it stepped at) and the total (all
env-steps over the collection's wall time); exits non-zero only if no
rollout came back.
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import sys
import time
from typing import List, Optional

import numpy as np
import ray

from py_engine_rust_gym.ray import WorkerPool


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--num-workers", type=int, default=2, help="Ray workers, each with its own browser (default 2)")
    parser.add_argument("--envs-per-worker", type=int, default=2, help="pages stepped together in each (default 2)")
    parser.add_argument("--steps", type=int, default=200, help="batched steps per worker, on average (default 200)")
    parser.add_argument("--rollout-steps", type=int, default=50, help="steps of one rollout (default 50)")
    parser.add_argument("--episode-length", type=int, default=50, help="steps per episode (default 50)")
    parser.add_argument("--cpus-per-worker", type=float, default=1, help="CPUs each worker reserves (default 1)")
    parser.add_argument("--address", help="an existing cluster (ray start --head); default: a local one")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if min(args.num_workers, args.envs_per_worker, args.steps, args.rollout_steps) < 1:
        parser.error("--num-workers, --envs-per-worker, --steps and --rollout-steps must be at least 1")
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")

    if args.address:
        ray.init(address=args.address)
    else:
        # Every worker gets its CPU even on a machine with fewer cores: they share them.
        cpus = max(os.cpu_count() or 1, math.ceil(args.num_workers * args.cpus_per_worker))
        ray.init(address="local", num_cpus=cpus, include_dashboard=False)
    try:
        return run(args)
    finally:
        ray.shutdown()


def run(args: argparse.Namespace) -> int:
    rollout_steps = min(args.rollout_steps, args.steps)
    num_rollouts = args.num_workers * math.ceil(args.steps / rollout_steps)
    started = time.perf_counter()
    with WorkerPool(args.num_workers, args.envs_per_worker, seed=args.seed, num_cpus=args.cpus_per_worker,
                    env_kwargs={"episode_length": args.episode_length, "seed": args.seed}) as pool:
        nodes = {info.index: info.node_ip for info in pool.describe()}
        print("%d workers of %d environments on %d node(s), started in %.1f s; %d rollouts of %d steps"
              % (args.num_workers, args.envs_per_worker, len(set(nodes.values())), time.perf_counter() - started,
                 num_rollouts, rollout_steps), flush=True)
        collection = pool.collect(num_rollouts, rollout_steps)
    print("%-7s %-16s %8s %10s %12s %9s %12s" % ("worker", "node", "rollouts", "env-steps", "env-steps/s",
                                               "episodes", "mean return"))
    for index in sorted({r.worker for r in collection.rollouts}):
        mine = [r for r in collection.rollouts if r.worker == index]
        steps = sum(r.env_steps for r in mine)
        returns = np.concatenate([r.episode_returns for r in mine])
        print("%-7d %-16s %8d %10d %12.1f %9d %12s"
              % (index, mine[0].node_ip, len(mine), steps, steps / sum(r.elapsed for r in mine), len(returns),
                 "%+.2f" % returns.mean() if len(returns) else "-"))
    total = collection.env_steps
    print("%-7s %-16s %8d %10d %12.1f   (over %.1f s of collection, all workers together)"
          % ("total", "", len(collection.rollouts), total, total / collection.elapsed if collection.elapsed else 0.0,
             collection.elapsed))
    for lost in collection.lost:
        print("lost rollout %d of worker %s: %s" % (lost.rollout, lost.worker, lost.error))
    return 0 if collection.rollouts else 1


if __name__ == "__main__":
    sys.exit(main())
