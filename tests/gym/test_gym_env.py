"""BrowserTradingEnv against the real page in headless Chromium."""

from __future__ import annotations

import asyncio
import functools
import http.server
import math
import tempfile
import threading
import time

import gymnasium
import numpy as np
import pytest
from gymnasium.error import ClosedEnvironmentError, ResetNeeded
from gymnasium.utils.env_checker import check_env

import py_engine_rust_gym
from py_engine_rust_gym import (ChromiumNotFoundError, DisplayNotFoundError, PageConnectError, PageCrashedError,
                                TargetPositionActions, TradeActions)
from py_engine_rust_gym._runtime import LOOP

from gymhelpers import SMALL, ports_can_be_bound


@pytest.mark.parametrize("kwargs", [
    {"observation": "features", "action_scheme": "trade"},
    {"observation": "raw", "action_scheme": "target"},
], ids=["features-trade", "raw-target"])
def test_check_env(kwargs, request):
    # With a display, check_env also makes the environment in every render mode, "human" included.
    headed = request.getfixturevalue("display") if _has_display_or_xvfb() else None
    env = gymnasium.make(py_engine_rust_gym.ENV_ID, render_mode="rgb_array", **dict(SMALL, **kwargs))
    try:
        check_env(env.unwrapped, skip_render_check=headed is None)
    finally:
        env.close()


def _has_display_or_xvfb() -> bool:
    import os
    import shutil
    return bool(os.environ.get("DISPLAY")) or shutil.which("Xvfb") is not None


@pytest.mark.parametrize("observation, scheme", [
    ("features", "trade"), ("raw", "trade"), ("features", "target"),
])
def test_random_episodes_stay_in_space_and_rewards_add_up_to_the_page_pnl(make_env, page_eval, observation, scheme):
    env = make_env(observation=observation, action_scheme=scheme, balance=5000)
    env.action_space.seed(3)
    obs, info = env.reset(seed=3)
    assert obs in env.observation_space
    for episode in range(2):
        total, steps = 0.0, 0
        while True:
            obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
            assert obs in env.observation_space, (steps, obs)
            assert isinstance(reward, float)
            total += reward
            steps += 1
            if terminated or truncated:
                break
        assert (steps, terminated, truncated) == (SMALL["episode_length"], False, True)
        page = page_eval(env, "window.uiPeer.sim.results.at(-1)")
        assert page["steps"] == steps
        # The page's books: its own episode result, the trade summary, and the equity it started from.
        assert math.isclose(total, page["pnl"], abs_tol=1e-6)
        assert math.isclose(total, info["pnl"], abs_tol=1e-6)
        assert math.isclose(total, info["equity"] - 5000, abs_tol=1e-6)
        assert len(info["trades"]) == page["trades"]
        if episode == 0:
            obs, info = env.reset()


def test_terminated_when_the_account_is_wiped_out(make_env):
    env = make_env(balance=0.5, units=10, episode_length=30, candles=5 + 30 * 2)
    env.reset(options={"episode_index": 0})
    for step in range(1, 31):
        _, _, terminated, truncated, info = env.step(TradeActions.BUY if step == 1 else TradeActions.HOLD)
        if terminated:
            break
    assert terminated and not truncated, info
    assert info["equity"] <= 0 and info["step"] < 30
    assert math.isclose(info["pnl"], info["equity"] - 0.5, abs_tol=1e-9)
    with pytest.raises(ResetNeeded):
        env.step(0)
    env.reset()
    assert env.step(0)[2] is False


@pytest.mark.parametrize("kind, index", [("train", 0), ("train", 3), ("test", 0), ("test", 1)])
def test_reset_options_pick_the_episode(make_env, kind, index):
    env = make_env(observation="raw", test_fraction=0.34)
    train = env.episode_counts["train"]
    assert env.episode_counts == {"train": 4, "test": 2}
    obs, info = env.reset(options={"episode_index": index, "episode_type": kind})
    slot = index if kind == "train" else train + index
    first = SMALL["window"] - 1 + slot * SMALL["episode_length"]
    assert (info["episode_type"], info["episode_index"], info["first_candle"]) == (kind, index, first)
    assert obs["window"][-1, 0] == first and obs["snapshot"][0] == 0


@pytest.mark.parametrize("options, message", [
    ({"episode_index": 4}, "train episode 4 out of range: the page has 4 train episodes"),
    ({"episode_index": 2, "episode_type": "test"}, "test episode 2 out of range"),
    ({"episode_type": "validation"}, "episode_type must be 'train' or 'test'"),
    ({"episode": 1}, "unknown reset options: episode"),
])
def test_reset_refuses_bad_options(make_env, options, message):
    env = make_env(test_fraction=0.34)
    with pytest.raises(ValueError, match=message):
        env.reset(options=options)


def test_reset_order_follows_the_seed(make_env):
    env = make_env()
    count = env.episode_counts["train"]
    order = [env.reset()[1]["episode_index"] for _ in range(count + 1)]
    assert order == list(range(count)) + [0]
    first = env.reset(seed=11)[1]["episode_index"]
    assert env.reset()[1]["episode_index"] == (first + 1) % count
    assert env.reset(seed=11)[1]["episode_index"] == first


def test_make_passes_candles_episode_length_seed_and_page_settings():
    candles = py_engine_rust_gym.synthetic_candles(7 + 5 * 3, seed=2)
    env = gymnasium.make(py_engine_rust_gym.ENV_ID, candles=candles, episode_length=5, window=7, balance=2500,
                         seed=42, sync="eager", test_fraction=0.0)
    try:
        config = env.unwrapped.config
        assert (config["candles"], config["episode_length"], config["window"], config["initial_balance"],
                config["seed"], config["sync_policy"], config["test_fraction"]) == (22, 5, 7, 2500, 42, "eager", 0)
        # The page keeps at least one test episode once there are two slots.
        assert env.unwrapped.episode_counts == {"train": 2, "test": 1}
        assert env.observation_space.shape == (7 * 5 + 6,)
        _, info = env.reset()
        assert info["equity"] == 2500 and info["price"] == candles[6, 3]
        steps = 0
        while not env.step(0)[3]:
            steps += 1
        assert steps + 1 == 5
    finally:
        env.close()


@pytest.mark.parametrize("scheme, actions, expected", [
    # (net_units, open_positions) after each action's step
    (TradeActions(units=3), [1, 1, 2, 0, 3], [(3, 1), (6, 2), (3, 3), (3, 3), (0, 0)]),
    (TargetPositionActions(units=4), [1, 1, 2, 0, 2], [(4, 1), (4, 1), (-4, 1), (0, 0), (-4, 1)]),
])
def test_action_schemes_trade_through_the_page(make_env, scheme, actions, expected):
    env = make_env(action_scheme=scheme, observation="raw")
    env.reset()
    seen = []
    for action in actions:
        obs, *_ = env.step(action)
        seen.append((obs["snapshot"][7], obs["snapshot"][8]))
    assert seen == expected


class _StopOrPlain(py_engine_rust_gym.ActionScheme):
    """1: a long ticket whose stop is hit by the next candle; 2: a long ticket without exits; 3: close all."""

    units = 1
    space = gymnasium.spaces.Discrete(4)

    async def apply(self, action, trader):
        if action == 1:
            trader.place_ticket("buy", 1, stop_loss=1e-4)
        elif action == 2:
            trader.place_ticket("buy", 1)
        elif action == 3:
            await trader.close_all()


def test_close_all_after_the_page_closed_a_position_by_itself(make_env, page_eval):
    env = make_env(action_scheme=_StopOrPlain(), observation="raw")
    env.reset()
    for action in (2, 1, 0):
        obs, *_ = env.step(action)
    # The stopped position is gone; the agent's own calls alone would still list it.
    assert page_eval(env, "[...window.uiPeer.sim.ep.positions.keys()]") == [1]
    obs, *_ = env.step(3)
    assert obs["snapshot"][8] == 0 and obs["snapshot"][10] == 2
    assert page_eval(env, "window.uiPeer.status().errors") == 0


@pytest.mark.parametrize("viewport", [(1200, 800), (640, 360)])
def test_render_rgb_array_is_the_page_screenshot(make_env, viewport):
    env = make_env(render_mode="rgb_array", viewport=viewport)
    env.reset()
    env.step(1)
    frame = env.render()
    assert frame.shape == (viewport[1], viewport[0], 3) and frame.dtype == np.uint8
    assert len(np.unique(frame.reshape(-1, 3), axis=0)) > 10


@pytest.mark.parametrize("render_mode, draws", [(None, False), ("rgb_array", True)])
def test_only_a_page_that_is_rendered_draws(make_env, page_eval, render_mode, draws):
    env = make_env(render_mode=render_mode)
    env.reset()
    # The next animation frame has run every redraw requested before it.
    frames = "new Promise(done => requestAnimationFrame(() => done(window.uiPeer.status().frames)))"
    before = page_eval(env, frames)
    for action in (1, 0, 2, 0):
        env.step(action)
    after = page_eval(env, frames)
    assert (after > before) == draws
    if not draws:
        assert after == 0


def test_human_render_opens_a_headed_browser(make_env, display):
    from py_engine_rust_gym._browser import POOL
    env = make_env(render_mode="human")
    env.reset()
    env.step(0)
    assert env.render() is None
    assert [headless for _, headless in POOL._browsers] == [False]


def test_human_render_without_display_says_so(monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    with pytest.raises(DisplayNotFoundError, match="needs a display.*xvfb-run"):
        py_engine_rust_gym.BrowserTradingEnv(render_mode="human", **SMALL)


def test_missing_chromium_says_how_to_install_it():
    with pytest.raises(ChromiumNotFoundError, match=r"/nowhere/chromium.*apt-get install chromium"):
        py_engine_rust_gym.BrowserTradingEnv(chromium="/nowhere/chromium", **SMALL)


def test_page_that_never_connects_names_url_origin_and_timeout():
    blank = tempfile.TemporaryDirectory()
    with open(blank.name + "/index.html", "w") as f:
        f.write("<!doctype html><title>not the trading page</title>")
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=blank.name)
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/index.html" % server.server_address[1]
    started = time.monotonic()
    try:
        with pytest.raises(PageConnectError) as caught:
            py_engine_rust_gym.BrowserTradingEnv(ui_url=url, **dict(SMALL, connect_timeout=1.5))
    finally:
        server.shutdown()
        server.server_close()
        blank.cleanup()
    text = str(caught.value)
    assert url + "?" in text and "origin http://127.0.0.1:%d" % server.server_address[1] in text
    assert "within 1.5 s" in text and "no window.uiPeer" in text
    assert time.monotonic() - started < 1.5 + 15  # hang guard: the timeout plus start-up


def test_crashed_page_is_a_typed_error_and_reset_opens_a_new_one(make_env):
    env = make_env()
    env.reset()
    env.step(1)
    old_port = env.session.engine.port
    with pytest.raises(Exception):
        LOOP.run(env.session.page.goto("chrome://crash"))
    # The navigation fails at once; the renderer dies, and Playwright says so, a moment later.
    deadline = time.monotonic() + 10
    while not env.session.crashed and time.monotonic() < deadline:
        time.sleep(0.05)
    with pytest.raises(PageCrashedError, match="crashed.*reset"):
        env.step(0)
    with pytest.raises(ResetNeeded):
        env.step(0)
    _, info = env.reset()
    assert info["step"] == 0 and env.session.engine.port != old_port
    assert ports_can_be_bound([old_port])
    assert env.step(1)[4]["net_units"] == 10


async def test_crash_ends_a_call_in_flight_at_once(make_env):
    env = make_env()
    await env.areset()
    await LOOP.run_async(env.session.page.evaluate("window.uiPeer.delayAnswers(20000, 1)"))
    step = asyncio.ensure_future(env.astep(0))
    await asyncio.sleep(0.3)
    started = time.monotonic()
    crash = asyncio.ensure_future(LOOP.run_async(env.session.page.goto("chrome://crash")))
    with pytest.raises(PageCrashedError):
        await step
    assert time.monotonic() - started < 10  # the delayed answer would take 20 s
    await asyncio.gather(crash, return_exceptions=True)
    _, info = await env.areset()
    assert info["step"] == 0


async def test_async_api_from_a_running_loop():
    envs = [await py_engine_rust_gym.BrowserTradingEnv.acreate(**SMALL) for _ in range(2)]
    try:
        infos = await asyncio.gather(*(env.areset(options={"episode_index": i}) for i, env in enumerate(envs)))
        assert [info["episode_index"] for _, info in infos] == [0, 1]
        for _ in range(SMALL["episode_length"]):
            results = await asyncio.gather(*(env.astep(1) for env in envs))
        assert [(result[3], result[4]["net_units"]) for result in results] == [(True, 80.0)] * 2
    finally:
        for env in envs:
            await env.aclose()
    assert all(env.closed for env in envs)


async def test_sync_api_inside_a_running_loop_as_in_a_notebook():
    asyncio.get_running_loop()
    env = py_engine_rust_gym.BrowserTradingEnv(**SMALL)
    try:
        env.reset()
        assert env.step(1)[4]["net_units"] == 10
    finally:
        env.close()


def test_close_frees_the_port_twice_is_fine_and_later_calls_fail(make_env):
    env = make_env()
    env.reset()
    port = env.session.engine.port
    assert not ports_can_be_bound([port])
    env.close()
    env.close()
    assert ports_can_be_bound([port])
    with pytest.raises(ClosedEnvironmentError):
        env.step(0)
    with pytest.raises(ClosedEnvironmentError):
        env.reset()


def test_sync_api_refuses_the_package_loop_itself(make_env):
    env = make_env()

    async def inside():
        return env.reset()
    with pytest.raises(RuntimeError, match="a\\* variants"):
        LOOP.run(inside())
