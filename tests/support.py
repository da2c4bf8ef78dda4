"""Helpers shared by the engine tests: error texts, expectations about a call's
outcome and the connection after it, and loops of unusual kinds.

Imported as a module (the tests directory is on ``sys.path``); fixtures stay
in conftest.py, which builds its engines with :func:`serving`."""

import asyncio
import contextlib
import importlib.util
import os
import re
import socket
import threading
from typing import AsyncIterator, List, Optional, Tuple

import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT as GUARD, OP_CLOSE, Peer, connect_ready, free_port


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


def answering(config: bytes, sync_policy: bytes):
    """A ``Peer.serve`` handler: reset_episode answers with the index it was given, get_rl_config
    with ``config``, get_sync_policy with ``sync_policy``, everything else with nothing."""
    def handler(fn_id, payload):
        if fn_id == 101:
            return payload[:4]
        if fn_id == 102:
            return config
        if fn_id == 120:
            return sync_policy
        return b""
    return handler


index_handler = answering(b'{"n":1}', b"\x00")


async def stalled_peer(served, shrink_send_buffer):
    """A peer of ``served`` that has stopped reading, with small buffers on both ends of its
    connection: the engine's sends to it back up after a few kilobytes."""
    peer = await served.connect(rcvbuf=1024)
    peer.stop_reading()
    shrink_send_buffer(served.port, peer.socket)
    return peer


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


async def start_engine_on_free_port(start_seq: Optional[int] = None, host: str = HOST
                                    ) -> Tuple["py_engine_rust.RustEngineAsync", int]:
    """Construct an engine on a free port and await ``start()``.

    Returns ``(engine, port)``.  Retries with another port if the chosen one
    was taken in the meantime (other processes share the machine).
    """
    for attempt in range(5):
        port = free_port(host.strip("[]"))
        engine = py_engine_rust.RustEngineAsync(host, port, start_seq)
        try:
            await asyncio.wait_for(engine.start(), GUARD)
        except RuntimeError as exc:
            if "Address already in use" in str(exc) and attempt < 4:
                continue
            raise
        return engine, port
    raise AssertionError("unreachable")


class EngineUnderTest:
    """A started engine, its port, and the peers a test opened on it."""

    def __init__(self, engine, port: int, start_seq: Optional[int]):
        self.engine = engine
        self.port = port
        self.start_seq = 1 if start_seq is None else start_seq
        self.peers: List[Peer] = []

    async def connect(self, origin=None, path: str = "/", **kwargs) -> Peer:
        """Connect a peer, read its handshake, and wait until it is installed.

        The wait is ``wait_connected``, so it proves installation only when
        the slot was empty before.
        """
        peer = await connect_ready(HOST, self.port, origin, path, **kwargs)
        self.peers.append(peer)
        await asyncio.wait_for(self.engine.wait_connected(timeout_secs=GUARD), GUARD)
        return peer

    def close(self) -> None:
        for peer in self.peers:
            peer.abort()


@contextlib.asynccontextmanager
async def serving(start_seq: Optional[int] = None) -> AsyncIterator[EngineUnderTest]:
    """A started engine (an :class:`EngineUnderTest`); its peers are aborted on leaving."""
    engine, port = await start_engine_on_free_port(start_seq)
    under_test = EngineUnderTest(engine, port, start_seq)
    try:
        yield under_test
    finally:
        under_test.close()


# ---------------------------------------------------------------------------
# The engine's errors, typed. The engine raises RuntimeError and ValueError with fixed texts; the
# one place that reads those texts is engine_failure(), and tests work with the types below.

#: The fixed messages of the engine's transport errors (a message may go on after them).
TRANSPORT_KINDS = ("no websocket connected", "connection missing", "websocket send failed",
                   "websocket recv failed", "websocket closed", "timeout waiting response",
                   "protocol version mismatch", "seq mismatch", "fnId mismatch",
                   "wait_connected timed out", "engine closed")
#: The fixed messages of a malformed answer's ValueError.
FRAME_KINDS = ("frame too short", "payload length mismatch")

_TRANSPORT_TEXT = re.compile(r"RpcTransportError\(seq=(None|Some\((\d+)\)), fnId=(None|Some\((\d+)\))\): (.*)\Z",
                             re.S)
_RPC_TEXT = re.compile(r"RpcError\(seq=(\d+), fnId=(\d+), err=(\d+), sub=(\d+)\): (.*)\Z", re.S)


def _kind(message: str, kinds: Tuple[str, ...]) -> Optional[str]:
    return next((known for known in kinds if message.startswith(known)), None)


class EngineFailure(Exception):
    """An engine call's error: ``kind`` is the fixed message it starts with (None for an
    unknown one), ``message`` the whole of it, ``cause`` what the engine raised."""

    def __init__(self, cause: BaseException, message: str, kind: Optional[str]) -> None:
        super().__init__(message)
        self.cause = cause
        self.message = message
        self.kind = kind


class TransportFailure(EngineFailure):
    """The link to the peer failed (``RpcTransportError``); ``seq`` and ``fn_id`` may be None."""

    def __init__(self, cause, message, seq: Optional[int], fn_id: Optional[int]) -> None:
        super().__init__(cause, message, _kind(message, TRANSPORT_KINDS))
        self.seq = seq
        self.fn_id = fn_id


class PeerRefusal(EngineFailure):
    """The peer answered with an error record (``RpcError``)."""

    def __init__(self, cause, message, seq: int, fn_id: int, err: int, sub: int) -> None:
        super().__init__(cause, message, "RpcError")
        self.seq, self.fn_id, self.err, self.sub = seq, fn_id, err, sub


class MalformedAnswer(EngineFailure):
    """The answer could not be read (a ValueError of the frame or payload)."""

    def __init__(self, cause, message) -> None:
        super().__init__(cause, message, _kind(message, FRAME_KINDS))


def engine_failure(exc: BaseException) -> Optional[EngineFailure]:
    """The typed form of ``exc`` if it is one of the engine's errors (exactly a RuntimeError or
    ValueError with one of its texts), else None."""
    text = str(exc)
    if type(exc) is RuntimeError:
        match = _TRANSPORT_TEXT.match(text)
        if match:
            seq, fn_id = (None if v is None else int(v) for v in match.group(2, 4))
            return TransportFailure(exc, match.group(5), seq, fn_id)
        match = _RPC_TEXT.match(text)
        if match:
            return PeerRefusal(exc, match.group(5), *map(int, match.group(1, 2, 3, 4)))
    if type(exc) is ValueError and _kind(text, FRAME_KINDS):
        return MalformedAnswer(exc, text)
    return None


# ---------------------------------------------------------------------------
# Pages over HTTP for the browser tests: the benchmarks' quiet static server, loaded from its file so
# that bench/'s other modules stay off sys.path.

def _bench_common():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bench", "common.py")
    spec = importlib.util.spec_from_file_location("bench_common", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


#: ``with serve_directory(directory, host="127.0.0.1") as port``: see bench/common.py.
serve_directory = _bench_common().serve_directory
