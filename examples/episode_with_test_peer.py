"""One complete episode against the scriptable test peer (tests/peer.py) standing in for the page.

Run from the repository root after installing the module:  python examples/episode_with_test_peer.py
"""

import asyncio
import logging
import os
import socket
import struct
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
import py_engine_rust  # noqa: E402
from peer import connect_ready  # noqa: E402


def vec(*values):
    return struct.pack("<I%dd" % len(values), len(values), *values)


def mat(rows, cols, values):
    return struct.pack("<II%dd" % len(values), rows, cols, *values)


def fake_page(fn_id, payload):
    """Canned answers per function identifier, in the payload layouts the engine reads."""
    return {
        100: b"",                              # init_candles
        101: struct.pack("<I", 0),             # reset_episode -> episode index
        20: vec(1.0, 42.0),                    # place_order -> e.g. (accepted, order id)
        2: b"",                                # step_next
        12: vec(10_000.0, 10_012.5, 1.0),      # get_snapshot -> e.g. (balance, equity, open positions)
        130: vec(10_000.0, 10_012.5, 1.0)      # step_and_sync -> the snapshot, then e.g. the last 2 candles
        + mat(2, 5, [100.0, 100.5, 99.5, 100.2, 7.0, 100.2, 100.9, 100.1, 100.8, 9.0]),
        31: mat(1, 2, [42.0, 12.5]),           # close_positions -> e.g. (position id, realised pnl)
        40: mat(1, 3, [1.0, 100.0, 12.5]),     # end_session -> e.g. per-trade summary
    }[fn_id]


async def main():
    with socket.socket() as s:  # a free port
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
    await engine.start()
    page = await connect_ready("127.0.0.1", port)   # the browser page would connect here
    await engine.wait_connected(timeout_secs=5)

    async with page.serve(fake_page):
        candles = np.random.default_rng(0).normal(100, 1, size=(500, 5))
        await engine.init_candles(candles)
        episode = await engine.reset_episode(0, "train")
        placed = await engine.place_order("buy", "limit", 99.5, 10, take_profit=0.02, stop_loss=0.01)
        await engine.step_next()                   # a step whose state is not needed
        for _ in range(4):                         # one round trip per step: state and window together
            snapshot, window = await engine.step_and_sync()
        assert np.array_equal(snapshot, await engine.get_snapshot())
        closed = await engine.close_positions([42], [2], [0.5])   # action 2: reduce by half
        summary = await engine.end_session()
    print("episode", episode, "order", placed, "snapshot", snapshot, "window", window, sep="\n")
    print("closed", closed, "summary", summary, sep="\n")
    page.abort()


if __name__ == "__main__":
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    asyncio.run(main())
