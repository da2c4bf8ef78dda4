"""Market data: candles read from CSV, Parquet, ``.npy`` or a DataFrame, checked, and known by a hash.

    candles = py_engine_rust_gym.load_candles("prices.csv")   # (rows, 5) float64
    env = BrowserTradingEnv(candles="prices.parquet")          # or a DataFrame, or a list for make_vec

The columns ``open``, ``high``, ``low``, ``close`` and ``volume`` are found
by name in any case (other columns, a time column or a time index, are
ignored). Every row is checked before anything goes to a page: a bad value
raises ``ValueError`` naming the row and the column. A ``Market`` keeps the
checked array with its identity, the SHA-256 of its values and the file it
was read from, which a record of an episode names its market by.

CSV and Parquet need pandas (and pyarrow for Parquet): the ``data`` extra,
``pip install "py_engine_rust[data]"``.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass
from typing import Any, Callable, Optional, Tuple

import numpy as np

COLUMNS = ("open", "high", "low", "close", "volume")
EXTRA_HINT = 'pip install "py_engine_rust[data]"'
CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.zip", ".csv.xz")
PARQUET_SUFFIXES = (".parquet", ".pq")


def require(module: str, purpose: str) -> Any:
    """Imports an optional dependency of the ``data`` extra, or says how to install it."""
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError("%s needs %s, which is not installed: %s" % (purpose, module, EXTRA_HINT)) from exc


@dataclass(frozen=True)
class Market:
    """Checked candles (C-ordered float64, 5 columns) and what identifies them: ``sha256`` of the
    values and ``path``, the absolute path of the file they were read from (``None`` otherwise)."""

    candles: np.ndarray
    sha256: str
    path: Optional[str] = None

    @classmethod
    def of(cls, candles: np.ndarray, path: Optional[str] = None) -> "Market":
        # A copy of its own, read-only, so that the hash stays true to the values.
        array = np.array(candles, dtype=np.float64, order="C", copy=True)
        array.flags.writeable = False
        return cls(array, candle_hash(array), path)

    @property
    def rows(self) -> int:
        return int(self.candles.shape[0])

    def identity(self) -> dict:
        return {"sha256": self.sha256, "path": self.path, "rows": self.rows}


def candle_hash(candles: np.ndarray) -> str:
    """SHA-256 of the candles' shape and float64 values: the same market read from CSV, Parquet or
    an array gets the same hash."""
    array = np.ascontiguousarray(candles, dtype=np.float64)
    digest = hashlib.sha256(("%dx%d:" % array.shape).encode())
    digest.update(array.tobytes())
    return digest.hexdigest()


def is_path(value: Any) -> bool:
    return isinstance(value, (str, os.PathLike))


def is_frame(value: Any) -> bool:
    """Whether ``value`` is a pandas DataFrame (without importing pandas for the test)."""
    return type(value).__name__ == "DataFrame" and hasattr(value, "columns") and hasattr(value, "iloc")


def load_candles(path: "str | os.PathLike[str]") -> np.ndarray:
    """The checked (rows, 5) float64 candles of a CSV, Parquet or ``.npy`` file."""
    return read_market(path).candles


def read_market(source: Any) -> Market:
    """A ``Market`` from a path, a DataFrame, an array or a ``Market``; raises ``ValueError`` for bad data."""
    if isinstance(source, Market):
        return source
    if is_path(source):
        path = os.path.abspath(os.fspath(source))
        return Market.of(_read_file(path), path)
    if is_frame(source):
        return Market.of(frame_candles(source, "the DataFrame"))
    return Market.of(_checked_array(source, "candles"))


def _read_file(path: str) -> np.ndarray:
    if not os.path.isfile(path):
        raise FileNotFoundError("no candle file at %s" % path)
    name = path.lower()
    if name.endswith(".npy"):
        return _checked_array(np.load(path, allow_pickle=False), path)
    if name.endswith(CSV_SUFFIXES):
        pandas = require("pandas", "reading CSV candles")
        return frame_candles(pandas.read_csv(path), path, header_lines=1)
    if name.endswith(PARQUET_SUFFIXES):
        pandas = require("pandas", "reading Parquet candles")
        require("pyarrow", "reading Parquet candles")
        return frame_candles(pandas.read_parquet(path), path)
    raise ValueError("%s: not a candle file this package reads (.csv, .parquet, .pq or .npy)" % path)


def _checked_array(values: Any, source: str) -> np.ndarray:
    array = np.asarray(values, dtype=np.float64)
    if array.ndim != 2 or array.shape[1] != 5:
        raise ValueError("%s must have 5 columns (open, high, low, close, volume), got shape %s"
                         % (source, array.shape))
    check_candles(array, source)
    return array


def frame_candles(frame: Any, source: str, header_lines: int = 0) -> np.ndarray:
    """The five columns of a DataFrame, found by name in any case, as checked float64 candles.

    ``header_lines`` (1 for a CSV file) makes the messages give the file's line as well as the row.
    """
    names = {str(name).strip().lower(): name for name in frame.columns}
    missing = [name for name in COLUMNS if name not in names]
    if missing:
        raise ValueError("%s: no column %s (columns found: %s)"
                         % (source, ", ".join(repr(m) for m in missing), ", ".join(str(c) for c in frame.columns)))
    pandas = require("pandas", "reading DataFrame candles")
    array = np.empty((len(frame), 5), dtype=np.float64)
    for j, name in enumerate(COLUMNS):
        column = frame[names[name]]
        numbers = pandas.to_numeric(column, errors="coerce")
        bad = np.flatnonzero(numbers.isna().to_numpy() & column.notna().to_numpy())
        if len(bad):
            row = int(bad[0])
            raise ValueError("%s: row %d%s, column %r: %r is not a number"
                             % (source, row, _where(frame, row, header_lines), name, column.iloc[row]))
        array[:, j] = numbers.to_numpy(dtype=np.float64, na_value=np.nan)
    check_candles(array, source, lambda row: _where(frame, row, header_lines))
    return array


def _where(frame: Any, row: int, header_lines: int) -> str:
    """Where row ``row`` is to a reader: the file's line, or the frame's own index label."""
    if header_lines:
        return " (line %d)" % (row + 1 + header_lines)
    index = frame.index
    if type(index).__name__ == "RangeIndex":
        return ""
    return " (%s %s)" % (index.name or "index", index[row])


def check_candles(candles: np.ndarray, source: str, where: Optional[Callable[[int], str]] = None) -> None:
    """Raises ``ValueError`` naming the first bad row and its column: a value that is not finite, a
    price of 0 or below, a negative volume, high below low, open or close outside [low, high].
    ``where(row)`` may say more about the row (a file's line)."""
    a = np.asarray(candles, dtype=np.float64)
    o, h, l, c, v = a.T
    with np.errstate(invalid="ignore"):
        cases = (
            (~np.isfinite(a), "{value!r} is not a finite number"),
            (_columns((0, 1, 2, 3), a[:, :4] <= 0), "price {value!r} is 0 or below"),
            (_columns((4,), v < 0), "volume {value!r} is below 0"),
            (_columns((1,), h < l), "high {high!r} is below low {low!r}"),
            (_columns((0,), (o < l) | (o > h)), "open {open!r} is outside [low {low!r}, high {high!r}]"),
            (_columns((3,), (c < l) | (c > h)), "close {close!r} is outside [low {low!r}, high {high!r}]"),
        )
    for mask, text in cases:
        bad = np.argwhere(mask)
        if len(bad):
            row, col = int(bad[0][0]), int(bad[0][1])
            values = dict(zip(COLUMNS, a[row].tolist()))
            raise ValueError("%s: row %d%s, column %r: %s" % (
                source, row, where(row) if where is not None else "", COLUMNS[col],
                text.format(value=values[COLUMNS[col]], **values)))


def _columns(columns: Tuple[int, ...], mask: np.ndarray) -> np.ndarray:
    """A (rows, 5) mask that is ``mask`` in ``columns`` and False elsewhere."""
    out = np.zeros((len(mask), 5), dtype=np.bool_)
    out[:, list(columns)] = mask.reshape(len(mask), -1)
    return out
