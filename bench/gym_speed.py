"""make_vec where users run it: env-steps/s and processor time per env-step, this tree beside another build
and CPython beside PyPy, in one run.

    python bench/gym_speed.py --previous .venv/previous/bin/python [--pypy .venv/pypy/bin/python]
    python bench/gym_speed.py --quick          # one short round, printed only (unless --results)

Each measurement runs in a worker process of its own (``--worker``), under
the interpreter of the build it measures, so that every build drives its
own Chromium exactly as a user's script would; the rounds rotate the order
of the builds. A worker steps ``make_vec(N)`` with seeded actions (all
"hold", or random trades of the default action space) and reports the
env-steps per second, its own processor time per env-step (every thread of
the process: the caller, the package's loop, the engine's runtime) and
that of the browser (Chromium's processes) and of Playwright's driver, all
read from the kernel's counters of those processes over the timed steps.
``bench/previous_venv.sh REV`` builds another revision to compare with.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from typing import Dict, List, Optional, Tuple

from common import spread  # bench/common.py (the script's directory is on sys.path)

HERE = os.path.dirname(os.path.abspath(__file__))
HEADING = "## Gymnasium environments: speed of make_vec beside an earlier build and under PyPy"
EPISODE_LENGTH = 4000
WINDOW = 20


def _cpu(process) -> float:
    times = process.cpu_times()
    return times.user + times.system


def _descendants(psutil) -> Dict[str, float]:
    """Processor seconds so far of the browser's processes and of Playwright's driver below this one."""
    out = {"browser": 0.0, "driver": 0.0}
    for child in psutil.Process().children(recursive=True):
        try:
            command = " ".join(child.cmdline())
            kind = "driver" if "run-driver" in command else "browser" if "chrom" in command else None
            if kind:
                out[kind] += _cpu(child)
        except psutil.Error:
            continue
    return out


def _settle(psutil, limit: float = 8.0, window: float = 0.25, quiet: float = 0.3) -> None:
    """Waits until the browser is nearly idle: new pages keep both processors busy for a second or more
    after they have loaded, which would land in the timed steps."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        before = _descendants(psutil)
        time.sleep(window)
        after = _descendants(psutil)
        if sum(after.values()) - sum(before.values()) < quiet * window:
            return


def worker(kind: str, n: int, actions: str, batches: int, warmup: int) -> Dict[str, float]:
    """One measurement, in this process (the interpreter and build of whoever runs it)."""
    import numpy as np
    import psutil

    import py_engine_rust_gym

    me = psutil.Process()
    if kind == "open":
        started = time.perf_counter()
        envs = py_engine_rust_gym.make_vec(n, episode_length=50, window=WINDOW, seed=3)
        elapsed = time.perf_counter() - started
        try:
            def pss(p) -> int:
                try:
                    return p.memory_full_info().pss
                except psutil.Error:
                    return 0
            memory = pss(me) + sum(pss(child) for child in me.children(recursive=True))
        finally:
            envs.close()
        return {"seconds": elapsed, "mb": memory / 2 ** 20}
    envs = py_engine_rust_gym.make_vec(n, episode_length=EPISODE_LENGTH, window=WINDOW,
                                       candles=WINDOW + EPISODE_LENGTH * 2, seed=3)
    try:
        envs.reset(seed=0, options={"episode_index": 0})
        _settle(psutil)
        rng = np.random.default_rng(0)
        plan = (np.zeros((warmup + batches, n), dtype=np.int64) if actions == "hold"
                else rng.integers(0, 4, (warmup + batches, n)))
        for a in plan[:warmup]:
            envs.step(a)
        before_self, before = _cpu(me), _descendants(psutil)
        started = time.perf_counter()
        for a in plan[warmup:]:
            envs.step(a)
        elapsed = time.perf_counter() - started
        after_self, after = _cpu(me), _descendants(psutil)
    finally:
        envs.close()
    steps = n * batches
    return {"rate": steps / elapsed, "self_us": 1e6 * (after_self - before_self) / steps,
            "browser_us": 1e6 * (after["browser"] - before["browser"]) / steps,
            "driver_us": 1e6 * (after["driver"] - before["driver"]) / steps}


def run_worker(python: str, kind: str, n: int, actions: str, batches: int, warmup: int) -> Dict[str, float]:
    command = [python, os.path.abspath(__file__), "--worker", kind, str(n), actions, str(batches), str(warmup)]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONPATH="")
    done = subprocess.run(command, capture_output=True, text=True, timeout=900, env=env, cwd=HERE)
    if done.returncode != 0:
        raise RuntimeError("worker %s failed:\n%s" % (" ".join(command), done.stderr[-3000:]))
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--previous", help="the interpreter of the build to compare with (bench/previous_venv.sh)")
    parser.add_argument("--previous-name", default="previous", help="its name in the table")
    parser.add_argument("--pypy", help="a PyPy interpreter with this tree installed (default .venv/pypy if any)")
    parser.add_argument("--quick", action="store_true", help="one short round")
    parser.add_argument("--results", help="the results file whose section is written (default bench/RESULTS.md)")
    parser.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        kind, n, actions, batches, warmup = args.worker
        print(json.dumps(worker(kind, int(n), actions, int(batches), int(warmup))))
        return 0
    root = os.path.dirname(HERE)
    pypy = args.pypy or next((p for p in [os.path.join(root, ".venv/pypy/bin/python")] if os.path.exists(p)), None)
    builds: List[Tuple[str, str]] = [("this tree, CPython", sys.executable)]
    if args.previous:
        builds.append(("%s, CPython" % args.previous_name, os.path.abspath(args.previous)))
    if pypy:
        builds.append(("this tree, PyPy", os.path.abspath(pypy)))
    # PyPy compiles the step loop after some hundreds of batches: the warm-up covers that.
    batches, warmup, rounds = (150, 30, 1) if args.quick else (1000, 1000, 3)
    load_start = open("/proc/loadavg").read().split()[:3]
    started = time.time()
    results: Dict[Tuple[str, str], List[Dict[str, float]]] = {}
    plans = [("step", 8, "hold"), ("step", 8, "random"), ("open", 32, "hold")]
    for r in range(rounds):
        for kind, n, actions in plans:
            order = builds[r % len(builds):] + builds[:r % len(builds)]
            for name, python in order:
                if kind == "open" and "PyPy" in name:
                    continue
                result = run_worker(python, kind, n, actions, batches, warmup)
                results.setdefault((name, "%s %d %s" % (kind, n, actions)), []).append(result)
                print(name, kind, n, actions, result, file=sys.stderr, flush=True)
    section = table(results, builds, rounds, batches, warmup, load_start, started)
    print(section)
    if args.results or not args.quick:
        sys.path.insert(0, HERE)
        from gym_bench import write_section
        write_section(args.results or os.path.join(HERE, "RESULTS.md"), section, HEADING)
    return 0


def table(results, builds, rounds, batches, warmup, load_start, started) -> str:
    names = [name for name, _ in builds]
    this = names[0]
    previous = next((name for name in names if not name.startswith("this tree")), None)
    pypy = next((name for name in names if name.endswith("PyPy")), None)

    def values(name: Optional[str], plan: str, field: str) -> List[float]:
        found = results.get((name, plan), [])
        if field == "chromium_driver_us":
            return [r["browser_us"] + r["driver_us"] for r in found]
        return [r[field] for r in found]

    def median(name: Optional[str], plan: str, field: str) -> Optional[float]:
        found = values(name, plan, field)
        return statistics.median(found) if found else None

    rows = ["| measure | %s | comparison | target | |" % " | ".join(names), "|---|" + "---|" * (len(names) + 3)]

    def add(label: str, plan: str, field: str, digits: int, comparison: str, target: str,
            ok: Optional[bool]) -> None:
        cells = [spread(values(name, plan, field), digits) if values(name, plan, field) else "–" for name in names]
        rows.append("| %s | %s | %s | %s | %s |" % (label, " | ".join(cells), comparison, target,
                                                    "" if ok is None else "PASS" if ok else "FAIL"))

    def ratio(a: Optional[float], b: Optional[float]) -> Optional[float]:
        return a / b if a is not None and b else None

    for actions, floor in (("hold", 4000), ("random", 2500)):
        plan = "step 8 %s" % actions
        rate, gain = median(this, plan, "rate"), ratio(median(this, plan, "rate"), median(previous, plan, "rate"))
        add("make_vec(8), %s actions (env-steps/s)" % actions, plan, "rate", 0,
            "%.2fx %s" % (gain, previous) if gain else "", "≥ {:,}, ≥ 2x the earlier build".format(floor),
            None if rate is None else rate >= floor and (gain is None or gain >= 2))
    plan = "step 8 hold"
    own, own_pypy = median(this, plan, "self_us"), median(pypy, plan, "self_us")
    add("this process, processor time per env-step, hold (µs)", plan, "self_us", 1, "", "≤ 80 CPython, ≤ 120 PyPy",
        None if own is None else own <= 80 and (own_pypy is None or own_pypy <= 120))
    if pypy:
        under = ratio(median(pypy, plan, "rate"), median(this, plan, "rate"))
        rows.append("| make_vec(8), hold, PyPy against CPython | %s | %.2fx | ≥ 0.95x | %s |"
                    % (" | ".join("" for _ in names), under or 0, "PASS" if under and under >= 0.95 else "FAIL"))
    add("Chromium per env-step, hold (µs)", plan, "browser_us", 1, "", "", None)
    add("Playwright's driver per env-step, hold (µs)", plan, "driver_us", 1, "", "", None)
    both = median(this, plan, "chromium_driver_us")
    add("Chromium + driver per env-step, hold (µs)", plan, "chromium_driver_us", 1, "", "≤ 300",
        None if both is None else both <= 300)
    plan = "open 32 hold"
    seconds = median(this, plan, "seconds")
    add("make_vec(32): time to open every page (s)", plan, "seconds", 2, "", "≤ 6", None if seconds is None
        else seconds <= 6)
    memory = ratio(median(this, plan, "mb"), median(previous, plan, "mb"))
    add("make_vec(32): this process and its browser, PSS (MB)", plan, "mb", 0,
        "%.2fx %s" % (memory, previous) if memory else "", "no higher than the earlier build",
        None if memory is None else memory <= 1.02)
    load_end = open("/proc/loadavg").read().split()[:3]
    return "\n".join([
        HEADING, "",
        "Written by `python bench/gym_speed.py%s` on %s UTC; %d s in all. Load average (1, 5, 15 min) at start "
        "%s, at end %s. Median over %d rounds (± half the range); each step row times %d batches after %d "
        "warm-up ones, with episodes of %d steps (no reset inside a measurement); every measurement is a "
        "worker process of the build it measures, and the rounds rotate the builds' order. Processor time "
        "is read from the kernel's counters of each process over the timed steps."
        % (" --previous ..." if previous else "", time.strftime("%Y-%m-%d %H:%M", time.gmtime(started)),
           time.time() - started, " ".join(load_start), " ".join(load_end), rounds, batches, warmup,
           EPISODE_LENGTH),
        "",
    ] + rows) + "\n"


if __name__ == "__main__":
    sys.exit(main())
