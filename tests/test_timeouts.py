"""Call timeouts: accepted and refused values, the default, deadlines that
pass while nothing answers, while the peer chatters, while a send is
blocked, and while the awaiting loop is busy or closed."""

import asyncio
import time

import numpy as np
import pytest

from peer import (connect_ready, DEFAULT_TIMEOUT as GUARD, encode_frame, encode_ws_frame, free_port, KIND_RESPONSE,
                  OP_BINARY)
from support import (exchange, expect_dropped, expect_error, expect_kept, HOST, in_thread,
                     LARGEST_FLOAT_BELOW_2_64, MiB, NEGATIVE, OPERATIONS, outcome_of, RustEngineAsync,
                     stalled_peer, TOO_BIG, transport_error)


def call_with(name, timeout):
    engine = RustEngineAsync(HOST, free_port())
    if name == "reset_episode":
        return engine.reset_episode(0, "test", timeout)
    return getattr(engine, name)(timeout)


class Seconds:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("name", list(OPERATIONS))
async def test_default_timeout_is_used_when_absent_or_none(pair, name):
    engine, peer = pair
    call, fn_id, _ = OPERATIONS[name]
    calls = [call(engine, None),
             getattr(engine, name)(*((3, "test") if name == "reset_episode" else ()))]
    async with peer.serve(lambda fn, payload: b"\x00\x00\x00\x00"):
        await asyncio.wait_for(asyncio.gather(*calls), GUARD)


#: The timeout of each operation when ``timeout_secs`` is absent or None, in seconds.
DEFAULT_SECONDS = {"step_next": 10.0, "reset_episode": 10.0, "get_rl_config": 10.0, "get_sync_policy": 5.0}
#: How much later than its deadline an unanswered call may end on a loaded machine.
LATE = 2.0


@pytest.mark.timeout(60)
async def test_unanswered_calls_without_a_timeout_end_at_their_default(start_engine):
    # One engine and peer per call, so that the defaults (up to 10 s) all run at once.
    cases = [(name, absent) for name in OPERATIONS for absent in (True, False)]
    pairs = []
    try:
        for _ in cases:
            engine, port = await start_engine()
            peer = await connect_ready(HOST, port)
            pairs.append((engine, peer))
            await asyncio.wait_for(engine.wait_connected(timeout_secs=GUARD), GUARD)
        started = time.monotonic()
        calls = []
        for (name, absent), (engine, _) in zip(cases, pairs):
            if absent:
                calls.append(getattr(engine, name)(*((3, "test") if name == "reset_episode" else ())))
            else:
                calls.append(OPERATIONS[name][0](engine, None))
        requests = [await peer.recv_request() for _, peer in pairs]

        async def ended(call):
            with pytest.raises(RuntimeError) as info:
                await call
            return time.monotonic() - started, str(info.value)

        outcomes = await asyncio.wait_for(asyncio.gather(*map(ended, calls)),
                                          max(DEFAULT_SECONDS.values()) + LATE + GUARD)
    finally:
        for _, peer in pairs:
            peer.abort()
    for (name, absent), (seq, fn_id, _), (elapsed, text) in zip(cases, requests, outcomes):
        assert text == transport_error(seq, fn_id, "timeout waiting response"), (name, absent)
        # The deadline starts with the receive phase, after the call was made: never before the default.
        assert DEFAULT_SECONDS[name] <= elapsed < DEFAULT_SECONDS[name] + LATE, (name, absent, elapsed)


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


@pytest.mark.parametrize("timeout", [
    3, 0.5, np.float64(2.0), Seconds(), 1e18, LARGEST_FLOAT_BELOW_2_64,
])
async def test_timeout_values_that_work(pair, timeout):
    engine, peer = pair
    _, result = await exchange(peer, engine.get_sync_policy(timeout), b"\x00")
    assert result == "deferred"


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


async def test_blocked_request_send_fails_within_its_timeout(served, shrink_send_buffer):
    engine = served.engine
    peer = await stalled_peer(served, shrink_send_buffer)

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


@pytest.mark.parametrize("answered", [True, False])
async def test_call_of_a_closed_loop_ends_at_its_deadline(pair, answered):
    # Nobody drives the receive phase once its loop has closed: the deadline ends it on the
    # runtime, reading first what has arrived, and the engine's next call is not held up.
    engine, peer = pair

    async def make_call():
        return engine.step_next(0.3)  # left pending when its loop closes

    def call_from_a_loop_that_closes():
        loop = asyncio.new_event_loop()
        try:
            return loop.run_until_complete(make_call()) is not None
        finally:
            loop.close()

    assert await in_thread(call_from_a_loop_that_closes)
    seq, fn_id, _ = await peer.recv_request()
    if answered:
        await peer.respond(seq, fn_id)
    nxt = engine.get_sync_policy(GUARD)
    if answered:
        # The answer was taken at the deadline: the connection is in step for the next call.
        seq2, fn_id2, _ = await peer.recv_request()
        assert seq2 == seq + 1
        await peer.respond(seq2, fn_id2, b"\x01")
        assert await outcome_of(nxt) == ("result", "eager")
    else:
        assert await outcome_of(nxt) == ("error", transport_error(None, 120, "no websocket connected"))


@pytest.mark.parametrize("answer", ["before the deadline", "never"])
async def test_deadline_passing_while_the_loop_is_busy(pair, answer):
    # The loop is held up past the deadline. What arrived in time is the result; otherwise the
    # call times out and the connection goes, as if the loop had been free.
    engine, peer = pair
    call = engine.step_next(0.2)
    seq, fn_id, _ = await peer.recv_request()
    if answer == "before the deadline":
        await peer.respond(seq, fn_id)
    time.sleep(0.5)  # the loop's thread is busy: the reader cannot run
    got = await outcome_of(call)
    if answer == "never":
        assert got == ("error", transport_error(seq, fn_id, "timeout waiting response"))
        await peer.read_until_closed()
    else:
        assert got == ("result", None)
