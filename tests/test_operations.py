"""Each operation against a scripted peer: the request it sends, the result it
returns, and the errors it raises before anything is sent."""

import asyncio
import math
import struct

import numpy as np
import pytest

from peer import DEFAULT_TIMEOUT as GUARD, encode_frame, free_port, OP_BINARY, RpcFailure
from support import (exchange, expect_error, expect_kept, HOST, Index, OPERATIONS, OUT_OF_RANGE,
                     RustEngineAsync, transport_error)


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


class Text(str):
    pass


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


@pytest.mark.parametrize("rows, cols, order", [(2 ** 29 + 1, 1, "C"), (2 ** 28 + 1, 2, "F")])
def test_init_candles_over_4_gib_is_refused_before_any_copy(run_python, rows, cols, order):
    # A payload over 4 GiB cannot be described by the frame header: the call must say so at
    # once instead of building it first (which the address-space limit of the child forbids).
    child = run_python(_HUGE_CANDLES_CHILD, str(rows), str(cols), order, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout == "ValueError\n", (child.stdout, child.stderr[-3000:])


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


@pytest.mark.parametrize("call,response,message", MALFORMED)
async def test_malformed_results_keep_the_connection(pair, call, response, message):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: response if fn_id != 2 else b""):
        with pytest.raises(ValueError) as info:
            await call(engine)
        assert str(info.value) == message
        assert await engine.step_next() is None


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


@pytest.mark.parametrize("name", list(OPERATIONS))
async def test_request_frame_of_each_operation(pair, name):
    engine, peer = pair
    call, fn_id, payload = OPERATIONS[name]
    future = call(engine, GUARD)
    assert isinstance(future, asyncio.Future)
    assert future.get_loop() is asyncio.get_running_loop()
    opcode, data = await peer.recv_message()
    assert opcode == OP_BINARY
    assert data == encode_frame(1, 1, fn_id, payload)
    await peer.respond(1, fn_id)
    await asyncio.wait_for(future, GUARD)


@pytest.mark.parametrize("name", list(OPERATIONS))
async def test_call_without_connection_fails_with_no_websocket(served, name):
    call, fn_id, _ = OPERATIONS[name]
    await expect_error(call(served.engine, GUARD), RuntimeError,
                       transport_error(None, fn_id, "no websocket connected"))


async def test_call_before_start_fails_with_no_websocket():
    engine = RustEngineAsync(HOST, free_port())
    await expect_error(engine.step_next(), RuntimeError,
                       "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected")


@pytest.mark.parametrize("index, episode_type, payload", [
    (3, "TEST", b"\x03\x00\x00\x00\x01"),
    (3, "test", b"\x03\x00\x00\x00\x01"),
    (3, "tEsT", b"\x03\x00\x00\x00\x01"),
    (3, Text("Test"), b"\x03\x00\x00\x00\x01"),
    (3, "train", b"\x03\x00\x00\x00\x00"),
    (3, "", b"\x03\x00\x00\x00\x00"),
    (3, " test", b"\x03\x00\x00\x00\x00"),
    (3, "test ", b"\x03\x00\x00\x00\x00"),
    (3, "tests", b"\x03\x00\x00\x00\x00"),
    (3, "TE\u017fT", b"\x03\x00\x00\x00\x00"),  # long s: case-folds to s, lower-cases to itself
    (3, "\uff34\uff25\uff33\uff34", b"\x03\x00\x00\x00\x00"),  # full-width TEST
    (0, "test", b"\x00\x00\x00\x00\x01"),
    (4294967295, "train", b"\xff\xff\xff\xff\x00"),
    (0x01020304, "x", b"\x04\x03\x02\x01\x00"),
    (Index(7), "TEST", b"\x07\x00\x00\x00\x01"),
    (np.uint32(8), "test", b"\x08\x00\x00\x00\x01"),
    (np.int64(9), "train", b"\x09\x00\x00\x00\x00"),
])
async def test_reset_episode_payload(pair, index, episode_type, payload):
    engine, peer = pair
    call = engine.reset_episode(index, episode_type, timeout_secs=GUARD)
    (seq, fn_id, sent), _ = await exchange(peer, call, b"")
    assert (fn_id, sent) == (101, payload)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((-1, "test"), {}, OverflowError, OUT_OF_RANGE),
    ((4294967296, "test"), {}, OverflowError, OUT_OF_RANGE),
    ((-(2 ** 40), "test"), {}, OverflowError, OUT_OF_RANGE),
    ((2 ** 70, "test"), {}, OverflowError, None),
    ((1.0, "test"), {}, TypeError, "argument 'episode_index': "),
    (("3", "test"), {}, TypeError, "argument 'episode_index': "),
    ((0, 1), {}, TypeError, "argument 'episode_type': "),
    ((0, b"test"), {}, TypeError, "argument 'episode_type': "),
    ((0, None), {}, TypeError, "argument 'episode_type': "),
    # order of the checks: index, type, timeout; the duration comes last
    ((-1, 1, "x"), {}, OverflowError, OUT_OF_RANGE),
    ((1.0, 1), {}, TypeError, "argument 'episode_index': "),
    ((0, 1, "x"), {}, TypeError, "argument 'episode_type': "),
    ((0, "test", "x"), {}, TypeError, "argument 'timeout_secs': "),
    ((-1, "test", -1.0), {}, OverflowError, OUT_OF_RANGE),
    ((0, 1, float("nan")), {}, TypeError, "argument 'episode_type': "),
    # binding
    ((0,), {}, TypeError, None),
    ((), {"episode_index": 0}, TypeError, None),
    ((0, "test", 1.0, 2), {}, TypeError, None),
    ((0, "test"), {"episode_index": 1}, TypeError, None),
    ((0, "test"), {"timeout": 1.0}, TypeError, None),
])
async def test_reset_episode_call_time_errors_send_nothing(pair, args, kwargs, exc, text):
    engine, peer = pair
    with pytest.raises(exc) as info:
        engine.reset_episode(*args, **kwargs)
    assert type(info.value) is exc
    if text == OUT_OF_RANGE:
        assert str(info.value) == text
    elif text is not None:
        assert str(info.value).startswith(text), str(info.value)
    await expect_kept(engine, peer, next_seq=1)


async def test_reset_episode_by_keyword(pair):
    engine, peer = pair
    call = engine.reset_episode(timeout_secs=GUARD, episode_type="Test", episode_index=12)
    (_, _, sent), result = await exchange(peer, call, b"\x0c\x00\x00\x00")
    assert (sent, result) == (b"\x0c\x00\x00\x00\x01", 12)


@pytest.mark.parametrize("name, response, expected", [
    ("reset_episode", b"\x07\x00\x00\x00\xff", 7),
    ("reset_episode", b"\x07\x00\x00\x00", 7),
    ("reset_episode", b"\xff\xff\xff\xff", 4294967295),
    ("reset_episode", b"\x01\x02\x03\x04", 0x04030201),
    ("reset_episode", b"\x07\x00\x00", 0),
    ("reset_episode", b"", 0),
    ("get_rl_config", b'{"seed": 42, "episodes": [1, 2]}', '{"seed": 42, "episodes": [1, 2]}'),
    ("get_rl_config", b"not json at all", "not json at all"),
    ("get_rl_config", "caf\u00e9 \u20ac \U0001f600".encode(), "caf\u00e9 \u20ac \U0001f600"),
    ("get_rl_config", b"a\x00b", "a\x00b"),
    ("get_rl_config", b"", ""),
    ("get_rl_config", b"\xff\xfe", "{}"),
    ("get_rl_config", b'{"a":"\xc3"}', "{}"),
    ("get_rl_config", b"ok\xe2\x82", "{}"),
    ("get_rl_config", b"\xed\xa0\x80", "{}"),  # an encoded surrogate is not UTF-8
    ("get_sync_policy", b"", None),
    ("get_sync_policy", b"\x00", "deferred"),
    ("get_sync_policy", b"\x00\x01", "deferred"),
    ("get_sync_policy", b"\x01", "eager"),
    ("get_sync_policy", b"\x01\xff", "eager"),
    ("get_sync_policy", b"\x02", None),
    ("get_sync_policy", b"\xff", None),
    ("step_next", b"", None),
    ("step_next", b"\x01\x02\x03", None),
])
async def test_result_conversion(pair, name, response, expected):
    engine, peer = pair
    call, _, _ = OPERATIONS[name]
    _, result = await exchange(peer, call(engine, GUARD), response)
    assert result == expected
    assert type(result) is type(expected)
