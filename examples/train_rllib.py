"""PPO from RLlib on the page, through py_engine_rust_gym.rllib.env_creator, for a few iterations.

Needs RLlib and PyTorch, which are too large for CI; run it by hand (the
first command takes the CPU build of PyTorch; RLlib 2.60 brings Gymnasium
1.2.2 with it):

    pip install ".[gym]" torch==2.13.0 "ray[rllib]==2.60.*"
    python examples/train_rllib.py --iterations 3

Two env runners of two environments each (RLlib's defaults otherwise:
``end_session`` on, the sync vectorise mode) sample the page's training
episodes, every sub-environment of every runner on its own episodes; each
iteration prints the env steps sampled and the mean episode return. A page
that crashes or hangs ends only its own episode and is opened again (the
runner's log says so); the run goes on.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from typing import List, Optional


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=3, help="training iterations (default 3)")
    parser.add_argument("--env-runners", type=int, default=2, help="env runners (default 2)")
    parser.add_argument("--envs-per-runner", type=int, default=2, help="environments per runner (default 2)")
    parser.add_argument("--episode-length", type=int, default=50, help="steps per episode (default 50)")
    parser.add_argument("--vectorize-mode", default="sync", choices=["sync", "vector_entry_point"],
                        help="RLlib's gym_env_vectorize_mode (default sync)")
    parser.add_argument("--seed", type=int, default=None, help="config.debugging(seed=...)")
    args = parser.parse_args(argv)
    _log_at_info()

    import ray
    from ray import tune
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.utils.metrics import (ENV_RUNNER_RESULTS, EPISODE_RETURN_MEAN, NUM_ENV_STEPS_SAMPLED,
                                         NUM_ENV_STEPS_SAMPLED_LIFETIME, NUM_EPISODES)

    from py_engine_rust_gym.rllib import env_creator

    # The env runners log at INFO too, so that a page reopened after a fault shows in the run's output:
    # logging_level reaches Ray's own logger only, so each worker process turns logging on at start.
    ray.init(runtime_env={"env_vars": {"PYTHONUNBUFFERED": "1"}, "worker_process_setup_hook": _log_at_info},
             logging_level=logging.INFO, include_dashboard=False)
    tune.register_env("browser_trading", env_creator)
    fragment = args.episode_length * 2
    config = (
        PPOConfig()
        .environment("browser_trading", env_config={"episode_length": args.episode_length})
        .env_runners(num_env_runners=args.env_runners, num_envs_per_env_runner=args.envs_per_runner,
                     rollout_fragment_length=fragment, gym_env_vectorize_mode=args.vectorize_mode,
                     num_cpus_per_env_runner=0.5)
        .training(train_batch_size_per_learner=fragment * args.env_runners * args.envs_per_runner,
                  minibatch_size=128, num_epochs=4, lr=3e-4)
        .debugging(seed=args.seed)
    )
    algo = config.build_algo()
    try:
        print("iteration  env-steps  (total)  episodes  mean return  seconds")
        for i in range(1, args.iterations + 1):
            started = time.perf_counter()
            result = algo.train()
            runners = result.get(ENV_RUNNER_RESULTS) or {}
            print("%9d  %9s  %7s  %8s  %11s  %7.1f" % (
                i, runners.get(NUM_ENV_STEPS_SAMPLED), runners.get(NUM_ENV_STEPS_SAMPLED_LIFETIME),
                runners.get(NUM_EPISODES), _fmt(runners.get(EPISODE_RETURN_MEAN)), time.perf_counter() - started),
                flush=True)
            if runners.get(NUM_ENV_STEPS_SAMPLED) in (None, 0):
                print("no env steps sampled in this iteration: see the env runners' errors above", file=sys.stderr)
                return 1
    finally:
        algo.stop()
        ray.shutdown()
    return 0


def _log_at_info() -> None:
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")


def _fmt(value: Optional[float]) -> str:
    return "-" if value is None else "%+.2f" % value


if __name__ == "__main__":
    os.environ.setdefault("RAY_DISABLE_USAGE_STATS", "1")
    sys.exit(main())
