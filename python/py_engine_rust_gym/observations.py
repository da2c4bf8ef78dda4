"""Observation spaces built from the page's configuration, and the observations themselves.

Two kinds, chosen with ``observation=``:

- ``"features"`` (default): one float32 vector for a learning agent; candle
  prices as log ratios to the current close, volume against the window's
  mean, the account scaled by the initial balance and the trade size.
- ``"raw"``: the page's own arrays, unchanged, in a Dict space.

The columns are found by name in the configuration's ``snapshot_fields`` and
``window_columns``, so a page that orders them differently still works.
"""

from __future__ import annotations

from typing import Any, Dict, List, Sequence

import numpy as np
from gymnasium import spaces

OBSERVATION_KINDS = ("features", "raw")

#: Bounds of the snapshot fields in the raw observation; fields not named here are unbounded.
_SNAPSHOT_BOUNDS = {
    "price": (0.0, np.inf),
    "open_positions": (0.0, np.inf),
    "pending_orders": (0.0, np.inf),
    "closed_trades": (0.0, np.inf),
    "done": (0.0, 1.0),
}
_WINDOW_BOUNDS = {name: (0.0, np.inf) for name in ("open", "high", "low", "close", "volume")}

#: The account part of the feature vector, after the candles.
ACCOUNT_FEATURES = (
    "position",          # net_units / units: the net position in trade sizes
    "unrealized",        # unrealized_pnl / initial_balance
    "equity_change",     # equity / initial_balance - 1
    "progress",          # step / episode_length
    "open_positions",
    "pending_orders",
)
CANDLE_FEATURES = ("open", "high", "low", "close", "volume")


def _index(names: Sequence[str], wanted: Sequence[str], layout: str) -> List[int]:
    missing = [name for name in wanted if name not in names]
    if missing:
        raise ValueError("the page's %s has no %s (it has %s)" % (layout, ", ".join(missing), ", ".join(names)))
    return [list(names).index(name) for name in wanted]


class ObservationBuilder:
    """Makes ``space`` and, from a snapshot and a candle window, observations inside it."""

    @staticmethod
    def check_kind(kind: str) -> None:
        if kind not in OBSERVATION_KINDS:
            raise ValueError("observation must be one of %s, got %r" % (", ".join(OBSERVATION_KINDS), kind))

    def __init__(self, kind: str, config: Dict[str, Any], position_scale: float) -> None:
        self.check_kind(kind)
        self.kind = kind
        self.window = int(config["window"])
        self.episode_length = int(config["episode_length"])
        self.initial_balance = float(config["initial_balance"])
        self.position_scale = float(position_scale) if position_scale else 1.0
        snapshot_fields = list(config["snapshot_fields"])
        window_columns = list(config["window_columns"])
        last_candle = max(int(config["candles"]) - 1, 0)
        if kind == "raw":
            low = np.full(len(snapshot_fields), -np.inf)
            high = np.full(len(snapshot_fields), np.inf)
            for i, name in enumerate(snapshot_fields):
                low[i], high[i] = _SNAPSHOT_BOUNDS.get(name, (-np.inf, np.inf))
                if name == "step":
                    low[i], high[i] = 0.0, self.episode_length
                elif name == "candle_index":
                    low[i], high[i] = 0.0, last_candle
            wlow = np.full((self.window, len(window_columns)), -np.inf)
            whigh = np.full((self.window, len(window_columns)), np.inf)
            for j, name in enumerate(window_columns):
                bounds = (0.0, last_candle) if name == "candle_index" else _WINDOW_BOUNDS.get(name, (-np.inf, np.inf))
                wlow[:, j], whigh[:, j] = bounds
            self.space: spaces.Space = spaces.Dict({
                "snapshot": spaces.Box(low, high, dtype=np.float64),
                "window": spaces.Box(wlow, whigh, dtype=np.float64),
            })
            return
        self._candle_cols = _index(window_columns, CANDLE_FEATURES, "window_columns")
        first = self._candle_cols[0]
        # Open to close side by side, as the page sends them: a view instead of a gathered copy.
        self._price_cols: Any = (slice(first, first + 4) if self._candle_cols[:4] == list(range(first, first + 4))
                                 else self._candle_cols[:4])
        (self._price, self._net, self._unrealized, self._equity, self._step, self._open,
         self._pending) = _index(snapshot_fields, ("price", "net_units", "unrealized_pnl", "equity", "step",
                                                   "open_positions", "pending_orders"), "snapshot_fields")
        self._account = [self._net, self._unrealized, self._equity, self._step, self._open, self._pending]
        self._offsets = np.array([0.0, 0.0, self.initial_balance, 0.0, 0.0, 0.0])
        self._scales = np.array([1.0 / self.position_scale, 1.0 / self.initial_balance, 1.0 / self.initial_balance,
                                 1.0 / self.episode_length, 1.0, 1.0])
        size = self.window * len(CANDLE_FEATURES) + len(ACCOUNT_FEATURES)
        low = np.full(size, -np.inf, dtype=np.float32)
        high = np.full(size, np.inf, dtype=np.float32)
        account = self.window * len(CANDLE_FEATURES)
        low[account + 3], high[account + 3] = 0.0, 1.0
        low[account + 4:] = 0.0
        self.space = spaces.Box(low, high, dtype=np.float32)

    @property
    def names(self) -> List[str]:
        """What each entry of a feature vector is (oldest candle first)."""
        if self.kind == "raw":
            return ["snapshot", "window"]
        candles = ["%s[t-%d]" % (name, self.window - 1 - k) for k in range(self.window) for name in CANDLE_FEATURES]
        return candles + list(ACCOUNT_FEATURES)

    def build(self, snapshot: np.ndarray, window: np.ndarray) -> Any:
        """The observation of one page."""
        batch = self.build_batch(snapshot[None], window[None])
        if self.kind == "raw":
            return {key: value[0] for key, value in batch.items()}
        return batch[0]

    def empty_batch(self, rows: int) -> Any:
        if self.kind == "raw":
            return {"snapshot": np.empty((rows,) + self.space["snapshot"].shape),
                    "window": np.empty((rows,) + self.space["window"].shape)}
        return np.empty((rows,) + self.space.shape, dtype=np.float32)

    def build_batch(self, snapshots: np.ndarray, windows: np.ndarray, out: Any = None) -> Any:
        """The observations of many pages at once, from their snapshots (M, S) and windows (M, W, C),
        written into ``out`` (from ``empty_batch``) or new arrays."""
        if out is None:
            out = self.empty_batch(len(snapshots))
        if self.kind == "raw":
            out["snapshot"][...] = snapshots
            out["window"][...] = windows
            return out
        rows, window = len(snapshots), self.window
        price = snapshots[:, self._price][:, None, None]
        candles = out[:, :window * len(CANDLE_FEATURES)].reshape(rows, window, len(CANDLE_FEATURES))
        np.log(windows[:, :, self._price_cols] / price, out=candles[:, :, :4], casting="same_kind")
        volume = np.log1p(windows[:, :, self._candle_cols[4]])
        # sum / window rather than mean(): the same number, without mean()'s Python wrapper.
        volume -= np.add.reduce(volume, axis=1, keepdims=True) / window
        candles[:, :, 4] = volume
        # (field - offset) * scale for the six account features at once, in ACCOUNT_FEATURES' order.
        np.multiply(snapshots[:, self._account] - self._offsets, self._scales,
                    out=out[:, window * len(CANDLE_FEATURES):], casting="same_kind")
        return out
