"""The receive phase driven by the loop that awaits the call, and what the runtime takes over
from it: a deadline the loop does not see (busy, stopped or closed), close() while the loop
does not run, loops that cannot watch descriptors, and calls that move from loop to loop.
"""

import asyncio
import threading
import time

import pytest

from peer import DEFAULT_TIMEOUT as GUARD, KIND_ECHO_REPLY, OP_BINARY, OP_PONG, connect_ready, decode_frame


def some(value):
    return "None" if value is None else "Some(%d)" % value


def transport_error(seq, fn_id, message):
    return "RpcTransportError(seq=%s, fnId=%s): %s" % (some(seq), some(fn_id), message)


async def outcome_of(awaitable, limit=GUARD):
    try:
        return ("result", await asyncio.wait_for(awaitable, limit))
    except RuntimeError as exc:
        return ("error", str(exc))


def in_thread(target):
    """Runs ``target()`` in a thread of its own and returns a future of its result."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def run():
        try:
            result, exc = target(), None
        except BaseException as error:  # handed to the test
            result, exc = None, error
        loop.call_soon_threadsafe(lambda: done.done() or (done.set_exception(exc) if exc else done.set_result(result)))

    threading.Thread(target=run, daemon=True).start()
    return done


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


async def test_calls_moving_between_loops_of_two_threads(pair):
    # One engine, its calls made by turns from this loop and from another thread's loop: each
    # loop watches the connection while it drives a call, and lets it go for the other.
    engine, peer = pair
    other = asyncio.new_event_loop()

    async def reset(i):
        return await engine.reset_episode(i, "train", GUARD)

    try:
        async with peer.serve(lambda fn_id, payload: payload[:4] if fn_id == 101 else b"") as server:
            for i in range(20):
                if i % 2:
                    value = await in_thread(lambda: other.run_until_complete(reset(i)))
                else:
                    value = await asyncio.wait_for(engine.reset_episode(i, "train", GUARD), GUARD)
                assert value == i
        assert [seq for seq, _, _ in server.requests] == list(range(1, 21))
    finally:
        other.close()


class NoDescriptorLoop(asyncio.SelectorEventLoop):
    """A loop that refuses to watch descriptors, as some custom loops do."""

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError("no descriptors here")


@pytest.mark.parametrize("calls", ["one at a time", "together"])
def test_loop_that_cannot_watch_descriptors_has_its_calls_done_by_the_runtime(start_engine, calls):
    loop = NoDescriptorLoop()
    try:
        async def main():
            engine, port = await start_engine()
            peer = await connect_ready("127.0.0.1", port)
            await engine.wait_connected(GUARD)
            async with peer.serve(lambda fn_id, payload: payload[:4]):
                if calls == "together":
                    return await asyncio.gather(*[engine.reset_episode(i, "train", GUARD) for i in range(50)])
                return [await engine.reset_episode(i, "train", GUARD) for i in range(50)]
        assert loop.run_until_complete(asyncio.wait_for(main(), 20)) == list(range(50))
    finally:
        loop.close()


_ABSURD_LENGTH_CHILD = r"""
import asyncio
import py_engine_rust

class Claims:
    # A sequence whose length is far beyond any memory (sized up front from it).
    def __len__(self):
        return 2 ** 62
    def __getitem__(self, i):
        raise IndexError(i)

async def main():
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", 1)
    try:
        engine.close_positions(Claims(), [], [])
    except MemoryError:
        print("MemoryError")

asyncio.run(main())
"""


def test_memory_failure_at_call_time_is_a_python_exception(run_python):
    # A C++ failure on the calling thread (here a buffer too large to be made) is raised like any
    # other error at call time; it must not unwind through the interpreter (which would end the
    # process).
    child = run_python(_ABSURD_LENGTH_CHILD, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout == "MemoryError\n"
