"""How a response is matched to its call: seq and fnId, sequence numbers from
start_seq with wrap-around, skipped frames, request order under load, and
what a malformed or mismatched response leaves of the connection."""

import asyncio

import numpy as np
import pytest

from peer import (DEFAULT_TIMEOUT as GUARD, encode_frame, error_record, KIND_ECHO_REQUEST,
                  KIND_ERROR_RESPONSE, KIND_RESPONSE)
from support import expect_dropped, expect_error, expect_kept, index_handler, rpc_error, transport_error


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


async def test_requests_go_out_in_call_order(pair):
    # A large request goes through the runtime; the small ones made after it must not overtake it.
    engine, peer = pair
    big = np.zeros((3000, 5))
    async with peer.serve(lambda fn_id, payload: b"cfg" if fn_id == 102 else b"") as server:
        for _ in range(20):
            await asyncio.wait_for(asyncio.gather(
                engine.init_candles(big, GUARD), engine.step_next(GUARD), engine.get_rl_config(GUARD)), GUARD)
    assert [fn_id for _, fn_id, _ in server.requests] == [100, 2, 102] * 20
