"""The receive phase of an exchange: echo requests, pings, text and fragments
between request and response, error responses, and protocol violations."""

import asyncio

import pytest

from peer import (decode_frame, DEFAULT_TIMEOUT as GUARD, encode_frame, error_record, KIND_ECHO_REPLY,
                  KIND_ERROR_RESPONSE, KIND_RESPONSE, OP_BINARY, OP_PONG)
from support import expect_dropped, expect_error, expect_kept, outcome_of, rpc_error, transport_error


async def unmasked_frame(peer, seq, fn_id):
    await peer.send_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, fn_id), mask=False)


async def reserved_bits(peer, seq, fn_id):
    await peer.send_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, fn_id), rsv=4)


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


@pytest.mark.parametrize("between", ["echo request", "ping", "text"])
async def test_messages_between_exchanges_wait_for_the_next_one(pair, between):
    # Nothing reads the connection between exchanges, however often the loop is told that the
    # socket is readable; the next exchange handles what came, then takes its answer.
    engine, peer = pair
    async with peer.serve(lambda fn_id, payload: b"") as server:
        assert await outcome_of(engine.step_next(GUARD)) == ("result", None)
        if between == "echo request":
            await peer.send_echo_request(77, 7, b"between")
        elif between == "ping":
            await peer.send_ping(b"between")
        else:
            await peer.send_text("between")
        await asyncio.sleep(0.1)
        assert server.other == []
        assert await outcome_of(engine.step_next(GUARD)) == ("result", None)
    if between == "echo request":
        assert [(op, decode_frame(data)[1:5]) for op, data in server.other] == [(OP_BINARY, (KIND_ECHO_REPLY, 0, 77, 7))]
    elif between == "ping":
        assert server.other == [(OP_PONG, b"between")]
    else:
        assert server.other == []
