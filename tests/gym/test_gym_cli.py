"""The command line: replay into a video and frames, a window or no display, the report, the doctor."""

from __future__ import annotations

import os
import subprocess
import sys

import numpy as np
import pytest

import py_engine_rust_gym
from py_engine_rust_gym.records import load_records

from gymhelpers import SMALL

LENGTH = SMALL["episode_length"]


def cli(*args, env=None, timeout=180):
    return subprocess.run([sys.executable, "-m", "py_engine_rust_gym", *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL, env=env)


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """Two recorded episodes of a policy that trades both ways (so the report has trades to mark)."""
    directory = tmp_path_factory.mktemp("records")
    env = py_engine_rust_gym.BrowserTradingEnv(**dict(SMALL, record_dir=str(directory)))
    try:
        for episode in (0, 3):
            env.reset(options={"episode_index": episode})
            for t in range(LENGTH):
                env.step([1, 0, 2, 3][t % 4])
    finally:
        env.close()
    return load_records([directory])


def not_blank(image):
    """Many colours, and more than a sliver of the picture away from its most common one."""
    pixels = np.asarray(image)[:, :, :3].reshape(-1, 3)
    colours, counts = np.unique(pixels, axis=0, return_counts=True)
    return len(colours) > 50 and counts.max() < 0.9 * len(pixels)


def test_replay_writes_a_video_and_one_frame_per_step(recorded, tmp_path):
    imageio = pytest.importorskip("imageio.v2", reason="the data extra is not installed")
    image = pytest.importorskip("PIL.Image", reason="the data extra is not installed")
    video, frames = tmp_path / "episode.mp4", tmp_path / "frames"
    run = cli("replay", recorded[0].path, "--video", video, "--png", frames, "--fps", 8)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "replayed %d steps: every reward matches the record" % LENGTH in run.stdout
    width, height = py_engine_rust_gym.EnvSettings.viewport
    reader = imageio.get_reader(str(video))
    try:
        first = reader.get_data(0)
        assert reader.count_frames() == LENGTH + 1 and reader.get_meta_data()["fps"] == 8
    finally:
        reader.close()
    assert first.shape == (height, width, 3) and not_blank(first)
    names = sorted(os.listdir(frames))
    assert names == ["step-%05d.png" % t for t in range(LENGTH + 1)]
    for name in (names[0], names[-1]):
        with image.open(frames / name) as picture:
            assert picture.size == (width, height) and not_blank(picture.convert("RGB"))


def test_the_report_draws_every_episode(recorded, tmp_path):
    pytest.importorskip("matplotlib", reason="the data extra is not installed")
    image = pytest.importorskip("PIL.Image", reason="the data extra is not installed")
    out = tmp_path / "report.png"
    run = cli("report", os.path.dirname(recorded[0].path), "--out", out)
    assert run.returncode == 0, run.stdout + run.stderr
    with image.open(out) as picture:
        # 12 inches at 100 dots each; as tall as the charts and a table of the episodes need.
        assert picture.size[0] == 1200 and picture.size[1] > 800 and not_blank(picture.convert("RGB"))
    rows = py_engine_rust_gym.report(recorded, tmp_path / "again.png")
    pnl = np.concatenate([np.array(r.trades)[:, r.summary_columns.index("pnl")] for r in recorded])
    total = rows[-1]
    assert [(row.steps, row.trades) for row in rows[:-1]] == [(r.steps, r.trade_count) for r in recorded]
    assert total.pnl == pytest.approx(sum(r.pnl for r in recorded)) and total.trades == len(pnl)
    assert total.win_rate == pytest.approx(np.mean(pnl > 0))
    assert total.return_ == pytest.approx(sum(sum(r.rewards) for r in recorded) / recorded[0].settings["balance"])
    assert "%d episodes, return %+.2f%%" % (len(recorded), 100 * total.return_) in run.stdout


def test_a_headed_replay_without_a_display_says_how_to_get_one(recorded, monkeypatch):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    run = cli("replay", recorded[0].path, "--headed", env=env)
    assert run.returncode == 2 and "--headed needs a display" in run.stderr and "xvfb-run" in run.stderr
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    with pytest.raises(py_engine_rust_gym.DisplayNotFoundError, match="xvfb-run"):
        py_engine_rust_gym.replay(recorded[0].path, headed=True)


def test_a_headed_replay_shows_the_page_in_a_window(recorded, display):
    run = cli("replay", recorded[1].path, "--headed", "--fps", 20)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "replayed %d steps" % LENGTH in run.stdout


@pytest.mark.parametrize("chromium", [None, "/nonexistent/chromium"], ids=["system", "wrong-path"])
def test_the_doctor(chromium):
    without_display = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    run = cli("doctor", *(["--chromium", chromium] if chromium else []), env=without_display)
    out = run.stdout.splitlines()
    lines = {line.split()[1]: n for n, line in enumerate(out) if line[:4].strip() in ("ok", "FAIL", "note", "skip")}
    for name in ("py_engine_rust", "numpy", "playwright", "loopback"):
        assert out[lines[name]].startswith("ok "), run.stdout
    assert out[lines["display"]].startswith("note") and "xvfb-run" in out[lines["display"] + 1]
    if chromium is None:
        assert run.returncode == 0, run.stdout + run.stderr
        assert out[lines["chromium"]].startswith("ok ") and "Chromium" in out[lines["chromium"]]
        assert out[lines["page"]].startswith("ok ") and "200 steps at" in out[lines["page"]]
        assert out[-1] == "all checks passed"
    else:
        assert run.returncode == 1
        assert out[lines["chromium"]].startswith("FAIL") and "not found at '%s'" % chromium in out[lines["chromium"]]
        fix = out[lines["chromium"] + 1]
        assert "fix: apt-get install chromium" in fix and "--chromium /path/to/chromium" in fix
        assert out[lines["page"]].startswith("skip") and out[-1] == "failed: chromium"
