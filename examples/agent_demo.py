"""A rule-based agent trading through the browser page, over several episodes.

It starts an engine, opens the page (ui/) in headless Chromium pointed at the
engine, uploads synthetic candles and runs episodes that use every engine
operation: tickets and limit/stop orders with take-profit, stop-loss,
trailing stop and time limit, reductions by half, full closes and order
cancellations. After each episode it checks its numbers against the page's
own accounting and finally prints one row per episode and saves a
screenshot of the page.

Usually started by scripts/demo.sh, which serves ui/ and passes --ui-url.
Without --ui-url this script serves ui/ itself on 127.0.0.1.

    python examples/agent_demo.py --episodes 4 --screenshot demo-screenshot.png
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import contextlib
import functools
import http.server
import json
import logging
import math
import os
import sys
import threading
from typing import Dict, List, Optional

import numpy as np

import py_engine_rust

#: Debian's Chromium; never a downloaded browser.
CHROMIUM = "/usr/bin/chromium"

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
UI_DIR = os.path.join(ROOT, "ui")

#: Every method of RustEngineAsync; the demo reports which ones it used.
OPERATIONS = (
    "start", "wait_connected", "init_candles", "reset_episode", "get_rl_config", "step_next",
    "step_and_sync", "get_snapshot", "get_ticket_list", "get_ohlc", "fetch_events", "end_session",
    "get_sync_policy", "close_positions", "place_order", "place_ticket",
)

# Column positions of the page's layouts (ui/README.md). The page also
# lists them by name in its configuration; init() checks the two agree.
SNAP = {name: i for i, name in enumerate((
    "step", "candle_index", "price", "balance", "equity", "unrealized_pnl", "realized_pnl",
    "net_units", "open_positions", "pending_orders", "closed_trades", "last_reward", "done"))}
TICKET_ID, TICKET_KIND, TICKET_SIDE, TICKET_UNITS, TICKET_PNL, TICKET_OPENED = 0, 1, 2, 4, 10, 11
SUMMARY_PNL = 7
CLOSE, REDUCE, CANCEL = 1, 2, 3


class CountingEngine:
    """Forwards to the engine and counts the calls per method."""

    def __init__(self, engine):
        self._engine = engine
        self.calls: Dict[str, int] = collections.Counter()

    def __getattr__(self, name):
        method = getattr(self._engine, name)

        def call(*args, **kwargs):
            self.calls[name] += 1
            return method(*args, **kwargs)
        return call


def make_candles(rng: np.random.Generator, rows: int, start: float = 100.0) -> np.ndarray:
    """Random-walk candles: columns open, high, low, close, volume."""
    drift = np.repeat(rng.normal(0.0, 0.0015, rows // 25 + 1), 25)[:rows]  # regimes, for trends
    closes = start * np.exp(np.cumsum(drift + rng.normal(0.0, 0.004, rows)))
    opens = np.concatenate(([start], closes[:-1])) * (1 + rng.normal(0.0, 0.0005, rows))
    wick = np.abs(rng.normal(0.0, 0.002, (rows, 2)))
    highs = np.maximum(opens, closes) * (1 + wick[:, 0])
    lows = np.minimum(opens, closes) * (1 - wick[:, 1])
    volume = rng.gamma(4.0, 250.0, rows)
    return np.column_stack([opens, highs, lows, closes, volume])


class Agent:
    """Moving-average trend follower that varies how it enters and leaves trades."""

    def __init__(self, engine: CountingEngine, episode_length: int, units: int = 10):
        self.engine = engine
        self.episode_length = episode_length
        self.units = units
        self.entries = 0

    async def run_episode(self, index: int, kind: str, before_end=()) -> dict:
        e = self.engine
        first_candle = await e.reset_episode(index, kind)
        history = await e.get_ohlc()               # the episode's history window
        closes: List[float] = list(history[:, 4])
        events = len(await e.fetch_events())
        reduced = set()
        step = 0
        while True:
            # One round trip per step: the new state and the candle window come back together
            # (step_next and then get_snapshot would be two).
            state, window = await e.step_and_sync()
            assert window[-1, 4] == state[SNAP["price"]], "state and window disagree"
            step += 1
            price = float(state[SNAP["price"]])
            closes.append(price)
            tickets = await e.get_ticket_list()
            await self.act(price, closes, tickets, int(state[SNAP["step"]]), reduced)
            if step % 10 == 0:
                events += len(await e.fetch_events())
            if state[SNAP["done"]] == 1:
                break
        for hook in before_end:
            await hook()
        summary = await e.end_session()
        after = await e.get_snapshot()
        events += len(await e.fetch_events())
        return {"kind": kind, "index": index, "first_candle": first_candle, "steps": step,
                "summary": summary, "snapshot": after, "events": events}

    async def act(self, price, closes, tickets, step, reduced):
        e = self.engine
        fast, slow = np.mean(closes[-5:]), np.mean(closes[-20:])
        trend = 1 if fast > slow * 1.0005 else -1 if fast < slow * 0.9995 else 0
        # Near the end the agent holds what it has (end_session closes it) and
        # enters once more if flat, so the last chart shows a live book.
        holding = self.episode_length - step <= 8
        if holding and trend == 0:
            trend = 1 if closes[-1] >= closes[-2] else -1
        ids, actions, ratios = [], [], []
        positions = tickets[tickets[:, TICKET_KIND] == 1] if len(tickets) else tickets
        pending = tickets[tickets[:, TICKET_KIND] == 0] if len(tickets) else tickets
        for row in positions:
            pid = int(row[TICKET_ID])
            notional = price * row[TICKET_UNITS]
            if trend and trend != row[TICKET_SIDE] and not holding:
                ids.append(pid), actions.append(CLOSE), ratios.append(0.0)
            elif pid not in reduced and row[TICKET_PNL] > 0.004 * notional:
                reduced.add(pid)                   # bank half of a winner once
                ids.append(pid), actions.append(REDUCE), ratios.append(0.5)
        for row in pending:
            if step - row[TICKET_OPENED] >= 4 and trend != row[TICKET_SIDE] and not holding:
                ids.append(int(row[TICKET_ID])), actions.append(CANCEL), ratios.append(0.0)
        if ids:
            await e.close_positions(ids, actions, ratios)
        side = "buy" if trend > 0 else "sell"
        if holding:
            if not len(positions):
                await e.place_ticket(side, self.units, take_profit=price * 0.02, stop_loss=price * 0.01)
            elif len(positions) < 2 and not len(pending):  # add once, on a pull-back
                direction = positions[0, TICKET_SIDE]
                await e.place_order("buy" if direction > 0 else "sell", "limit", price * (1 - 0.002 * direction),
                                    self.units, take_profit=0.02, stop_loss=0.01, time_limit=6)
            return
        if len(positions) or len(pending) or trend == 0:
            return
        self.entries += 1
        style = self.entries % 4
        if style == 0:      # market ticket; exits are price distances
            await e.place_ticket(side, self.units, take_profit=price * 0.012, stop_loss=price * 0.006)
        elif style == 1:    # market ticket with a trailing stop only
            await e.place_ticket(side, self.units, trailing_stop=price * 0.007)
        elif style == 2:    # limit order a little better than the market; exits are fractions
            offset = -0.001 if trend > 0 else 0.001
            await e.place_order(side, "limit", price * (1 + offset), self.units,
                                take_profit=0.01, stop_loss=0.006, time_limit=5)
        else:               # stop order that joins a breakout
            offset = 0.0015 if trend > 0 else -0.0015
            await e.place_order(side, "stop", price * (1 + offset), self.units,
                                stop_loss=0.006, trailing_stop=0.008, time_limit=8)


def check_against_page(result: dict, page_result: dict, initial: float) -> None:
    """The agent's view of an episode must match the page's own books."""
    summary, snap = result["summary"], result["snapshot"]
    pnl = float(summary[:, SUMMARY_PNL].sum()) if len(summary) else 0.0
    problems = []
    if not math.isclose(snap[SNAP["balance"]] - initial, pnl, abs_tol=1e-6):
        problems.append("balance %.6f vs summed trade P&L %.6f" % (snap[SNAP["balance"]] - initial, pnl))
    if snap[SNAP["equity"]] != snap[SNAP["balance"]] or snap[SNAP["open_positions"]] != 0:
        problems.append("positions left open after end_session")
    if snap[SNAP["closed_trades"]] != len(summary) or page_result["trades"] != len(summary):
        problems.append("trade counts differ")
    if page_result["steps"] != result["steps"] or not math.isclose(page_result["pnl"], pnl, abs_tol=1e-6):
        problems.append("page's episode table differs: %r" % (page_result,))
    if problems:
        raise SystemExit("inconsistent accounting in %s #%d: %s"
                         % (result["kind"], result["index"], "; ".join(problems)))


@contextlib.contextmanager
def serve_ui(host: str = "127.0.0.1"):
    """Serves ui/ on a free port in a background thread; yields the base URL."""
    handler = functools.partial(QuietHandler, directory=UI_DIR)
    server = http.server.ThreadingHTTPServer((host, 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://%s:%d/" % (host, server.server_address[1])
    finally:
        server.shutdown()
        server.server_close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


async def run(args, ui_url: str) -> int:
    from playwright.async_api import async_playwright

    raw_engine = py_engine_rust.RustEngineAsync("127.0.0.1", 0)  # the system picks the port
    engine = CountingEngine(raw_engine)
    await engine.start()
    port = raw_engine.port
    episode_length = args.episode_length
    async with async_playwright() as pw:
        # Playwright's default flags keep a hidden page unthrottled (timers, renderer priority, messages).
        browser = await pw.chromium.launch(executable_path=args.chromium, headless=not args.headed)
        page = await browser.new_page(viewport={"width": 1440, "height": 900})
        page_errors: List[str] = []
        page.on("pageerror", lambda exc: page_errors.append(str(exc)))
        await page.goto("%s?ws=ws://127.0.0.1:%d&episode_length=%d" % (ui_url, port, episode_length))
        await engine.wait_connected(timeout_secs=30)

        policy = await engine.get_sync_policy()
        config = json.loads(await engine.get_rl_config())
        assert config["snapshot_fields"] == list(SNAP), "page's snapshot layout is not the one this agent knows"
        rng = np.random.default_rng(config["seed"])
        episodes = args.episodes
        # Enough candles for `episodes` training episodes and a test share.
        rows = config["window"] + episode_length * (2 * episodes + 2)
        await engine.init_candles(make_candles(rng, rows))
        config = json.loads(await engine.get_rl_config())
        print("page: sync policy %s, %d candles -> %d train / %d test episodes of %d steps"
              % (policy, config["candles"], config["train_episodes"], config["test_episodes"],
                 config["episode_length"]))

        agent = Agent(engine, config["episode_length"])
        results = []
        for n in range(episodes):
            kind = "test" if episodes > 1 and n == episodes - 1 else "train"
            index = 0 if kind == "test" else n
            if n == 0:
                # Show one refusal: the page answers an unknown position id with an ErrorResponse.
                await engine.reset_episode(index, kind)
                try:
                    await engine.close_positions([999999], [CLOSE], [0.0])
                except RuntimeError as exc:
                    print("page refused as expected:", exc)
            last = n == episodes - 1

            async def shoot():
                # Just before the last end_session, while orders and positions are still on the chart.
                await page.evaluate("window.uiPeer.render()")
                await page.screenshot(path=args.screenshot)

            async def step_past_the_end():
                # The page refuses to step an episode that has taken all its steps.
                try:
                    await engine.step_next()
                except RuntimeError as exc:
                    print("page refused as expected:", exc)
                else:
                    raise SystemExit("the page stepped past the end of the episode")

            hooks = ([step_past_the_end] if n == 0 else []) + ([shoot] if last and args.screenshot else [])
            result = await agent.run_episode(index, kind, before_end=hooks)
            page_result = await page.evaluate("window.uiPeer.sim.results.at(-1)")
            check_against_page(result, page_result, config["initial_balance"])
            results.append(result)
        await page.evaluate("window.uiPeer.render()")
        await browser.close()

    initial = config["initial_balance"]
    print()
    print("%-10s %12s %6s %7s %10s %8s %7s" % ("episode", "first candle", "steps", "trades", "P&L", "return", "events"))
    total = 0.0
    for r in results:
        pnl = float(r["summary"][:, SUMMARY_PNL].sum()) if len(r["summary"]) else 0.0
        total += pnl
        print("%-10s %12d %6d %7d %+10.2f %+7.2f%% %7d" % (
            "%s #%d" % (r["kind"], r["index"]), r["first_candle"], r["steps"], len(r["summary"]),
            pnl, 100 * pnl / initial, r["events"]))
    print("%-10s %12s %6d %7d %+10.2f" % ("total", "", sum(r["steps"] for r in results),
                                          sum(len(r["summary"]) for r in results), total))
    print()
    print("accounting: every episode's trade P&L, balance and trade count match the page's own books")
    used = [op for op in OPERATIONS if engine.calls[op]]
    print("operations used: %d of %d (%s calls in all)" % (len(used), len(OPERATIONS), sum(engine.calls.values())))
    missing = [op for op in OPERATIONS if not engine.calls[op]]
    if missing:
        print("not used:", ", ".join(missing))
    if page_errors:
        print("page errors:", *page_errors, sep="\n  ")
    if args.screenshot:
        print("screenshot:", os.path.abspath(args.screenshot))
    return 1 if missing or page_errors else 0


def parse_args(argv: Optional[List[str]] = None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--episodes", type=int, default=4, help="episodes to run (default 4; the last is a test episode)")
    parser.add_argument("--episode-length", type=int, default=60, help="steps per episode (default 60)")
    parser.add_argument("--ui-url", help="where ui/ is served; default: serve it here on 127.0.0.1")
    parser.add_argument("--screenshot", default=os.path.join(ROOT, "demo-screenshot.png"),
                        help="PNG written at the end ('' for none)")
    parser.add_argument("--headed", action="store_true", help="show the browser window (needs a display)")
    parser.add_argument("--chromium", default=CHROMIUM, help="Chromium executable (default %(default)s)")
    args = parser.parse_args(argv)
    if args.episodes < 1:
        parser.error("--episodes must be at least 1")
    if args.episode_length < 2:
        parser.error("--episode-length must be at least 2")
    return args


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(name)s %(levelname)s %(message)s")
    if args.ui_url:
        return asyncio.run(run(args, args.ui_url))
    with serve_ui() as url:
        return asyncio.run(run(args, url))


if __name__ == "__main__":
    sys.exit(main())
