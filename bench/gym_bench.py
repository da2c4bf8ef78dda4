"""Env-steps per second of make_vec(N) against N separate environments stepped one after another.

    python bench/gym_bench.py                 # N = 1, 2, 4, 8; writes its section of bench/RESULTS.md
    python bench/gym_bench.py --quick         # one short round, printed only (unless --results)
    python bench/gym_bench.py --results FILE  # the file whose section to write (bench/run.sh passes it)
    python bench/gym_bench.py --record        # what recording costs make_vec(8), holding, with and without it

Both sides run the same pages (headless Chromium, one browser context each,
no redraws: nothing renders them), the same seeded random actions of the default action
space (hold, buy, sell, close all: one to three operations and one
``step_and_sync`` per step) and episodes long enough that no reset falls
inside a measurement. The vector environment sends every page its step at
once from one event loop; the separate environments are plain synchronous
``step()`` calls in a loop. Each round runs both, in an order that alternates
from round to round; the table shows the median over the rounds and half
their range.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import time
import tempfile
from typing import Dict, List, Optional

import numpy as np

import py_engine_rust_gym
from py_engine_rust_gym.records import EpisodeRecorder, flush as flush_records

from common import spread  # bench/common.py (the script's directory is on sys.path)

HEADING = "## Gymnasium environments: make_vec(N) against N separate environments"
RECORD_HEADING = "## Gymnasium environments: the cost of recording episodes"
EPISODE_LENGTH = 4000
WINDOW = 20
#: Episodes of the recording measurement: short, so that every page writes several records while it is timed.
RECORDED_LENGTH = 100


def settings() -> Dict[str, object]:
    return {"episode_length": EPISODE_LENGTH, "window": WINDOW, "candles": WINDOW + EPISODE_LENGTH * 2,
            "seed": 3, "test_fraction": 0.25}


def measure_vector(n: int, batches: int, warmup: int) -> float:
    envs = py_engine_rust_gym.make_vec(n, **settings())
    try:
        envs.reset(seed=0, options={"episode_index": 0})
        actions = np.random.default_rng(0).integers(0, 4, (warmup + batches, n))
        for a in actions[:warmup]:
            envs.step(a)
        started = time.perf_counter()
        for a in actions[warmup:]:
            envs.step(a)
        return n * batches / (time.perf_counter() - started)
    finally:
        envs.close()


def measure_separate(n: int, batches: int, warmup: int) -> float:
    candles = py_engine_rust_gym.synthetic_candles(WINDOW + EPISODE_LENGTH * 2, seed=3)
    envs = [py_engine_rust_gym.BrowserTradingEnv(**dict(settings(), candles=candles)) for _ in range(n)]
    try:
        for env in envs:
            env.reset(seed=0, options={"episode_index": 0})
        actions = np.random.default_rng(0).integers(0, 4, (warmup + batches, n))
        for a in actions[:warmup]:
            for env, action in zip(envs, a):
                env.step(action)
        started = time.perf_counter()
        for a in actions[warmup:]:
            for env, action in zip(envs, a):
                env.step(action)
        return n * batches / (time.perf_counter() - started)
    finally:
        for env in envs:
            env.close()


def record_section(n: int, pairs: int) -> str:
    """Env-steps per second of make_vec(n) holding, with and without recording, in one environment: its
    episodes of RECORDED_LENGTH steps are timed one at a time, recorded or not in the order on, off, off,
    on, ..., so that a machine whose load drifts weighs on both sides alike; each recorded episode ends with
    every page writing its record inside the timing."""
    envs = py_engine_rust_gym.make_vec(n, episode_length=RECORDED_LENGTH, window=WINDOW, seed=3,
                                       candles=WINDOW + RECORDED_LENGTH * 4 * n)
    hold = np.zeros(n, dtype=np.int64)
    timed: Dict[bool, List[float]] = {True: [], False: []}
    with tempfile.TemporaryDirectory() as directory:
        recorders = [TimedRecorder(directory) for _ in envs.runners]

        def record(on: bool) -> None:
            for runner, recorder in zip(envs.runners, recorders):
                runner.recorder = recorder if on else None
        try:
            order = [True] + [on for p in range(pairs) for on in ((True, False) if p % 2 else (False, True))]
            record(order[0])
            envs.reset(seed=0)
            for k, on in enumerate(order):
                started = time.perf_counter()
                for _ in range(RECORDED_LENGTH):
                    envs.step(hold)
                if k:  # the first episode warms up
                    timed[on].append(n * RECORDED_LENGTH / (time.perf_counter() - started))
                if k + 1 < len(order):
                    record(order[k + 1])
                    envs.step(hold)  # the autoreset step: the pages start their next episode
        finally:
            envs.close()
            flush_records()
        written = sum(len(recorder.written) for recorder in recorders)
    ratios = [a / b for a, b in zip(timed[True], timed[False])]
    # The recorders' own time on the loop, over every recorded env-step (the warm-up episode's included).
    recorded_steps = n * RECORDED_LENGTH * (len(timed[True]) + 1)
    on_loop = sum(recorder.seconds for recorder in recorders) / recorded_steps
    step_time = 1 / statistics.median(timed[True])
    return "\n".join([
        RECORD_HEADING,
        "",
        "Written by `python bench/gym_bench.py --record` on %s UTC, %s %s, Chromium %s. One `make_vec(%d)` "
        "holding (action 0) through episodes of %d steps, each timed on its own, %d with `record_dir`'s "
        "recorder on every page (%d records written, each inside its episode's timing) and %d without, in the "
        "order on, off, off, on, ...; the ratio is that of each pair of neighbouring episodes. Median ± half the "
        "range; load average at the end %s."
        % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()), platform.python_implementation(),
           platform.python_version(), _chromium_version(), n, RECORDED_LENGTH, len(timed[True]), written,
           len(timed[False]), " ".join(open("/proc/loadavg").read().split()[:3])),
        "",
        "| make_vec(%d), holding | env-steps/s |" % n,
        "|---|---|",
        "| without recording | %s |" % spread(timed[False]),
        "| with recording | %s |" % spread(timed[True]),
        "| with / without, per pair | %s |" % spread(ratios, 3),
        "",
        "The recorders' own calls took %.1f µs per env-step on the environments' loop (the files are written "
        "by a thread of their own), %.2f%% of the %.0f µs an env-step took with recording."
        % (on_loop * 1e6, 100 * on_loop / step_time, step_time * 1e6),
    ]) + "\n"


class TimedRecorder(EpisodeRecorder):
    """A recorder that adds up the time its calls take on the loop (``seconds``)."""

    seconds = 0.0

    def began(self, runner, info) -> None:
        started = time.perf_counter()
        super().began(runner, info)
        self.seconds += time.perf_counter() - started

    def stepped(self, runner, action, step) -> None:
        started = time.perf_counter()
        super().stepped(runner, action, step)
        self.seconds += time.perf_counter() - started


def write_section(path: str, section: str, heading: str = HEADING) -> None:
    """Replaces the section under ``heading`` of ``path`` (up to the next level-2 heading), or appends it."""
    text = open(path).read() if os.path.exists(path) else "# Benchmark results\n"
    start = text.find(heading)
    if start < 0:
        text = text.rstrip("\n") + "\n\n" + section
    else:
        end = text.find("\n## ", start + len(heading))
        rest = text[end + 1:] if end >= 0 else ""
        text = text[:start] + section.rstrip("\n") + ("\n\n" + rest if rest else "")
    with open(path, "w") as f:
        f.write(text.rstrip("\n") + "\n")


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="one short round; printed, and written only to a file given with --results")
    parser.add_argument("--sizes", default="1,2,4,8", help="values of N (default 1,2,4,8)")
    parser.add_argument("--results", help="the results file whose section is written (default bench/RESULTS.md)")
    parser.add_argument("--record", action="store_true",
                        help="measure what recording episodes costs make_vec(8) instead")
    parser.add_argument("--pairs", type=int, help="pairs of episodes that --record times (default 12, 2 with --quick)")
    args = parser.parse_args(argv)
    if args.record:
        section = record_section(8, args.pairs or (2 if args.quick else 12))
        print(section)
        if args.results or not args.quick:
            write_section(args.results or os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"),
                          section, RECORD_HEADING)
        return 0
    sizes = [int(s) for s in args.sizes.split(",")]
    batches, warmup, rounds = (40, 10, 1) if args.quick else (150, 20, 3)
    load_start = open("/proc/loadavg").read().split()[:3]
    started = time.time()
    rows = []
    for n in sizes:
        vector, separate = [], []
        for r in range(rounds):
            # Whichever runs first in a round meets a machine still busy with the last one's pages.
            if r % 2 == 0:
                vector.append(measure_vector(n, batches, warmup))
                separate.append(measure_separate(n, batches, warmup))
            else:
                separate.append(measure_separate(n, batches, warmup))
                vector.append(measure_vector(n, batches, warmup))
        ratio = statistics.median(vector) / statistics.median(separate)
        rows.append("| %d | %s | %s | %.2fx |" % (n, spread(vector), spread(separate), ratio))
        print(rows[-1], file=sys.stderr)
    load_end = open("/proc/loadavg").read().split()[:3]
    section = "\n".join([
        HEADING,
        "",
        "Written by `python bench/gym_bench.py` (also run by `bash bench/run.sh`) on %s UTC, %s on %s, "
        "Chromium %s; %d s in all. Load average (1, 5, 15 min) at start %s, at end %s: the machine is "
        "shared, and every page's renderer competes for its two cores."
        % (time.strftime("%Y-%m-%d %H:%M", time.gmtime(started)), platform.python_implementation(),
           platform.python_version(), _chromium_version(), time.time() - started, " ".join(load_start),
           " ".join(load_end)),
        "",
        "Env-steps per second (steps of all environments together), median over %d rounds of %d timed "
        "batches after %d warm-up ones, ± half the range; seeded random actions of the default action "
        "space, episodes of %d steps (no reset inside a measurement), candle window %d. `make_vec(N)`: one "
        "`step()` per batch, every page's operations in flight at once; separate: N "
        "`BrowserTradingEnv` stepped one after another with `step()`; the two run in turn, first one then "
        "the other, alternating from round to round."
        % (rounds, batches, warmup, EPISODE_LENGTH, WINDOW),
        "",
        "| N | make_vec(N) (env-steps/s) | N separate environments (env-steps/s) | make_vec vs separate |",
        "|---|---|---|---|",
    ] + rows) + "\n"
    print(section)
    if args.results or not args.quick:
        write_section(args.results or os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"),
                      section)
    return 0


def _chromium_version() -> str:
    import subprocess
    from py_engine_rust_gym._browser import find_chromium
    try:
        out = subprocess.run([find_chromium(), "--version"], capture_output=True, text=True, timeout=30).stdout
    except Exception:
        return "unknown"
    return out.split()[1] if len(out.split()) > 1 else "unknown"


if __name__ == "__main__":
    sys.exit(main())
