"""start(): the port it binds and reports, and how it fails."""

import asyncio
import socket

import pytest

import py_engine_rust
from peer import connect_ready, DEFAULT_TIMEOUT as GUARD, free_port
from support import HOST, listening_socket, RustEngineAsync, started


def ipv6_loopback_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as sock:
            sock.bind(("::1", 0))
        return True
    except OSError:
        return False


def bind_failed(host_port, reason):
    return "RpcTransportError(seq=None, fnId=None): bind failed on %s: %s" % (host_port, reason)


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
