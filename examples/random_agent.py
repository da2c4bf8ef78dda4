"""A random agent on the browser trading environment, checked against the page's own books.

    pip install ".[gym]"             # with Chromium from the system: apt-get install chromium
    python examples/random_agent.py  # --episodes 3 --episode-length 50 --num-envs 1
    python examples/random_agent.py --candles prices.csv --record-dir runs/random   # with ".[gym,data]"

Runs the episodes through ``gymnasium.make`` (or ``make_vec`` with
``--num-envs`` above 1), prints one row per episode and exits non-zero if
the rewards of an episode do not add up to the P&L the page reports.
``--candles`` trades the market of a CSV, Parquet or ``.npy`` file instead
of synthetic candles; ``--record-dir`` writes a record of every episode that
ends, for ``python -m py_engine_rust_gym replay`` and ``report``. The
package's log goes to the standard error.
"""

from __future__ import annotations

import argparse
import logging
import math
import sys
import time
from typing import List, Optional

import gymnasium

import py_engine_rust_gym


def run_single(args: argparse.Namespace) -> List[dict]:
    env = gymnasium.make(py_engine_rust_gym.ENV_ID, episode_length=args.episode_length, seed=args.seed,
                         candles=args.candles, record_dir=args.record_dir)
    env.action_space.seed(args.seed)
    rows = []
    try:
        for n in range(args.episodes):
            _, info = env.reset(seed=args.seed if n == 0 else None)
            episode, total, steps = info["episode_index"], 0.0, 0
            while True:
                _, reward, terminated, truncated, info = env.step(env.action_space.sample())
                total += reward
                steps += 1
                if terminated or truncated:
                    break
            rows.append({"env": 0, "episode": episode, "steps": steps, "return": total, "pnl": info["pnl"],
                         "trades": info["trade_count"], "end": "terminated" if terminated else "truncated"})
    finally:
        env.close()
    return rows


def run_vector(args: argparse.Namespace) -> List[dict]:
    envs = py_engine_rust_gym.make_vec(args.num_envs, episode_length=args.episode_length, seed=args.seed,
                                       candles=args.candles, record_dir=args.record_dir,
                                       autoreset_mode=gymnasium.vector.AutoresetMode.SAME_STEP)
    envs.action_space.seed(args.seed)
    rows: List[dict] = []
    try:
        _, info = envs.reset(seed=args.seed)
        episodes = list(info["episode_index"])
        returns = [0.0] * args.num_envs
        steps = [0] * args.num_envs
        while len(rows) < args.episodes:
            _, rewards, terminated, truncated, info = envs.step(envs.action_space.sample())
            for i in range(args.num_envs):
                returns[i] += rewards[i]
                steps[i] += 1
                if terminated[i] or truncated[i]:
                    final = info["final_info"]
                    rows.append({"env": i, "episode": episodes[i], "steps": steps[i], "return": returns[i],
                                 "pnl": final["pnl"][i], "trades": final["trade_count"][i],
                                 "end": "terminated" if terminated[i] else "truncated"})
                    episodes[i], returns[i], steps[i] = info["episode_index"][i], 0.0, 0
    finally:
        envs.close()
    return rows[:args.episodes]


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--episodes", type=int, default=3, help="episodes to run (default 3)")
    parser.add_argument("--episode-length", type=int, default=50, help="steps per episode (default 50)")
    parser.add_argument("--num-envs", type=int, default=1, help="pages stepped together (default 1)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the candles and of the actions (default 0)")
    parser.add_argument("--candles", metavar="FILE", help="a CSV, Parquet or .npy file of candles (default: synthetic)")
    parser.add_argument("--record-dir", metavar="DIR", help="write a record of every episode that ends into DIR")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    started = time.perf_counter()
    rows = run_vector(args) if args.num_envs > 1 else run_single(args)
    elapsed = time.perf_counter() - started
    print("%-4s %-8s %6s %7s %10s %10s %-10s" % ("env", "episode", "steps", "trades", "return", "page P&L", "end"))
    bad = 0
    for row in rows:
        print("%-4d %-8d %6d %7d %+10.2f %+10.2f %-10s" % (row["env"], row["episode"], row["steps"], row["trades"],
                                                       row["return"], row["pnl"], row["end"]))
        bad += not math.isclose(row["return"], row["pnl"], rel_tol=1e-9, abs_tol=1e-6)
    steps = sum(row["steps"] for row in rows)
    print("%d episodes, %d steps in %.1f s (%.0f steps/s, start-up included)" % (len(rows), steps, elapsed,
                                                                               steps / elapsed))
    if bad:
        print("%d episodes whose rewards do not add up to the page's P&L" % bad)
        return 1
    print("every episode's rewards add up to the page's P&L")
    return 0


if __name__ == "__main__":
    sys.exit(main())
