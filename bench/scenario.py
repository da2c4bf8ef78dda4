"""One benchmark scenario in a loop, for profilers (see bench/profile.sh).

    python bench/scenario.py {rt,tp,ohlc,init} [--impl module|baseline] [--n N] --peer PATH

rt: sequential step_next; tp: gather of 64 step_next (N counts operations); ohlc: get_ohlc of
1,000,000 x 5; init: init_candles of 1,000,000 x 5. Prints the time per operation.
"""

import argparse
import asyncio
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import COLS, ROWS, connect, stop_peer  # noqa: E402


async def main(args):
    # The peer builds (and masks) its get_ohlc answer at start-up: keep it small unless needed.
    engine, proc = await connect(args.impl, args.peer, rows=ROWS if args.scenario == "ohlc" else 10)
    mat = np.arange(ROWS * COLS, dtype=np.float64).reshape(ROWS, COLS)
    try:
        if args.warmup:
            for _ in range(args.warmup):
                await engine.step_next()
        if args.ready:
            print("ready", os.getpid(), flush=True)
            await asyncio.sleep(args.ready)
        t0 = time.perf_counter()
        if args.scenario == "rt":
            for _ in range(args.n):
                await engine.step_next()
        elif args.scenario == "tp":
            for _ in range(args.n // 64):
                await asyncio.gather(*[engine.step_next() for _ in range(64)])
        elif args.scenario == "ohlc":
            for _ in range(args.n):
                await engine.get_ohlc()
        elif args.scenario == "init":
            for _ in range(args.n):
                await engine.init_candles(mat)
        dt = time.perf_counter() - t0
        if args.n:
            print(f"{args.impl} {args.scenario}: {dt / args.n * 1e6:.1f} µs per operation over {args.n}")
    finally:
        stop_peer(proc)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("scenario", choices=["rt", "tp", "ohlc", "init"])
    ap.add_argument("--impl", default="module", choices=["module", "baseline"])
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--warmup", type=int, default=2000)
    ap.add_argument("--ready", type=float, default=0, help="print 'ready PID' and wait this long first")
    ap.add_argument("--peer", required=True)
    asyncio.run(main(ap.parse_args()))
