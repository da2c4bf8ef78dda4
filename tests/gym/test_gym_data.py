"""Candles from files and DataFrames: every format gives the same checked market, and bad data is named
by row and column before any page is opened."""

from __future__ import annotations

import gc
import math
import os
import sys

import numpy as np
import pytest

import py_engine_rust_gym
from py_engine_rust_gym._browser import POOL
from py_engine_rust_gym.data import candle_hash

from gymhelpers import SMALL, browser_processes

ROWS = SMALL["candles"]


@pytest.fixture
def candles():
    return py_engine_rust_gym.synthetic_candles(ROWS, seed=11)


def frame_of(candles, pandas):
    """The candles as a researcher's DataFrame: odd-case names, a time index, a column of its own."""
    frame = pandas.DataFrame(candles, columns=["Open", "HIGH", "low", "Close", "VOLUME"],
                             index=pandas.date_range("2024-03-01", periods=len(candles), freq="min", name="time"))
    frame["Symbol"] = "XYZ"
    return frame[["Symbol", "VOLUME", "Close", "low", "HIGH", "Open"]]


def write(candles, directory, kind):
    """``candles`` saved as a ``kind`` file (or a DataFrame), and the source to give the environment."""
    if kind == "npy":
        path = os.path.join(directory, "market.npy")
        np.save(path, candles)
        return path
    pandas = pytest.importorskip("pandas", reason="the data extra is not installed")
    frame = frame_of(candles, pandas)
    if kind == "frame":
        return frame
    if kind == "csv":
        path = os.path.join(directory, "market.csv")
        frame.to_csv(path)
    else:
        pytest.importorskip("pyarrow", reason="the data extra is not installed")
        path = os.path.join(directory, "market.parquet")
        frame.to_parquet(path)
    return path


@pytest.mark.parametrize("kind", ["csv", "parquet", "frame", "npy"])
def test_every_format_gives_the_same_market(tmp_path, candles, kind):
    source = write(candles, str(tmp_path), kind)
    market = py_engine_rust_gym.data.read_market(source)
    np.testing.assert_array_equal(market.candles, candles)
    assert market.candles.dtype == np.float64 and market.candles.flags.c_contiguous
    assert market.sha256 == candle_hash(candles)
    assert market.path == (None if kind == "frame" else os.path.abspath(source))
    if kind != "frame":
        np.testing.assert_array_equal(py_engine_rust_gym.load_candles(source), candles)


def test_an_environment_trades_the_candles_of_a_file(tmp_path, candles, make_env):
    path = write(candles, str(tmp_path), "csv")
    env = make_env(candles=path)
    assert env.config["candles"] == ROWS and env.settings.market.path == path
    _, info = env.reset(options={"episode_index": 1})
    assert info["price"] == candles[info["first_candle"], 3]


def test_make_vec_gives_each_page_a_market_file_of_its_own(tmp_path, make_vec):
    lengths = [ROWS, ROWS + SMALL["episode_length"] * 2]
    markets = [py_engine_rust_gym.synthetic_candles(rows, seed=rows) for rows in lengths]
    paths = [write(markets[0], str(tmp_path), "csv"), write(markets[1], str(tmp_path), "parquet")]
    envs = make_vec(3, candles=paths)
    assert [config["candles"] for config in envs.get_attr("config")] == [lengths[0], lengths[1], lengths[0]]
    assert [env.settings.market.path for env in envs.envs] == [paths[0], paths[1], paths[0]]
    _, info = envs.reset(options={"episode_index": 0})
    assert list(info["price"]) == [markets[i % 2][info["first_candle"][i], 3] for i in range(3)]


def spoil(candles, row, column, how):
    """A copy of ``candles`` with one value spoiled, and what its error must say about it."""
    bad = candles.copy()
    j = py_engine_rust_gym.data.COLUMNS.index(column)
    bad[row, j] = {"nan": math.nan, "inf": math.inf, "zero": 0.0, "negative": -1.0,
                   "under low": bad[row, 2] - 1.0, "over high": bad[row, 1] + 1.0}[how]
    _, high, low, _, _ = bad[row].tolist()
    value = bad[row, j].item()
    if how in ("nan", "inf"):
        return bad, "%r is not a finite number" % value
    if how in ("zero", "negative"):
        return bad, ("volume %r is below 0" if column == "volume" else "price %r is 0 or below") % value
    if column == "high":
        return bad, "high %r is below low %r" % (value, low)
    return bad, "%s %r is outside [low %r, high %r]" % (column, value, low, high)


BAD = [(3, "open", "nan"), (4, "close", "inf"), (5, "low", "zero"), (6, "high", "negative"),
       (7, "volume", "negative"), (8, "high", "under low"), (9, "open", "over high"), (10, "close", "under low")]


@pytest.mark.parametrize("kind", ["array", "csv", "frame"])
@pytest.mark.parametrize("row,column,how", BAD, ids=["%s-%s" % (c, h) for _, c, h in BAD])
def test_bad_data_names_its_row_and_column(tmp_path, candles, kind, row, column, how):
    bad, text = spoil(candles, row, column, how)
    source = bad if kind == "array" else write(bad, str(tmp_path), kind)
    if kind == "frame":
        where = " (time %s)" % source.index[row]
    else:
        where = " (line %d)" % (row + 2) if kind == "csv" else ""
    with pytest.raises(ValueError) as raised:
        py_engine_rust_gym.BrowserTradingEnv(**dict(SMALL, candles=source))
    assert "row %d%s, column %r: %s" % (row, where, column, text) in str(raised.value)
    # Nothing was sent anywhere: no browser was started for it.
    assert POOL.browser_count() == 0 and not browser_processes(os.getpid())


@pytest.mark.parametrize("content,text", [
    ("time,open,high,low,close\n1,1,1,1,1\n", "no column 'volume' (columns found: time, open, high, low, close)"),
    ("open,high,low,close,volume\n1,2,0.5,1,10\n1,two,0.5,1,10\n",
     "row 1 (line 3), column 'high': 'two' is not a number"),
])
def test_a_csv_without_a_column_or_with_text_for_a_number(tmp_path, content, text):
    pytest.importorskip("pandas", reason="the data extra is not installed")
    path = tmp_path / "bad.csv"
    path.write_text(content)
    with pytest.raises(ValueError, match=r"bad\.csv: " + text.replace("(", r"\(").replace(")", r"\)")):
        py_engine_rust_gym.load_candles(path)


@pytest.mark.parametrize("name,error,text", [
    ("market.xlsx", ValueError, "not a candle file this package reads"),
    ("missing.csv", FileNotFoundError, "no candle file at"),
])
def test_files_that_cannot_be_read(tmp_path, name, error, text):
    if name.endswith(".xlsx"):
        (tmp_path / name).write_bytes(b"PK")
    with pytest.raises(error, match=text):
        py_engine_rust_gym.load_candles(tmp_path / name)


def test_make_vec_refuses_a_bad_market_of_its_list_before_any_page(candles, monkeypatch):
    bad, text = spoil(candles, 2, "low", "nan")
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with pytest.raises(ValueError, match=r"row 2, column 'low': nan is not a finite number"):
        py_engine_rust_gym.make_vec(2, **dict(SMALL, candles=[candles, bad]))
    gc.collect()  # the half-made vector environment is collected without an error of its own
    assert unraisable == [] and POOL.browser_count() == 0


def test_too_few_candles_for_an_episode_fail_before_any_page(candles):
    rows = SMALL["window"] + SMALL["episode_length"] - 1
    with pytest.raises(ValueError, match="%d candles are too few: an episode needs window \\+ episode_length = %d"
                       % (rows, rows + 1)):
        py_engine_rust_gym.BrowserTradingEnv(**dict(SMALL, candles=candles[:rows]))
    assert POOL.browser_count() == 0


def test_without_the_data_extra_the_error_says_how_to_install_it(tmp_path, candles, monkeypatch):
    path = tmp_path / "market.csv"
    path.write_text("open,high,low,close,volume\n")
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError
    with pytest.raises(ImportError, match=r'reading CSV candles needs pandas.*pip install "py_engine_rust\[data\]"'):
        py_engine_rust_gym.load_candles(path)


def test_the_market_keeps_its_file_through_the_settings_copies(tmp_path, candles):
    path = write(candles, str(tmp_path), "npy")
    settings = py_engine_rust_gym.EnvSettings(**dict(SMALL, candles=path))
    copies = [settings.replace(episode_slot=1, episode_slots=2),
              py_engine_rust_gym.vector.page_settings(2, settings, {})[1]]
    assert all(copy.market is settings.market and copy.market.path == path for copy in copies)
    # The market's own copy is read-only, and the caller's array is left as it was.
    assert not settings.candles.flags.writeable
    source = candles.copy()
    py_engine_rust_gym.EnvSettings(**dict(SMALL, candles=source))
    assert source.flags.writeable
