"""A page that crashes, hangs or is interrupted ends only its own episode; the vector environment goes on.

The renderers are this test process's own (Chromium runs below it) and are
found through its process tree, never by name.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import os
import signal
import time

import numpy as np
import pytest
from gymnasium.vector import AutoresetMode

from gymhelpers import SMALL, crash_page, renderer_pid

HOLD = 0


def test_a_stopped_renderer_hits_only_its_own_page_within_the_step_timeout(make_vec):
    timeout = 2.0
    envs = make_vec(3, step_timeout=timeout)
    envs.reset(seed=0)
    envs.step(np.ones(3, dtype=np.int64))
    stopped = renderer_pid(envs.envs[1].session)
    os.kill(stopped, signal.SIGSTOP)
    try:
        started = time.monotonic()
        _, rewards, terminated, truncated, info = envs.step(np.zeros(3, dtype=np.int64))
        assert time.monotonic() - started < timeout + 1.0
        assert list(truncated) == [False, True, False] and not terminated.any()
        assert list(info["_page_error"]) == [False, True, False]
        assert "did not answer in time" in info["page_error"][1]
        assert list(info["step"]) == [2, 1, 2] and rewards[1] == 0.0
        # Its next step starts a new episode on a new page; the others go on.
        _, rewards, _, truncated, info = envs.step(np.zeros(3, dtype=np.int64))
        assert list(info["step"]) == [3, 0, 3] and not truncated.any() and rewards[1] == 0.0
        assert list(envs.reopen_counts) == [0, 1, 0]
        assert list(envs.step(np.ones(3, dtype=np.int64))[4]["net_units"]) == [20, 10, 20]
    finally:
        with contextlib.suppress(ProcessLookupError):  # gone with its browser context already
            os.kill(stopped, signal.SIGKILL)


@pytest.mark.parametrize("mode", [AutoresetMode.NEXT_STEP, AutoresetMode.SAME_STEP], ids=lambda m: m.value)
def test_every_renderer_killed_and_the_vector_environment_carries_on(make_vec, mode):
    envs = make_vec(2, autoreset_mode=mode)
    envs.reset()
    obs, *_ = envs.step(np.ones(2, dtype=np.int64))
    for env in envs.envs:
        os.kill(renderer_pid(env.session), signal.SIGKILL)
    after, rewards, terminated, truncated, info = envs.step(np.zeros(2, dtype=np.int64))
    assert truncated.all() and not terminated.any() and not rewards.any()
    assert all("crashed" in text for text in info["page_error"])
    if mode == AutoresetMode.SAME_STEP:
        # The finished episode's last good observation, and the first of the next one on a new page.
        np.testing.assert_array_equal(np.stack(info["final_obs"]), obs)
        assert list(info["step"]) == [0, 0]
    else:
        np.testing.assert_array_equal(after, obs)
        _, rewards, terminated, truncated, info = envs.step(np.zeros(2, dtype=np.int64))
        assert list(info["step"]) == [0, 0] and not (terminated | truncated).any()
    _, _, terminated, truncated, info = envs.step(np.ones(2, dtype=np.int64))
    assert list(info["step"]) == [1, 1] and list(info["net_units"]) == [10, 10]
    assert not (terminated | truncated).any() and "page_error" not in info
    assert list(envs.reopen_counts) == [1, 1]


def test_an_invalid_action_raises_before_any_page_is_sent_anything(make_vec):
    envs = make_vec(3)
    envs.reset()
    with pytest.raises(ValueError, match="sub-environment 2: action 7 is outside Discrete"):
        envs.step(np.array([1, 1, 7]))
    _, _, _, _, info = envs.step(np.zeros(3, dtype=np.int64))
    assert list(info["step"]) == [1, 1, 1] and list(info["net_units"]) == [0, 0, 0]


async def test_a_cancelled_step_ends_the_episodes_of_the_batch(make_vec):
    from py_engine_rust_gym._runtime import LOOP
    envs = make_vec(2)
    await envs.areset()
    await LOOP.run_async(envs.envs[0].session.evaluate("window.uiPeer.delayAnswers(1500, 1)"))
    step = asyncio.ensure_future(envs.astep(np.ones(2, dtype=np.int64)))
    await asyncio.sleep(0.3)
    step.cancel()
    with pytest.raises(asyncio.CancelledError):
        await step
    await asyncio.sleep(1.5)
    # Both pages start over (the step's outcome is unknown); the late answer confuses nothing.
    _, rewards, _, _, info = await envs.astep(np.zeros(2, dtype=np.int64))
    assert list(info["step"]) == [0, 0] and not rewards.any()
    assert list((await envs.astep(np.ones(2, dtype=np.int64)))[4]["net_units"]) == [10, 10]


def in_order(messages, *patterns):
    """Whether ``messages`` hold a message starting with each of ``patterns`` (level, text), in that order."""
    position = 0
    for level, text in patterns:
        while position < len(messages) and not (messages[position][0] == level and
                                                 messages[position][1].startswith(text)):
            position += 1
        if position == len(messages):
            return False
        position += 1
    return True


def test_a_crash_is_logged_from_the_page_opening_to_the_close(make_env, caplog):
    caplog.set_level(logging.INFO, logger="py_engine_rust_gym")
    env = make_env()
    label = env.runner.label
    env.reset()
    crash_page(env.session)
    assert env.step(HOLD)[3]
    env.reset()  # waits for the page to be opened again
    env.close()
    messages = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "py_engine_rust_gym"]
    assert in_order(messages, ("INFO", "Chromium "), ("INFO", "%s: page opened and connected in " % label),
                    ("WARNING", "%s: the page crashed" % label),
                    ("INFO", "%s: page opened and connected in " % label),
                    ("INFO", "%s: page reopened in " % label), ("INFO", "Chromium closed"),
                    ("INFO", "%s: page and engine closed" % label)), messages
    warning = next(text for level, text in messages if level == "WARNING")
    assert warning.endswith("the episode ends here and the page is opened again")


class _SilentPage:
    """A page whose answer to a question is given by ``answer`` (never, by default, as a killed
    renderer's)."""

    def __init__(self, answer=None) -> None:
        self.answer = answer

    async def evaluate(self, expression):
        if self.answer is None:
            await asyncio.Event().wait()
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer, report_crash, crashed", [
    (None, True, True),                                   # no answer, then the browser reports the crash
    (RuntimeError("Target crashed"), False, True),        # the question itself fails as crashed
    (0, False, False),                                    # the page answers: it is alive, only the socket went
])
async def test_a_lost_connection_is_a_crash_as_soon_as_the_browser_says_so(answer, report_crash, crashed):
    from py_engine_rust_gym._session import PageSession
    from py_engine_rust_gym.settings import EnvSettings
    session = PageSession(EnvSettings(), "environment t")
    session._bare = _SilentPage(answer)
    if report_crash:
        asyncio.get_running_loop().call_later(0.05, session._on_crash)
    # Well inside the 2 s that the question alone may wait for an answer.
    await asyncio.wait_for(session._check_crash(), 1.0)
    assert session.crashed is crashed
