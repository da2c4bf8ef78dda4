"""The engine a user would write in pure Python instead of using py_engine_rust.

Same wire protocol and the same methods as the module for the operations that the benchmarks
use (start, wait_connected, close, step_next, get_snapshot, get_ohlc, init_candles,
reset_episode, step_and_sync), written the way a careful asyncio programmer would:

- the `websockets` package serves the connection (its C speedups are used on CPython);
- the connection's handler task is the one reader per connection: it reads every message and
  completes the waiting caller's future, found by seq in a dict;
- every call has a timeout (a loop timer, cancelled when the response arrives);
- results come back through np.frombuffer (a read-only view on the received message, no copy);
  request payloads are built with ndarray.tobytes().

It is a baseline for comparison, not a drop-in replacement: it checks less than the module
(only what it needs to stay correct) and its errors are plain RuntimeErrors.
"""

import asyncio
import re
import struct

import numpy as np
from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved1, seq, fnId, reserved2, payloadLen
U32 = struct.Struct("<I")
MAT_HEADER = struct.Struct("<II")
HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}'
MAX_MESSAGE = 64 << 20
ORIGINS = [None, re.compile(r"https?://(127\.0\.0\.1|localhost)(:[0-9]+)?")]

REQUEST, RESPONSE, ERROR_RESPONSE, ECHO_REQUEST, ECHO_REPLY = 1, 2, 3, 4, 5
FN_STEP_NEXT, FN_GET_SNAPSHOT, FN_GET_OHLC, FN_INIT_CANDLES = 2, 12, 15, 100
FN_RESET_EPISODE, FN_STEP_AND_SYNC = 101, 130
RESET = struct.Struct("<IB")


class BaselineEngine:
    def __init__(self, host, port, start_seq=None):
        self._host = host
        self._port = port
        self._start_seq = 1 if start_seq is None else int(start_seq)
        self._seq = self._start_seq
        self._conn = None
        self._pending = {}  # seq -> (future, fnId, timer handle)
        self._connected = None
        self._server = None
        self._loop = None

    # -- lifecycle ---------------------------------------------------------------------------

    async def start(self):
        self._loop = asyncio.get_running_loop()
        self._connected = asyncio.Event()
        self._server = await serve(
            self._serve_connection,
            self._host,
            self._port,
            origins=ORIGINS,
            compression=None,
            max_size=MAX_MESSAGE,
            ping_interval=None,
        )

    async def close(self):
        self._server.close()
        if self._conn is not None:
            self._conn.transport.abort()
        await self._server.wait_closed()

    async def wait_connected(self, timeout_secs=None):
        if self._conn is not None:
            return None
        if timeout_secs is None:
            await self._connected.wait()
        else:
            await asyncio.wait_for(self._connected.wait(), timeout_secs)
        return None

    async def _serve_connection(self, conn):
        await conn.send(HANDSHAKE)
        old = self._conn
        self._conn = conn
        self._seq = self._start_seq
        self._fail_all("connection replaced")
        if old is not None:
            old.transport.abort()
        self._connected.set()
        pending = self._pending
        try:
            async for msg in conn:  # the one reader of this connection
                if isinstance(msg, str) or len(msg) < 16:
                    continue
                version, kind, _, seq, fn_id, _, plen = HEADER.unpack_from(msg)
                if version != 1 or len(msg) != 16 + plen:
                    continue
                if kind == ECHO_REQUEST:
                    await conn.send(HEADER.pack(1, ECHO_REPLY, 0, seq, fn_id, 0, plen) + msg[16:])
                    continue
                if kind != RESPONSE and kind != ERROR_RESPONSE:
                    continue
                entry = pending.pop(seq, None)
                if entry is None:
                    continue
                fut, want_fn, timer = entry
                timer.cancel()
                if fut.done():
                    continue
                if fn_id != want_fn:
                    fut.set_exception(RuntimeError(f"fnId mismatch: expected {want_fn}, got {fn_id}"))
                elif kind == RESPONSE:
                    fut.set_result(msg)  # the whole message: the caller reads from offset 16
                else:
                    err, sub = struct.unpack_from("<HH", msg, 16) if plen >= 8 else (0, 0)
                    fut.set_exception(RuntimeError(f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub})"))
        except ConnectionClosed:
            pass
        finally:
            if self._conn is conn:
                self._conn = None
                self._connected.clear()
                self._fail_all("websocket closed")

    def _fail_all(self, why):
        pending, self._pending = self._pending, {}
        for fut, fn_id, timer in pending.values():
            timer.cancel()
            if not fut.done():
                fut.set_exception(RuntimeError(f"RpcTransportError(fnId={fn_id}): {why}"))

    def _expire(self, seq):
        entry = self._pending.pop(seq, None)
        if entry is not None and not entry[0].done():
            entry[0].set_exception(RuntimeError(f"RpcTransportError(seq={seq}): timeout waiting response"))

    # -- one exchange ------------------------------------------------------------------------

    async def _call(self, fn_id, timeout_secs, parts=(), length=0):
        conn = self._conn
        if conn is None:
            raise RuntimeError(f"RpcTransportError(seq=None, fnId={fn_id}): no websocket connected")
        seq = self._seq
        self._seq = (seq + 1) & 0xFFFFFFFF
        loop = self._loop
        fut = loop.create_future()
        timer = loop.call_later(10.0 if timeout_secs is None else timeout_secs, self._expire, seq)
        self._pending[seq] = (fut, fn_id, timer)
        header = HEADER.pack(1, REQUEST, 0, seq, fn_id, 0, length)
        await conn.send(b"".join((header, *parts)) if parts else header)
        return await fut

    # -- operations --------------------------------------------------------------------------

    async def step_next(self, timeout_secs=None):
        await self._call(FN_STEP_NEXT, timeout_secs)

    async def step_and_sync(self, timeout_secs=None):
        msg = await self._call(FN_STEP_AND_SYNC, timeout_secs)
        if len(msg) < 20:
            raise ValueError("VecMatF64 payload too short")
        (n,) = U32.unpack_from(msg, 16)
        at = 20 + 8 * n
        if len(msg) < at + 8:
            raise ValueError("VecMatF64 missing matrix header")
        rows, cols = MAT_HEADER.unpack_from(msg, at)
        if len(msg) != at + 8 + 8 * rows * cols:
            raise ValueError(f"VecMatF64 length mismatch: expected {at - 8 + 8 * rows * cols}, got {len(msg) - 16}")
        vec = np.frombuffer(msg, dtype="<f8", count=n, offset=20)
        if rows == 0:
            return vec, np.empty((0, 0), dtype=np.float64)
        return vec, np.frombuffer(msg, dtype="<f8", count=rows * cols, offset=at + 8).reshape(rows, cols)

    async def reset_episode(self, episode_index, episode_type, timeout_secs=None):
        code = 1 if episode_type.lower() == "test" else 0
        msg = await self._call(FN_RESET_EPISODE, timeout_secs, (RESET.pack(episode_index, code),), RESET.size)
        return U32.unpack_from(msg, 16)[0] if len(msg) >= 20 else 0

    async def get_snapshot(self, timeout_secs=None):
        msg = await self._call(FN_GET_SNAPSHOT, timeout_secs)
        if len(msg) < 20:
            raise ValueError("VecF64 payload too short")
        (n,) = U32.unpack_from(msg, 16)
        if len(msg) != 20 + 8 * n:
            raise ValueError(f"VecF64 length mismatch: expected {4 + 8 * n}, got {len(msg) - 16}")
        return np.frombuffer(msg, dtype="<f8", count=n, offset=20)

    async def get_ohlc(self, timeout_secs=None):
        msg = await self._call(FN_GET_OHLC, timeout_secs)
        if len(msg) < 24:
            raise ValueError("MatF64 payload too short")
        rows, cols = MAT_HEADER.unpack_from(msg, 16)
        if len(msg) != 24 + 8 * rows * cols:
            raise ValueError(f"MatF64 length mismatch: expected {8 + 8 * rows * cols}, got {len(msg) - 16}")
        if rows == 0:
            return np.empty((0, 0), dtype=np.float64)
        return np.frombuffer(msg, dtype="<f8", count=rows * cols, offset=24).reshape(rows, cols)

    async def init_candles(self, ohlc5, timeout_secs=None):
        if not isinstance(ohlc5, np.ndarray) or ohlc5.ndim != 2 or ohlc5.dtype != np.float64:
            raise TypeError("argument 'ohlc5': a 2-D float64 array is required")
        rows, cols = ohlc5.shape
        values = ohlc5.tobytes()  # C order, whatever the array's own order
        await self._call(FN_INIT_CANDLES, timeout_secs, (MAT_HEADER.pack(rows, cols), values), 8 + len(values))
