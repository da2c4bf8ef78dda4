"""Synthetic candles for the page when the caller brings none."""

from __future__ import annotations

import numpy as np


def synthetic_candles(rows: int, seed: int = 7, start: float = 100.0) -> np.ndarray:
    """Random-walk candles with trending regimes: columns open, high, low, close, volume.

    The same ``rows`` and ``seed`` always give the same array. Every row
    satisfies the page's checks: finite, prices > 0, volume >= 0 and
    ``low <= min(open, close) <= max(open, close) <= high``.
    """
    if rows < 1:
        raise ValueError("rows must be at least 1, got %d" % rows)
    rng = np.random.default_rng(seed)
    drift = np.repeat(rng.normal(0.0, 0.0015, rows // 25 + 1), 25)[:rows]
    closes = start * np.exp(np.cumsum(drift + rng.normal(0.0, 0.004, rows)))
    opens = np.concatenate(([start], closes[:-1])) * (1 + rng.normal(0.0, 0.0005, rows))
    wick = np.abs(rng.normal(0.0, 0.002, (rows, 2)))
    highs = np.maximum(opens, closes) * (1 + wick[:, 0])
    lows = np.minimum(opens, closes) * (1 - wick[:, 1])
    volume = rng.gamma(4.0, 250.0, rows)
    return np.column_stack([opens, highs, lows, closes, volume])
