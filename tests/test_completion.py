"""How results travel back to the event loop that awaits them.

Results are handed to the loop through a descriptor it watches; loops that
cannot watch descriptors, loops that are stopped for a while and loops that
are closed must each still get the documented outcome.
"""

import asyncio
import time

import pytest

from peer import DEFAULT_TIMEOUT as GUARD

class NoDescriptorLoop(asyncio.SelectorEventLoop):
    """A loop that refuses to watch descriptors, as some custom loops do."""

    def add_reader(self, fd, callback, *args):
        raise NotImplementedError("no descriptors here")


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


def test_result_waits_for_a_stopped_loop(event_loop, pair):
    engine, peer = pair

    async def send():
        return engine.reset_episode(5, "train", GUARD)

    call = event_loop.run_until_complete(send())

    async def answer():
        seq, fn_id, _ = await peer.recv_request()
        await peer.respond(seq, fn_id, b"\x05\x00\x00\x00")
    event_loop.run_until_complete(answer())
    # The loop is stopped while the answer arrives and for longer than a stalled queue is
    # tolerated: the result must neither be lost nor reported as a closed loop.
    time.sleep(0.8)
    assert event_loop.run_until_complete(asyncio.wait_for(call, GUARD)) == 5


_LOOPS_CHILD = r"""
import asyncio, gc, os
import py_engine_rust
from peer import free_port

def fds():
    # PyPy frees a closed loop's finalised parts over several collections.
    for _ in range(6):
        gc.collect()
    return len(os.listdir("/proc/self/fd"))

engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())

async def one_call():
    try:
        await engine.wait_connected(0)
    except RuntimeError:
        pass

asyncio.run(one_call())
before = fds()
for _ in range(40):
    asyncio.run(one_call())
print(fds() - before)
"""


def test_closed_loops_do_not_keep_descriptors(run_python):
    child = run_python(_LOOPS_CHILD, timeout=60)
    assert child.returncode == 0, child.stderr
    assert int(child.stdout) <= 2, child.stdout
