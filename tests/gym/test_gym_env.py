"""BrowserTradingEnv against the real page in headless Chromium."""

from __future__ import annotations

import asyncio
import contextlib
import logging
import math
import os
import signal
import tempfile
import time

import gymnasium
import numpy as np
import pytest
from gymnasium.error import ClosedEnvironmentError, ResetNeeded
from gymnasium.utils.env_checker import check_env

import py_engine_rust_gym
from py_engine_rust_gym import (ChromiumNotFoundError, PageConnectError, TargetPositionActions, TradeActions)
from py_engine_rust_gym._browser import UiServer
from py_engine_rust_gym._runtime import LOOP

from gymhelpers import SMALL, crash_page, ports_can_be_bound, renderer_pid


@pytest.mark.parametrize("kwargs", [
    {"observation": "features", "action_scheme": "trade"},
    {"observation": "raw", "action_scheme": "target"},
], ids=["features-trade", "raw-target"])
def test_check_env_with_its_defaults_on_a_machine_without_display(kwargs, monkeypatch):
    # check_env makes the environment in every render mode, "human" included, which runs headless here.
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    env = gymnasium.make(py_engine_rust_gym.ENV_ID, render_mode="rgb_array", **dict(SMALL, **kwargs))
    try:
        check_env(env.unwrapped)
    finally:
        env.close()


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
        assert info["trade_count"] == page["trades"] == len(env.episode_trades)
        assert math.isclose(env.episode_trades[:, env.config["summary_columns"].index("pnl")].sum(), total,
                            abs_tol=1e-6)
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
    # A seed shuffles each pass over the episodes, the same way each time.
    seeded = [env.reset(seed=11)[1]["episode_index"]] + [env.reset()[1]["episode_index"] for _ in range(count - 1)]
    assert sorted(seeded) == list(range(count))
    again = [env.reset(seed=11)[1]["episode_index"]] + [env.reset()[1]["episode_index"] for _ in range(count - 1)]
    assert again == seeded
    assert [env.reset(seed=s)[1]["episode_index"] for s in range(8)] != [seeded[0]] * 8


def test_reset_keeps_the_episode_type_of_the_last_reset(make_env):
    env = make_env(test_fraction=0.34)
    env.reset(options={"episode_type": "test"})
    assert [env.reset()[1]["episode_type"] for _ in range(3)] == ["test"] * 3
    assert env.reset(options={"episode_type": "train"})[1]["episode_type"] == "train"
    assert env.reset()[1]["episode_type"] == "train"


@pytest.mark.parametrize("units, expected", [(10.0, 10), (np.int64(3), 3), (np.float32(2.0), 2)])
def test_units_may_be_an_integral_float(make_env, units, expected):
    env = make_env(units=units)
    env.reset()
    assert env.step(TradeActions.BUY)[4]["net_units"] == expected


@pytest.mark.parametrize("units", [2.5, 0, -1, "10", True, float("nan")])
def test_units_that_are_not_whole_refused_at_construction(units):
    with pytest.raises(ValueError, match="units must be a whole number >= 1"):
        py_engine_rust_gym.BrowserTradingEnv(units=units, **SMALL)


def test_actions_outside_the_space_raise_before_anything_is_sent(make_env):
    env = make_env()
    env.reset()
    for action in (4, -1, 1.5, "buy"):
        with pytest.raises(ValueError, match="outside Discrete\\(4\\)"):
            env.step(action)
    assert env.step(np.int64(1))[4]["step"] == 1


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


def test_human_render_without_display_runs_headless_and_says_so(monkeypatch, caplog):
    from py_engine_rust_gym import _browser
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.setattr(_browser, "_warned_no_display", False)
    with caplog.at_level(logging.WARNING, logger="py_engine_rust_gym"):
        env = py_engine_rust_gym.BrowserTradingEnv(render_mode="human", **SMALL)
    try:
        env.reset()
        assert env.render() is None and env.step(1)[4]["net_units"] == 10
        assert [headless for _, headless in _browser.POOL._browsers] == [True]
    finally:
        env.close()
    assert any("without a display" in r.getMessage() and "xvfb-run" in r.getMessage() for r in caplog.records)


def test_missing_chromium_says_how_to_install_it():
    with pytest.raises(ChromiumNotFoundError, match=r"/nowhere/chromium.*apt-get install chromium"):
        py_engine_rust_gym.BrowserTradingEnv(chromium="/nowhere/chromium", **SMALL)


def test_page_that_never_connects_names_url_origin_and_timeout():
    blank = tempfile.TemporaryDirectory()
    with open(blank.name + "/index.html", "w") as f:
        f.write("<!doctype html><title>not the trading page</title>")
    server = UiServer(blank.name)
    url = server.url
    started = time.monotonic()
    try:
        with pytest.raises(PageConnectError) as caught:
            py_engine_rust_gym.BrowserTradingEnv(ui_url=url, **dict(SMALL, connect_timeout=1.5))
    finally:
        server.close()
        blank.cleanup()
    text = str(caught.value)
    assert url + "?" in text and "origin http://127.0.0.1:%d" % server.port in text
    assert "within 1.5 s" in text and "no window.uiPeer" in text
    assert time.monotonic() - started < 1.5 + 15  # hang guard: the timeout plus start-up


@pytest.mark.parametrize("fault", ["crash", "kill", "stop"])
def test_a_failing_page_ends_its_episode_with_page_error_and_reset_opens_a_new_one(make_env, fault, caplog):
    env = make_env(step_timeout=2.0)
    env.reset()
    obs, *_ = env.step(1)
    old_port = env.session.engine.port
    pid = renderer_pid(env.session)
    if fault == "crash":
        crash_page(env.session)
    else:
        os.kill(pid, signal.SIGKILL if fault == "kill" else signal.SIGSTOP)
    try:
        started = time.monotonic()
        with caplog.at_level(logging.INFO, logger="py_engine_rust_gym"):
            after, reward, terminated, truncated, info = env.step(0)
            assert time.monotonic() - started < 2.0 + 1.0
            assert (reward, terminated, truncated) == (0.0, False, True)
            np.testing.assert_array_equal(after, obs)  # the last good observation
            expected = {"crash": "crashed", "kill": "crashed", "stop": "did not answer in time"}[fault]
            assert expected in info["page_error"] and info["step"] == 1
            with pytest.raises(ResetNeeded):
                env.step(0)
            _, info = env.reset()
        assert info["step"] == 0 and env.session.engine.port != old_port and env.reopen_count == 1
        assert ports_can_be_bound([old_port])
        assert env.step(1)[4]["net_units"] == 10
        messages = [r.getMessage() for r in caplog.records]
        assert any(expected in m and "opened again" in m for m in messages)
        assert any("page reopened" in m and "reopen 1" in m for m in messages)
    finally:
        if fault == "stop":
            with contextlib.suppress(ProcessLookupError):  # gone with its browser context already
                os.kill(pid, signal.SIGKILL)


async def test_crash_ends_a_call_in_flight_at_once(make_env):
    env = make_env()
    await env.areset()
    await LOOP.run_async(env.session.evaluate("window.uiPeer.delayAnswers(20000, 1)"))
    step = asyncio.ensure_future(env.astep(0))
    await asyncio.sleep(0.3)
    started = time.monotonic()
    crash = asyncio.ensure_future(asyncio.get_running_loop().run_in_executor(None, crash_page, env.session))
    _, _, _, truncated, info = await step
    assert truncated and "crashed" in info["page_error"]
    assert time.monotonic() - started < 10  # the delayed answer would take 20 s
    await asyncio.gather(crash, return_exceptions=True)
    _, info = await env.areset()
    assert info["step"] == 0


async def test_a_cancelled_step_ends_the_episode(make_env):
    env = make_env()
    await env.areset()
    await LOOP.run_async(env.session.evaluate("window.uiPeer.delayAnswers(2000, 1)"))
    step = asyncio.ensure_future(env.astep(1))
    await asyncio.sleep(0.3)
    step.cancel()
    with pytest.raises(asyncio.CancelledError):
        await step
    await asyncio.sleep(0.1)
    with pytest.raises(ResetNeeded):
        await env.astep(0)
    # The late answer of the abandoned step must not be taken for the reset's.
    await asyncio.sleep(2)
    _, info = await env.areset()
    assert info["step"] == 0 and (await env.astep(1))[4]["net_units"] == 10


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
