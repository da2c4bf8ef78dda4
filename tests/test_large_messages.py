"""Large messages: the 64 MiB limit, answers read into a block of their own,
large echo requests, and a request that backs up at call time."""

import asyncio
import socket
import struct

import numpy as np
import pytest

from peer import (DEFAULT_TIMEOUT as GUARD, encode_frame, encode_ws_frame, KIND_ECHO_REPLY, KIND_RESPONSE,
                  OP_BINARY, OP_PONG)
from support import expect_error, expect_kept, MiB, stalled_peer, transport_error


LIMIT = 64 * MiB


async def send_response_of_size(peer, seq, fn_id, total, fragments):
    message = encode_frame(KIND_RESPONSE, seq, fn_id, bytes(total - 16))
    try:
        await peer.send_binary(message, fragments=fragments, mask_key=b"\x5a\xa5\x3c\xc3")
    except (ConnectionResetError, BrokenPipeError):
        pass


LARGE_ROWS = 60_000  # a 2.4 MB MatF64 answer


def large_ohlc(seq, rows=LARGE_ROWS):
    values = np.random.default_rng(seq).normal(size=(rows, 5))
    payload = struct.pack("<II", rows, 5) + values.tobytes()
    return values, encode_ws_frame(OP_BINARY, encode_frame(KIND_RESPONSE, seq, 15, payload))


def pieces(data, cuts):
    edges = [0] + [c for c in cuts if c < len(data)] + [len(data)]
    return [data[a:b] for a, b in zip(edges, edges[1:])]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("fragments", [None, 5, [LIMIT - 16, 16]])
async def test_message_of_64_mib_is_accepted(pair, fragments):
    engine, peer = pair
    call = engine.step_next(30)
    seq, fn_id, _ = await peer.recv_request()
    await send_response_of_size(peer, seq, fn_id, LIMIT, fragments)
    assert await asyncio.wait_for(call, 30) is None
    await expect_kept(engine, peer, next_seq=seq + 1)


@pytest.mark.timeout(60)
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


@pytest.mark.parametrize("rows", [1, 1500, 3000])  # in one write, partly at call time, too big for that
async def test_request_backed_up_at_call_time_arrives_whole(served, shrink_send_buffer, rows):
    engine = served.engine
    peer = await stalled_peer(served, shrink_send_buffer)
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
