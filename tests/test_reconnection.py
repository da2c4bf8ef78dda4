"""A newer page replaces the older one: when it is installed, what the older
one sees, the sequence numbers afterwards, and calls caught in between."""

import asyncio

import numpy as np
import pytest

from peer import connect_ready, ConnectionLost, decode_frame, DEFAULT_TIMEOUT as GUARD, OP_BINARY, OP_CLOSE
from support import answered, expect_error, expect_kept, HOST, stalled_peer, TIMED_OUT, transport_error


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


async def test_call_queued_behind_a_blocked_send_works_with_the_next_peer(served, shrink_send_buffer):
    engine = served.engine
    peer = await stalled_peer(served, shrink_send_buffer)
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


async def test_page_connecting_during_a_send_is_left_alone(served, shrink_send_buffer):
    engine = served.engine
    older = await stalled_peer(served, shrink_send_buffer)
    candles = np.zeros((20_000, 5))
    call = engine.init_candles(candles, timeout_secs=30)
    await asyncio.sleep(0.2)
    assert not call.done(), "the send did not back up"
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    # The new page's installation now waits behind the send for the slot.
    await asyncio.sleep(0.3)
    older.resume_reading()
    # The older peer takes the whole request (a paused reader would back it up again); the
    # installation then drops it.
    draining = asyncio.ensure_future(older.read_until_closed(timeout=3 * GUARD))
    # The request went out on the older connection: nothing can answer it on the newer one.
    await expect_error(call, RuntimeError, transport_error(1, 100, "connection missing"))
    assert await answered(engine, newer) == 1
    received = await draining
    assert [(op, decode_frame(data)[3:5]) for op, data in received] == [(OP_BINARY, (1, 100))]


async def test_wait_connected_waits_again_after_a_drop(pair, served):
    engine, peer = pair
    call = engine.step_next(timeout_secs=0.2)
    await peer.recv_request()
    with pytest.raises(RuntimeError, match="timeout waiting response"):
        await asyncio.wait_for(call, GUARD)
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(engine.wait_connected(timeout_secs=0.2), GUARD)
    assert str(info.value) == TIMED_OUT
    waiter = engine.wait_connected()
    await connect_ready(HOST, served.port)
    assert await asyncio.wait_for(waiter, GUARD) is None


@pytest.mark.parametrize("start_seq", [5])
async def test_newer_connection_replaces_older_and_restarts_seq(served):
    engine = served.engine
    older = await served.connect()
    async with older.serve(lambda fn_id, payload: b""):
        for _ in range(3):
            await asyncio.wait_for(engine.step_next(timeout_secs=GUARD), GUARD)
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    remaining = await older.read_until_closed()
    assert all(opcode != OP_CLOSE for opcode, _ in remaining), remaining
    call = engine.reset_episode(1, "test", timeout_secs=GUARD)
    seq, fn_id, _ = await newer.recv_request()
    assert (seq, fn_id) == (5, 101)
    await newer.respond(seq, fn_id, b"\x09\x00\x00\x00")
    assert await asyncio.wait_for(call, GUARD) == 9


async def test_installation_waits_for_an_exchange_in_progress(pair, served):
    engine, older = pair
    call = engine.get_rl_config(timeout_secs=GUARD)
    seq, fn_id, _ = await older.recv_request()
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    await asyncio.sleep(0.05)
    await older.respond(seq, fn_id, b'{"seed":1}')
    assert await asyncio.wait_for(call, GUARD) == '{"seed":1}'
    assert await older.read_until_closed() == []
    call = engine.step_next(timeout_secs=GUARD)
    seq2, fn_id2, _ = await newer.recv_request()
    assert (seq2, fn_id2) == (1, 2)
    await newer.respond(seq2, fn_id2)
    assert await asyncio.wait_for(call, GUARD) is None


async def test_older_peer_sees_end_of_stream_not_a_close_frame(pair, served):
    _, older = pair
    await connect_ready(HOST, served.port)
    with pytest.raises(ConnectionLost):
        await older.recv_message()
