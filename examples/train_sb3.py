"""PPO from Stable-Baselines3 on make_vec(8) for a short run, against a random agent.

Needs PyTorch, which is too large for CI; run it by hand:

    pip install ".[gym,data]" torch==2.13.0 stable-baselines3
    python examples/train_sb3.py --timesteps 20000                    # --candles prices.csv for your market

Trains on the page's training episodes, then plays every test episode with
the trained policy, with random actions and by holding (never trading),
through ``py_engine_rust_gym.evaluate``, and prints the mean episode return
of each. Every evaluated episode is recorded (``--out``, a folder per policy
under a folder per run) and each policy gets a report beside its records
(``ppo.png``, ...); ``python -m py_engine_rust_gym replay`` plays any of the
records again on the page. A page that crashes or hangs during training ends
only its own episode (SB3 sees it truncated) and is opened again; the log
says so. A short run on synthetic candles mostly learns to trade less; the
point is the pipeline: eight pages stepped concurrently, feeding an
off-the-shelf learner.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from typing import List, Optional

import numpy as np
from gymnasium.vector import AutoresetMode
from stable_baselines3 import PPO
from stable_baselines3.common.vec_env import VecEnv, VecMonitor, VecNormalize

import py_engine_rust_gym


class GymnasiumToSB3(VecEnv):
    """Stable-Baselines3's VecEnv over a Gymnasium vector environment with same-step autoreset
    (SB3's own convention: the finished episode's last observation is in ``terminal_observation``)."""

    def __init__(self, envs: py_engine_rust_gym.BrowserTradingVectorEnv) -> None:
        if envs.autoreset_mode != AutoresetMode.SAME_STEP:
            raise ValueError("needs autoreset_mode=AutoresetMode.SAME_STEP")
        self.envs = envs
        self._actions: Optional[np.ndarray] = None
        super().__init__(envs.num_envs, envs.single_observation_space, envs.single_action_space)

    def reset(self) -> np.ndarray:
        seed = self._seeds[0] if self._seeds and self._seeds[0] is not None else None
        obs, _ = self.envs.reset(seed=seed)
        self._reset_seeds()
        self._reset_options()
        return obs

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = actions

    def step_wait(self):
        obs, rewards, terminated, truncated, info = self.envs.step(self._actions)
        dones = terminated | truncated
        infos: List[dict] = [{} for _ in range(self.num_envs)]
        for i in np.flatnonzero(dones):
            infos[i]["terminal_observation"] = info["final_obs"][i]
            infos[i]["TimeLimit.truncated"] = bool(truncated[i] and not terminated[i])
            if "_page_error" in info and info["_page_error"][i]:
                infos[i]["page_error"] = info["page_error"][i]
        return obs, rewards.astype(np.float32), dones, infos

    def close(self) -> None:
        self.envs.close()

    def get_attr(self, attr_name, indices=None):
        return [getattr(self.envs.envs[i], attr_name) for i in self._get_indices(indices)]

    def set_attr(self, attr_name, value, indices=None) -> None:
        for i in self._get_indices(indices):
            setattr(self.envs.envs[i], attr_name, value)

    def env_method(self, method_name, *args, indices=None, **kwargs):
        return [getattr(self.envs.envs[i], method_name)(*args, **kwargs) for i in self._get_indices(indices)]

    def env_is_wrapped(self, wrapper_class, indices=None) -> List[bool]:
        return [False for _ in self._get_indices(indices)]


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timesteps", type=int, default=20000, help="PPO timesteps (default 20000)")
    parser.add_argument("--num-envs", type=int, default=8, help="pages stepped together (default 8)")
    parser.add_argument("--episode-length", type=int, default=50, help="steps per episode (default 50)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--candles", metavar="FILE", help="a CSV, Parquet or .npy file of candles (default: synthetic)")
    parser.add_argument("--out", default="runs/sb3", help="where each run's records and reports go (default runs/sb3)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")

    envs = py_engine_rust_gym.make_vec(args.num_envs, episode_length=args.episode_length, seed=args.seed,
                                       candles=args.candles or 20 + args.episode_length * 80,
                                       autoreset_mode=AutoresetMode.SAME_STEP)
    run = os.path.join(args.out, time.strftime("%Y%m%d-%H%M%S"))
    try:
        counts = envs.envs[0].episode_counts
        print("%d pages, %d training and %d test episodes of %d steps, observation %s, actions %s"
              % (args.num_envs, counts["train"], counts["test"], args.episode_length,
                 envs.single_observation_space.shape, envs.single_action_space))
        venv = VecNormalize(VecMonitor(GymnasiumToSB3(envs)), norm_obs=True, norm_reward=True)
        venv.seed(args.seed)
        model = PPO("MlpPolicy", venv, n_steps=128, batch_size=256, n_epochs=4, learning_rate=3e-4,
                    ent_coef=0.01, seed=args.seed, verbose=0)
        started = time.perf_counter()
        model.learn(total_timesteps=args.timesteps)
        elapsed = time.perf_counter() - started
        print("trained %d timesteps in %.0f s (%.0f env-steps/s, learning included)"
              % (model.num_timesteps, elapsed, model.num_timesteps / elapsed))
        venv.training = False

        def policy(obs: np.ndarray) -> np.ndarray:
            return model.predict(venv.normalize_obs(obs), deterministic=True)[0]

        rng = np.random.default_rng(args.seed)
        policies = {"PPO": policy, "random": lambda obs: rng.integers(0, 4, len(obs)),
                    "hold": lambda obs: np.zeros(len(obs), dtype=np.int64)}
        results = {name: py_engine_rust_gym.evaluate(envs, act, record_dir=os.path.join(run, name.lower()))
                   for name, act in policies.items()}
        reopened = int(envs.reopen_counts.sum())
    finally:
        envs.close()
    for name in results:
        records = os.path.join(run, name.lower())
        py_engine_rust_gym.report([records], records + ".png", title="%s on the %d test episodes"
                                  % (name, len(results[name])))
    print("mean episode return over the %d test episodes:" % len(results["PPO"]))
    for name, rows in results.items():
        returns = [row.total_reward for row in rows]
        print("  %-7s %+9.2f  (std %.2f, %.1f trades per episode)"
              % (name, np.mean(returns), np.std(returns), np.mean([row.trades for row in rows])))
    print("pages reopened after a fault during the run: %d" % reopened)
    print("records and reports of the evaluation: %s (ppo.png, random.png, hold.png); replay one with\n"
          "  python -m py_engine_rust_gym replay %s/ppo/<record>.json --video ppo.mp4" % (run, run))
    return 0


if __name__ == "__main__":
    sys.exit(main())
