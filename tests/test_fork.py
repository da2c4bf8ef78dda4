"""An engine and os.fork(): the child gets a runtime of its own, and the parent's engines fail
there at once instead of hanging.

Each case runs in a child interpreter that uses the module, forks, and reports what its own
child saw through a pipe, so that a hang shows up as a timeout of that child and not of the
test run.
"""

import json

import pytest

_FORK_SCRIPT = r"""
import asyncio, json, os, sys, time
import py_engine_rust
from peer import FN_IDS, connect_ready

GUARD = 5.0
SNAPSHOT = b"\x02\x00\x00\x00" + b"\x00" * 8 + b"\x00\x00\x00\x00\x00\x00\xf0\x3f"  # VecF64 [0.0, 1.0]


def answer(fn_id, payload):
    return SNAPSHOT if fn_id == FN_IDS["get_snapshot"] else b""


async def connected(engine):
    peer = await connect_ready("127.0.0.1", engine.port)
    await engine.wait_connected(timeout_secs=GUARD)
    return peer


async def outcome(awaitable):
    # What a call ends with, and how long it took; a hang is cut off by the guard.
    start = time.monotonic()
    try:
        value = await asyncio.wait_for(awaitable, GUARD)
        text = "result: %r" % (value.tolist() if hasattr(value, "tolist") else value,)
    except asyncio.TimeoutError:
        text = "hung"
    except Exception as exc:
        text = "%s: %s" % (type(exc).__name__, exc)
    return {"outcome": text, "secs": time.monotonic() - start}


async def in_child(inherited, in_flight):
    seen = {}
    if in_flight is not None:
        seen["in_flight"] = in_flight.done() and "%s: %s" % (type(in_flight.exception()).__name__,
                                                             in_flight.exception())
    calls = {"step_next": lambda: inherited.step_next(GUARD), "get_snapshot": lambda: inherited.get_snapshot(),
             "start": inherited.start, "wait_connected": lambda: inherited.wait_connected(GUARD),
             "close": inherited.close}
    for name, call in calls.items():
        seen["inherited " + name] = await outcome(call())
    _, _, errors = await asyncio.wait_for(py_engine_rust.EngineGroup([inherited]).step_and_sync(), GUARD)
    seen["inherited group"] = ["%s: %s" % (type(e).__name__, e) for e in errors]
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", 0)
    await engine.start()
    seen["wait_connected"] = await outcome(engine.wait_connected(timeout_secs=0.2))
    peer = await connected(engine)
    seen["unanswered"] = await outcome(engine.step_next(timeout_secs=0.2))
    peer = await connected(engine)
    async with peer.serve(answer):
        seen["get_snapshot"] = await outcome(engine.get_snapshot())
        seen["step_next"] = await outcome(engine.step_next())
    await engine.close()
    return seen


def fork_child(inherited, in_flight, how):
    # Forks; the child reports what it saw and ends `how`. Returns (pid, pipe to read).
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid != 0:
        os.close(write_end)
        return pid, read_end
    os.close(read_end)
    try:
        seen = asyncio.run(in_child(inherited, in_flight))
    except BaseException as exc:
        seen = {"child failed": repr(exc)}
    os.write(write_end, json.dumps(seen).encode())
    os.close(write_end)
    if how == "exit":
        sys.exit(0)  # through the interpreter's exit, whose hooks must not wait for the parent's workers
    os._exit(0)


def child_report(pid, read_end):
    report = b""
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        report += chunk
    os.close(read_end)
    started = time.monotonic()
    _, status = os.waitpid(pid, 0)
    seen = json.loads(report)
    seen["child exit status"] = status
    seen["child exit secs"] = time.monotonic() - started
    return seen


async def set_up():
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", 0)
    await engine.start()
    peer = await connected(engine)
    async with peer.serve(answer):
        await engine.get_snapshot()
    return engine, peer


async def fork_in_running_loop():
    # Forked with a call in flight, from inside the loop; the child leaves without running any
    # of the loop's clean-up, which would unregister the parent's descriptors from the epoll set
    # it shares with the parent.
    engine, peer = await set_up()
    in_flight = engine.step_next(timeout_secs=GUARD)
    request = await peer.recv_request()
    loop = asyncio.get_running_loop()
    seen = await loop.run_in_executor(None, child_report, *fork_child(engine, in_flight, "os._exit"))
    # The parent's connection and its wake-ups were left alone: the call in flight completes on
    # the same connection, and so does the next one.
    await peer.respond(request[0], request[1])
    seen["parent in flight"] = await outcome(in_flight)
    async with peer.serve(answer):
        seen["parent after"] = await outcome(engine.get_snapshot())
    return seen


def fork_between_loops():
    # Forked with no loop running; the child ends through the interpreter's own exit.
    engine, peer = asyncio.run(set_up())
    seen = child_report(*fork_child(engine, None, "exit"))

    async def after():
        peer = await connected(engine)
        async with peer.serve(answer):
            return await outcome(engine.get_snapshot())
    seen["parent after"] = asyncio.run(after())
    return seen


if sys.argv[1] == "exit":
    print(json.dumps(fork_between_loops()))
else:
    print(json.dumps(asyncio.run(fork_in_running_loop())))
"""

ELSEWHERE = "engine was made in another process (before a fork); make a new engine in this process"


_RUNS = {}


def forked(run_python, how):
    """What the forked child (and the parent) saw; one run per way the child ends, shared."""
    if how not in _RUNS:
        child = run_python(_FORK_SCRIPT, how, timeout=60)
        assert child.returncode == 0, child.stderr[-3000:]
        _RUNS[how] = json.loads(child.stdout)
    return _RUNS[how]


@pytest.fixture(params=["os._exit", "exit"])
def seen(request, run_python):
    return forked(run_python, request.param)


def test_child_ends_cleanly(seen):
    assert "child failed" not in seen, seen
    assert seen["child exit status"] == 0
    # A hang guard, not a timing: the exit hooks must not wait for workers the child never had.
    assert seen["child exit secs"] < 3.0


@pytest.mark.parametrize("call, fn_id", [("step_next", "Some(2)"), ("get_snapshot", "Some(12)"),
                                         ("start", "None"), ("wait_connected", "None"), ("close", "None")])
def test_inherited_engine_fails_at_once(seen, call, fn_id):
    got = seen["inherited " + call]
    assert got["outcome"] == "RuntimeError: RpcTransportError(seq=None, fnId=%s): %s" % (fn_id, ELSEWHERE)
    assert got["secs"] < 1.0  # a hang guard: it fails before it could wait for anything


def test_inherited_engine_fails_its_row_of_a_group(seen):
    assert seen["inherited group"] == ["RuntimeError: RpcTransportError(seq=None, fnId=Some(130)): " + ELSEWHERE]


def test_call_in_flight_at_the_fork_fails_in_the_child(run_python):
    seen = forked(run_python, "os._exit")
    assert seen["in_flight"] == "RuntimeError: RpcTransportError(seq=None, fnId=None): " + ELSEWHERE


def test_new_engine_in_the_child_keeps_its_timeouts(seen):
    waited = seen["wait_connected"]
    assert waited["outcome"] == "RuntimeError: RpcTransportError(seq=None, fnId=None): wait_connected timed out"
    assert 0.15 < waited["secs"] < 3.0
    unanswered = seen["unanswered"]
    assert unanswered["outcome"] == ("RuntimeError: RpcTransportError(seq=Some(1), fnId=Some(2)): "
                                     "timeout waiting response")
    assert 0.15 < unanswered["secs"] < 3.0


def test_new_engine_in_the_child_makes_calls(seen):
    assert seen["get_snapshot"]["outcome"] == "result: [0.0, 1.0]"
    assert seen["step_next"]["outcome"] == "result: None"


def test_parent_engine_is_undisturbed_by_the_child(seen):
    assert seen.get("parent in flight", {"outcome": "result: None"})["outcome"] == "result: None"
    assert seen["parent after"]["outcome"] == "result: [0.0, 1.0]"
