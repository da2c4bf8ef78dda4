"""The RPC exchange and the session operations step_next, reset_episode,
get_rl_config and get_sync_policy, driven through a scripted peer."""

import asyncio
import socket
import struct
import threading

import numpy as np
import pytest

import py_engine_rust
from peer import (DEFAULT_TIMEOUT as GUARD, ConnectionLost, KIND_ECHO_REPLY, KIND_ECHO_REQUEST, KIND_ERROR_RESPONSE,
                  KIND_RESPONSE, OP_BINARY, OP_CLOSE, OP_PONG,
                  connect_ready, encode_frame, encode_ws_frame, error_record, free_port)

RustEngineAsync = py_engine_rust.RustEngineAsync
HOST = "127.0.0.1"
MiB = 1024 * 1024
LARGEST_FLOAT_BELOW_2_64 = 18446744073709549568.0
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OUT_OF_RANGE = "out of range integral type conversion attempted"

#: name -> (call with a timeout, fnId, request payload of that call)
OPERATIONS = {
    "step_next": (lambda e, t: e.step_next(t), 2, b""),
    "reset_episode": (lambda e, t: e.reset_episode(3, "TEST", t), 101, b"\x03\x00\x00\x00\x01"),
    "get_rl_config": (lambda e, t: e.get_rl_config(timeout_secs=t), 102, b""),
    "get_sync_policy": (lambda e, t: e.get_sync_policy(timeout_secs=t), 120, b""),
}


def some(value):
    return "None" if value is None else "Some(%d)" % value


def transport_error(seq, fn_id, message):
    return "RpcTransportError(seq=%s, fnId=%s): %s" % (some(seq), some(fn_id), message)


def rpc_error(seq, fn_id, err, sub, message):
    return "RpcError(seq=%d, fnId=%d, err=%d, sub=%d): %s" % (seq, fn_id, err, sub, message)


async def expect_error(awaitable, exc_type, text=None, prefix=None):
    with pytest.raises(exc_type) as info:
        await asyncio.wait_for(awaitable, GUARD)
    assert type(info.value) is exc_type
    if text is not None:
        assert str(info.value) == text
    if prefix is not None:
        assert str(info.value).startswith(prefix), str(info.value)
    return info.value


async def expect_dropped(engine, peer, check_no_close=True):
    """The engine closed ``peer`` and has no connection any more."""
    remaining = await peer.read_until_closed()
    if check_no_close:
        assert all(opcode != OP_CLOSE for opcode, _ in remaining), remaining
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


async def expect_kept(engine, peer, next_seq):
    """The connection still works, and the next exchange uses ``next_seq``."""
    call = engine.get_sync_policy(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    assert (seq, fn_id) == (next_seq, 120)
    await peer.respond(seq, fn_id, b"\x01")
    assert await asyncio.wait_for(call, GUARD) == "eager"


async def exchange(peer, call, response):
    """Run ``call`` while the peer answers its request with ``response``."""
    seq, fn_id, payload = await peer.recv_request()
    await peer.respond(seq, fn_id, response)
    return (seq, fn_id, payload), await asyncio.wait_for(call, GUARD)


# ---------------------------------------------------------------------------
# Requests and results of the four operations


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
async def test_default_timeout_is_used_when_absent_or_none(pair, name):
    engine, peer = pair
    call, fn_id, _ = OPERATIONS[name]
    calls = [call(engine, None),
             getattr(engine, name)(*((3, "test") if name == "reset_episode" else ()))]
    async with peer.serve(lambda fn, payload: b"\x00\x00\x00\x00"):
        await asyncio.wait_for(asyncio.gather(*calls), GUARD)


@pytest.mark.parametrize("name", list(OPERATIONS))
async def test_call_without_connection_fails_with_no_websocket(served, name):
    call, fn_id, _ = OPERATIONS[name]
    await expect_error(call(served.engine, GUARD), RuntimeError,
                       transport_error(None, fn_id, "no websocket connected"))


async def test_call_before_start_fails_with_no_websocket():
    engine = RustEngineAsync(HOST, free_port())
    await expect_error(engine.step_next(), RuntimeError,
                       "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected")


class Text(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


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


def call_with(name, timeout):
    engine = RustEngineAsync(HOST, free_port())
    if name == "reset_episode":
        return engine.reset_episode(0, "test", timeout)
    return getattr(engine, name)(timeout)


@pytest.mark.parametrize("name", list(OPERATIONS))
@pytest.mark.parametrize("timeout, exc, text", [
    (-1, ValueError, NEGATIVE),
    (-1e-3, ValueError, NEGATIVE),
    (float("nan"), ValueError, TOO_BIG),
    (float("inf"), ValueError, TOO_BIG),
    (2.0 ** 64, ValueError, TOO_BIG),
    (1e300, ValueError, TOO_BIG),
    ("1", TypeError, "argument 'timeout_secs': "),
    (b"1", TypeError, "argument 'timeout_secs': "),
    ([], TypeError, "argument 'timeout_secs': "),
])
async def test_bad_timeout_raises_at_call_time(name, timeout, exc, text):
    with pytest.raises(exc) as info:
        call_with(name, timeout)
    assert type(info.value) is exc
    if exc is ValueError:
        assert str(info.value) == text
    else:
        assert str(info.value).startswith(text), str(info.value)


class Seconds:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("timeout", [
    3, 0.5, np.float64(2.0), Seconds(), 1e18, LARGEST_FLOAT_BELOW_2_64,
])
async def test_timeout_values_that_work(pair, timeout):
    engine, peer = pair
    _, result = await exchange(peer, engine.get_sync_policy(timeout), b"\x00")
    assert result == "deferred"


# ---------------------------------------------------------------------------
# The exchange: interruptions while receiving


@pytest.mark.parametrize("start_seq", [7])
async def test_full_exchange_with_interruptions(pair):
    engine, peer = pair
    call = engine.reset_episode(42, "train", timeout_secs=GUARD)
    opcode, data = await peer.recv_message()
    assert (opcode, data) == (OP_BINARY, bytes.fromhex(
        "01010000" "07000000" "6500" "0000" "05000000" "2a00000000"))
    echo = b"echo \x00\xff payload"
    await peer.send_echo_request(0, 0, echo)
    assert await peer.recv_message() == (OP_BINARY, encode_frame(KIND_ECHO_REPLY, 0, 0, echo))
    await peer.send_text("ignored")
    await peer.respond(7, 101, b"\x2a\x00\x00\x00")
    assert await asyncio.wait_for(call, GUARD) == 42
    await expect_kept(engine, peer, next_seq=8)


def skipped_frame(kind, seq_delta=0, fn_delta=0):
    async def send(peer, seq, fn_id):
        await peer.send_binary(encode_frame(kind, seq + seq_delta, fn_id + fn_delta, b"xyz"))
    return send


async def send_text(peer, seq, fn_id):
    await peer.send_text("{\"not\": \"a frame\"}")


async def send_fragmented_text(peer, seq, fn_id):
    await peer.send_text("in three pieces", fragments=3)


async def send_pong(peer, seq, fn_id):
    await peer.send_pong(b"unsolicited")


@pytest.mark.parametrize("interrupt", [
    skipped_frame(0), skipped_frame(1), skipped_frame(5), skipped_frame(6),
    skipped_frame(200), skipped_frame(255),
    skipped_frame(0, seq_delta=5), skipped_frame(1, fn_delta=1),
    skipped_frame(9, seq_delta=1, fn_delta=1),
    send_text, send_fragmented_text, send_pong,
], ids=["kind0", "kind1", "kind5", "kind6", "kind200", "kind255", "kind0-other-seq",
        "kind1-other-fnid", "kind9-other-both", "text", "fragmented-text", "pong"])
async def test_skipped_messages_while_receiving(pair, interrupt):
    engine, peer = pair
    call = engine.get_rl_config(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    for _ in range(3):
        await interrupt(peer, seq, fn_id)
    await peer.respond(seq, fn_id, b"cfg")
    assert await asyncio.wait_for(call, GUARD) == "cfg"
    await expect_kept(engine, peer, next_seq=seq + 1)


@pytest.mark.parametrize("seq_delta, fn_id, payload", [
    (0, 102, b""),
    (100, 0, b"any bytes"),
    (-1, 65535, bytes(range(256)) * 40),
])
async def test_echo_requests_are_answered_while_receiving(pair, seq_delta, fn_id, payload):
    engine, peer = pair
    call = engine.get_rl_config(GUARD)
    seq, own_fn_id, _ = await peer.recv_request()
    echo_seq = (seq + seq_delta) % 2 ** 32
    for _ in range(2):
        await peer.send_echo_request(echo_seq, fn_id, payload)
        opcode, data = await peer.recv_message()
        assert (opcode, data) == (OP_BINARY, encode_frame(KIND_ECHO_REPLY, echo_seq, fn_id, payload))
    await peer.respond(seq, own_fn_id, b"x")
    assert await asyncio.wait_for(call, GUARD) == "x"


@pytest.mark.parametrize("data", [b"", b"ping data", bytes(range(125))])
async def test_pings_are_answered_with_the_same_data(pair, data):
    engine, peer = pair
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    await peer.send_ping(data)
    assert await peer.recv_message() == (OP_PONG, data)
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(call, GUARD) is None


@pytest.mark.parametrize("fragments", [2, 5, [1], [15, 1], [0, 16, 0], [3, 3, 3, 3]])
async def test_fragmented_response_with_a_ping_between_fragments(pair, fragments):
    engine, peer = pair
    call = engine.get_rl_config(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    async def ping(i):
        await peer.send_ping(b"p%d" % i)

    await peer.send_binary(encode_frame(KIND_RESPONSE, seq, fn_id, b'{"fragmented":true}'),
                           fragments=fragments, between=ping)
    assert await asyncio.wait_for(call, GUARD) == '{"fragmented":true}'
    pings = (fragments if isinstance(fragments, int) else len(fragments) + 1) - 1
    for i in range(pings):
        assert await peer.recv_message() == (OP_PONG, b"p%d" % i)
    await expect_kept(engine, peer, next_seq=seq + 1)


async def test_response_with_nonzero_reserved_fields_is_accepted(pair):
    engine, peer = pair
    call = engine.reset_episode(1, "test", GUARD)
    seq, fn_id, _ = await peer.recv_request()
    await peer.send_binary(encode_frame(KIND_RESPONSE, seq, fn_id, b"\x05\x00\x00\x00",
                                        reserved1=0xFFFF, reserved2=0xABCD))
    assert await asyncio.wait_for(call, GUARD) == 5


# ---------------------------------------------------------------------------
# The exchange: failures and what they leave


def raw(data):
    async def send(peer, seq, fn_id):
        await peer.send_binary(data)
    return send


def frame(kind=KIND_RESPONSE, seq_delta=0, fn_delta=0, payload=b"", **fields):
    async def send(peer, seq, fn_id):
        await peer.send_binary(encode_frame(kind, (seq + seq_delta) % 2 ** 32,
                                            fn_id + fn_delta, payload, **fields))
    return send


async def close_frame(peer, seq, fn_id):
    await peer.send_close(1000, "bye")


async def empty_close_frame(peer, seq, fn_id):
    await peer.send_close(None)


async def unmasked_frame(peer, seq, fn_id):
    await peer.send_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, fn_id), mask=False)


async def reserved_bits(peer, seq, fn_id):
    await peer.send_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, fn_id), rsv=4)


def kept(exc, message):
    return exc, (lambda seq, fn_id: message), True


def dropped(message):
    return RuntimeError, (lambda seq, fn_id: transport_error(seq, fn_id, message(seq, fn_id))), False


FAILURES = {
    "10 bytes": (raw(b"\x01" * 10), *kept(ValueError, "frame too short: 10 < 16")),
    "empty": (raw(b""), *kept(ValueError, "frame too short: 0 < 16")),
    "15 bytes wrong version": (raw(b"\x02" + b"\x02" * 14),
                               *kept(ValueError, "frame too short: 15 < 16")),
    "longer than stated": (frame(payload=b"\x00" * 8, payload_len=4),
                           *kept(ValueError, "payload length mismatch: expected 20, got 24")),
    "shorter than stated": (frame(payload=b"\x00" * 4, payload_len=8),
                            *kept(ValueError, "payload length mismatch: expected 24, got 20")),
    "largest stated length": (frame(payload=b"\x00" * 8, payload_len=0xFFFFFFFF),
                              *kept(ValueError,
                                    "payload length mismatch: expected 4294967311, got 24")),
    "RpcError": (frame(KIND_ERROR_RESPONSE, payload=error_record(3, 9, "boom")),
                 RuntimeError, lambda seq, fn_id: rpc_error(seq, fn_id, 3, 9, "boom"), True),
    "version 2": (frame(version=2), *dropped(
        lambda s, f: "protocol version mismatch: got 2, expected 1")),
    "version 0 of a skipped kind": (frame(kind=0, version=0), *dropped(
        lambda s, f: "protocol version mismatch: got 0, expected 1")),
    "version 255 echo request": (frame(kind=KIND_ECHO_REQUEST, version=255), *dropped(
        lambda s, f: "protocol version mismatch: got 255, expected 1")),
    "seq mismatch": (frame(seq_delta=1), *dropped(
        lambda s, f: "seq mismatch: expected %d, got %d" % (s, (s + 1) % 2 ** 32))),
    "seq mismatch of an error response": (
        frame(KIND_ERROR_RESPONSE, seq_delta=-1, payload=error_record(1, 1, "x")),
        *dropped(lambda s, f: "seq mismatch: expected %d, got %d" % (s, (s - 1) % 2 ** 32))),
    "seq and fnId mismatch": (frame(seq_delta=2, fn_delta=1), *dropped(
        lambda s, f: "seq mismatch: expected %d, got %d" % (s, (s + 2) % 2 ** 32))),
    "fnId mismatch": (frame(fn_delta=1), *dropped(
        lambda s, f: "fnId mismatch: expected %d, got %d" % (f, f + 1))),
    "fnId mismatch of an error response": (
        frame(KIND_ERROR_RESPONSE, fn_delta=-1, payload=error_record(1, 1, "x")),
        *dropped(lambda s, f: "fnId mismatch: expected %d, got %d" % (f, f - 1))),
    "close frame": (close_frame, *dropped(lambda s, f: "websocket closed")),
    "empty close frame": (empty_close_frame, *dropped(lambda s, f: "websocket closed")),
}


@pytest.mark.parametrize("start_seq", [None, 4294967295])
@pytest.mark.parametrize("case", list(FAILURES))
async def test_failure_and_its_effect_on_the_connection(pair, served, case):
    engine, peer = pair
    send, exc, message, keeps = FAILURES[case]
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    assert seq == served.start_seq
    await send(peer, seq, fn_id)
    await expect_error(call, exc, message(seq, fn_id))
    if keeps:
        await expect_kept(engine, peer, next_seq=(seq + 1) % 2 ** 32)
    else:
        await expect_dropped(engine, peer, check_no_close="close" not in case)


@pytest.mark.parametrize("send", [unmasked_frame, reserved_bits])
async def test_protocol_violations_are_receive_failures(pair, send):
    engine, peer = pair
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    await send(peer, seq, fn_id)
    await expect_error(call, RuntimeError,
                       prefix=transport_error(seq, fn_id, "websocket recv failed: "))
    await expect_dropped(engine, peer, check_no_close=False)


async def test_peer_vanishing_while_receiving_ends_the_exchange(pair):
    engine, peer = pair
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    peer.abort()
    error = str(await expect_error(call, RuntimeError))
    # the end of the stream, or a failed read, depending on how it is noticed
    assert (error == transport_error(seq, fn_id, "websocket closed")
            or error.startswith(transport_error(seq, fn_id, "websocket recv failed: "))), error
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


@pytest.mark.parametrize("payload, err, sub, message", [
    (b"", 0, 0, ""),
    (b"\x03\x00\x09\x00\x01\x00\x00", 0, 0, ""),
    (error_record(3, 9, b"abcd", msg_len=50), 3, 9, ""),
    (error_record(3, 9, b"abcd", msg_len=0xFFFFFFFF), 3, 9, ""),
    (error_record(3, 9, b"abcd", msg_len=5), 3, 9, ""),
    (error_record(3, 9, b"abcd", msg_len=4), 3, 9, "abcd"),
    (error_record(1, 2, b"ok") + b" and ignored bytes", 1, 2, "ok"),
    (error_record(1, 2, b"ignored", msg_len=0), 1, 2, ""),
    (error_record(65535, 65535, "bad \u00e9\U0001f600"), 65535, 65535, "bad \u00e9\U0001f600"),
    (error_record(7, 0, b"\xc3\x28"), 7, 0, "\ufffd("),
    (error_record(7, 0, b"ab\xe2\x82"), 7, 0, b"ab\xe2\x82".decode("utf-8", "replace")),
    (error_record(7, 0, b"\xff\xfe!"), 7, 0, b"\xff\xfe!".decode("utf-8", "replace")),
])
async def test_error_response_reading_rules(pair, payload, err, sub, message):
    engine, peer = pair
    call = engine.get_rl_config(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    await peer.send_rpc_frame(KIND_ERROR_RESPONSE, seq, fn_id, payload)
    await expect_error(call, RuntimeError, rpc_error(seq, fn_id, err, sub, message))
    await expect_kept(engine, peer, next_seq=seq + 1)


async def test_peer_that_never_answers_times_out_and_is_dropped(pair):
    engine, peer = pair
    call = engine.get_rl_config(0.2)
    seq, fn_id, _ = await peer.recv_request()
    await expect_error(call, RuntimeError, transport_error(seq, fn_id, "timeout waiting response"))
    await expect_dropped(engine, peer)


async def test_ignored_messages_do_not_restart_the_deadline(pair):
    engine, peer = pair
    call = engine.step_next(0.3)
    seq, fn_id, _ = await peer.recv_request()

    async def chatter():
        while True:
            await peer.send_text("still here")
            await peer.send_echo_request(0, 0, b"e")
            await asyncio.sleep(0.02)

    chatting = asyncio.ensure_future(chatter())
    try:
        await expect_error(call, RuntimeError,
                           transport_error(seq, fn_id, "timeout waiting response"))
    finally:
        chatting.cancel()


async def test_zero_timeout_without_a_waiting_response_times_out(pair):
    engine, peer = pair
    await expect_error(engine.step_next(0), RuntimeError,
                       transport_error(1, 2, "timeout waiting response"))
    assert await peer.recv_request() == (1, 2, b"")
    await expect_dropped(engine, peer)


@pytest.mark.parametrize("before", [b"", b"text", b"skipped frame"])
async def test_zero_timeout_succeeds_when_the_response_is_already_there(pair, before):
    # The engine reads nothing between exchanges, so a response sent ahead of
    # the request waits in the connection for the exchange that expects it.
    engine, peer = pair
    ahead = b""
    if before == b"text":
        ahead += encode_ws_frame(0x1, b"hello")
    elif before == b"skipped frame":
        ahead += encode_ws_frame(OP_BINARY, encode_frame(7, 99, 99, b""))
    ahead += encode_ws_frame(OP_BINARY, encode_frame(KIND_RESPONSE, 1, 120, b"\x01"))
    await peer.send_raw(ahead)
    await asyncio.sleep(0.05)
    assert await asyncio.wait_for(engine.get_sync_policy(0), GUARD) == "eager"
    assert await peer.recv_request() == (1, 120, b"")
    await expect_kept(engine, peer, next_seq=2)


# ---------------------------------------------------------------------------
# Sequence numbers


@pytest.mark.parametrize("start_seq, expected", [
    (None, [1, 2, 3]),
    (0, [0, 1, 2]),
    (4294967294, [4294967294, 4294967295, 0]),
    (4294967295, [4294967295, 0, 1]),
])
async def test_sequence_numbers_start_at_start_seq_and_wrap(pair, expected):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: b"") as server:
        for _ in expected:
            await asyncio.wait_for(engine.step_next(GUARD), GUARD)
    assert [seq for seq, _, _ in server.requests] == expected


@pytest.mark.parametrize("start_seq", [5])
async def test_sequence_restarts_at_start_seq_after_reconnect(pair, served):
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: b""):
        for _ in range(3):
            await asyncio.wait_for(engine.step_next(GUARD), GUARD)
    call = engine.step_next(0.2)
    assert (await peer.recv_request())[0] == 8
    await expect_error(call, RuntimeError, transport_error(8, 2, "timeout waiting response"))
    await expect_error(engine.get_rl_config(GUARD), RuntimeError,
                       transport_error(None, 102, "no websocket connected"))
    newer = await served.connect()
    await expect_kept(engine, newer, next_seq=5)


# ---------------------------------------------------------------------------
# Many calls at once


def index_handler(fn_id, payload):
    if fn_id == 101:
        return payload[:4]
    if fn_id == 102:
        return b'{"n":1}'
    if fn_id == 120:
        return b"\x00"
    return b""


async def test_hundreds_of_concurrent_calls_from_one_loop(pair):
    # Several bursts: requests are answered in the order they arrive, so
    # every exchange must receive in the order it sent.
    engine, peer = pair
    count, rounds = 200, 10
    async with peer.serve(index_handler) as server:
        for _ in range(rounds):
            calls = []
            for i in range(count):
                kind = i % 4
                if kind == 0:
                    calls.append((engine.reset_episode(i, "train", GUARD), i))
                elif kind == 1:
                    calls.append((engine.get_rl_config(GUARD), '{"n":1}'))
                elif kind == 2:
                    calls.append((engine.get_sync_policy(GUARD), "deferred"))
                else:
                    calls.append((engine.step_next(GUARD), None))
            results = await asyncio.wait_for(asyncio.gather(*(c for c, _ in calls)), 20)
            assert results == [expected for _, expected in calls]
    seqs = [seq for seq, _, _ in server.requests]
    assert sorted(seqs) == list(range(1, count * rounds + 1))


async def test_calls_from_two_event_loops_in_two_threads(pair):
    engine, peer = pair
    count = 100
    loop = asyncio.get_running_loop()
    outcomes = [loop.create_future(), loop.create_future()]

    def report(outcome, result, exc):
        if not outcome.done():
            if exc is None:
                outcome.set_result(result)
            else:
                outcome.set_exception(exc)

    def run_in_thread(offset, outcome):
        async def main():
            futures = [engine.reset_episode(offset + i, "test", GUARD) for i in range(count)]
            own_loop = asyncio.get_running_loop()
            assert all(f.get_loop() is own_loop for f in futures)
            return await asyncio.wait_for(asyncio.gather(*futures), 20)

        try:
            result, exc = asyncio.run(main()), None
        except BaseException as error:
            result, exc = None, error
        loop.call_soon_threadsafe(report, outcome, result, exc)

    async with peer.serve(index_handler) as server:
        # daemon threads: a stuck one must not hold up the interpreter's exit
        for offset, outcome in zip((0, 1000), outcomes):
            threading.Thread(target=run_in_thread, args=(offset, outcome), daemon=True).start()
        results = await asyncio.wait_for(asyncio.gather(*outcomes), 25)
    assert results == [list(range(count)), list(range(1000, 1000 + count))]
    assert len(server.requests) == 2 * count
    assert all(payload[4:] == b"\x01" for _, _, payload in server.requests)


# ---------------------------------------------------------------------------
# Cancellation


async def test_cancel_while_waiting_for_the_response_keeps_the_connection(pair):
    engine, peer = pair
    call = engine.get_rl_config(GUARD)
    seq, _, _ = await peer.recv_request()
    await peer.send_text("between messages")
    await asyncio.sleep(0.05)
    call.cancel()
    with pytest.raises(asyncio.CancelledError):
        await call
    await expect_kept(engine, peer, next_seq=seq + 1)


async def test_cancel_while_queued_behind_another_call(pair):
    engine, peer = pair
    first = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    queued = engine.get_rl_config(GUARD)
    await asyncio.sleep(0.05)
    queued.cancel()
    # let the done-callback run and signal the operation
    await asyncio.sleep(0.05)
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(first, GUARD) is None
    assert queued.cancelled()
    call = engine.get_sync_policy(GUARD)
    next_seq, next_fn_id, _ = await peer.recv_request()
    assert next_fn_id == 120, "the cancelled call was sent"
    await peer.respond(next_seq, next_fn_id, b"\x00")
    assert await asyncio.wait_for(call, GUARD) == "deferred"


async def probe_until_answered(engine, peer):
    """Make a call; the peer skips whatever requests come before it."""
    call = engine.get_rl_config(GUARD)
    while True:
        seq, fn_id, _ = await peer.recv_request()
        if fn_id == 102:
            break
    await peer.respond(seq, fn_id, b"after")
    assert await asyncio.wait_for(call, GUARD) == "after"


async def test_cancel_right_after_the_call_leaks_no_lock(served):
    # Cancelled at once, the calls may be stopped anywhere, even inside a send
    # (which may cost the connection); the locks must be free afterwards.
    engine = served.engine
    peer = await served.connect()
    cancelled = [engine.step_next(GUARD) for _ in range(5)]
    for future in cancelled:
        future.cancel()
    await asyncio.sleep(0.05)
    assert all(f.cancelled() for f in cancelled)
    try:
        await probe_until_answered(engine, peer)
    except (ConnectionLost, RuntimeError):
        peer = await served.connect()
        await probe_until_answered(engine, peer)


async def test_cancel_receiving_and_queued_calls_together_keeps_the_connection(pair):
    # The receiving call is between messages and the queued ones wait for the
    # slot lock when they are cancelled; releasing the lock hands it on while
    # the other cancellations are still on their way.  Repeated, because the
    # hand-over races with them.
    engine, peer = pair
    for _ in range(15):
        receiving = engine.step_next(GUARD)
        await peer.recv_request()
        queued = [engine.step_next(GUARD), engine.step_next(GUARD)]
        await asyncio.sleep(0.01)
        for future in [receiving] + queued:
            future.cancel()
        await probe_until_answered(engine, peer)


async def test_late_answer_to_a_cancelled_call_costs_the_connection(pair):
    engine, peer = pair
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    call.cancel()
    await asyncio.sleep(0.05)
    await peer.respond(seq, fn_id)
    nxt = engine.get_rl_config(GUARD)
    nseq, nfn, _ = await peer.recv_request()
    assert nseq == seq + 1
    await expect_error(nxt, RuntimeError,
                       transport_error(nseq, nfn, "seq mismatch: expected %d, got %d"
                                       % (nseq, seq)))
    await expect_dropped(engine, peer)


# ---------------------------------------------------------------------------
# Message size limit

LIMIT = 64 * MiB


async def send_response_of_size(peer, seq, fn_id, total, fragments):
    message = encode_frame(KIND_RESPONSE, seq, fn_id, bytes(total - 16))
    try:
        await peer.send_binary(message, fragments=fragments, mask_key=b"\x5a\xa5\x3c\xc3")
    except (ConnectionResetError, BrokenPipeError):
        pass


@pytest.mark.async_timeout(60)
@pytest.mark.parametrize("fragments", [None, 5, [LIMIT - 16, 16]])
async def test_message_of_64_mib_is_accepted(pair, fragments):
    engine, peer = pair
    call = engine.step_next(30)
    seq, fn_id, _ = await peer.recv_request()
    await send_response_of_size(peer, seq, fn_id, LIMIT, fragments)
    assert await asyncio.wait_for(call, 30) is None
    await expect_kept(engine, peer, next_seq=seq + 1)


@pytest.mark.async_timeout(60)
@pytest.mark.parametrize("fragments", [None, 5])
async def test_message_over_64_mib_is_a_receive_failure(pair, fragments):
    engine, peer = pair
    call = engine.step_next(30)
    seq, fn_id, _ = await peer.recv_request()
    sending = asyncio.ensure_future(
        send_response_of_size(peer, seq, fn_id, LIMIT + 1, fragments))
    await expect_error(call, RuntimeError,
                       prefix=transport_error(seq, fn_id, "websocket recv failed: "))
    await asyncio.wait_for(sending, 30)
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


# ---------------------------------------------------------------------------
# A peer that stops reading


async def test_blocked_request_send_fails_within_its_timeout(served, shrink_send_buffer):
    engine = served.engine
    peer = await served.connect(rcvbuf=1024)
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)

    # Responses are sent ahead, so exchanges succeed until the engine's
    # requests no longer fit in the socket buffers.
    async def answer_ahead():
        for i in range(20000):
            await peer.respond(1 + i, 2)

    answering = asyncio.ensure_future(answer_ahead())
    try:
        for done in range(20000):
            call = engine.step_next(0.3)
            try:
                await asyncio.wait_for(call, GUARD)
            except RuntimeError as exc:
                assert str(exc).startswith(
                    transport_error(1 + done, 2, "websocket send failed: ")), str(exc)
                break
        else:
            raise AssertionError("the send never blocked")
    finally:
        answering.cancel()
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


async def test_call_queued_behind_a_blocked_send_works_with_the_next_peer(served, shrink_send_buffer):
    engine = served.engine
    peer = await served.connect(rcvbuf=1024)
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)
    # fill the buffers: every exchange gets the response sent ahead of it
    answered = 0
    while True:
        await peer.respond(1 + answered, 2)
        call = engine.step_next(1.0)
        done, _ = await asyncio.wait([call], timeout=0.3)
        if not done:
            break
        await call
        answered += 1
        assert answered < 20000, "the send never blocked"
    # `call` is now stuck in its send; a new peer connects and a call queues
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    await asyncio.sleep(0.05)
    queued = engine.get_rl_config(GUARD)
    await expect_error(call, RuntimeError,
                       prefix=transport_error(answered + 1, 2, "websocket send failed: "))
    seq, fn_id, _ = await newer.recv_request()
    assert (seq, fn_id) == (1, 102)
    await newer.respond(seq, fn_id, b"fresh")
    assert await asyncio.wait_for(queued, GUARD) == "fresh"


async def test_blocked_echo_reply_ends_at_the_deadline(served, shrink_send_buffer):
    engine = served.engine
    peer = await served.connect(rcvbuf=1024)
    call = engine.step_next(0.3)
    seq, fn_id, _ = await peer.recv_request()
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)
    try:
        await peer.send_echo_request(0, 0, bytes(4 * MiB))
    except (ConnectionResetError, BrokenPipeError):
        pass  # on a loaded machine the deadline may pass before all of it is sent
    await expect_error(call, RuntimeError, transport_error(seq, fn_id, "timeout waiting response"))
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


@pytest.mark.parametrize("rows", [1, 1500, 3000])  # in one write, partly at call time, too big for that
async def test_request_backed_up_at_call_time_arrives_whole(served, shrink_send_buffer, rows):
    engine = served.engine
    peer = await served.connect(rcvbuf=1024)
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)
    candles = np.arange(rows * 5, dtype=np.float64).reshape(rows, 5)
    call = engine.init_candles(candles, GUARD)
    follower = engine.step_next(GUARD)
    await asyncio.sleep(0.1)
    peer.resume_reading()
    seq, fn_id, payload = await peer.recv_request()
    assert (seq, fn_id) == (1, 100)
    assert payload == struct.pack("<II", rows, 5) + candles.tobytes()
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(call, GUARD) is None
    seq, fn_id, _ = await peer.recv_request()
    assert (seq, fn_id) == (2, 2)
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(follower, GUARD) is None


# ---------------------------------------------------------------------------
# Large messages, which are read straight into a block of their own

LARGE_ROWS = 60_000  # a 2.4 MB MatF64 answer


def large_ohlc(seq, rows=LARGE_ROWS):
    values = np.random.default_rng(seq).normal(size=(rows, 5))
    payload = struct.pack("<II", rows, 5) + values.tobytes()
    return values, encode_ws_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, 15, payload))


def pieces(data, cuts):
    edges = [0] + [c for c in cuts if c < len(data)] + [len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


@pytest.mark.parametrize("cuts", [
    [],                                              # one write
    [1, 3, 9, 12, 17, 25, 40, 70_000, 1_500_000],    # headers split across reads
])
async def test_large_answer_arrives_exact(pair, cuts):
    engine, peer = pair
    call = engine.get_ohlc(GUARD)
    seq, _, _ = await peer.recv_request()
    values, raw = large_ohlc(seq)
    # Each piece must leave on its own, for the engine to see the headers split.
    peer.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for piece in pieces(raw, cuts):
        await peer.send_raw(piece)
        await asyncio.sleep(0.005 if cuts else 0)
    result = await asyncio.wait_for(call, GUARD)
    assert result.shape == values.shape and result.tobytes() == values.tobytes()
    assert result.flags.writeable
    await expect_kept(engine, peer, next_seq=seq + 1)


async def test_large_answer_in_fragments(pair):
    # Fragmented messages are assembled in the connection, not read into a block of their own.
    engine, peer = pair
    call = engine.get_ohlc(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    values = np.random.default_rng(3).normal(size=(LARGE_ROWS, 5))
    frame = encode_frame(KIND_RESPONSE, seq, fn_id, struct.pack("<II", LARGE_ROWS, 5) + values.tobytes())
    await peer.send_binary(frame, fragments=[10, 2 * MiB])
    result = await asyncio.wait_for(call, GUARD)
    assert result.tobytes() == values.tobytes()
    await expect_kept(engine, peer, next_seq=seq + 1)


async def test_messages_around_a_large_answer_in_one_write(pair):
    engine, peer = pair
    first = engine.get_ohlc(GUARD)
    seq, _, _ = await peer.recv_request()
    # The answers to the next two calls go ahead of their requests, in the same write.
    values1, raw1 = large_ohlc(seq)
    values2, raw2 = large_ohlc(seq + 1, rows=30_000)
    await peer.send_raw(encode_ws_frame(OP_PONG, b"x") + raw1 + raw2
                        + encode_ws_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq + 2, 2)))
    got1 = await asyncio.wait_for(first, GUARD)
    got2 = await asyncio.wait_for(engine.get_ohlc(GUARD), GUARD)
    got3 = await asyncio.wait_for(engine.step_next(GUARD), GUARD)
    assert got1.tobytes() == values1.tobytes() and got2.tobytes() == values2.tobytes()
    assert got3 is None
    assert [(await peer.recv_request())[:2] for _ in range(2)] == [(seq + 1, 15), (seq + 2, 2)]


async def test_large_echo_request_is_echoed_whole(pair):
    engine, peer = pair
    call = engine.step_next(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    body = bytes(range(256)) * 8192  # 2 MiB
    await peer.send_echo_request(seq, fn_id, body)
    assert await peer.recv_message() == (OP_BINARY, encode_frame(KIND_ECHO_REPLY, seq, fn_id, body))
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(call, GUARD) is None


async def test_large_answer_with_a_wrong_stated_length_is_a_value_error(pair):
    engine, peer = pair
    call = engine.get_ohlc(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    payload = bytes(2 * MiB)
    await peer.send_binary(encode_frame(KIND_RESPONSE, seq, fn_id, payload, payload_len=len(payload) - 8))
    await expect_error(call, ValueError, f"payload length mismatch: expected {len(payload) + 8}, "
                                         f"got {len(payload) + 16}")


async def test_stream_ending_inside_a_large_answer(pair):
    engine, peer = pair
    call = engine.get_ohlc(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    _, raw = large_ohlc(seq)
    await peer.send_raw(raw[:len(raw) // 2])
    peer.writer.write_eof()
    await expect_error(call, RuntimeError, transport_error(
        seq, fn_id, "websocket recv failed: connection closed in the middle of a message"))


async def test_requests_go_out_in_call_order(pair):
    # A large request goes through the runtime; the small ones made after it must not overtake it.
    engine, peer = pair
    big = np.zeros((3000, 5))
    async with peer.serve(lambda fn_id, payload: b"cfg" if fn_id == 102 else b"") as server:
        for _ in range(20):
            await asyncio.wait_for(asyncio.gather(
                engine.init_candles(big, GUARD), engine.step_next(GUARD), engine.get_rl_config(GUARD)), GUARD)
    assert [fn_id for _, fn_id, _ in server.requests] == [100, 2, 102] * 20
