"""wait_connected(): its limit, its waiters, and its answer while other calls run."""

import asyncio

import pytest

from peer import connect_ready, DEFAULT_TIMEOUT as GUARD, free_port
from support import HOST, LARGEST_FLOAT_BELOW_2_64, NEGATIVE, RustEngineAsync, TIMED_OUT, TOO_BIG


async def test_zero_limit_wait_connected_answers_while_another_call_receives(pair):
    engine, peer = pair
    long_call = engine.step_next(timeout_secs=4 * GUARD)
    seq, fn_id, _ = await peer.recv_request()
    await asyncio.sleep(0.05)
    assert await asyncio.wait_for(engine.wait_connected(timeout_secs=0), GUARD) is None
    assert not long_call.done()
    await peer.respond(seq, fn_id)
    assert await asyncio.wait_for(long_call, GUARD) is None


async def test_wait_connected_with_zero_limit_before_start_times_out():
    engine = RustEngineAsync(HOST, free_port())
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(engine.wait_connected(0), GUARD)
    assert str(info.value) == TIMED_OUT


@pytest.mark.parametrize("limit", [0, 0.0, 0.2])
async def test_wait_connected_without_connection_times_out(served, limit):
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(served.engine.wait_connected(timeout_secs=limit), GUARD)
    assert str(info.value) == TIMED_OUT


@pytest.mark.parametrize("limit", [None, 0, 0.0, 1e-9, 5, 1e18, LARGEST_FLOAT_BELOW_2_64])
async def test_wait_connected_with_connection_returns_none(pair, limit):
    engine, _ = pair
    assert await asyncio.wait_for(engine.wait_connected(limit), GUARD) is None


@pytest.mark.parametrize("limit, exc, text", [
    (-1, ValueError, NEGATIVE),
    (-0.5, ValueError, NEGATIVE),
    (float("nan"), ValueError, TOO_BIG),
    (float("inf"), ValueError, TOO_BIG),
    (2.0 ** 64, ValueError, TOO_BIG),
    (1e300, ValueError, TOO_BIG),
    ("1", TypeError, "argument 'timeout_secs': "),
    (object(), TypeError, "argument 'timeout_secs': "),
])
async def test_wait_connected_bad_limit_raises_at_call_time(pair, limit, exc, text):
    engine, _ = pair
    with pytest.raises(exc) as info:
        engine.wait_connected(limit)
    assert type(info.value) is exc
    if exc is ValueError:
        assert str(info.value) == text
    else:
        assert str(info.value).startswith(text)


async def test_one_connection_wakes_every_waiter(served):
    waiters = [served.engine.wait_connected(), served.engine.wait_connected(),
               served.engine.wait_connected(timeout_secs=LARGEST_FLOAT_BELOW_2_64)]
    await asyncio.sleep(0.05)
    assert not any(w.done() for w in waiters)
    await connect_ready(HOST, served.port)
    assert await asyncio.wait_for(asyncio.gather(*waiters), GUARD) == [None] * 3


async def test_connection_arriving_while_waits_start_ends_every_wait(served):
    # Waits keep starting while the peer connects, so some of them check the
    # slot just before the installation and register just around it.
    connecting = asyncio.ensure_future(connect_ready(HOST, served.port))
    waiters = []
    while not connecting.done():
        waiters.append(served.engine.wait_connected())
        await asyncio.sleep(0)
    for _ in range(20):
        waiters.append(served.engine.wait_connected())
        await asyncio.sleep(0.001)
    (await connecting).abort()
    results = await asyncio.wait_for(asyncio.gather(*waiters), GUARD)
    assert results == [None] * len(waiters)
