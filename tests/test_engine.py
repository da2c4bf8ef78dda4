"""Module surface, engine construction, start, wait_connected and the server."""

import asyncio
import platform
import socket

import pytest

import py_engine_rust
from peer import (DEFAULT_TIMEOUT as GUARD, HANDSHAKE_MESSAGE, OP_CLOSE, OP_TEXT,
                  ConnectionLost, connect, connect_ready, free_port)

HOST = "127.0.0.1"

RustEngineAsync = py_engine_rust.RustEngineAsync
PYPY = platform.python_implementation() == "PyPy"
NEEDS_CPYTHON_DOCS = pytest.mark.skipif(
    PYPY, reason="PyPy's C-API exposes no method docstrings or text signatures")

OUT_OF_RANGE = "out of range integral type conversion attempted"
TIMED_OUT = "RpcTransportError(seq=None, fnId=None): wait_connected timed out"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"
LARGEST_FLOAT_BELOW_2_64 = 18446744073709549568.0

MODULE_FUNCTIONS = {
    "decode_vec_f64_py": ("(payload)",
                          "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    "decode_mat_f64_py": ("(payload)",
                          "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    "decode_close_step_py": ("(payload)",
                             "Decode CloseStep payload into tuple(flags, actions, ratios) "
                             "as numpy arrays."),
    "decode_vec_mat_f64_py": ("(payload)", "Decode VecF64 + MatF64 payload into (vec, mat)."),
    "encode_vec_f64_py": ("(arr)", None),
    "encode_mat_f64_py": ("(mat)", None),
    "encode_close_step_py": ("(flags, actions, ratios)", None),
}
MODULE_ATTRIBUTES = ["RustEngineAsync"] + list(MODULE_FUNCTIONS)

TIMEOUT_ONLY = "($self, timeout_secs=None)"
METHODS = {
    "start": ("($self)", None),
    "wait_connected": (TIMEOUT_ONLY, None),
    "init_candles": ("($self, ohlc5, timeout_secs=None)", None),
    "reset_episode": ("($self, episode_index, episode_type, timeout_secs=None)",
                      "Reset to a specific episode by index.\n"
                      "Payload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    "get_rl_config": (TIMEOUT_ONLY, "Get RL config from UI (seed, episode counts, etc.). "
                                    "Returns JSON string."),
    "step_next": (TIMEOUT_ONLY, None),
    "step_and_sync": (TIMEOUT_ONLY, None),
    "get_snapshot": (TIMEOUT_ONLY, None),
    "get_ticket_list": (TIMEOUT_ONLY, None),
    "get_ohlc": (TIMEOUT_ONLY, None),
    "fetch_events": (TIMEOUT_ONLY, None),
    "end_session": (TIMEOUT_ONLY, None),
    "get_sync_policy": (TIMEOUT_ONLY, None),
    "close_positions": ("($self, position_ids, actions, ratios, timeout_secs=None)", None),
    "place_order": ("($self, side, order_type, price, units, take_profit=None, "
                    "stop_loss=None, trailing_stop=None, time_limit=None, "
                    "timeout_secs=None)", None),
    "place_ticket": ("($self, side, units, take_profit=None, stop_loss=None, "
                     "trailing_stop=None, timeout_secs=None)", None),
}


def listening_socket(port, reuse=False):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if reuse:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, port))
    sock.listen()
    return sock


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as sock:
            sock.bind(("::1", 0))
        return True
    except OSError:
        return False


# ---------------------------------------------------------------------------
# Module surface


def test_module_docstring():
    assert py_engine_rust.__doc__ == "PyO3 module entrypoint."


def test_all_lists_registered_names_in_table_order():
    names = list(py_engine_rust.__all__)
    assert names[0] == "RustEngineAsync"
    assert names == [n for n in MODULE_ATTRIBUTES if n in names], names
    assert names == [n for n in MODULE_ATTRIBUTES if hasattr(py_engine_rust, n)]
    for name in names:
        assert getattr(py_engine_rust, name).__name__ == name


def test_engine_class_surface():
    assert isinstance(RustEngineAsync, type)
    assert RustEngineAsync.__name__ == "RustEngineAsync"
    assert RustEngineAsync.__text_signature__ == "(host, port, start_seq=None)"
    assert not RustEngineAsync.__doc__


def test_methods_registered_in_table_order():
    # The sixteen in their order; close() comes after them.
    present = [name for name in vars(RustEngineAsync) if name in METHODS]
    assert present == list(METHODS)


@NEEDS_CPYTHON_DOCS
@pytest.mark.parametrize("name", list(METHODS))
def test_method_text_signature_and_docstring(name):
    method = getattr(RustEngineAsync, name)
    signature, doc = METHODS[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@NEEDS_CPYTHON_DOCS
@pytest.mark.parametrize("name", list(MODULE_FUNCTIONS))
def test_module_function_text_signature_and_docstring(name):
    function = getattr(py_engine_rust, name)
    signature, doc = MODULE_FUNCTIONS[name]
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


# ---------------------------------------------------------------------------
# Constructor


class Index:
    """An object that is an integer only through ``__index__``."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("args, kwargs", [
    (("127.0.0.1", 0), {}),
    (("127.0.0.1", 65535, None), {}),
    (("", 1, 0), {}),
    (("any text, not resolved", 1, 4294967295), {}),
    ((), {"host": "h", "port": 1, "start_seq": 7}),
    (("h",), {"port": Index(8000), "start_seq": Index(3)}),
])
def test_constructor_accepts(args, kwargs):
    assert isinstance(RustEngineAsync(*args, **kwargs), RustEngineAsync)


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((1, 2), {}, TypeError, "argument 'host': "),
    ((b"h", 2), {}, TypeError, "argument 'host': "),
    (("h", "2"), {}, TypeError, "argument 'port': "),
    (("h", 2.0), {}, TypeError, "argument 'port': "),
    (("h", None), {}, TypeError, "argument 'port': "),
    (("h", -1), {}, OverflowError, OUT_OF_RANGE),
    (("h", 65536), {}, OverflowError, OUT_OF_RANGE),
    (("h", 2 ** 70), {}, OverflowError, None),
    (("h", 1, "1"), {}, TypeError, "argument 'start_seq': "),
    (("h", 1, 1.0), {}, TypeError, "argument 'start_seq': "),
    (("h", 1, -1), {}, OverflowError, OUT_OF_RANGE),
    (("h", 1, 2 ** 32), {}, OverflowError, OUT_OF_RANGE),
    # a host cut at an embedded NUL would bind another address than the one given
    (("127.0.0.1\x00x", 1), {}, ValueError, None),
    (("localhost\x00", 1), {}, ValueError, None),
    (("\x00127.0.0.1", 1), {}, ValueError, None),
    # conversion order: host, then port, then start_seq
    ((1, -1, "x"), {}, TypeError, "argument 'host': "),
    (("h", 70000, "x"), {}, OverflowError, OUT_OF_RANGE),
    # binding
    (("h",), {}, TypeError, None),
    ((), {"port": 1}, TypeError, None),
    (("h", 1, 2, 3), {}, TypeError, None),
    (("h", 1), {"port": 2}, TypeError, None),
    (("h", 1), {"start": 2}, TypeError, None),
])
def test_constructor_rejects(args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        RustEngineAsync(*args, **kwargs)
    assert type(info.value) is exc
    if text == OUT_OF_RANGE:
        assert str(info.value) == text
    elif text is not None:
        assert str(info.value).startswith(text)


def test_construction_opens_no_socket():
    port = free_port()
    RustEngineAsync(HOST, port)
    listening_socket(port).close()


# ---------------------------------------------------------------------------
# Calls need a running event loop; call-time checks come first


@pytest.mark.parametrize("call", [
    lambda e: e.start(),
    lambda e: e.wait_connected(),
    lambda e: e.wait_connected(0),
    lambda e: e.step_next(),
    lambda e: e.reset_episode(1, "test"),
    lambda e: e.get_rl_config(1.0),
    lambda e: e.get_sync_policy(timeout_secs=None),
])
def test_call_without_running_loop_raises_runtime_error(call):
    with pytest.raises(RuntimeError):
        call(RustEngineAsync(HOST, free_port()))


@pytest.mark.parametrize("call, exc", [
    (lambda e: e.wait_connected(-1), ValueError),
    (lambda e: e.wait_connected("1"), TypeError),
    (lambda e: e.step_next(timeout_secs=float("nan")), ValueError),
    (lambda e: e.reset_episode(-1, "test"), OverflowError),
    (lambda e: e.reset_episode(1, None), TypeError),
    (lambda e: e.start(1), TypeError),
])
def test_argument_errors_come_before_the_loop_lookup(call, exc):
    with pytest.raises(exc):
        call(RustEngineAsync(HOST, free_port()))


# ---------------------------------------------------------------------------
# start


async def test_start_returns_a_future_of_the_running_loop_and_listens():
    port = free_port()
    engine = RustEngineAsync(HOST, port)
    future = engine.start()
    assert isinstance(future, asyncio.Future)
    assert future.get_loop() is asyncio.get_running_loop()
    assert await asyncio.wait_for(future, GUARD) is None
    peer = await connect_ready(HOST, port)
    peer.abort()


async def test_start_with_port_zero_completes():
    assert await asyncio.wait_for(RustEngineAsync(HOST, 0).start(), GUARD) is None


def bind_failed(host_port, reason):
    return "RpcTransportError(seq=None, fnId=None): bind failed on %s: %s" % (host_port, reason)


async def test_start_on_taken_port_fails_and_can_be_repeated():
    port = free_port()
    engine = RustEngineAsync(HOST, port)
    blocker = listening_socket(port, reuse=True)
    try:
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(engine.start(), GUARD)
        assert str(info.value) == bind_failed(
            "%s:%d" % (HOST, port), "Address already in use (os error 98)")
    finally:
        blocker.close()
    assert await asyncio.wait_for(engine.start(), GUARD) is None
    peer = await connect_ready(HOST, port)
    peer.abort()


async def test_second_start_fails_and_first_server_keeps_serving(served):
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(served.engine.start(), GUARD)
    assert str(info.value) == bind_failed(
        "%s:%d" % (HOST, served.port), "Address already in use (os error 98)")
    await served.connect()


async def test_start_on_an_address_of_no_local_interface():
    port = free_port()
    engine = RustEngineAsync("192.0.2.1", port)
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(engine.start(), GUARD)
    assert str(info.value) == bind_failed(
        "192.0.2.1:%d" % port, "Cannot assign requested address (os error 99)")


async def test_start_binds_a_port_left_in_time_wait():
    # The side that closes first keeps the port in TIME_WAIT; only a listener
    # with SO_REUSEADDR can bind it again.
    port = free_port()
    listener = listening_socket(port, reuse=True)
    client = socket.create_connection((HOST, port))
    accepted, _ = listener.accept()
    accepted.close()
    listener.close()
    client.recv(1)
    client.close()
    engine = RustEngineAsync(HOST, port)
    assert await asyncio.wait_for(engine.start(), GUARD) is None
    peer = await connect_ready(HOST, port)
    peer.abort()


@pytest.mark.parametrize("host", ["localhost", "::1", "[::1]"])
async def test_start_resolves_host_names(start_engine, host):
    if "::1" in host and not ipv6_loopback_available():
        pytest.skip("no IPv6 loopback")
    engine, port = await start_engine(host=host)
    infos = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM)
    for family, _, _, _, address in infos:
        try:
            peer = await connect_ready(address[0], port)
        except OSError:
            continue
        peer.abort()
        return
    raise AssertionError("no address of %s accepted a connection" % host)


# ---------------------------------------------------------------------------
# wait_connected


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


async def test_cancelled_wait_ends_silently_and_later_waits_work(served):
    waiter = served.engine.wait_connected()
    await asyncio.sleep(0.05)
    waiter.cancel()
    with pytest.raises(asyncio.CancelledError):
        await waiter
    other = served.engine.wait_connected()
    await served.connect()
    assert await asyncio.wait_for(other, GUARD) is None


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


async def test_wait_connected_waits_again_after_a_drop(pair, served):
    engine, peer = pair
    call = engine.step_next(timeout_secs=0.2)
    await peer.recv_request()
    with pytest.raises(RuntimeError, match="timeout waiting response"):
        await asyncio.wait_for(call, GUARD)
    with pytest.raises(RuntimeError) as info:
        await asyncio.wait_for(engine.wait_connected(timeout_secs=0.2), GUARD)
    assert str(info.value) == TIMED_OUT
    waiter = engine.wait_connected()
    await connect_ready(HOST, served.port)
    assert await asyncio.wait_for(waiter, GUARD) is None


# ---------------------------------------------------------------------------
# The upgrade and the Origin check

ACCEPTED_ORIGINS = [
    None,
    "http://127.0.0.1",
    "http://localhost",
    "https://127.0.0.1",
    "https://localhost",
    "https://trading.example.com",
    "http://localhost:5173",
    "https://127.0.0.1:8443",
    "http://localhost/",
    "http://localhost//",
    "http://localhost:1",
    "http://localhost:65535/",
    "http://127.0.0.1:99999//",
    "http://127.0.0.1:8080/app/index.html",
    "http://localhost:5173/a:b@c",
    "http://localhost/anything",
    "https://trading.example.com:443",
    "https://trading.example.com/",
    "",
    "/",
    "///",
    b"http://evil.example/\xff",
    b"https://\x80attacker.example",
]
REFUSED_ORIGINS = [
    # After an allowed prefix only a path or a port of 1 to 5 digits may follow.
    "https://localhost:",
    "http://127.0.0.1:80@evil.com",
    "http://localhost:evil.com",
    "http://localhost:123456",
    "http://localhost:80x",
    "http://localhost.attacker.example",
    "http://127.0.0.10",
    "http://localhostx",
    "http://127.0.0.1.nip.io",
    "http://127.0.0.1@evil.example",
    "http://localhost:8080evil.com",
    "http://localhost:",
    "https://localhost:/",
    "http://localhost::80",
    "http://localhost:-1",
    "http://localhost:+80",
    "http://localhost: 80",
    "http://localhost:80:81",
    "https://trading.example.com:x",
    "http://localhost?x=1",
    "http://localhost#top",
    "https://localhost.attacker.example",
    "https://trading.example.com.evil",
    "https://trading.example.community",
    "https://trading.example.co",
    "http://127.0.0",
    "http://evil.example",
    "http://evil.example/",
    "HTTP://LOCALHOST",
    "ws://localhost",
    "null",
]
FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"


async def expect_accepted(peer):
    assert peer.status == 101, peer.raw_response
    assert await peer.recv_message() == (OP_TEXT, HANDSHAKE_MESSAGE)
    peer.abort()


async def expect_refused(peer):
    assert peer.raw_response == FORBIDDEN
    assert await peer.read_to_eof() == b""


@pytest.mark.parametrize("origin", ACCEPTED_ORIGINS)
async def test_allowed_origins_are_accepted(served, origin):
    await expect_accepted(await connect(HOST, served.port, origin))


@pytest.mark.parametrize("origin", REFUSED_ORIGINS)
async def test_other_origins_are_refused_with_403(served, origin):
    await expect_refused(await connect(HOST, served.port, origin))
    # the server goes on accepting
    await served.connect()


@pytest.mark.parametrize("headers, accepted", [
    ([("origin", "http://evil.example")], False),
    ([("ORIGIN", "http://localhost:3000")], True),
    ([("Origin", "http://evil.example"), ("Origin", "http://localhost")], False),
    ([("Origin", "http://localhost"), ("Origin", "http://evil.example")], True),
])
async def test_first_origin_header_of_any_case_is_checked(served, headers, accepted):
    peer = await connect(HOST, served.port, headers=headers)
    await (expect_accepted(peer) if accepted else expect_refused(peer))


@pytest.mark.parametrize("path", ["/", "/ws", "/a/b/c?x=1&y=2"])
async def test_upgrade_answer_and_exact_handshake_bytes(served, path):
    peer = await connect(HOST, served.port, "http://localhost:5173", path, headers=[
        ("Sec-WebSocket-Protocol", "chat"),
        ("Sec-WebSocket-Extensions", "permessage-deflate; client_max_window_bits"),
    ])
    assert peer.status == 101
    assert peer.header("Upgrade").lower() == "websocket"
    assert "upgrade" in peer.header("Connection").lower()
    assert peer.header("Sec-WebSocket-Protocol") is None
    assert peer.header("Sec-WebSocket-Extensions") is None
    expected = b"\x81" + bytes([len(HANDSHAKE_MESSAGE)]) + HANDSHAKE_MESSAGE
    received = await asyncio.wait_for(peer.reader.readexactly(len(expected)), GUARD)
    assert received == expected
    await peer.expect_silence(0.1)
    peer.abort()


async def test_request_that_is_not_an_upgrade_gets_no_answer(served):
    peer = await connect(HOST, served.port, request=b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert peer.raw_response == b""
    await served.connect()


@pytest.mark.parametrize("stalled_bytes, count", [
    (b"", 1),
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n", 1),
    (b"GET / HT", 3),
])
async def test_stalled_upgrades_do_not_keep_a_real_peer_out(served, stalled_bytes, count):
    stalled = []
    try:
        for _ in range(count):
            reader, writer = await asyncio.open_connection(HOST, served.port)
            writer.write(stalled_bytes)
            await writer.drain()
            stalled.append(writer)
        await asyncio.sleep(0.05)
        peer = await asyncio.wait_for(served.connect(), GUARD)
        call = served.engine.step_next(timeout_secs=GUARD)
        seq, fn_id, _ = await peer.recv_request()
        await peer.respond(seq, fn_id)
        assert await asyncio.wait_for(call, GUARD) is None
    finally:
        for writer in stalled:
            writer.transport.abort()


# ---------------------------------------------------------------------------
# Newer connections replace older ones


@pytest.mark.parametrize("start_seq", [5])
async def test_newer_connection_replaces_older_and_restarts_seq(served):
    engine = served.engine
    older = await served.connect()
    async with older.serve(lambda fn_id, payload: b""):
        for _ in range(3):
            await asyncio.wait_for(engine.step_next(timeout_secs=GUARD), GUARD)
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    remaining = await older.read_until_closed()
    assert all(opcode != OP_CLOSE for opcode, _ in remaining), remaining
    call = engine.reset_episode(1, "test", timeout_secs=GUARD)
    seq, fn_id, _ = await newer.recv_request()
    assert (seq, fn_id) == (5, 101)
    await newer.respond(seq, fn_id, b"\x09\x00\x00\x00")
    assert await asyncio.wait_for(call, GUARD) == 9


async def test_installation_waits_for_an_exchange_in_progress(pair, served):
    engine, older = pair
    call = engine.get_rl_config(timeout_secs=GUARD)
    seq, fn_id, _ = await older.recv_request()
    newer = await connect_ready(HOST, served.port)
    served.peers.append(newer)
    await asyncio.sleep(0.05)
    await older.respond(seq, fn_id, b'{"seed":1}')
    assert await asyncio.wait_for(call, GUARD) == '{"seed":1}'
    assert await older.read_until_closed() == []
    call = engine.step_next(timeout_secs=GUARD)
    seq2, fn_id2, _ = await newer.recv_request()
    assert (seq2, fn_id2) == (1, 2)
    await newer.respond(seq2, fn_id2)
    assert await asyncio.wait_for(call, GUARD) is None


async def test_older_peer_sees_end_of_stream_not_a_close_frame(pair, served):
    _, older = pair
    await connect_ready(HOST, served.port)
    with pytest.raises(ConnectionLost):
        await older.recv_message()


# ---------------------------------------------------------------------------
# Log lines on the standard error stream (engine in a child process)

PREFIX = "[rust ws server] "


async def partial_upgrade_then_abort(port):
    reader, writer = await asyncio.open_connection(HOST, port)
    writer.write(b"GET / HTTP/1.1\r\nHost: x\r\n")
    await writer.drain()
    await asyncio.sleep(0.05)
    writer.transport.abort()
    # The transport closes its socket on the loop's next turn; the caller then blocks the loop.
    await asyncio.sleep(0.05)


@pytest.mark.parametrize("scenario", ["refused", "not an upgrade", "closed mid-upgrade"])
async def test_failed_upgrades_are_logged(engine_process, scenario):
    child = engine_process
    if scenario == "refused":
        await expect_refused(await connect(HOST, child.port, "http://evil.example//"))
        lines = await child.wait_lines(2)
        assert lines[0] == PREFIX + "rejected origin: http://evil.example"
    elif scenario == "not an upgrade":
        peer = await connect(HOST, child.port, request=b"GET / HTTP/1.1\r\n\r\n")
        assert peer.raw_response == b""
        lines = await child.wait_lines(1)
    else:
        await partial_upgrade_then_abort(child.port)
        lines = await child.wait_lines(1)
    assert lines[-1].startswith(PREFIX + "accept failed: ")
    # the server keeps serving, and an accepted peer is not logged
    peer = await connect_ready(HOST, child.port, "http://localhost:5173")
    peer.abort()
    rest = child.stop()
    assert [line for line in rest if "[rust ws server]" in line] == []


async def test_accepted_connections_log_nothing(engine_process):
    child = engine_process
    for origin in (None, "https://127.0.0.1:8443", "///"):
        peer = await connect_ready(HOST, child.port, origin)
        peer.abort()
    rest = child.stop()
    assert [line for line in rest if "[rust ws server]" in line] == []


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


def test_result_for_a_closed_loop_is_dropped_and_reported(run_python):
    child = run_python(_CLOSED_LOOP_CHILD, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "done\n"
    assert "Event loop is closed" in child.stderr
