"""The page in ui/ as the engine's peer, in headless Chromium.

Every test drives the real page through a real engine: orders fill only
where the candles cross their price, reductions and equity follow the
arithmetic, refusals reach Python as RpcError, bad frames never stop the
page, the page reconnects after a dropped connection, and a page from an
origin outside the allow-list is refused.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import re
import struct

import numpy as np
import pytest

pytest.importorskip("playwright.async_api")
if not os.path.exists("/usr/bin/chromium"):
    pytest.skip("Chromium is not installed at /usr/bin/chromium", allow_module_level=True)

from peer import decode_frame, encode_frame  # noqa: E402  (tests/peer.py)

GUARD = 5.0
LOOKALIKE_HOST = "localhost.attacker.test"    # Chromium resolves it to 127.0.0.1 (conftest.py)
INITIAL = 10000.0
RPC_ERROR = re.compile(r"^RpcError\(seq=(\d+), fnId=(\d+), err=(\d+), sub=(\d+)\): (.*)$", re.S)

# Snapshot fields and ticket columns, as ui/README.md lays them out.
STEP, CANDLE, PRICE, BALANCE, EQUITY, UNREALIZED, REALIZED, NET_UNITS = range(8)
OPEN_POSITIONS, PENDING, CLOSED_TRADES, LAST_REWARD, DONE = range(8, 13)
T_ID, T_KIND, T_SIDE, T_TYPE, T_UNITS, T_PRICE = range(6)
EV_STEP, EV_CODE, EV_ID = 1, 3, 4
ORDER_FILLED, ORDER_EXPIRED = 2, 4

# Three candles of history, then twelve steps (open, high, low, close, volume).
# Step 7 gaps down: it opens at 99.0 below the previous close of 100.
CANDLES = np.array([
    (100.0, 100.2, 99.8, 100.0, 10), (100.0, 100.2, 99.8, 100.0, 10), (100.0, 100.2, 99.8, 100.0, 10),
    (100.0, 100.6, 99.9, 100.5, 10),    # step 1
    (100.5, 101.1, 100.4, 101.0, 10),   # 2
    (101.0, 101.6, 100.9, 101.5, 10),   # 3
    (101.5, 102.1, 101.4, 102.0, 10),   # 4
    (102.0, 102.1, 100.9, 101.0, 10),   # 5
    (101.0, 101.1, 99.9, 100.0, 10),    # 6
    (99.0, 99.2, 98.8, 99.1, 10),       # 7 (gap)
    (99.1, 99.2, 97.9, 98.0, 10),       # 8
    (98.0, 99.1, 97.9, 99.0, 10),       # 9
    (99.0, 100.1, 98.9, 100.0, 10),     # 10
    (100.0, 101.1, 99.9, 101.0, 10),    # 11
    (101.0, 102.1, 100.9, 102.0, 10),   # 12
])
WINDOW, LENGTH = 3, 12
PAGE_CONFIG = {"window": WINDOW, "episode_length": LENGTH}


async def start_episode(served, open_ui, **query):
    """Page connected, candles loaded, training episode 0 begun; returns the page."""
    ui = await open_ui(served.port, **{**PAGE_CONFIG, **query})
    engine = served.engine
    await engine.wait_connected(timeout_secs=GUARD)
    await engine.init_candles(CANDLES)
    assert await engine.reset_episode(0, "train") == WINDOW - 1
    return ui


def close_at(step: int) -> float:
    return CANDLES[WINDOW - 1 + step, 3]


def rpc_error(exc: BaseException):
    match = RPC_ERROR.match(str(exc))
    assert match, str(exc)
    seq, fn_id, err, sub = map(int, match.groups()[:4])
    return seq, fn_id, err, sub, match.group(5)


# ---------------------------------------------------------------------------
# Orders, positions and equity


@pytest.mark.parametrize("side, order_type, price, fill_step, fill_price", [
    ("buy", "limit", 98.5, 8, 98.5),      # low 97.9 reaches it
    ("buy", "limit", 99.9, 1, 99.9),      # only the wick of step 1 touches it
    ("sell", "limit", 101.05, 2, 101.05), # only the wick of step 2 reaches it
    ("buy", "limit", 99.5, 7, 99.0),      # the gap opens below the limit: filled at the open
    ("sell", "limit", 101.8, 4, 101.8),   # high 102.1 reaches it
    ("buy", "stop", 101.2, 3, 101.2),     # high 101.6 breaks out through it
    ("sell", "stop", 99.4, 7, 99.0),      # gap through the stop: filled at the open
    ("buy", "limit", 97.0, None, None),   # never crossed: still pending at the end
])
async def test_order_fills_only_where_the_candle_crosses_its_price(
        served, open_ui, side, order_type, price, fill_step, fill_price):
    await start_episode(served, open_ui)
    engine = served.engine
    placed = await engine.place_order(side, order_type, price, 4, take_profit=0.5, stop_loss=0.5)
    order_id = placed[0]
    assert list(placed[1:]) == [0, price, 4, 1 if side == "buy" else -1]
    for step in range(1, LENGTH + 1):
        await engine.step_next()
        (row,) = await engine.get_ticket_list()
        assert row[T_ID] == order_id
        if fill_step is None or step < fill_step:
            assert (row[T_KIND], row[T_PRICE]) == (0, price), "filled too early at step %d" % step
        else:
            assert (row[T_KIND], row[T_PRICE], row[T_UNITS]) == (1, fill_price, 4)
    fills = [e for e in await engine.fetch_events() if e[EV_CODE] == ORDER_FILLED]
    assert [(e[EV_STEP], e[EV_ID]) for e in fills] == ([] if fill_step is None else [(fill_step, order_id)])


async def test_order_with_time_limit_expires_unfilled(served, open_ui):
    await start_episode(served, open_ui)
    engine = served.engine
    order_id = (await engine.place_order("buy", "limit", 98.5, 1, time_limit=2.5))[0]
    for _ in range(4):
        await engine.step_next()
    assert len(await engine.get_ticket_list()) == 0
    expired = [e for e in await engine.fetch_events() if e[EV_CODE] == ORDER_EXPIRED]
    assert [(e[EV_STEP], e[EV_ID]) for e in expired] == [(3, order_id)]   # ceil(2.5) steps after step 0


@pytest.mark.parametrize("side, sign, ratio", [("buy", 1, 0.5), ("sell", -1, 0.25)])
async def test_reduce_by_ratio_and_equity_follows_the_price(served, open_ui, side, sign, ratio):
    await start_episode(served, open_ui)
    engine = served.engine
    placed = await engine.place_ticket(side, 10)
    pid = int(placed[0])
    assert list(placed[1:]) == [1, close_at(0), 10, sign]
    entry = placed[2]
    held = 10.0
    for step in range(1, 8):
        state, window = await engine.step_and_sync()
        price = close_at(step)
        assert window[-1, 4] == price and window.shape == (WINDOW, 6)
        assert state[PRICE] == price and state[STEP] == step
        assert math.isclose(state[EQUITY] - state[BALANCE], sign * held * (price - entry), abs_tol=1e-9)
        assert math.isclose(state[LAST_REWARD], sign * held * (price - close_at(step - 1)), abs_tol=1e-9)
        if step == 3:
            cut = 10 * ratio
            (row,) = await engine.close_positions([pid], [2], [ratio])
            assert list(row) == [pid, 2, cut, price, sign * cut * (price - entry), 10 - cut]
            held = 10 - cut
            (ticket,) = await engine.get_ticket_list()
            assert ticket[T_UNITS] == held
            snap = await engine.get_snapshot()
            assert snap[NET_UNITS] == sign * held
            assert math.isclose(snap[BALANCE], INITIAL + sign * cut * (price - entry))
    (row,) = await engine.close_positions([pid], [1], [0.0])
    assert list(row) == [pid, 1, held, close_at(7), sign * held * (close_at(7) - entry), 0]
    summary = await engine.end_session()
    assert summary.shape == (1, 10)
    pnl = sign * cut * (close_at(3) - entry) + sign * held * (close_at(7) - entry)
    assert math.isclose(summary[0, 7], pnl)
    assert math.isclose(summary[0, 6], (cut * close_at(3) + held * close_at(7)) / 10)   # average exit
    snap = await engine.get_snapshot()
    assert math.isclose(snap[BALANCE], INITIAL + pnl) and snap[EQUITY] == snap[BALANCE]
    assert (snap[OPEN_POSITIONS], snap[CLOSED_TRADES]) == (0, 1)


async def test_take_profit_closes_at_its_level_and_session_end_closes_the_rest(served, open_ui):
    await start_episode(served, open_ui)
    engine = served.engine
    # Ticket exits are price distances: 1.2 above the entry at 100 is first reached by step 3's high.
    tp_id = int((await engine.place_ticket("buy", 2, take_profit=1.2))[0])
    open_id = int((await engine.place_ticket("sell", 3))[0])
    for _ in range(3):
        await engine.step_next()
    (row,) = await engine.get_ticket_list()
    assert row[T_ID] == open_id
    summary = await engine.end_session()
    by_id = {int(r[0]): r for r in summary}
    assert (by_id[tp_id][6], by_id[tp_id][8]) == (101.2, 8)                 # exit price, reason take-profit
    assert (by_id[open_id][6], by_id[open_id][8]) == (close_at(3), 11)      # closed at session end
    with pytest.raises(RuntimeError, match=r"err=2, sub=4\): episode ended"):
        await engine.step_next()


# (how the position is opened, its exits, exit step, exit price, reason code)
EXITS = {
    # Ticket exits are price distances from the entry at 100.
    "long stop-loss, gapped through": ("ticket", "buy", {"stop_loss": 0.15}, 7, 99.0, 9),
    "long trailing stop": ("ticket", "buy", {"trailing_stop": 1.0}, 5, 101.1, 10),
    "short take-profit": ("ticket", "sell", {"take_profit": 1.5}, 8, 98.5, 8),
    "short take-profit, gapped through": ("ticket", "sell", {"take_profit": 0.5}, 7, 99.0, 8),
    "short stop-loss": ("ticket", "sell", {"stop_loss": 1.0}, 2, 101.0, 9),
    "stop before take-profit in one candle": ("ticket", "buy", {"take_profit": 0.5, "stop_loss": 0.05}, 1, 99.95, 9),
    # Order exits are fractions of the fill price (the stop fills at 101.2 on step 3).
    "stop order's stop-loss": ("order", "buy", {"stop_loss": 0.01}, 6, 101.2 * 0.99, 9),
    "never reached: closed at session end": ("ticket", "buy", {"take_profit": 5.0}, 8, close_at(8), 11),
}


@pytest.mark.parametrize("name", EXITS)
async def test_exit_levels_close_positions_where_the_candles_reach_them(served, open_ui, name):
    how, side, exits, step, price, reason = EXITS[name]
    await start_episode(served, open_ui)
    engine = served.engine
    if how == "ticket":
        await engine.place_ticket(side, 2, **exits)
    else:
        await engine.place_order(side, "stop", 101.2, 2, **exits)
    for _ in range(8):
        await engine.step_next()
    (row,) = await engine.end_session()
    assert (row[5], row[8]) == (step, reason)
    assert math.isclose(row[6], price, rel_tol=1e-12)


# (entries as (id, action, ratio), err/sub of the refusal or None)
CLOSE_REQUESTS = {
    "valid entry then unknown id": ([(1, 2, 0.5), (99, 1, 0.0)], (6, 1)),
    "one id twice": ([(1, 2, 0.5), (1, 1, 0.0)], (6, 4)),
    "reduce aimed at a pending order": ([(2, 2, 0.5)], (6, 5)),
    "cancel aimed at a position": ([(1, 3, 0.0)], (6, 5)),
    "reduce and cancel": ([(1, 2, 0.5), (2, 3, 0.0)], None),
}


@pytest.mark.parametrize("name", CLOSE_REQUESTS)
async def test_close_request_applies_every_entry_or_none(served, open_ui, name):
    entries, refusal = CLOSE_REQUESTS[name]
    await start_episode(served, open_ui)
    engine = served.engine
    await engine.place_ticket("buy", 10)                     # id 1, a position
    await engine.place_order("buy", "limit", 90.0, 3)        # id 2, pending
    before = await engine.get_ticket_list()
    ids, actions, ratios = zip(*entries)
    if refusal:
        with pytest.raises(RuntimeError) as info:
            await engine.close_positions(ids, actions, ratios)
        assert rpc_error(info.value)[2:4] == refusal
        np.testing.assert_array_equal(await engine.get_ticket_list(), before)
    else:
        rows = await engine.close_positions(ids, actions, ratios)
        assert [list(r[[0, 1, 2, 5]]) for r in rows] == [[1, 2, 5, 5], [2, 3, 3, 0]]
        (left,) = await engine.get_ticket_list()
        assert (left[T_ID], left[T_KIND], left[T_UNITS]) == (1, 1, 5)


async def test_view_shows_the_connection_the_book_and_the_results(served, open_ui):
    ui = await start_episode(served, open_ui)
    engine = served.engine
    await engine.place_ticket("buy", 10, take_profit=5.0)
    await engine.place_order("sell", "limit", 103.0, 4)
    await engine.step_and_sync()
    await ui.page.evaluate("window.uiPeer.render()")
    text = lambda selector: ui.page.inner_text(selector)  # noqa: E731
    assert await text("#conn-state") == "connected"
    tickets = await text("#tickets")
    assert "#1" in tickets and "long" in tickets and "#2" in tickets and "sell limit" in tickets
    assert "1 / 12" in await text("#account")
    # The price chart is drawn: candles, levels and labels give it many colours.
    colours = await ui.page.evaluate("""() => {
        const c = document.getElementById('price-chart');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const seen = new Set();
        for (let i = 0; i < d.length; i += 4) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
        return seen.size;
    }""")
    assert colours > 20
    await engine.end_session()
    await ui.page.evaluate("window.uiPeer.render()")
    assert "train #0" in await text("#results")


# ---------------------------------------------------------------------------
# Redraws

# Counts the page's animation frames from now on, in window.ticks.
COUNT_FRAMES = """() => {
    window.ticks = 0;
    const tick = () => { window.ticks += 1; requestAnimationFrame(tick); };
    requestAnimationFrame(tick);
}"""
# Headless Chromium keeps every page visible; the page is told otherwise.
SET_HIDDEN = """(hidden) => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => hidden });
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => hidden ? 'hidden' : 'visible' });
    document.dispatchEvent(new Event('visibilitychange'));
}"""


async def frames_after_quiet(ui):
    """The page's redraw count once two animation frames have passed without a request."""
    await ui.page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
    return (await ui.status())["frames"]


@pytest.mark.parametrize("sync, step", [
    ("eager", "step_next"),          # redraws after every request
    ("deferred", "step_and_sync"),   # redraws after its sync points
])
async def test_requests_in_a_burst_redraw_at_most_once_per_frame(served, open_ui, sync, step):
    ui = await start_episode(served, open_ui, sync=sync)
    engine = served.engine
    before = await frames_after_quiet(ui)
    await ui.page.evaluate(COUNT_FRAMES)
    await asyncio.gather(*(getattr(engine, step)() for _ in range(LENGTH)))
    redraws = await frames_after_quiet(ui) - before
    ticks = await ui.page.evaluate("window.ticks")
    assert 1 <= redraws <= ticks + 1, (redraws, ticks)
    assert "%d / %d" % (LENGTH, LENGTH) in await ui.page.inner_text("#account")


async def test_deferred_page_catches_up_after_plain_steps(served, open_ui):
    ui = await start_episode(served, open_ui, sync="deferred")
    for _ in range(3):
        await served.engine.step_next()
    # No sync point was passed: the twice-a-second redraw shows the steps.
    await ui.wait_for("document.getElementById('account').innerText.includes('3 / %d')" % LENGTH)


async def test_hidden_page_does_not_redraw_and_redraws_once_when_shown(served, open_ui):
    ui = await start_episode(served, open_ui)
    engine = served.engine
    await ui.page.evaluate(SET_HIDDEN, True)
    hidden_at = await frames_after_quiet(ui)
    for _ in range(4):
        await engine.step_next()
    await engine.step_and_sync()
    await asyncio.sleep(0.7)    # past the deferred catch-up timer too
    assert await frames_after_quiet(ui) == hidden_at
    assert "5 / %d" % LENGTH not in await ui.page.inner_text("#account")
    await ui.page.evaluate(SET_HIDDEN, False)
    shown = await frames_after_quiet(ui)
    # One redraw for the changes it missed (the twice-a-second one may land here too).
    assert hidden_at < shown <= hidden_at + 2
    assert "5 / %d" % LENGTH in await ui.page.inner_text("#account")


# ---------------------------------------------------------------------------
# Refusals


def _candles_with_bad_row():
    bad = CANDLES.copy()
    bad[5, 1] = bad[5, 2] - 1.0        # high below low
    return bad


# (what is set up first, the call, its fnId, err, sub, words of the message)
REFUSALS = [
    ("nothing", lambda e: e.step_next(), 2, 2, 1, "no candles"),
    ("nothing", lambda e: e.reset_episode(0, "train"), 101, 2, 1, "no candles"),
    ("nothing", lambda e: e.init_candles(np.ones((20, 4))), 100, 3, 1, "5 columns"),
    ("nothing", lambda e: e.init_candles(CANDLES[:10].copy()), 100, 3, 2, "at least 15 rows"),
    ("nothing", lambda e: e.init_candles(_candles_with_bad_row()), 100, 3, 4, "candle 5"),
    ("candles", lambda e: e.get_snapshot(), 12, 2, 2, "reset_episode"),
    ("candles", lambda e: e.reset_episode(1, "train"), 101, 4, 1, "out of range"),
    ("candles", lambda e: e.reset_episode(0, "test"), 101, 4, 2, "no test episodes"),
    ("episode", lambda e: e.close_positions([77], [1], [0.0]), 31, 6, 1, "no open position with id 77"),
    ("episode", lambda e: e.close_positions([1], [9], [0.0]), 31, 6, 2, "unknown action 9"),
    ("episode", lambda e: e.place_order("buy", "limit", -5.0, 1), 20, 5, 1, "price"),
    ("episode", lambda e: e.place_order("buy", "stop", 101.0, 1, time_limit=0), 20, 5, 3, "time limit"),
]


@pytest.mark.parametrize("setup, call, fn_id, err, sub, words", REFUSALS)
async def test_refusal_reaches_python_as_rpc_error_and_keeps_the_connection(
        served, open_ui, setup, call, fn_id, err, sub, words):
    ui = await open_ui(served.port, **PAGE_CONFIG)
    engine = served.engine
    await engine.wait_connected(timeout_secs=GUARD)
    if setup != "nothing":
        await engine.init_candles(CANDLES)
    if setup == "episode":
        await engine.reset_episode(0, "train")
        await engine.place_ticket("buy", 1)       # position id 1
    with pytest.raises(RuntimeError) as info:
        await call(engine)
    seq, got_fn, got_err, got_sub, message = rpc_error(info.value)
    assert (got_fn, got_err, got_sub) == (fn_id, err, sub)
    assert words in message
    status = await ui.status()
    assert (status["lastSeq"], status["errors"]) == (seq, 1)
    # An ErrorResponse costs nothing: the same connection serves the next call.
    assert json.loads(await engine.get_rl_config())["window"] == WINDOW
    assert (await ui.status())["connections"] == 1


def _vec(*values):
    return struct.pack("<I%dd" % len(values), len(values), *values)


ORDER = [1.0, 100.0, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 5.0, 0.0, 0.0, 0.0, 0.0]

# Frames the engine never sends; the page must answer each, never stop.
# (frame bytes, expected kind, err, sub)
RAW_FRAMES = {
    "unknown fnId": (encode_frame(1, 7, 999), 3, 1, 1),
    "protocol version 2": (encode_frame(1, 7, 102, version=2), 3, 1, 4),
    "payloadLen disagrees": (encode_frame(1, 7, 102, b"", payload_len=4), 3, 1, 5),
    "payload where none belongs": (encode_frame(1, 7, 12, b"\x00"), 3, 1, 2),
    "place_order of 12 values": (encode_frame(1, 7, 20, _vec(*ORDER[:12])), 3, 1, 2),
    "place_order presence 0.5": (encode_frame(1, 7, 20, _vec(*ORDER[:2], 0.5, *ORDER[3:])), 3, 1, 3),
    "place_ticket side 2": (encode_frame(1, 7, 21, _vec(1, 0, 0, 0, 2, 1, 0, 0, 0)), 3, 1, 3),
    "truncated close step": (encode_frame(1, 7, 31, struct.pack("<Ii", 1, 5)), 3, 1, 2),
    "reset of 4 bytes": (encode_frame(1, 7, 101, struct.pack("<I", 0)), 3, 1, 2),
    "reset type 2": (encode_frame(1, 7, 101, struct.pack("<IB", 0, 2)), 3, 1, 3),
    "matrix shorter than stated": (encode_frame(1, 7, 100, struct.pack("<II", 2, 5)), 3, 1, 2),
    "well-formed get_sync_policy": (encode_frame(1, 7, 120), 2, None, None),
}


@pytest.mark.parametrize("name", RAW_FRAMES)
async def test_page_answers_every_frame_and_keeps_serving(served, open_ui, name):
    frame, kind, err, sub = RAW_FRAMES[name]
    ui = await open_ui(served.port)
    await served.engine.wait_connected(timeout_secs=GUARD)
    # Fed to the page's receive path with a stand-in socket that records answers.
    sent = await ui.page.evaluate("""async (bytes) => {
        const conn = window.uiPeer.connection, sent = [];
        const fake = { readyState: WebSocket.OPEN, send: (b) => sent.push(Array.from(b)) };
        conn.onBinary(fake, new Uint8Array(bytes).buffer);
        await conn.queue;
        return sent;
    }""", list(frame))
    (answer,) = [decode_frame(bytes(b)) for b in sent]
    assert (answer.version, answer.kind, answer.seq, answer.fn_id) == (1, kind, 7, decode_frame(frame, strict=False).fn_id)
    if kind == 3:
        got_err, got_sub, msg_len = struct.unpack_from("<HHI", answer.payload)
        assert (got_err, got_sub) == (err, sub)
        assert msg_len == len(answer.payload) - 8 > 0
    assert await served.engine.get_sync_policy() == "eager"


async def test_page_ignores_frames_it_must_not_answer(served, open_ui):
    ui = await open_ui(served.port)
    await served.engine.wait_connected(timeout_secs=GUARD)
    sent = await ui.page.evaluate("""async (frames) => {
        const conn = window.uiPeer.connection, sent = [];
        const fake = { readyState: WebSocket.OPEN, send: (b) => sent.push(b) };
        for (const f of frames) conn.onBinary(fake, new Uint8Array(f).buffer);
        await conn.queue;
        return sent.length;
    }""", [[1, 1, 0], list(encode_frame(5, 3, 12)), list(encode_frame(2, 3, 12))])
    assert sent == 0      # too short for a header, an EchoReply, a stray Response
    assert (await ui.status())["ignored"] == 3


# ---------------------------------------------------------------------------
# The connection


@pytest.mark.parametrize("how, start_seq", [("late answer", 100), ("page drop", None)])
async def test_page_reconnects_and_sequence_numbers_restart(served, open_ui, how, start_seq):
    ui = await start_episode(served, open_ui)
    engine = served.engine
    first = served.start_seq
    await engine.step_next()
    if how == "late answer":
        # The engine gives up on the request, drops the link, and the page's
        # late answer has nowhere to go.
        await ui.page.evaluate("window.uiPeer.delayAnswers(1500)")
        with pytest.raises(RuntimeError, match=r"^RpcTransportError\(seq=Some\(%d\), fnId=Some\(12\)\): "
                                               r"timeout waiting response$" % (first + 3)):
            await engine.get_snapshot(timeout_secs=0.3)
    else:
        await ui.page.evaluate("window.uiPeer.drop()")
    await ui.wait_for("window.uiPeer.status().connections === 2 && window.uiPeer.status().state === 'connected'")
    await engine.wait_connected(timeout_secs=GUARD)
    with pytest.raises(RuntimeError) as info:
        await engine.close_positions([424242], [1], [0.0])
    assert rpc_error(info.value)[0] == first          # numbering starts again on the new connection
    snap = await engine.get_snapshot()                # the simulation lives on in the page
    assert (snap[STEP], snap[PRICE]) == (1, close_at(1))
    status = await ui.status()
    assert (status["drops"], status["firstSeq"], status["lastSeq"]) == (1, first, first + 1)
    if how == "late answer":
        await ui.wait_for("window.uiPeer.status().lost === 1")   # the abandoned request was not carried out


@pytest.mark.parametrize("where, refused", [
    ("127.0.0.2", True),
    (LOOKALIKE_HOST, True),
    ("localhost", False),
])
async def test_page_from_an_origin_outside_the_allow_list_is_refused(
        served, open_ui, ui_port, foreign_ui_port, capfd, where, refused):
    port = foreign_ui_port if where == "127.0.0.2" else ui_port
    ui = await open_ui(served.port, host=where, port=port)
    engine = served.engine
    origin = "http://%s:%d" % (where, port)
    if not refused:
        await engine.wait_connected(timeout_secs=GUARD)
        assert (await ui.status())["connections"] == 1
        return
    await ui.wait_for("window.uiPeer.status().refusals >= 2")    # it keeps trying
    with pytest.raises(RuntimeError, match="wait_connected timed out"):
        await engine.wait_connected(timeout_secs=0.5)
    status = await ui.status()
    assert (status["connections"], status["requests"]) == (0, 0)
    assert any("403" in line for line in ui.console), ui.console
    await asyncio.sleep(0.1)    # let the engine's log line reach stderr
    assert "[rust ws server] rejected origin: %s\n" % origin in capfd.readouterr().err


@pytest.mark.parametrize("query, policy, length, window", [
    ({}, "eager", 50, 20),
    ({"sync": "deferred", "episode_length": 7, "window": 4}, "deferred", 7, 4),
])
async def test_query_string_configures_the_page(served, open_ui, query, policy, length, window):
    await open_ui(served.port, **query)
    engine = served.engine
    await engine.wait_connected(timeout_secs=GUARD)
    assert await engine.get_sync_policy() == policy
    await engine.init_candles(np.tile(CANDLES, (10, 1)))      # 150 candles
    config = json.loads(await engine.get_rl_config())
    assert (config["episode_length"], config["window"], config["candles"]) == (length, window, 150)
    train, test = config["train_episodes"], config["test_episodes"]
    assert train + test == (150 - window) // length and test >= 1
    # Episodes are consecutive windows: training ones first, test ones after them.
    assert await engine.reset_episode(train - 1, "train") == window - 1 + (train - 1) * length
    assert await engine.reset_episode(0, "test") == window - 1 + train * length
    ohlc = await engine.get_ohlc()
    assert list(ohlc[:, 0]) == list(range(train * length, window + train * length))
