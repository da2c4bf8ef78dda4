"""How results travel back to the loop that awaits them: loops in several
threads, loops that cannot watch descriptors, loops that are stopped for a
while or closed, and calls that move from loop to loop."""

import asyncio
import threading
import time

import pytest

from peer import connect_ready, DEFAULT_TIMEOUT as GUARD
from support import assert_clean_exit, HOST, in_thread, index_handler


_THREADS_CHILD = r"""
import asyncio, faulthandler, sys, threading, time
import py_engine_rust
from peer import free_port

# A lost completion hangs a thread: end with the stacks instead.
faulthandler.dump_traceback_later(60, exit=True)
sys.setswitchinterval(1e-6)
engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
counts = []

async def one_call():
    try:
        await engine.wait_connected(0)
    except RuntimeError as exc:
        assert "wait_connected timed out" in str(exc), exc

def work(seconds):
    n = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        asyncio.run(one_call())
        n += 1
    counts.append(n)

threads = [threading.Thread(target=work, args=(float(sys.argv[1]),)) for _ in range(int(sys.argv[2]))]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(len(counts), min(counts) > 0)
"""


_NO_DESCRIPTOR_CLOSE_CHILD = r"""
import asyncio, gc, time, weakref
import py_engine_rust
from peer import free_port

class NoDescriptorLoop(asyncio.SelectorEventLoop):
    def add_reader(self, fd, callback, *args):
        raise NotImplementedError("no descriptors here")

engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
loop = NoDescriptorLoop()

async def calls():
    return engine.wait_connected(0.1), engine.wait_connected(2.0)

first, second = loop.run_until_complete(calls())
time.sleep(1.0)   # the first result is scheduled on the stopped loop
loop.close()
print("closed", flush=True)
time.sleep(2.0)   # the second result arrives for the closed loop
ref = weakref.ref(loop)
del loop, first, second
for _ in range(3):
    gc.collect()
print("loop alive" if ref() is not None else "loop freed")
"""


class NoDescriptorLoop(asyncio.SelectorEventLoop):
    """A loop that refuses to watch descriptors, as some custom loops do."""

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError("no descriptors here")


_CLOSED_LOOP_CHILD = r"""
import asyncio, time
import py_engine_rust
from peer import free_port

async def main():
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
    engine.wait_connected(0.2)  # left pending when the loop closes

asyncio.run(main())
time.sleep(1.0)  # the limit passes after the loop has been closed
print("done")
"""


async def test_calls_from_two_event_loops_in_two_threads(pair):
    engine, peer = pair
    count = 100
    loop = asyncio.get_running_loop()
    outcomes = [loop.create_future(), loop.create_future()]

    def report(outcome, result, exc):
        if not outcome.done():
            if exc is None:
                outcome.set_result(result)
            else:
                outcome.set_exception(exc)

    def run_in_thread(offset, outcome):
        async def main():
            futures = [engine.reset_episode(offset + i, "test", GUARD) for i in range(count)]
            own_loop = asyncio.get_running_loop()
            assert all(f.get_loop() is own_loop for f in futures)
            return await asyncio.wait_for(asyncio.gather(*futures), 20)

        try:
            result, exc = asyncio.run(main()), None
        except BaseException as error:
            result, exc = None, error
        loop.call_soon_threadsafe(report, outcome, result, exc)

    async with peer.serve(index_handler) as server:
        # daemon threads: a stuck one must not hold up the interpreter's exit
        for offset, outcome in zip((0, 1000), outcomes):
            threading.Thread(target=run_in_thread, args=(offset, outcome), daemon=True).start()
        results = await asyncio.wait_for(asyncio.gather(*outcomes), 25)
    assert results == [list(range(count)), list(range(1000, 1000 + count))]
    assert len(server.requests) == 2 * count
    assert all(payload[4:] == b"\x01" for _, _, payload in server.requests)


def test_loops_in_several_threads_with_tiny_switch_interval(run_python):
    # Every thread makes one loop per call, so the loops of finished calls are released while
    # other threads register theirs.
    child = run_python(_THREADS_CHILD, "4", "8", timeout=120)
    assert_clean_exit(child, "8 True\n")


def test_result_after_a_no_descriptor_loop_closed_is_reported(run_python):
    child = run_python(_NO_DESCRIPTOR_CLOSE_CHILD, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout == "closed\nloop freed\n", child.stdout
    after_close = child.stderr
    assert "Event loop is closed" in after_close, after_close[-3000:]


def test_loop_without_descriptor_support_still_completes(start_engine):
    loop = NoDescriptorLoop()
    try:
        async def main():
            engine, _ = await start_engine()
            await engine.wait_connected(0.05)
        with pytest.raises(RuntimeError, match="wait_connected timed out"):
            loop.run_until_complete(main())

        async def burst():
            engine, _ = await start_engine()
            outcomes = await asyncio.gather(
                *[engine.wait_connected(0) for _ in range(50)], return_exceptions=True)
            return [str(o) for o in outcomes]
        texts = loop.run_until_complete(burst())
        assert texts == ["RpcTransportError(seq=None, fnId=None): wait_connected timed out"] * 50
    finally:
        loop.close()


def test_result_waits_for_a_stopped_loop(start_engine):
    # A loop of the test's own: it is stopped (not run) between the steps below.
    loop = asyncio.new_event_loop()
    try:
        async def send():
            engine, port = await start_engine()
            peer = await connect_ready(HOST, port)
            await asyncio.wait_for(engine.wait_connected(timeout_secs=GUARD), GUARD)
            return peer, engine.reset_episode(5, "train", GUARD)

        peer, call = loop.run_until_complete(send())

        async def answer():
            seq, fn_id, _ = await peer.recv_request()
            await peer.respond(seq, fn_id, b"\x05\x00\x00\x00")
        loop.run_until_complete(answer())
        # The loop is stopped while the answer arrives and for longer than a stalled queue is
        # tolerated: the result must neither be lost nor reported as a closed loop.
        time.sleep(0.8)
        assert loop.run_until_complete(asyncio.wait_for(call, GUARD)) == 5
        peer.abort()
    finally:
        loop.close()


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


def test_result_for_a_closed_loop_is_dropped_and_reported(run_python):
    child = run_python(_CLOSED_LOOP_CHILD, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "done\n"
    assert "Event loop is closed" in child.stderr
