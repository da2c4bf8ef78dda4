"""Memory and descriptors: what engines, loops and hostile input leave behind,
and allocation failures raised as Python exceptions."""

import asyncio
import os
import select
import subprocess
import sys

import pytest

from peer import connect_ready, DEFAULT_TIMEOUT as GUARD, encode_frame, free_port, KIND_RESPONSE, OP_BINARY
from support import HOST, MiB, started


_DROPPED_LOOPS_CHILD = r"""
import asyncio, gc, os, sys, weakref
import py_engine_rust
from peer import free_port

engine = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
use_engine = sys.argv[1] == "engine"

async def one_call():
    if use_engine:
        try:
            await engine.wait_connected(0)
        except RuntimeError:
            pass

def collect():
    # PyPy frees an object with a finaliser only at a later collection than the one that ran
    # it, and a loop's parts finalise in several steps.
    for _ in range(6):
        gc.collect()

def dropped_loop():
    loop = asyncio.new_event_loop()
    loop.run_until_complete(one_call())
    return weakref.ref(loop)

dropped_loop()
collect()
fds_before = len(os.listdir("/proc/self/fd"))
refs = [dropped_loop() for _ in range(50)]
collect()
print(sum(r() is not None for r in refs), len(os.listdir("/proc/self/fd")) - fds_before)
"""


_ENGINE_CHILD = r"""
import asyncio, sys
import py_engine_rust

def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])

async def main(port):
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
    await engine.start()
    print("ready", flush=True)
    loop = asyncio.get_running_loop()
    while True:
        line = (await loop.run_in_executor(None, sys.stdin.readline)).strip()
        if not line:
            return
        if line == "rss":
            print(rss_kib(), flush=True)
            continue
        if line == "wait":
            await engine.wait_connected(10)
            print("connected", flush=True)
            continue
        try:
            await engine.step_next(float(line))
            print("ok", flush=True)
        except Exception as exc:
            print(type(exc).__name__, str(exc).replace("\n", " "), flush=True)

asyncio.run(main(int(sys.argv[1])))
"""


class CallingEngine:
    """An engine in a child process that makes one call per :meth:`call`."""

    def __init__(self, env):
        self.port = free_port()
        self.proc = subprocess.Popen([sys.executable, "-c", _ENGINE_CHILD, str(self.port)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, text=True, bufsize=1)
        assert self._line() == "ready"

    def _line(self, timeout=3 * GUARD):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        assert ready, "the child engine did not answer"
        return self.proc.stdout.readline().strip()

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    async def outcome(self):
        return await asyncio.get_running_loop().run_in_executor(None, self._line)

    async def rss_kib(self):
        self.send("rss")
        return int(await self.outcome())

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


def bare_header(length):
    """The head of a masked, unfinished binary frame that states ``length`` bytes."""
    return bytes([OP_BINARY, 0x80 | 127]) + length.to_bytes(8, "big") + b"\0\0\0\0"


async def fresh_peer(child, old=None):
    """A new peer, once the engine has installed it in place of ``old``."""
    if old is not None:
        # The engine reads nothing between calls: a call finds the old connection gone and
        # empties the slot, so that the wait below proves the new one installed.
        old.abort()
        child.send("1")
        outcome = await child.outcome()
        assert outcome.startswith("RuntimeError"), outcome
    peer = await connect_ready(HOST, child.port)
    child.send("wait")
    assert await child.outcome() == "connected"
    return peer


async def malformed_round(child, previous):
    """Attacks that each make the engine take in megabytes of hostile bytes.

    Returns the peer of the last one, still connected.
    """
    # A bare header that states a fragment of 60 MiB, a few megabytes of it, then silence.
    peer = await fresh_peer(child, previous)
    child.send("0.5")
    await peer.recv_request()
    await peer.send_raw(bare_header(60 * MiB) + bytes(4 * MiB))
    assert (await child.outcome()).startswith("RuntimeError"), "the stalled frame did not end the call"
    # Value errors, which keep the connection: a frame just under the size that is read into
    # a block of its own, and a fragmented message of 60 MiB, each stating a wrong length.
    peer = await fresh_peer(child, peer)
    for size, fragments in ((MiB - 100, None), (60 * MiB, 4)):
        child.send("20")
        seq, fn_id, _ = await peer.recv_request()
        await peer.send_binary(encode_frame(KIND_RESPONSE, seq, fn_id, bytes(size), payload_len=3),
                               fragments=fragments)
        outcome = await child.outcome()
        assert outcome.startswith("ValueError payload length mismatch"), outcome
    return peer


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


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("use", ["engine", "no engine"])
def test_loops_dropped_without_close_are_freed(run_python, use):
    # Without the engine the same script shows what the interpreter itself keeps.
    child = run_python(_DROPPED_LOOPS_CHILD, use.split()[0], timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    live, fds = map(int, child.stdout.split())
    assert live == 0, "%d of 50 dropped loops still alive" % live
    assert fds <= 2, "%d more descriptors open after 50 dropped loops" % fds


@pytest.mark.timeout(120)
async def test_memory_is_given_back_after_a_flood_of_malformed_frames(child_environment):
    # The engine runs in a child of its own, so that only its memory is measured, not the
    # peer's copies of what it sends.
    child = CallingEngine(child_environment())
    peer = None
    try:
        peer = await fresh_peer(child)
        for _ in range(20):
            child.send("5")
            seq, fn_id, _ = await peer.recv_request()
            await peer.respond(seq, fn_id)
            assert await child.outcome() == "ok"
        before = await child.rss_kib()
        for _ in range(3):
            peer = await malformed_round(child, peer)
        # Measured with the last connection still installed and working.
        child.send("5")
        seq, fn_id, _ = await peer.recv_request()
        await peer.respond(seq, fn_id)
        assert await child.outcome() == "ok"
        after = await child.rss_kib()
    finally:
        if peer is not None:
            peer.abort()
        child.stop()
    # A leak check, not a budget: each round takes in over 60 MiB, and none of it is needed
    # once its message has been handled.
    assert after - before < 32 * 1024, "resident memory grew by %d MiB" % ((after - before) // 1024)


def test_closed_loops_do_not_keep_descriptors(run_python):
    child = run_python(_LOOPS_CHILD, timeout=60)
    assert child.returncode == 0, child.stderr
    assert int(child.stdout) <= 2, child.stdout


def test_memory_failure_at_call_time_is_a_python_exception(run_python):
    # A C++ failure on the calling thread (here a buffer too large to be made) is raised like any
    # other error at call time; it must not unwind through the interpreter (which would end the
    # process).
    child = run_python(_ABSURD_LENGTH_CHILD, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout == "MemoryError\n"


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
