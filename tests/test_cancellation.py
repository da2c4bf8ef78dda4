"""Cancelled calls: whether the connection survives, and that no lock or
half-sent message is left behind."""

import asyncio

import pytest

from peer import ConnectionLost, DEFAULT_TIMEOUT as GUARD
from support import answered, expect_dropped, expect_error, expect_kept, MiB, transport_error


async def probe_until_answered(engine, peer):
    """Make a call; the peer skips whatever requests come before it."""
    call = engine.get_rl_config(GUARD)
    while True:
        seq, fn_id, _ = await peer.recv_request()
        if fn_id == 102:
            break
    await peer.respond(seq, fn_id, b"after")
    assert await asyncio.wait_for(call, GUARD) == "after"


def no_connection(fn_id):
    return transport_error(None, fn_id, "no websocket connected")


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


async def test_cancel_during_a_blocked_echo_reply_drops_the_connection(served, shrink_send_buffer):
    engine = served.engine
    peer = await served.connect(rcvbuf=1024)
    call = engine.step_next(30)
    await peer.recv_request()
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)
    await peer.send_echo_request(9, 9, bytes(32 * MiB))
    # Long enough for the engine to read the request and back up on its reply.
    await asyncio.sleep(1.0)
    assert not call.done()
    call.cancel()
    with pytest.raises(asyncio.CancelledError):
        await asyncio.wait_for(call, GUARD)
    await asyncio.sleep(0.05)
    # Half a reply went out: the stream is no longer in step, so nothing may be sent on it.
    await expect_error(engine.step_next(30), RuntimeError, no_connection(2))
    newer = await served.connect()
    assert await answered(engine, newer) == 1


async def test_cancelled_wait_ends_silently_and_later_waits_work(served):
    waiter = served.engine.wait_connected()
    await asyncio.sleep(0.05)
    waiter.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiter
    other = served.engine.wait_connected()
    await served.connect()
    assert await asyncio.wait_for(other, GUARD) is None
