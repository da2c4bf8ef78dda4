"""``replay``: a recorded episode played again on the page, each reward checked against the record.

    python -m py_engine_rust_gym replay RECORD.json --video out.mp4   # or --png DIR, --headed --fps 2

The environment is made from the record alone: its settings, its action
scheme and its market, whose candles are the copy stored beside the record
(``markets/<sha256>.npy``) or, failing that, the file they were first read
from if it still holds the same candles (the hash says). Storing the
candles with the records keeps a directory of records replayable wherever
it is copied (from a Ray worker's machine, say), which a path alone would
not. The episode is reset by its type and index, every recorded action is
sent again and every reward compared with the recorded one; the first
difference raises ``ReplayMismatch``, which names the step. Steps after a
recorded page fault are not compared (the page that faulted is gone).
"""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass
from typing import Any, Callable, List, Optional, Union

import numpy as np

from ._browser import display_name
from ._runtime import LOOP
from .actions import scheme_from
from .data import require
from .env import BrowserTradingEnv
from .errors import DisplayNotFoundError
from .records import EpisodeRecord

#: Rewards are compared to this relative (and absolute) tolerance: the page computes the same numbers
#: from the same candles, so any real difference is far larger.
TOLERANCE = 1e-9


class ReplayMismatch(AssertionError):
    """The page did not give what the record says at ``step`` (0 is the reset)."""

    def __init__(self, step: int, message: str) -> None:
        super().__init__("step %d: %s" % (step, message))
        self.step = step


@dataclass
class ReplayResult:
    """What the replay played: steps compared, the return and the page's P&L, and the frames written."""

    steps: int
    total_reward: float
    pnl: Optional[float]
    trade_count: int
    frames: int
    page_error: str = ""


def replay(record: Union[str, "os.PathLike[str]", EpisodeRecord], *, video: Optional[str] = None,
           png_dir: Optional[str] = None, headed: bool = False, fps: float = 4.0,
           chromium: Optional[str] = None) -> ReplayResult:
    """Plays ``record`` on the page and checks it (see the module's docstring).

    ``video``: an MP4 (any format imageio-ffmpeg writes) of the page at ``fps``, one frame after the
    reset and one per step; ``png_dir``: the same frames as ``step-00000.png``, ...; ``headed``: the
    page in a window, one step every ``1 / fps`` seconds (raises ``DisplayNotFoundError`` without a
    display). Video and frames need the ``data`` extra.
    """
    if not isinstance(record, EpisodeRecord):
        record = EpisodeRecord.load(record)
    if headed and not display_name():
        raise DisplayNotFoundError("--headed needs a display, and DISPLAY and WAYLAND_DISPLAY are unset: run under "
                                   "`xvfb-run -a` to get a virtual one, or write a video (--video) instead")
    if fps <= 0:
        raise ValueError("fps must be > 0, got %r" % (fps,))
    sinks: List[Any] = []
    try:
        sinks = _frame_sinks(video, png_dir, fps)
        render_mode = "human" if headed else ("rgb_array" if sinks else None)
        env = replay_env(record, render_mode=render_mode, chromium=chromium)
        try:
            return _play(env, record, sinks, 1.0 / fps if headed else 0.0)
        finally:
            env.close()
    finally:
        for sink in sinks:
            sink.close()


def replay_env(record: EpisodeRecord, **overrides: Any) -> BrowserTradingEnv:
    """An environment with the record's settings and market (``overrides`` are further settings)."""
    s = dict(record.settings)
    scheme = scheme_from(s.pop("action_scheme"))
    s["viewport"] = tuple(s["viewport"])
    return BrowserTradingEnv(candles=record.load_market(), seed=record.seed, action_scheme=scheme,
                             **dict(s, **overrides))


def _play(env: BrowserTradingEnv, record: EpisodeRecord, sinks: List[Any], pause: float) -> ReplayResult:
    _, info = env.reset(options={"episode_type": record.episode_type, "episode_index": record.episode_index})
    if info["first_candle"] != record.first_candle:
        raise ReplayMismatch(0, "the episode starts at candle %d on the page, at %d in the record"
                             % (info["first_candle"], record.first_candle))
    frames = _emit(env, sinks, 0)
    total, ended, terminated, truncated = 0.0, False, False, False
    for t, (action, expected, page_error) in enumerate(zip(record.actions, record.rewards, record.page_errors), 1):
        if page_error:
            # The recorded page faulted here; the page now has nothing to compare with.
            return ReplayResult(t - 1, total, None, 0, frames, page_error)
        if ended:
            raise ReplayMismatch(t, "the page ended the episode at step %d, the record goes on to step %d"
                                 % (t - 1, record.steps))
        if pause:
            time.sleep(pause)
        _, reward, terminated, truncated, info = env.step(_action(env, action))
        if not math.isclose(reward, expected, rel_tol=TOLERANCE, abs_tol=TOLERANCE):
            raise ReplayMismatch(t, "reward %r on the page, %r in the record (action %r)" % (reward, expected, action))
        total += reward
        ended = terminated or truncated
        frames += _emit(env, sinks, t)
    if (terminated, truncated) != (record.terminated, record.truncated):
        raise ReplayMismatch(record.steps, "the page ended with terminated=%s truncated=%s, the record with %s, %s"
                             % (terminated, truncated, record.terminated, record.truncated))
    pnl, trades = info.get("pnl"), int(info.get("trade_count", 0))
    if record.pnl is not None and (trades != record.trade_count or not math.isclose(
            pnl, record.pnl, rel_tol=TOLERANCE, abs_tol=TOLERANCE)):
        raise ReplayMismatch(record.steps, "P&L %r over %d trades on the page, %r over %d in the record"
                             % (pnl, trades, record.pnl, record.trade_count))
    return ReplayResult(record.steps, total, pnl, trades, frames)


def _action(env: BrowserTradingEnv, action: Any) -> Any:
    """A recorded action as the space takes it (arrays were recorded as lists)."""
    if isinstance(action, list):
        return np.asarray(action, dtype=env.action_space.dtype)
    return action


def _emit(env: BrowserTradingEnv, sinks: List[Any], step: int) -> int:
    if not sinks:
        return 0
    # A headed page renders into its window; the picture of it is a screenshot all the same.
    frame = env.render() if env.render_mode == "rgb_array" else LOOP.run(env.session.screenshot())
    for sink in sinks:
        sink.write(step, frame)
    return 1


class _Video:
    def __init__(self, path: str, fps: float) -> None:
        imageio = require("imageio.v2", "writing a video")
        require("imageio_ffmpeg", "writing a video")
        self._writer = imageio.get_writer(path, fps=fps, ffmpeg_log_level="error")

    def write(self, step: int, frame: np.ndarray) -> None:
        self._writer.append_data(frame)

    def close(self) -> None:
        self._writer.close()


class _Pictures:
    def __init__(self, directory: str) -> None:
        self._imwrite: Callable[..., Any] = require("imageio.v3", "writing frames").imwrite
        self._directory = directory
        os.makedirs(directory, exist_ok=True)

    def write(self, step: int, frame: np.ndarray) -> None:
        self._imwrite(os.path.join(self._directory, "step-%05d.png" % step), frame)

    def close(self) -> None:
        pass


def _frame_sinks(video: Optional[str], png_dir: Optional[str], fps: float) -> List[Any]:
    sinks: List[Any] = []
    if png_dir:
        sinks.append(_Pictures(png_dir))
    if video:
        sinks.append(_Video(video, fps))
    return sinks
