"""bench/minimal_page.html, the browser benchmark's floor, answers every call validly.

Its answers must have the layouts and sizes of the reference page's, or the benchmark would
compare the reference page with a floor doing less work.
"""

from __future__ import annotations

import asyncio
import os

import numpy as np
import pytest

pytest.importorskip("playwright.async_api")
if not os.path.exists("/usr/bin/chromium"):
    pytest.skip("Chromium is not installed at /usr/bin/chromium", allow_module_level=True)

from support import serve_directory  # noqa: E402  (tests/support.py)

BENCH_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
GUARD = 5.0
SNAPSHOT_VALUES, WINDOW_COLUMNS = 13, 6


@pytest.fixture(scope="module")
def bench_port():
    with serve_directory(BENCH_DIR) as port:
        yield port


@pytest.mark.parametrize("window", [None, 3])
async def test_minimal_page_answers_with_the_reference_page_layouts(served, browser, bench_port, window):
    context = await browser.new_context()
    try:
        page = await context.new_page()
        query = "ws=ws://127.0.0.1:%d" % served.port + ("" if window is None else "&window=%d" % window)
        await page.goto("http://127.0.0.1:%d/minimal_page.html?%s" % (bench_port, query))
        engine = served.engine
        await engine.wait_connected(timeout_secs=GUARD)
        rows = 20 if window is None else window
        await engine.init_candles(np.ones((50, 5)))
        assert await engine.reset_episode(0, "train") == rows - 1
        results = await asyncio.gather(*(engine.step_next() for _ in range(5)), engine.get_snapshot(),
                                       engine.step_and_sync(), engine.get_rl_config())
        assert results[:5] == [None] * 5
        snapshot, (state, candles), config = results[5:]
        assert snapshot.shape == state.shape == (SNAPSHOT_VALUES,)
        assert list(snapshot) == list(state) == list(range(SNAPSHOT_VALUES))
        assert candles.shape == (rows, WINDOW_COLUMNS)
        assert config == ""    # any other call: an empty answer
        status = await page.evaluate("window.minimalPeer.status()")
        assert (status["answered"], status["connections"]) == (10, 1)
    finally:
        await context.close()
