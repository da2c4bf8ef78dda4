"""The agent of the browser benchmark: one engine per page, all pages stepped together.

    python bench/browser_agent.py --impl module|baseline --ports P1,P2,... [--mode two|sync]
                                  [--episode-length 50] [--window 20] [--warmup 0.5] [--secs 2]
                                  [--check-steps] [--threads]

Run as a subprocess by bench/browser_bench.py (under CPython or PyPy), so that its processor
time is the engine's alone. Talks to its parent in JSON lines:

1. prints {"event": "listening"} once every engine has started;
2. waits for one page per port, uploads the candles and resets episode 0, then prints
   {"event": "connected"} and waits for a line on stdin (the parent waits for the browser to
   settle meanwhile);
3. steps for --warmup seconds, then prints {"event": "ready"} and waits for a line on stdin;
4. steps for --secs seconds and prints {"event": "done", ...} with the steps, the wall time and
   the processor time of this process over that window (per thread with --threads).

One step of a page is `step_next` then `get_snapshot` (--mode two) or one `step_and_sync`
(--mode sync); an episode that has taken all its steps is reset to the next training episode
first. All pages take each step together: `asyncio.gather` over the pages, then the next step.
--mode group takes the module's steps of all pages with one `EngineGroup.step_and_sync` into
arrays made once (the baseline, which has no group, steps as --mode sync).
bench/native_engine.cpp does the same in C++.
"""

import argparse
import asyncio
import json
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench import make_engine  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def candles(rows):
    """A deterministic candle series every engine sends alike (bench/native_engine.cpp too)."""
    i = np.arange(rows, dtype=np.float64)
    close = 100.0 + 5.0 * np.sin(i / 10.0) + 0.01 * i
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) + 0.25
    low = np.minimum(open_, close) - 0.25
    return np.column_stack([open_, high, low, close, np.full(rows, 10.0)])


def candle_rows(window, episode_length):
    return window + 20 * episode_length


def train_episodes(rows, window, episode_length, test_fraction=0.25):
    """Training episodes of the reference page for these candles (ui/README.md)."""
    slots = (rows - window) // episode_length
    test = 0 if slots <= 1 else max(1, int(slots * test_fraction))
    return slots - test


def thread_stats():
    """utime+stime (s) and context switches of every thread of this process, by thread id."""
    out = {}
    base = "/proc/self/task"
    for tid in os.listdir(base):
        try:
            with open(f"{base}/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"{base}/{tid}/comm") as f:
                name = f.read().strip()
            vol = invol = 0
            with open(f"{base}/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches"):
                        vol = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches"):
                        invol = int(line.split()[1])
        except OSError:  # the thread ended meanwhile
            continue
        out[int(tid)] = dict(name=name, cpu=(int(fields[11]) + int(fields[12])) / CLOCK_TICKS,
                             voluntary=vol, involuntary=invol)
    return out


def thread_delta(before, after):
    pid = os.getpid()
    rows = []
    for tid, a in sorted(after.items()):
        b = before.get(tid, dict(cpu=0.0, voluntary=0, involuntary=0))
        rows.append(dict(tid=tid, name=a["name"], main=tid == pid, cpu=a["cpu"] - b["cpu"],
                         voluntary=a["voluntary"] - b["voluntary"],
                         involuntary=a["involuntary"] - b["involuntary"]))
    return rows


class Page:
    """One page's engine and where its episode stands."""

    def __init__(self, engine, episode_length, episodes):
        self.engine = engine
        self.length = episode_length
        self.episodes = episodes
        self.episode = 0
        self.steps = 0  # taken in the current episode
        self.snapshot = None
        self.resets = 0

    async def step_two(self):
        e = self.engine
        if self.steps == self.length:
            await self.next_episode()
        await e.step_next()
        self.snapshot = await e.get_snapshot()
        self.steps += 1

    async def step_sync(self):
        if self.steps == self.length:
            await self.next_episode()
        self.snapshot, _ = await self.engine.step_and_sync()
        self.steps += 1

    async def before_step(self):
        if self.steps == self.length:
            await self.next_episode()

    async def next_episode(self):
        self.episode = (self.episode + 1) % self.episodes
        await self.engine.reset_episode(self.episode, "train")
        self.steps = 0
        self.resets += 1


def emit(**fields):
    print(json.dumps(fields), flush=True)


async def run(args):
    ports = [int(p) for p in args.ports.split(",")]
    engines = [make_engine(args.impl, port) for port in ports]
    for e in engines:
        await e.start()
    emit(event="listening", pid=os.getpid())
    await asyncio.gather(*(e.wait_connected(timeout_secs=60) for e in engines))
    rows = candle_rows(args.window, args.episode_length)
    data = candles(rows)
    await asyncio.gather(*(e.init_candles(data) for e in engines))
    await asyncio.gather(*(e.reset_episode(0, "train") for e in engines))
    pages = [Page(e, args.episode_length, train_episodes(rows, args.window, args.episode_length))
             for e in engines]
    emit(event="connected")
    sys.stdin.readline()
    steps = [p.step_two if args.mode == "two" else p.step_sync for p in pages]
    gather = asyncio.gather

    async def step_all():
        await gather(*[s() for s in steps])

    if args.mode == "group" and args.impl == "module":
        import py_engine_rust

        group = py_engine_rust.EngineGroup(engines)
        out = None  # the arrays of the first step, filled again at every later one

        async def step_all():  # noqa: F811
            nonlocal out
            if any(p.steps == p.length for p in pages):
                await gather(*[p.before_step() for p in pages])
            snapshots, windows, errors = await group.step_and_sync(out=out)
            out = (snapshots, windows)
            for i, p in enumerate(pages):
                if errors[i] is not None:
                    raise errors[i]
                p.snapshot = snapshots[i]
                p.steps += 1

    async def until(deadline):
        clock = time.perf_counter
        rounds = 0
        while clock() < deadline:
            await step_all()
            rounds += 1
        return rounds

    await until(time.perf_counter() + args.warmup)
    emit(event="ready")
    sys.stdin.readline()
    threads0 = thread_stats() if args.threads else None
    cpu0 = os.times()
    t0 = time.perf_counter()
    rounds = await until(t0 + args.secs)
    t1 = time.perf_counter()
    cpu1 = os.times()
    threads = thread_delta(threads0, thread_stats()) if args.threads else None
    if args.check_steps:
        # The reference page counts the steps of its episode itself: it must agree with ours.
        for p in pages:
            if int(p.snapshot[0]) != p.steps:
                raise SystemExit(f"page reports step {p.snapshot[0]}, the agent took {p.steps}")
    emit(event="done", rounds=rounds, steps=rounds * len(pages), secs=t1 - t0,
         cpu=(cpu1.user - cpu0.user) + (cpu1.system - cpu0.system),
         cpu_user=cpu1.user - cpu0.user, cpu_sys=cpu1.system - cpu0.system,
         resets=sum(p.resets for p in pages), threads=threads)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--impl", choices=["module", "baseline"], required=True)
    ap.add_argument("--ports", required=True, help="comma-separated: one engine and one page per port")
    ap.add_argument("--mode", choices=["two", "sync", "group"], default="two",
                    help="two: step_next then get_snapshot; sync: step_and_sync; group: EngineGroup.step_and_sync")
    ap.add_argument("--episode-length", type=int, default=50)
    ap.add_argument("--window", type=int, default=20)
    ap.add_argument("--warmup", type=float, default=0.5)
    ap.add_argument("--secs", type=float, default=2.0)
    ap.add_argument("--check-steps", action="store_true",
                    help="check that the page's snapshot counts the same steps (reference page)")
    ap.add_argument("--threads", action="store_true", help="report processor time per thread")
    asyncio.run(run(ap.parse_args()))


if __name__ == "__main__":
    main()
