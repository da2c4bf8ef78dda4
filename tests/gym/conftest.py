"""Fixtures of the Gymnasium environment tests.

They need Gymnasium, Playwright and a Chromium; where one is missing the
tests skip. Environments are made with short episodes and closed after each
test, so that every test starts without a browser (the first environment of
a test launches Chromium, the last close ends it).
"""

from __future__ import annotations

import os
import shutil
import subprocess
from typing import Any, Callable, List

import pytest

pytest.importorskip("gymnasium")
pytest.importorskip("playwright.async_api")

import py_engine_rust_gym  # noqa: E402
from py_engine_rust_gym._browser import find_chromium  # noqa: E402

from gymhelpers import SMALL  # noqa: E402

try:
    find_chromium()
except py_engine_rust_gym.ChromiumNotFoundError as exc:
    pytest.skip(str(exc), allow_module_level=True)

@pytest.fixture
def make_env():
    """``make_env(**kwargs)``: a ``BrowserTradingEnv`` with short episodes, closed after the test."""
    made: List[Any] = []

    def make(**kwargs: Any) -> py_engine_rust_gym.BrowserTradingEnv:
        env = py_engine_rust_gym.BrowserTradingEnv(**dict(SMALL, **kwargs))
        made.append(env)
        return env

    yield make
    for env in made:
        env.close()


@pytest.fixture
def make_vec():
    """``make_vec(num_envs, **kwargs)``: a vector environment with short episodes, closed after the test."""
    made: List[Any] = []

    def make(num_envs: int, **kwargs: Any) -> py_engine_rust_gym.BrowserTradingVectorEnv:
        envs = py_engine_rust_gym.make_vec(num_envs, **dict(SMALL, **kwargs))
        made.append(envs)
        return envs

    yield make
    for envs in made:
        envs.close()


@pytest.fixture
def page_eval() -> Callable[..., Any]:
    """``page_eval(env, expression)``: evaluates JavaScript in the environment's page."""
    from py_engine_rust_gym._runtime import LOOP

    def evaluate(env: Any, expression: str) -> Any:
        return LOOP.run(env.session.evaluate(expression))
    return evaluate


@pytest.fixture(scope="session")
def display():
    """A display for headed Chromium: the one there is, or an Xvfb started for the tests."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        pytest.skip("no display and no Xvfb (apt-get install xvfb)")
    read, write = os.pipe()
    server = subprocess.Popen([xvfb, "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0", "1280x900x24"],
                              pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        server.kill()
        server.wait()
        pytest.skip("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number
    try:
        yield os.environ["DISPLAY"]
    finally:
        del os.environ["DISPLAY"]
        server.terminate()
        server.wait()
