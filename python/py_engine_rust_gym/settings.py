"""Every option of an environment, with its default, in one place.

``BrowserTradingEnv(**kwargs)``, ``make_vec(n, **kwargs)``, the Ray workers
and the RLlib creator all build an ``EnvSettings`` from their keyword
arguments; nothing else repeats a default.
"""

from __future__ import annotations

import dataclasses
import inspect
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple, Union

import numpy as np

from .actions import ActionScheme, integral_units, make_scheme
from .candles import synthetic_candles
from .data import Market, read_market
from .observations import ObservationBuilder

SYNC_POLICIES = ("deferred", "eager")
RENDER_MODES = ("rgb_array", "human")
#: Slots of synthetic candles when none are given: 24 training and 8 test episodes by default.
DEFAULT_SLOTS = 32


@dataclass
class EnvSettings:
    """The settings of one environment (each field is a keyword argument of ``BrowserTradingEnv``).

    ``candles``: an array of 5 columns (open, high, low, close, volume), a
    pandas DataFrame, the path of a CSV, Parquet or ``.npy`` file (``data``),
    a number of synthetic rows, or ``None`` for enough synthetic rows for 32
    episodes; the checked array ends up here and its identity in ``market``.
    ``record_dir``: write every episode that ends there (``records``).
    ``units``: the trade size, a whole number (``10`` or ``10.0``).
    ``step_timeout``: seconds a page may take to answer a step before its
    episode ends with ``page_error``. ``episode_slot`` and ``episode_slots``:
    this page's share of the episodes when several pages train together
    (``make_vec``, Ray, RLlib set them).
    """

    candles: Union[None, int, np.ndarray, str, "os.PathLike[str]", "pandas.DataFrame", Market] = None
    episode_length: int = 50
    window: int = 20
    balance: float = 10000.0
    test_fraction: float = 0.25
    seed: int = 7
    sync: str = "deferred"
    action_scheme: Union[str, ActionScheme] = "trade"
    units: Union[int, float] = 10
    observation: str = "features"
    render_mode: Optional[str] = None
    chromium: Optional[str] = None
    ui_url: Optional[str] = None
    connect_timeout: float = 30.0
    step_timeout: float = 10.0
    viewport: Tuple[int, int] = (1200, 800)
    end_session: bool = True
    episode_slot: int = 0
    episode_slots: int = 1
    record_dir: Optional[str] = None
    scheme: ActionScheme = field(init=False, repr=False, compare=False)
    #: The candles with their identity (hash, file); ``replace`` keeps it without reading them again.
    market: Market = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if self.render_mode is not None and self.render_mode not in RENDER_MODES:
            raise ValueError("render_mode must be None, 'rgb_array' or 'human', got %r" % (self.render_mode,))
        if self.sync not in SYNC_POLICIES:
            raise ValueError("sync must be 'deferred' or 'eager', got %r" % (self.sync,))
        self.episode_length, self.window = int(self.episode_length), int(self.window)
        if self.episode_length < 1 or self.window < 1:
            raise ValueError("episode_length and window must be at least 1")
        if not 0 <= self.test_fraction < 1:
            raise ValueError("test_fraction must lie in [0, 1), got %r" % (self.test_fraction,))
        if not self.balance > 0:
            raise ValueError("balance must be > 0, got %r" % (self.balance,))
        for name in ("connect_timeout", "step_timeout"):
            value = float(getattr(self, name))
            if not value > 0:
                raise ValueError("%s must be > 0 seconds, got %r" % (name, getattr(self, name)))
            setattr(self, name, value)
        self.units = integral_units(self.units)
        if not 0 <= int(self.episode_slot) < int(self.episode_slots):
            raise ValueError("episode_slot must lie in [0, episode_slots), got %r of %r"
                             % (self.episode_slot, self.episode_slots))
        self.episode_slot, self.episode_slots = int(self.episode_slot), int(self.episode_slots)
        self.seed = int(self.seed)
        self.viewport = (int(self.viewport[0]), int(self.viewport[1]))
        ObservationBuilder.check_kind(self.observation)
        self.scheme = make_scheme(self.action_scheme, self.units)
        self.market = make_market(self.candles, self.window, self.episode_length, self.seed)
        self.candles = self.market.candles
        if self.record_dir is not None:
            self.record_dir = os.path.abspath(os.fspath(self.record_dir))

    def replace(self, **changes: Any) -> "EnvSettings":
        """A copy with some fields changed (the candles are not made again)."""
        changes.setdefault("candles", self.market)
        return dataclasses.replace(self, **changes)

    @property
    def query(self) -> Dict[str, str]:
        """The page's query string (ui/README.md)."""
        return {"episode_length": str(self.episode_length), "window": str(self.window),
                "balance": repr(float(self.balance)), "test_fraction": repr(float(self.test_fraction)),
                "seed": str(self.seed), "sync": self.sync}

    @classmethod
    def of(cls, settings: Optional["EnvSettings"] = None, **kwargs: Any) -> "EnvSettings":
        """``settings`` with ``kwargs`` applied, or new settings from ``kwargs``."""
        unknown = sorted(set(kwargs) - set(FIELDS))
        if unknown:
            raise TypeError("unknown keyword argument%s: %s (known: %s)"
                            % ("s" if len(unknown) > 1 else "", ", ".join(unknown), ", ".join(FIELDS)))
        if settings is None:
            return cls(**kwargs)
        return settings.replace(**kwargs) if kwargs else settings


FIELDS = tuple(f.name for f in dataclasses.fields(EnvSettings) if f.init)


def keyword_signature(*leading: inspect.Parameter) -> inspect.Signature:
    """The signature that ``help()`` shows for a method taking ``**kwargs`` of ``EnvSettings``."""
    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD), *leading]
    for f in dataclasses.fields(EnvSettings):
        if f.init:
            params.append(inspect.Parameter(f.name, inspect.Parameter.KEYWORD_ONLY, default=f.default,
                                            annotation=f.type))
    return inspect.Signature(params)


def make_market(candles: Any, window: int, episode_length: int, seed: int) -> Market:
    """The market a page gets: candles as given (an array, a DataFrame, a file; checked), or ``rows``
    (default enough for 32 episodes) synthetic ones. Too few rows for one episode raise here, before
    any page is opened."""
    if candles is None:
        candles = window + episode_length * DEFAULT_SLOTS
    if isinstance(candles, (int, np.integer)) and not isinstance(candles, bool):
        market = Market.of(synthetic_candles(int(candles), seed=seed))
    else:
        market = read_market(candles)
    if market.rows < window + episode_length:
        raise ValueError("%d candles%s are too few: an episode needs window + episode_length = %d"
                         % (market.rows, " in %s" % market.path if market.path else "", window + episode_length))
    return market
