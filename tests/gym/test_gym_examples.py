"""The example that CI runs: a random agent whose rewards must add up to the page's P&L."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "examples",
                       "random_agent.py")


@pytest.mark.parametrize("num_envs", [1, 3])
def test_random_agent_example(num_envs):
    run = subprocess.run([sys.executable, EXAMPLE, "--episodes", "4", "--episode-length", "12",
                          "--num-envs", str(num_envs)], capture_output=True, text=True, timeout=180,
                         stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stdout + run.stderr
    rows = [line.split() for line in run.stdout.splitlines()[1:5]]
    assert [row[2] for row in rows] == ["12"] * 4
    assert all(abs(float(row[4]) - float(row[5])) <= 0.01 for row in rows)  # return and page P&L
    assert "every episode's rewards add up to the page's P&L" in run.stdout


def test_random_agent_trades_a_candle_file_and_records_its_episodes(tmp_path):
    pandas = pytest.importorskip("pandas", reason="the data extra is not installed")
    import py_engine_rust_gym
    from py_engine_rust_gym.records import load_records
    prices = tmp_path / "prices.csv"
    pandas.DataFrame(py_engine_rust_gym.synthetic_candles(20 + 12 * 6, seed=3),
                     columns=["open", "high", "low", "close", "volume"]).to_csv(prices, index=False)
    run = subprocess.run([sys.executable, EXAMPLE, "--episodes", "3", "--episode-length", "12", "--num-envs", "2",
                          "--candles", str(prices), "--record-dir", str(tmp_path / "runs")], capture_output=True,
                         text=True, timeout=180, stdin=subprocess.DEVNULL)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "py_engine_rust_gym INFO" in run.stderr  # the example turns the package's log on
    rows = [line.split() for line in run.stdout.splitlines()[1:4]]
    records = load_records([tmp_path / "runs"])
    assert all(r.market["path"] == str(prices) and r.steps == 12 for r in records)
    recorded = {(r.episode_index, "%+.2f" % r.total_reward) for r in records}
    assert {(int(row[1]), row[4]) for row in rows} <= recorded


def test_ray_rollouts_example():
    pytest.importorskip("ray", reason="Ray does not install on this interpreter")
    example = os.path.join(os.path.dirname(EXAMPLE), "ray_rollouts.py")
    env = dict(os.environ, RAY_DISABLE_USAGE_STATS="1")
    env.pop("RAY_ADDRESS", None)
    run = subprocess.run([sys.executable, example, "--num-workers", "2", "--envs-per-worker", "1", "--steps", "20",
                          "--rollout-steps", "10", "--episode-length", "8"], capture_output=True, text=True,
                         timeout=300, stdin=subprocess.DEVNULL, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    lines = run.stdout.splitlines()
    assert "4 rollouts of 10 steps" in lines[0]
    workers = [line.split() for line in lines[2:] if line.split()[0] in ("0", "1")]
    total = next(line.split() for line in lines if line.startswith("total"))
    # Rollouts go to whichever worker is free: both took some, and every env-step is counted once.
    assert sorted(row[0] for row in workers) == ["0", "1"]
    assert sum(int(row[2]) for row in workers) == int(total[1]) == 4
    assert sum(int(row[3]) for row in workers) == int(total[2]) == 40
    assert all(float(row[4]) > 0 for row in workers) and float(total[3]) > 0
    assert "lost rollout" not in run.stdout


def test_playwright_launches_chromium_with_the_packages_flags_by_default():
    # The demo, the browser tests and the benchmarks launch Chromium with Playwright's default flags
    # only: those must hold the package's, which keep hidden pages unthrottled.
    import asyncio

    from playwright.async_api import async_playwright

    import py_engine_rust_gym
    from gymhelpers import browser_processes
    from py_engine_rust_gym._browser import find_chromium

    async def launched_command_lines():
        async with async_playwright() as playwright:
            browser = await playwright.chromium.launch(executable_path=find_chromium(), headless=True)
            try:
                return list(browser_processes(os.getpid()).values())
            finally:
                await browser.close()

    # The browser process itself: Playwright talks to it over a pipe, its children have a --type.
    (main,) = [cmd for cmd in asyncio.run(launched_command_lines())
               if "--remote-debugging-pipe" in cmd and "--type=" not in cmd]
    assert len(py_engine_rust_gym.CHROMIUM_ARGS) == 4
    assert set(py_engine_rust_gym.CHROMIUM_ARGS) <= set(main.split()), main
