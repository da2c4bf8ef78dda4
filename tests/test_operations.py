"""The array operations, trading commands and queries against a scripted peer."""

import asyncio
import math
import struct

import numpy as np
import pytest

from peer import RpcFailure

F = struct.Struct("<d")


def vec(*values):
    return struct.pack("<I%dd" % len(values), len(values), *values)


def mat(rows, cols, values):
    return struct.pack("<II%dd" % len(values), rows, cols, *values)


def close_step(ids, actions, ratios):
    n = len(ids)
    return struct.pack("<I%di%di%dd" % (n, n, n), n, *ids, *actions, *ratios)


def order(*slots):
    return vec(*slots)


C_ORDER = np.arange(10, dtype=np.float64).reshape(2, 5)

REQUESTS = [
    # (call, fnId, payload)
    (lambda e: e.place_order("buy", "limit", 100.0, 5), 20,
     order(1.0, 100.0, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 5.0, 0.0, 0.0, 0.0, 0.0)),
    (lambda e: e.place_order(" SELL ", "Stop", 1.25, 1, take_profit=0.02), 20,
     order(1.0, 1.25, 1.0, -1.0, -1.0, -1.0, -1.0, -1.0, 1.0, 0.02 * 100.0 + -1.0, 0.0, 0.0, 0.0)),
    (lambda e: e.place_order("\u3000buy\n", "LIMIT", -5, 2, take_profit=0.0, stop_loss=-0.0,
                             trailing_stop=1, time_limit=-1), 20,
     order(1.0, -5.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 2.0, -1.0, -0.0 * 100.0 - 1.0, 99.0, -1.0)),
    (lambda e: e.place_ticket("buy", 3), 21, vec(1.0, 0.0, 0.0, 0.0, 1.0, 3.0, 0.0, 0.0, 0.0)),
    (lambda e: e.place_ticket("sell", 3, stop_loss=1.5), 21, vec(1.0, 0.0, 1.0, 0.0, 0.0, 3.0, 0.0, 0.5, 0.0)),
    (lambda e: e.close_positions([7, 8], [2, 1], [0.5, 0.9]), 31, close_step([7, 8], [2, 1], [0.5, 0.0])),
    (lambda e: e.close_positions([], [], []), 31, b"\x00\x00\x00\x00"),
    (lambda e: e.close_positions((-1, 7), np.array([2, 9], dtype=np.int64), np.array([-0.0, math.nan])), 31,
     close_step([-1, 7], [2, 9], [-0.0, 0.0])),
    (lambda e: e.close_positions([1], [2], [np.float64(1.0)]), 31, close_step([1], [2], [1.0])),
    (lambda e: e.init_candles(C_ORDER), 100, mat(2, 5, range(10))),
    (lambda e: e.init_candles(np.asfortranarray(C_ORDER)), 100, mat(2, 5, range(10))),
    (lambda e: e.init_candles(np.zeros((0, 5))), 100, b"\x00\x00\x00\x00\x05\x00\x00\x00"),
    (lambda e: e.init_candles(np.zeros((3, 0))), 100, b"\x03\x00\x00\x00\x00\x00\x00\x00"),
    (lambda e: e.step_and_sync(), 130, b""),
    (lambda e: e.get_snapshot(), 12, b""),
    (lambda e: e.get_ticket_list(), 10, b""),
    (lambda e: e.get_ohlc(), 15, b""),
    (lambda e: e.fetch_events(), 30, b""),
    (lambda e: e.end_session(), 40, b""),
]

# A well-formed answer for every fnId, so that requests complete.
ANSWERS = {20: vec(1.0), 21: vec(2.0), 31: mat(0, 3, []), 100: b"ignored", 130: vec() + mat(0, 0, []),
           12: vec(), 10: mat(0, 0, []), 15: mat(0, 0, []), 30: mat(0, 0, []), 40: mat(0, 0, []), 2: b""}


def answer(fn_id, payload):
    return ANSWERS[fn_id]


@pytest.mark.parametrize("call,fn_id,payload", REQUESTS)
async def test_request_bytes(pair, call, fn_id, payload):
    engine, peer = pair
    async with peer.serve(answer) as server:
        await call(engine)
    assert [(f, p) for _, f, p in server.requests] == [(fn_id, payload)]


async def test_request_keeps_nan_time_limit_bits(pair):
    engine, peer = pair
    nan = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]
    async with peer.serve(answer) as server:
        await engine.place_order("buy", "stop", 1.0, 1, time_limit=nan)
    assert server.requests[0][2][-8:] == bytes.fromhex("0100000000f8ff7f")


async def test_init_candles_reads_the_array_only_during_the_call(pair):
    engine, peer = pair
    arr = C_ORDER.copy()
    gate = asyncio.Event()

    async def slow(fn_id, payload):
        await gate.wait()
        return b""

    async with peer.serve(slow) as server:
        pending = asyncio.ensure_future(engine.init_candles(arr))
        arr[:] = -1.0
        gate.set()
        assert await pending is None
    assert server.requests[0][2] == mat(2, 5, range(10))


_HUGE_CANDLES_CHILD = r"""
import asyncio, resource, sys
import numpy as np
import py_engine_rust
from peer import free_port

def address_space():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

# Untouched pages: the array costs address space, not memory.
candles = np.empty((int(sys.argv[1]), int(sys.argv[2])), order=sys.argv[3])
# Room for the interpreter and the runtime's threads, not for a second copy of the array.
limit = address_space() + 2 ** 30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

async def main():
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
    try:
        engine.init_candles(candles)
    except Exception as exc:
        print(type(exc).__name__)
    else:
        print("accepted")

asyncio.run(main())
"""


@pytest.mark.parametrize("rows, cols, order", [(2 ** 29 + 1, 1, "C"), (2 ** 28 + 1, 2, "F")])
def test_init_candles_over_4_gib_is_refused_before_any_copy(run_python, rows, cols, order):
    # A payload over 4 GiB cannot be described by the frame header: the call must say so at
    # once instead of building it first (which the address-space limit of the child forbids).
    child = run_python(_HUGE_CANDLES_CHILD, str(rows), str(cols), order, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout == "ValueError\n", (child.stdout, child.stderr[-3000:])


RESULTS = [
    (lambda e: e.get_snapshot(), vec(1.0, 2.0), np.array([1.0, 2.0])),
    (lambda e: e.get_snapshot(), vec(), np.zeros(0)),
    (lambda e: e.place_order("buy", "limit", 1.0, 1), vec(3.5), np.array([3.5])),
    (lambda e: e.place_ticket("sell", 1), vec(-0.0), np.array([-0.0])),
    (lambda e: e.get_ohlc(), mat(2, 5, range(10)), C_ORDER),
    (lambda e: e.get_ticket_list(), mat(0, 5, []), np.zeros((0, 0))),
    (lambda e: e.fetch_events(), mat(3, 0, []), np.zeros((3, 0))),
    (lambda e: e.end_session(), mat(1, 1, [7.0]), np.array([[7.0]])),
    (lambda e: e.close_positions([1], [1], [0.0]), mat(0, 2, []), np.zeros((0, 0))),
    (lambda e: e.init_candles(C_ORDER), vec(1.0), None),
]


@pytest.mark.parametrize("call,response,expected", RESULTS)
async def test_results(pair, call, response, expected):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: response):
        got = await call(engine)
    if expected is None:
        assert got is None
        return
    assert got.dtype == np.float64 and got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()
    assert got.flags.c_contiguous and got.flags.writeable


async def test_step_and_sync_returns_vector_and_matrix(pair):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: vec(1.0, 2.0) + mat(1, 2, [3.0, 4.0])):
        v, m = await engine.step_and_sync()
    assert v.tolist() == [1.0, 2.0] and m.tolist() == [[3.0, 4.0]]


MALFORMED = [
    (lambda e: e.get_snapshot(), b"\x01\x00\x00", "VecF64 payload too short"),
    (lambda e: e.get_snapshot(), vec(1.0, 2.0)[:12], "VecF64 length mismatch: expected 20, got 12"),
    (lambda e: e.place_order("buy", "limit", 1.0, 1), b"abc", "VecF64 payload too short"),
    (lambda e: e.fetch_events(), b"\x00" * 7, "MatF64 payload too short"),
    (lambda e: e.fetch_events(), mat(1, 2, [1.0, 2.0])[:16], "MatF64 length mismatch: expected 24, got 16"),
    (lambda e: e.end_session(), b"\x00" * 7, "MatF64 payload too short"),
    (lambda e: e.step_and_sync(), vec(1.0), "VecMatF64 missing matrix header"),
    (lambda e: e.step_and_sync(), b"", "VecMatF64 payload too short"),
]


@pytest.mark.parametrize("call,response,message", MALFORMED)
async def test_malformed_results_keep_the_connection(pair, call, response, message):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: response if fn_id != 2 else b""):
        with pytest.raises(ValueError) as info:
            await call(engine)
        assert str(info.value) == message
        assert await engine.step_next() is None


ARGUMENT_ERRORS = [
    (lambda e: e.place_order("short", "limit", 1.0, 5), ValueError, "side must be 'buy' or 'sell'"),
    (lambda e: e.place_order("buy", "market", 1.0, 5), ValueError, "order_type must be 'limit' or 'stop'"),
    (lambda e: e.place_order("short", "market", math.nan, 0), ValueError, "side must be 'buy' or 'sell'"),
    (lambda e: e.place_order("short", "limit", "x", 5), TypeError, "argument 'price': must be real number, not str"),
    (lambda e: e.place_order(1, "limit", 1.0, 5), TypeError, "argument 'side': 'int' object cannot be converted to 'PyString'"),
    (lambda e: e.place_order("buy", "limit", math.inf, 5), ValueError, "price must be finite"),
    (lambda e: e.place_order("buy", "limit", 1.0, 0), ValueError, "units must be > 0"),
    (lambda e: e.place_ticket("buy", -3), ValueError, "units must be > 0"),
    (lambda e: e.place_ticket("buy", 2.5), TypeError, "argument 'units': 'float' object cannot be interpreted as an integer"),
    (lambda e: e.place_ticket("buy", 2147483648), OverflowError, "out of range integral type conversion attempted"),
    (lambda e: e.place_order("buy", "limit", 1.0, 1, take_profit=-0.01), ValueError, "value must be finite and >= 0"),
    (lambda e: e.place_ticket("buy", 1, trailing_stop=math.nan), ValueError, "value must be finite and >= 0"),
    (lambda e: e.place_order("buy", "limit", 1.0, 1, stop_loss="x"), TypeError, "argument 'stop_loss': must be real number, not str"),
    (lambda e: e.place_order("buy", "limit", 1.0, 1, timeout_secs=-1), ValueError,
     "cannot convert float seconds to Duration: value is negative"),
    (lambda e: e.close_positions("12", [2], [0.5]), TypeError, "Can't extract `str` to `Vec`"),
    (lambda e: e.close_positions(5, [2], [0.5]), TypeError, "'int' object cannot be converted to 'Sequence'"),
    (lambda e: e.close_positions([1], {2: 1}, [0.5]), TypeError, "'dict' object cannot be converted to 'Sequence'"),
    (lambda e: e.close_positions([1.5], [2], [0.5]), TypeError, "'float' object cannot be interpreted as an integer"),
    (lambda e: e.close_positions([2 ** 31], [2], [0.5]), OverflowError, "out of range integral type conversion attempted"),
    (lambda e: e.close_positions([1], [2], ["x"]), TypeError, "must be real number, not str"),
    (lambda e: e.close_positions([1, 2], [2], [0.5]), ValueError, "close_positions: arrays must have equal length"),
    (lambda e: e.close_positions([1, 2], [2, 2], [0.5, 1.5]), ValueError, "ratio out of range for reduce"),
    (lambda e: e.close_positions([7], [2], [math.nan]), ValueError, "ratio out of range for reduce"),
    (lambda e: e.close_positions([7], [2], [1.5], timeout_secs="x"), TypeError,
     "argument 'timeout_secs': must be real number, not str"),
    (lambda e: e.init_candles(np.zeros((4, 5))[::2]), TypeError, "The given array is not contiguous"),
    (lambda e: e.init_candles(np.zeros((4, 5))[::2], timeout_secs=-1.0), TypeError, "The given array is not contiguous"),
    (lambda e: e.init_candles([[1.0]], timeout_secs="x"), TypeError, "argument 'timeout_secs': must be real number, not str"),
    (lambda e: e.init_candles(np.zeros((2, 5), np.float32)), TypeError,
     "argument 'ohlc5': type mismatch:\n from=float32, to=float64"),
    (lambda e: e.init_candles(np.zeros(5)), TypeError, "argument 'ohlc5': dimensionality mismatch:\n from=1, to=2"),
    (lambda e: e.get_snapshot(timeout_secs="1"), TypeError, "argument 'timeout_secs': must be real number, not str"),
]


@pytest.mark.parametrize("call,exc,message", ARGUMENT_ERRORS)
async def test_argument_errors_send_nothing(pair, call, exc, message):
    engine, peer = pair
    async with peer.serve(answer) as server:
        with pytest.raises(exc) as info:
            call(engine)
        assert str(info.value) == message
        await engine.step_next()
    assert [f for _, f, _ in server.requests] == [2]


async def test_iteration_errors_pass_through(pair):
    engine, _ = pair

    class Broken:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return 1

    with pytest.raises(KeyError):
        engine.close_positions(Broken(), [2], [0.5])


@pytest.mark.parametrize("name", ["get_snapshot", "get_ticket_list", "get_ohlc", "fetch_events", "end_session",
                                  "step_and_sync"])
async def test_queries_without_a_connection(served, name):
    fn_ids = {"get_ticket_list": 10, "get_snapshot": 12, "get_ohlc": 15, "fetch_events": 30, "end_session": 40,
              "step_and_sync": 130}
    with pytest.raises(RuntimeError) as info:
        await getattr(served.engine, name)()
    assert str(info.value) == "RpcTransportError(seq=None, fnId=Some(%d)): no websocket connected" % fn_ids[name]


async def test_rpc_error_reaches_the_trading_command(pair):
    engine, peer = pair

    def refuse(fn_id, payload):
        raise RpcFailure(4, 2, "insufficient margin")

    async with peer.serve(refuse):
        with pytest.raises(RuntimeError) as info:
            await engine.place_ticket("buy", 1)
    assert str(info.value) == "RpcError(seq=1, fnId=21, err=4, sub=2): insufficient margin"


async def test_mixed_operations_awaited_concurrently(pair):
    engine, peer = pair
    results = {12: vec(1.0), 15: mat(1, 1, [2.0]), 20: vec(3.0), 31: mat(1, 1, [4.0]), 101: b"\x05\x00\x00\x00",
               102: b"{}", 120: b"\x01", 2: b""}
    async with peer.serve(lambda fn_id, payload: results[fn_id]) as server:
        calls = []
        for _ in range(25):
            calls += [engine.get_snapshot(), engine.get_ohlc(), engine.place_order("buy", "limit", 1.0, 1),
                      engine.close_positions([1], [2], [0.5]), engine.reset_episode(1, "test"),
                      engine.get_rl_config(), engine.get_sync_policy(), engine.step_next()]
        got = await asyncio.gather(*calls)
    for i in range(0, len(got), 8):
        snap, ohlc, placed, closed, index, config, policy, stepped = got[i:i + 8]
        assert snap.tolist() == [1.0] and ohlc.tolist() == [[2.0]] and placed.tolist() == [3.0]
        assert closed.tolist() == [[4.0]] and (index, config, policy, stepped) == (5, "{}", "eager", None)
    # Sequence numbers are taken before the send lock, so requests may go out of numeric order.
    assert sorted(seq for seq, _, _ in server.requests) == list(range(1, 201))


async def test_large_matrix_result_is_exact_and_independent(pair):
    engine, peer = pair
    values = np.random.default_rng(7).normal(size=(50_000, 5))
    response = struct.pack("<II", 50_000, 5) + values.tobytes()
    async with peer.serve(lambda fn_id, payload: response):
        first = await engine.get_ohlc()
        second = await engine.get_ohlc()
    assert first.tobytes() == values.tobytes() and first.shape == (50_000, 5)
    assert first.flags.c_contiguous and first.flags.writeable
    first[:] = 0.0
    assert second.tobytes() == values.tobytes()
