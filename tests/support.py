"""Helpers shared by the engine tests: error texts, expectations about a call's
outcome and the connection after it, and loops of unusual kinds.

Imported as a module (the tests directory is on ``sys.path``); fixtures stay
in conftest.py."""

import asyncio
import socket
import threading

import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT as GUARD, OP_CLOSE


RustEngineAsync = py_engine_rust.RustEngineAsync
HOST = "127.0.0.1"
MiB = 1024 * 1024
LARGEST_FLOAT_BELOW_2_64 = 18446744073709549568.0
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
OUT_OF_RANGE = "out of range integral type conversion attempted"

#: name -> (call with a timeout, fnId, request payload of that call)
OPERATIONS = {
    "step_next": (lambda e, t: e.step_next(t), 2, b""),
    "reset_episode": (lambda e, t: e.reset_episode(3, "TEST", t), 101, b"\x03\x00\x00\x00\x01"),
    "get_rl_config": (lambda e, t: e.get_rl_config(timeout_secs=t), 102, b""),
    "get_sync_policy": (lambda e, t: e.get_sync_policy(timeout_secs=t), 120, b""),
}


def some(value):
    return "None" if value is None else "Some(%d)" % value


def transport_error(seq, fn_id, message):
    return "RpcTransportError(seq=%s, fnId=%s): %s" % (some(seq), some(fn_id), message)


def rpc_error(seq, fn_id, err, sub, message):
    return "RpcError(seq=%d, fnId=%d, err=%d, sub=%d): %s" % (seq, fn_id, err, sub, message)


async def expect_error(awaitable, exc_type, text=None, prefix=None):
    with pytest.raises(exc_type) as info:
        await asyncio.wait_for(awaitable, GUARD)
    assert type(info.value) is exc_type
    if text is not None:
        assert str(info.value) == text
    if prefix is not None:
        assert str(info.value).startswith(prefix), str(info.value)
    return info.value


async def expect_dropped(engine, peer, check_no_close=True):
    """The engine closed ``peer`` and has no connection any more."""
    remaining = await peer.read_until_closed()
    if check_no_close:
        assert all(opcode != OP_CLOSE for opcode, _ in remaining), remaining
    await expect_error(engine.step_next(GUARD), RuntimeError,
                       transport_error(None, 2, "no websocket connected"))


async def expect_kept(engine, peer, next_seq):
    """The connection still works, and the next exchange uses ``next_seq``."""
    call = engine.get_sync_policy(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    assert (seq, fn_id) == (next_seq, 120)
    await peer.respond(seq, fn_id, b"\x01")
    assert await asyncio.wait_for(call, GUARD) == "eager"


async def exchange(peer, call, response):
    """Run ``call`` while the peer answers its request with ``response``."""
    seq, fn_id, payload = await peer.recv_request()
    await peer.respond(seq, fn_id, response)
    return (seq, fn_id, payload), await asyncio.wait_for(call, GUARD)


def index_handler(fn_id, payload):
    if fn_id == 101:
        return payload[:4]
    if fn_id == 102:
        return b'{"n":1}'
    if fn_id == 120:
        return b"\x00"
    return b""


async def answered(engine, peer):
    """The connection works: a call is answered by ``peer``; returns its seq."""
    call = engine.get_sync_policy(GUARD)
    seq, fn_id, _ = await peer.recv_request()
    assert fn_id == 120
    await peer.respond(seq, fn_id, b"\x01")
    assert await asyncio.wait_for(call, GUARD) == "eager"
    return seq


def assert_clean_exit(child, expected_stdout):
    assert child.returncode == 0, (child.returncode, child.stderr[-3000:])
    assert child.stdout == expected_stdout, child.stderr[-3000:]
    assert "terminate called" not in child.stderr
    assert "Fatal Python error" not in child.stderr


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


TIMED_OUT = "RpcTransportError(seq=None, fnId=None): wait_connected timed out"


def listening_socket(port, reuse=False):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if reuse:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, port))
    sock.listen()
    return sock


class Index:
    """An object that is an integer only through ``__index__``."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


async def started(port=0):
    engine = py_engine_rust.RustEngineAsync(HOST, port)
    await asyncio.wait_for(engine.start(), GUARD)
    return engine
