"""Env-steps per second of environment workers on a local Ray cluster, against the same make_vec stepped directly.

    python bench/ray_bench.py                 # writes its section of bench/RESULTS.md
    python bench/ray_bench.py --quick         # one short round, printed only (unless --results)
    python bench/ray_bench.py --results FILE  # the file whose section to write (bench/run.sh passes it)

Three ways of stepping ``make_vec(E)`` (E = ``--envs-per-worker``, 2 by
default) with seeded random actions, episodes long enough that no reset
falls inside a measurement: directly in this process (``envs.step()`` in a
loop), one Ray worker (``WorkerPool(1, E)``), and two (``WorkerPool(2, E)``),
each worker stepping its own ``make_vec(E)`` in its own process with its own
Chromium. The pools collect rollouts of ``ROLLOUT_STEPS`` steps, each handed
to whichever worker is free; their rate is all env-steps over the wall time
of the collection, seen from the driver. Ray's share is, for each worker,
the driver's time up to that worker's last rollout less the time it spent
stepping, per rollout: submitting the call, shipping the rollout back, the
worker idling in between. Ray starts its workers (and so their browsers) at
niceness 15, so each round runs the pools once more on a cluster started
with ``RAY_worker_niceness=0``, the niceness of the direct run. The runs of
a round go in an order that rotates from round to round; the table shows
the median over the rounds and half their range.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time
from typing import Dict, List, Tuple


os.environ.setdefault("RAY_DISABLE_USAGE_STATS", "1")

import ray  # noqa: E402

import py_engine_rust_gym  # noqa: E402
from gym_bench import EPISODE_LENGTH, WINDOW, settings, spread, write_section  # noqa: E402
from py_engine_rust_gym.ray import LostRollout, WorkerPool  # noqa: E402

HEADING = "## Ray workers: env-steps per second of 1 and 2 workers against make_vec stepped directly"
ROLLOUT_STEPS = 50


def measure_direct(envs_per_worker: int, rollouts: int, round_: int) -> Tuple[float, float, float]:
    """Env-steps/s of make_vec stepped here, for as many steps as one worker's share of a pool's collection."""
    envs = py_engine_rust_gym.make_vec(envs_per_worker, **settings())
    try:
        envs.reset(seed=round_, options={"episode_index": 0})
        envs.action_space.seed(round_)
        for _ in range(ROLLOUT_STEPS):
            envs.step(envs.action_space.sample())
        started = time.perf_counter()
        for _ in range(rollouts * ROLLOUT_STEPS):
            envs.step(envs.action_space.sample())
        rate = envs_per_worker * rollouts * ROLLOUT_STEPS / (time.perf_counter() - started)
        return rate, rate, 0.0
    finally:
        envs.close()


def measure_pool(workers: int, envs_per_worker: int, rollouts: int, round_: int) -> Tuple[float, float, float]:
    """(total env-steps/s, mean env-steps/s of a worker while stepping, Ray's ms per rollout)."""
    with WorkerPool(workers, envs_per_worker, env_kwargs=settings(), seed=round_, num_cpus=1) as pool:
        pool.collect(workers, ROLLOUT_STEPS)  # the first reset and a warm page, as the direct run has
        started = time.perf_counter()
        arrivals = []
        for item in pool.rollouts(workers * rollouts, ROLLOUT_STEPS):
            if isinstance(item, LostRollout):
                raise RuntimeError("a rollout was lost during the benchmark: %s" % (item,))
            arrivals.append((time.perf_counter() - started, item))
    elapsed = arrivals[-1][0]
    env_steps = sum(r.env_steps for _, r in arrivals)
    stepping = sum(r.elapsed for _, r in arrivals)
    # Each worker has one rollout in flight at a time: up to its last arrival, the time it was not
    # stepping went to Ray (without the wait of the one that finished first for the other).
    ray_seconds = 0.0
    for worker in range(workers):
        mine = [(t, r) for t, r in arrivals if r.worker == worker]
        ray_seconds += mine[-1][0] - sum(r.elapsed for _, r in mine)
    return env_steps / elapsed, env_steps / stepping, 1000 * ray_seconds / len(arrivals)


def start_cluster(niceness: str = None) -> None:
    """A local cluster of 2 CPUs; ``niceness`` is that of its workers (Ray's default, 15, if None)."""
    if niceness is None:
        os.environ.pop("RAY_worker_niceness", None)
    else:
        os.environ["RAY_worker_niceness"] = niceness
    ray.init(address="local", num_cpus=2, include_dashboard=False, object_store_memory=100 * 1024 * 1024,
             log_to_driver=False)


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="one short round; printed, and written only to a file given with --results")
    parser.add_argument("--envs-per-worker", type=int, default=2, help="E, the environments of each worker")
    parser.add_argument("--results", help="the results file whose section is written (default bench/RESULTS.md)")
    args = parser.parse_args(argv)
    e = args.envs_per_worker
    rollouts, rounds = (2, 1) if args.quick else (4, 3)
    load_start = open("/proc/loadavg").read().split()[:3]
    started = time.time()
    kinds = ["direct", "1 worker", "2 workers", "1 worker, nice 0", "2 workers, nice 0"]
    results: Dict[str, List[Tuple[float, float, float]]] = {kind: [] for kind in kinds}
    for r in range(rounds):
        # Ray runs its workers, and so their browsers, at niceness 15 unless told otherwise; the
        # second cluster of each round runs them at 0, as this process runs the direct one.
        for niceness, order in ((None, kinds[:3]), ("0", kinds[3:])):
            start_cluster(niceness)
            try:
                # Whichever runs first in a round meets a machine still busy with the last one's browser.
                for kind in order[r % len(order):] + order[:r % len(order)]:
                    if kind == "direct":
                        results[kind].append(measure_direct(e, rollouts, r))
                    else:
                        results[kind].append(measure_pool(int(kind[0]), e, rollouts, r))
                    print(kind, ["%.1f" % v for v in results[kind][-1]], file=sys.stderr)
            finally:
                ray.shutdown()
    direct = statistics.median(total for total, _, _ in results["direct"])
    rows = []
    for kind in kinds:
        totals = [total for total, _, _ in results[kind]]
        if kind == "direct":
            label = "make_vec(%d) stepped directly, in this process" % e
            rows.append("| %s | %s | %s | - | 1.00x |" % (label, spread(totals), spread(totals)))
            continue
        label = "%s of make_vec(%d) each (`WorkerPool(%s, %d)`)%s" % (
            kind.split(",")[0], e, kind[0], e, ", `RAY_worker_niceness=0`" if "nice" in kind else "")
        rows.append("| %s | %s | %s | %s | %.2fx |" % (
            label, spread(totals), spread([w for _, w, _ in results[kind]]),
            spread([ms for _, _, ms in results[kind]], 1), statistics.median(totals) / direct))
    load_end = open("/proc/loadavg").read().split()[:3]
    section = "\n".join([
        HEADING,
        "",
        "Written by `python bench/ray_bench.py` (also run by `bash bench/run.sh`) on %s UTC, %s on %s, Ray %s, "
        "a local cluster of 2 CPUs on %d cores; %d s in all. Load average (1, 5, 15 min) at start %s, at end %s: "
        "the machine is shared with other work, so the numbers are noisy."
        % (time.strftime("%Y-%m-%d %H:%M", time.gmtime(started)), platform.python_implementation(),
           platform.python_version(), ray.__version__, os.cpu_count() or 0, time.time() - started,
           " ".join(load_start), " ".join(load_end)),
        "",
        "Env-steps per second (steps of all environments together), median over %d rounds, ± half the range. "
        "Each worker steps %d rollouts of %d batched steps after one of warm-up; the direct run steps as many "
        "batches after as many warm-up ones. Random actions of the default action space, episodes of %d steps "
        "(no reset inside a measurement), candle window %d. \"While stepping\": env-steps/s of one worker over "
        "the time it spent in `step()`; \"Ray's share\": the driver's time per rollout less that, in "
        "milliseconds; \"vs direct\": the total against the direct run. Ray starts its workers at niceness 15, "
        "and their browsers inherit it: on a machine busy with other work they get less "
        "of the processors than the direct run at niceness 0; the rows with `RAY_worker_niceness=0` (set "
        "when the cluster starts) take that away and leave what Ray itself costs."
        % (rounds, rollouts, ROLLOUT_STEPS, EPISODE_LENGTH, WINDOW),
        "",
        "| setup | total (env-steps/s) | one worker while stepping (env-steps/s) | Ray's share per rollout (ms) "
        "| vs direct |",
        "|---|---|---|---|---|",
    ] + rows) + "\n"
    print(section)
    if args.results or not args.quick:
        write_section(args.results or os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"),
                      section, HEADING)
    return 0


if __name__ == "__main__":
    sys.exit(main())
