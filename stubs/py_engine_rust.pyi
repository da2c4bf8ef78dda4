"""Type information for the py_engine_rust extension module."""

from collections.abc import Awaitable, Iterable
from typing import List, Literal, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__all__ = [
    "RustEngineAsync",
    "decode_vec_f64_py",
    "decode_mat_f64_py",
    "decode_close_step_py",
    "decode_vec_mat_f64_py",
    "encode_vec_f64_py",
    "encode_mat_f64_py",
    "encode_close_step_py",
]

F64Array = npt.NDArray[np.float64]
I32Array = npt.NDArray[np.int32]
_Floatish = Union[float, int]
_Seq = npt.ArrayLike

class RustEngineAsync:
    def __new__(cls, host: str, port: int, start_seq: Optional[int] = None) -> "RustEngineAsync": ...
    def start(self) -> Awaitable[None]: ...
    def wait_connected(self, timeout_secs: Optional[float] = None) -> Awaitable[None]: ...
    def init_candles(self, ohlc5: F64Array, timeout_secs: Optional[float] = None) -> Awaitable[None]: ...
    def reset_episode(
        self, episode_index: int, episode_type: str, timeout_secs: Optional[float] = None
    ) -> Awaitable[int]:
        """Reset to a specific episode by index.
        Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"""
    def get_rl_config(self, timeout_secs: Optional[float] = None) -> Awaitable[str]:
        """Get RL config from UI (seed, episode counts, etc.). Returns JSON string."""
    def step_next(self, timeout_secs: Optional[float] = None) -> Awaitable[None]: ...
    def step_and_sync(self, timeout_secs: Optional[float] = None) -> Awaitable[Tuple[F64Array, F64Array]]: ...
    def get_snapshot(self, timeout_secs: Optional[float] = None) -> Awaitable[F64Array]: ...
    def get_ticket_list(self, timeout_secs: Optional[float] = None) -> Awaitable[F64Array]: ...
    def get_ohlc(self, timeout_secs: Optional[float] = None) -> Awaitable[F64Array]: ...
    def fetch_events(self, timeout_secs: Optional[float] = None) -> Awaitable[F64Array]: ...
    def end_session(self, timeout_secs: Optional[float] = None) -> Awaitable[F64Array]: ...
    def get_sync_policy(
        self, timeout_secs: Optional[float] = None
    ) -> Awaitable[Optional[Literal["deferred", "eager"]]]: ...
    def close_positions(
        self, position_ids: _Seq, actions: _Seq, ratios: _Seq, timeout_secs: Optional[float] = None
    ) -> Awaitable[F64Array]: ...
    def place_order(
        self,
        side: str,
        order_type: str,
        price: _Floatish,
        units: int,
        take_profit: Optional[_Floatish] = None,
        stop_loss: Optional[_Floatish] = None,
        trailing_stop: Optional[_Floatish] = None,
        time_limit: Optional[_Floatish] = None,
        timeout_secs: Optional[float] = None,
    ) -> Awaitable[F64Array]: ...
    def place_ticket(
        self,
        side: str,
        units: int,
        take_profit: Optional[_Floatish] = None,
        stop_loss: Optional[_Floatish] = None,
        trailing_stop: Optional[_Floatish] = None,
        timeout_secs: Optional[float] = None,
    ) -> Awaitable[F64Array]: ...
    def close(self) -> Awaitable[None]:
        """Stop serving: close the listeners (their ports can be bound again once this completes), drop
        the connection and fail the calls in flight; every later call fails with "engine closed"."""
    @property
    def port(self) -> Optional[int]:
        """The port the latest successful start() bound (the one the system chose for port 0); None before."""

class EngineGroup:
    """Engines stepped together, one row each. A module attribute, not in __all__."""

    def __new__(cls, engines: Iterable[RustEngineAsync]) -> "EngineGroup": ...
    def __len__(self) -> int: ...
    def step_and_sync(
        self, timeout_secs: Optional[float] = None, *, out: Optional[Tuple[F64Array, F64Array]] = None
    ) -> Awaitable[Tuple[F64Array, F64Array, Tuple[Optional[Exception], ...]]]:
        """step_and_sync of every engine at once: an awaitable of (snapshots, windows, errors), the
        snapshots stacked as (N, S), the windows as (N, W, C), and errors[i] None or the exception
        engine i's own step_and_sync would have raised; a failed row is NaN. out=(snapshots, windows)
        gives the arrays to fill (float64, C-contiguous, N rows each)."""
    @property
    def engines(self) -> Tuple[RustEngineAsync, ...]:
        """The engines, in row order."""

def decode_vec_f64_py(payload: bytes) -> F64Array:
    """Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"""
def decode_mat_f64_py(payload: bytes) -> F64Array:
    """Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"""
def decode_close_step_py(payload: bytes) -> Tuple[I32Array, I32Array, F64Array]:
    """Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."""
def decode_vec_mat_f64_py(payload: bytes) -> Tuple[F64Array, F64Array]:
    """Decode VecF64 + MatF64 payload into (vec, mat)."""
def encode_vec_f64_py(arr: F64Array) -> List[int]: ...
def encode_mat_f64_py(mat: F64Array) -> List[int]: ...
def encode_close_step_py(flags: I32Array, actions: I32Array, ratios: F64Array) -> List[int]: ...
