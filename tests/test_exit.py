"""close() and the end of a script with calls in flight: what is pending fails
with "engine closed", the port is given back, later calls fail at once, and
the interpreter exits normally."""

import asyncio
import threading

import numpy as np
import pytest

import py_engine_rust
from peer import connect, connect_ready, ConnectionLost, DEFAULT_TIMEOUT as GUARD
from support import assert_clean_exit, HOST, outcome_of, started, transport_error


_EXIT_CHILD = r"""
import asyncio, sys, time
import py_engine_rust
from peer import free_port

class SlowToFinalise:
    # Keeps finalisation busy while the pending call's limit passes.
    def __del__(self):
        time.sleep(1.0)

keep = SlowToFinalise()

async def main():
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
    if sys.argv[1] == "started":
        await engine.start()
    engine.wait_connected(timeout_secs=0.3)
    engine.wait_connected()
    engine.step_next(0.2)

asyncio.run(main())
print("script ended")
"""


CLOSED = "engine closed"


def closed_text(fn_id=None, seq=None):
    return transport_error(seq, fn_id, CLOSED)


@pytest.mark.parametrize("engine_state", ["constructed", "started"])
def test_script_ending_with_calls_in_flight_exits_normally(run_python, engine_state):
    # stdout is a pipe, so the print stays in its buffer until the interpreter flushes it at
    # exit: an abort loses it.
    child = run_python(_EXIT_CHILD, engine_state, timeout=60)
    assert_clean_exit(child, "script ended\n")


async def test_close_from_another_thread_ends_a_call_whose_loop_is_busy(pair):
    # The call's loop is held up for all of close(), which must not wait for the call's 30 s.
    engine, peer = pair
    call = engine.step_next(30)
    await peer.recv_request()
    async def close():
        await engine.close()

    closer = threading.Thread(target=lambda: asyncio.run(close()), daemon=True)
    closer.start()
    closer.join(GUARD)  # this loop's thread is busy meanwhile
    assert not closer.is_alive()
    assert await outcome_of(call) == ("error", transport_error(1, 2, "engine closed"))


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
