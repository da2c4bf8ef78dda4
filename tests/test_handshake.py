"""The WebSocket upgrade: the Origin check, the exact answer and handshake
bytes, stalled upgrades, and what the server logs about them."""

import asyncio

import pytest

from peer import connect, connect_ready, DEFAULT_TIMEOUT as GUARD, HANDSHAKE_MESSAGE, OP_TEXT
from support import HOST


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


PREFIX = "[rust ws server] "


async def partial_upgrade_then_abort(port):
    reader, writer = await asyncio.open_connection(HOST, port)
    writer.write(b"GET / HTTP/1.1\r\nHost: x\r\n")
    await writer.drain()
    await asyncio.sleep(0.05)
    writer.transport.abort()
    # The transport closes its socket on the loop's next turn; the caller then blocks the loop.
    await asyncio.sleep(0.05)


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
