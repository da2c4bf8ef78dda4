"""Closing an engine and the port it reports.

Environments are made and closed many times in one process: a closed engine
must give its port back, end whatever was in flight with "engine closed", and
refuse everything afterwards without waiting.
"""

import asyncio
import os

import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT as GUARD
from peer import ConnectionLost, connect, connect_ready

HOST = "127.0.0.1"
CLOSED = "engine closed"


def closed_text(fn_id=None, seq=None):
    some = lambda v: "None" if v is None else "Some(%d)" % v  # noqa: E731
    return "RpcTransportError(seq=%s, fnId=%s): %s" % (some(seq), some(fn_id), CLOSED)


async def started(port=0):
    engine = py_engine_rust.RustEngineAsync(HOST, port)
    await asyncio.wait_for(engine.start(), GUARD)
    return engine


async def test_port_is_none_until_started_then_the_bound_one():
    engine = py_engine_rust.RustEngineAsync(HOST, 0)
    assert engine.port is None
    await engine.start()
    assert isinstance(engine.port, int) and 0 < engine.port < 65536
    # The reported port is really the one listening.
    peer = await connect_ready(HOST, engine.port)
    await asyncio.wait_for(engine.wait_connected(), GUARD)
    peer.abort()
    await engine.close()
    assert engine.port is not None  # kept after close, for the record


async def test_failed_start_leaves_port_none():
    first = await started()
    second = py_engine_rust.RustEngineAsync(HOST, first.port)
    with pytest.raises(RuntimeError, match="Address already in use"):
        await second.start()
    assert second.port is None
    with pytest.raises(AttributeError):
        second.port = 1
    await first.close()


async def test_close_frees_the_port_at_once():
    engine = await started()
    port = engine.port
    await engine.close()
    again = await started(port)
    assert again.port == port
    await again.close()
    # Nothing listens any more.
    with pytest.raises(OSError):
        await asyncio.wait_for(asyncio.open_connection(HOST, port), GUARD)


@pytest.mark.parametrize("call", ["receiving", "queued", "unconnected_wait"])
async def test_close_fails_what_is_in_flight(call):
    engine = await started()
    peer = None
    if call != "unconnected_wait":
        peer = await connect_ready(HOST, engine.port)
        await asyncio.wait_for(engine.wait_connected(), GUARD)
    if call == "receiving":
        pending = [engine.step_next(timeout_secs=30)]
        expected = [closed_text(2, 1)]
    elif call == "queued":
        # The second waits for the slot (its presence check) behind the first's receive phase.
        pending = [engine.step_next(timeout_secs=30), engine.get_snapshot(timeout_secs=30)]
        expected = [closed_text(2, 1), closed_text(12)]
    else:
        pending = [engine.wait_connected()]
        expected = [closed_text()]
    await asyncio.sleep(0.1)
    await asyncio.wait_for(engine.close(), GUARD)
    outcomes = await asyncio.wait_for(asyncio.gather(*pending, return_exceptions=True), GUARD)
    assert [str(o) for o in outcomes] == expected
    assert all(isinstance(o, RuntimeError) for o in outcomes)
    if peer is not None:
        # The page's socket was closed by the engine (after the requests that went out).
        with pytest.raises(ConnectionLost):
            for _ in range(len(pending) + 1):
                await peer.recv_message(timeout=GUARD)


@pytest.mark.parametrize("name,args,fn_id", [
    ("start", (), None),
    ("wait_connected", (), None),
    ("wait_connected", (0,), None),
    ("step_next", (), 2),
    ("get_snapshot", (), 12),
    ("init_candles", ("candles",), 100),
    ("reset_episode", (0, "train"), 101),
])
async def test_calls_after_close_fail_at_once(name, args, fn_id):
    import numpy as np
    engine = await started()
    peer = await connect_ready(HOST, engine.port)
    await asyncio.wait_for(engine.wait_connected(), GUARD)
    await engine.close()
    await engine.close()  # twice is fine
    args = tuple(np.zeros((2, 5)) if a == "candles" else a for a in args)
    with pytest.raises(RuntimeError) as info:
        # A short guard: nothing may wait for a timeout here.
        await asyncio.wait_for(getattr(engine, name)(*args), 1.0)
    assert str(info.value) == closed_text(fn_id)
    peer.abort()


async def test_close_before_start():
    engine = py_engine_rust.RustEngineAsync(HOST, 0)
    await engine.close()
    with pytest.raises(RuntimeError, match=CLOSED):
        await engine.start()
    assert engine.port is None


async def test_close_ends_a_stalled_upgrade_and_refuses_late_pages():
    engine = await started()
    # A client that connects and never sends its upgrade request.
    reader, writer = await asyncio.open_connection(HOST, engine.port)
    await asyncio.sleep(0.1)
    await engine.close()
    assert await asyncio.wait_for(reader.read(), GUARD) == b""
    writer.close()
    with pytest.raises(OSError):
        await connect(HOST, engine.port)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


async def test_making_and_closing_engines_keeps_no_descriptors():
    async def one_round():
        engines = [await started() for _ in range(8)]
        peers = [await connect_ready(HOST, e.port) for e in engines]
        for e in engines:
            await asyncio.wait_for(e.wait_connected(), GUARD)
        await asyncio.gather(*(e.close() for e in engines))
        for p in peers:
            p.abort()
        await asyncio.sleep(0)

    await one_round()
    before = open_descriptors()
    for _ in range(3):
        await one_round()
    assert open_descriptors() <= before + 2
