"""The fault suite: a hostile peer attacks the engine in every way we know of.

For every attack it checks that nothing crashes, that every call ends
within its timeout plus a margin with a result or a clear error, that no
completion arrives after the fact (a late result, an error nobody could
see), and that the engine then works normally with a well-behaved peer.
Each attack's tries and outcomes are tallied and printed at the end of the
run.  Random choices come from one seed, printed with the tally; set
``FAULT_SEED`` to repeat a run.
"""

import asyncio
import json
import os
import random
import re
import socket
import sys
import threading
import time

import numpy as np
import pytest

from peer import (DEFAULT_TIMEOUT as GUARD, KIND_REQUEST, KIND_RESPONSE, OP_BINARY, OP_CLOSE,
                  OP_CONTINUATION, OP_PING, OP_PONG, OP_TEXT, ConnectionLost, HANDSHAKE_MESSAGE,
                  Peer, ProtocolError, connect_ready, decode_frame, encode_frame, encode_ws_frame)
from support import MalformedAnswer, PeerRefusal, TransportFailure, answering, engine_failure

HOST = "127.0.0.1"
MiB = 1024 * 1024
#: How much later than its timeout a call may end (a loaded machine, the loop's own delay).
MARGIN = 2.0
SEED = int(os.environ.get("FAULT_SEED") or random.SystemRandom().randrange(2 ** 32))

#: Transport errors that are a clear outcome of an attack (each a kind of TransportFailure).
CLEAR_TRANSPORT = ("no websocket connected", "connection missing", "websocket send failed",
                   "websocket recv failed", "websocket closed", "timeout waiting response",
                   "protocol version mismatch", "seq mismatch", "fnId mismatch")
#: Outcomes after which the connection is gone.
DROPPING = set(CLEAR_TRANSPORT)


@pytest.fixture(autouse=True)
def tally(attack_tally):
    attack_tally.seed = SEED
    return attack_tally


def classify(future) -> str:
    """The outcome of an ended call, or AssertionError if it is not a clear one."""
    if future.cancelled():
        return "cancelled"
    exc = future.exception()
    if exc is None:
        return "result"
    failure = engine_failure(exc)
    if isinstance(failure, TransportFailure) and failure.kind in CLEAR_TRANSPORT:
        if failure.kind in ("websocket recv failed", "websocket send failed"):
            return re.sub(r"\d+", "N", failure.message)
        return failure.kind
    if isinstance(failure, PeerRefusal):
        return "RpcError"
    if isinstance(failure, MalformedAnswer):
        return failure.kind
    text = str(exc)
    raise AssertionError("unclear outcome (seed %d): %s: %r" % (SEED, type(exc).__name__, text))


def drops(outcome: str) -> bool:
    return outcome.split(":")[0] in DROPPING


good_answer = answering(b'{"ok":1}', b"\x01")


class Attack:
    """One attack on one engine: its calls, their bounds and outcomes, and the checks after.

    Every call is made through :meth:`call`, which gives it a deadline: its
    timeout, times the number of calls it may queue behind (a call's timeout
    does not count the wait for the connection), plus :data:`MARGIN`.
    """

    def __init__(self, name, tally, engine, port):
        self.name = name
        self.tally = tally
        self.engine = engine
        self.port = port
        self.rng = random.Random("%d %s" % (SEED, name))
        self.deadlines = {}
        self.stray = []
        self.peers = []
        self._loop = asyncio.get_running_loop()
        self._old_handler = self._loop.get_exception_handler()
        self._old_unraisable = sys.unraisablehook
        self._loop.set_exception_handler(lambda loop, context: self.stray.append(context))
        sys.unraisablehook = self.stray.append

    def call(self, make, timeout, queued_behind=0):
        future = make(self.engine, timeout)
        self.deadlines[future] = time.monotonic() + (queued_behind + 1) * timeout + MARGIN
        return future

    async def outcome(self, future) -> str:
        left = self.deadlines[future] - time.monotonic()
        done, _ = await asyncio.wait([future], timeout=max(left, 0))
        if not done:
            self.tally.record(self.name, "HUNG")
            raise AssertionError("%s: a call outlived its timeout plus %.0f s (seed %d)"
                                 % (self.name, MARGIN, SEED))
        outcome = classify(future)
        self.tally.record(self.name, outcome)
        return outcome

    async def outcomes(self, futures):
        return [await self.outcome(f) for f in futures]

    async def connect(self, **kwargs) -> Peer:
        peer = await connect_ready(HOST, self.port, **kwargs)
        self.peers.append(peer)
        return peer

    async def connect_installed(self, **kwargs) -> Peer:
        """A new peer, once installed; call only while the slot is empty."""
        peer = await self.connect(**kwargs)
        await asyncio.wait_for(self.engine.wait_connected(GUARD), GUARD)
        return peer

    async def finish(self):
        """The checks after the attack; restores the loop's and interpreter's hooks."""
        try:
            pending = [f for f in self.deadlines if not f.done()]
            assert not pending, "%d calls never ended" % len(pending)
            for peer in self.peers:
                peer.abort()
            healthy = False
            try:
                await works_normally(self.engine, self.port)
                healthy = True
            finally:
                self.tally.survived(self.name, healthy)
            # Late completions would show up here, on the loop or as unraisable errors.
            await asyncio.sleep(0.05)
            assert not self.stray, "stray errors after %s (seed %d): %r" % (self.name, SEED, self.stray[:3])
        finally:
            self._loop.set_exception_handler(self._old_handler)
            sys.unraisablehook = self._old_unraisable
            for peer in self.peers:
                peer.abort()


async def works_normally(engine, port, calls=30):
    """A well-behaved peer gets every call answered, with the right results."""
    peers = []
    try:
        for _ in range(5):
            peer = await connect_ready(HOST, port)
            peers.append(peer)
            async with peer.serve(good_answer):
                # Until the new peer is installed, a call may still meet an older connection
                # that the engine has not yet found dead; it must fail clearly, and a peer that
                # connects again must then be served.
                probe = engine.get_rl_config(2.0)
                done, _ = await asyncio.wait([probe], timeout=2 * 2.0 + MARGIN)
                assert done, "probe call hung"
                if classify(probe) != "result":
                    continue
                futures = [engine.reset_episode(i, "train", GUARD) if i % 3 == 0
                           else engine.get_sync_policy(GUARD) if i % 3 == 1
                           else engine.step_next(GUARD) for i in range(calls)]
                results = await asyncio.wait_for(asyncio.gather(*futures), GUARD + MARGIN)
                assert results == [i if i % 3 == 0 else "eager" if i % 3 == 1 else None
                                   for i in range(calls)]
                return
        raise AssertionError("the engine does not work with a well-behaved peer")
    finally:
        for peer in peers:
            peer.abort()


async def recv_request(peer, timeout=GUARD):
    """The next request, skipping what the engine sent back to earlier attacks."""
    while True:
        opcode, data = await peer.recv_message(timeout)
        if opcode != OP_BINARY:
            continue
        try:
            frame = decode_frame(data, strict=False)
        except ValueError:
            continue
        if frame.kind == KIND_REQUEST:
            return frame.seq, frame.fn_id


async def quietly(send):
    """Writes to a peer the engine may have dropped already."""
    try:
        await send
    except (ConnectionResetError, BrokenPipeError, ConnectionLost):
        pass


# ---------------------------------------------------------------------------
# Malformed input, one try per call


def masked(opcode, payload, fin=True, rsv=0):
    return encode_ws_frame(opcode, payload, fin=fin, rsv=rsv)


def ws_head(opcode, length, fin=True, mask=True):
    """A frame header stating ``length`` payload bytes, with a zero mask key."""
    first = (0x80 if fin else 0) | opcode
    mask_bit = 0x80 if mask else 0
    if length < 126:
        head = bytes([first, mask_bit | length])
    elif length < 1 << 16:
        head = bytes([first, mask_bit | 126]) + length.to_bytes(2, "big")
    else:
        head = bytes([first, mask_bit | 127]) + length.to_bytes(8, "big")
    return head + (b"\0\0\0\0" if mask else b"")


def random_bytes(rng, n):
    return bytes(rng.getrandbits(8) for _ in range(n))


async def random_binary(peer, seq, fn_id, rng):
    await peer.send_binary(random_bytes(rng, rng.choice([0, 1, 8, 15, 16, 17, 24, 40, 300])))


async def mutated_response(peer, seq, fn_id, rng):
    frame = bytearray(encode_frame(rng.choice([KIND_RESPONSE, 3, 4, 5, 0, 9]), seq, fn_id,
                                   random_bytes(rng, rng.randrange(0, 40))))
    for _ in range(rng.randrange(1, 4)):
        frame[rng.randrange(len(frame))] = rng.getrandbits(8)
    cut = rng.choice([None, None, rng.randrange(len(frame))])
    await peer.send_binary(bytes(frame[:cut]) + random_bytes(rng, rng.choice([0, 0, 3])))


async def wrong_lengths(peer, seq, fn_id, rng):
    payload = random_bytes(rng, rng.randrange(0, 64))
    choice = rng.randrange(3)
    if choice == 0:  # the frame header states another payload length
        stated = max(0, len(payload) + rng.choice([-7, -1, 1, 9, 1 << 20, (1 << 32) - 1 - len(payload)]))
        await peer.send_binary(encode_frame(KIND_RESPONSE, seq, fn_id, payload, payload_len=stated))
    elif choice == 1:  # the WebSocket frame states more than is sent, then the stream ends
        await peer.send_raw(ws_head(OP_BINARY, len(payload) + rng.randrange(1, 5000)) + payload)
        peer.writer.write_eof()
    else:  # a fragment states more than is sent, then the stream ends
        await peer.send_raw(masked(OP_BINARY, payload, fin=False)
                            + ws_head(OP_CONTINUATION, rng.randrange(1, 1 << 20)))
        peer.writer.write_eof()


async def truncated_header(peer, seq, fn_id, rng):
    whole = ws_head(OP_BINARY, rng.choice([5, 300, 70000]))
    await peer.send_raw(whole[:rng.randrange(1, len(whole))])
    if rng.random() < 0.5:
        peer.writer.write_eof()  # else it stalls until the call's deadline


async def unmasked(peer, seq, fn_id, rng):
    opcode = rng.choice([OP_BINARY, OP_TEXT, OP_PING, OP_CLOSE])
    await peer.send_frame(opcode, encode_frame(KIND_RESPONSE, seq, fn_id)[:16], mask=False)


async def far_above_limit(peer, seq, fn_id, rng):
    length = rng.choice([64 * MiB + 1, 1 << 31, 1 << 40, (1 << 63) - 1, (1 << 64) - 1])
    if rng.random() < 0.5:
        await peer.send_raw(ws_head(OP_BINARY, length) + b"x" * 100)
    else:  # a small first fragment, then a continuation that would pass the limit
        await peer.send_raw(masked(OP_BINARY, b"x" * 10, fin=False)
                            + ws_head(OP_CONTINUATION, min(length, (1 << 63) - 1)))


async def control_inside_fragments(peer, seq, fn_id, rng):
    message = encode_frame(KIND_RESPONSE, seq, fn_id, b"")
    first, rest = message[:7], message[7:]
    inside = rng.choice([
        masked(OP_PING, b"p"), masked(OP_PONG, b"q"), masked(OP_PING, b""),
        masked(OP_CLOSE, b"\x03\xe8"),
        masked(OP_PING, b"p", fin=False),          # a fragmented control frame
        masked(OP_PING, b"z" * 126),               # too long for a control frame
        masked(OP_TEXT, b"new message"),           # a data message inside another
        masked(OP_BINARY, message),
    ])
    await peer.send_raw(masked(OP_BINARY, first, fin=False) + inside
                        + masked(OP_CONTINUATION, rest))


async def text_frames(peer, seq, fn_id, rng):
    texts = [b"", b"{}", "caf\u00e9".encode(), b"\xff\xfe not utf-8", random_bytes(rng, 50)]
    for _ in range(rng.randrange(1, 4)):
        data = rng.choice(texts)
        await peer.send_text(data, fragments=rng.choice([None, 2]) if data else None)
    await peer.respond(seq, fn_id, b"")


async def close_mid_call(peer, seq, fn_id, rng):
    payload = rng.choice([b"", b"\x03\xe8", b"\x03", b"\x03\xe8bye", b"\x0f\xa0" + b"r" * 100])
    await peer.send_raw(masked(OP_CLOSE, payload))
    if rng.random() < 0.5:
        await quietly(peer.respond(seq, fn_id, b""))


MALFORMED = {
    "random bytes as binary messages": (random_binary, 120),
    "mutated response frames": (mutated_response, 120),
    "wrong lengths": (wrong_lengths, 60),
    "truncated frame headers": (truncated_header, 30),
    "unmasked client frames": (unmasked, 30),
    "declared lengths far above limit": (far_above_limit, 40),
    "control frames inside a fragment": (control_inside_fragments, 60),
    "text frames": (text_frames, 40),
    "close frame in the middle of a call": (close_mid_call, 30),
}


@pytest.mark.timeout(90)
@pytest.mark.parametrize("name", list(MALFORMED))
async def test_malformed_input(served, tally, name):
    send, tries = MALFORMED[name]
    attack = Attack(name, tally, served.engine, served.port)
    peer = None
    try:
        for _ in range(tries):
            if peer is None:
                peer = await attack.connect_installed()
            timeout = attack.rng.choice([0.1, 0.2])
            call = attack.call(lambda e, t: e.step_next(t), timeout)
            seq, fn_id = await recv_request(peer)
            await quietly(send(peer, seq, fn_id, attack.rng))
            if drops(await attack.outcome(call)):
                peer.abort()
                peer = None
    finally:
        await attack.finish()


# ---------------------------------------------------------------------------
# Stalls


@pytest.mark.timeout(60)
async def test_peer_that_stops_reading(served, tally, shrink_send_buffer):
    attack = Attack("peer that stops reading", tally, served.engine, served.port)
    try:
        for i in range(6):
            peer = await attack.connect_installed(rcvbuf=1024)
            timeout = attack.rng.choice([0.2, 0.5])
            if i % 2:
                # The engine's echo reply backs up while it waits for an answer.
                call = attack.call(lambda e, t: e.step_next(t), timeout)
                await recv_request(peer)
                peer.stop_reading()
                shrink_send_buffer(served.port, peer.socket)
                # On a loaded machine the deadline may pass before all of it is sent.
                await quietly(peer.send_echo_request(1, 1, bytes(4 * MiB)))
            else:
                peer.stop_reading()
                shrink_send_buffer(served.port, peer.socket)
                call = attack.call(lambda e, t: e.init_candles(np.zeros((50_000, 5)), t), timeout)
            assert drops(await attack.outcome(call))
            peer.abort()
    finally:
        await attack.finish()


STALLED_UPGRADES = [b"", b"G", b"GET / HTTP/1.1\r\n", b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n",
                    b"GET / HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                    b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"]


@pytest.mark.timeout(60)
async def test_stalled_upgrades_then_a_real_peer(served, tally):
    attack = Attack("100 stalled upgrades", tally, served.engine, served.port)
    stalled = []
    try:
        for _ in range(100):
            _, writer = await asyncio.open_connection(HOST, served.port)
            writer.write(attack.rng.choice(STALLED_UPGRADES))
            stalled.append(writer)
        await asyncio.sleep(0.1)
        started = time.monotonic()
        peer = await attack.connect_installed()
        installed = time.monotonic() - started
        attack.tally.record(attack.name, "real peer installed after %.1f s" % installed)
        async with peer.serve(good_answer):
            call = attack.call(lambda e, t: e.get_rl_config(t), GUARD)
            assert await attack.outcome(call) == "result"
    finally:
        for writer in stalled:
            writer.transport.abort()
        await attack.finish()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("origin", [None, "http://localhost:5173"])
async def test_upgrade_sent_one_byte_at_a_time(served, tally, origin):
    attack = Attack("upgrade one byte at a time", tally, served.engine, served.port)
    try:
        reader, writer = await asyncio.open_connection(HOST, served.port)
        writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        request = (b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                   + (b"Origin: %s\r\n" % origin.encode() if origin else b"") + b"\r\n")
        for i in range(len(request)):
            writer.write(request[i:i + 1])
            await writer.drain()
            await asyncio.sleep(0.002)
        raw = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), GUARD)
        peer = Peer(reader, writer, raw)
        attack.peers.append(peer)
        assert peer.status == 101, raw
        assert await peer.recv_message() == (OP_TEXT, HANDSHAKE_MESSAGE)
        await asyncio.wait_for(served.engine.wait_connected(GUARD), GUARD)
        async with peer.serve(good_answer):
            calls = [attack.call(lambda e, t: e.step_next(t), GUARD, i) for i in range(5)]
            assert await attack.outcomes(calls) == ["result"] * 5
    finally:
        await attack.finish()


# ---------------------------------------------------------------------------
# Churn


@pytest.mark.timeout(60)
async def test_peer_reconnecting_every_few_milliseconds(served, tally):
    attack = Attack("reconnect every few ms", tally, served.engine, served.port)
    servers = []
    stop = asyncio.Event()

    async def reconnect():
        while not stop.is_set():
            try:
                peer = await attack.connect()
            except (ConnectionError, ProtocolError, asyncio.TimeoutError):
                continue
            servers.append(peer.serve(good_answer))
            # Peers far behind the newest have been replaced: let their sockets go.
            if len(attack.peers) > 20:
                attack.peers.pop(0).abort()
            await asyncio.sleep(attack.rng.uniform(0.002, 0.008))

    reconnecting = asyncio.ensure_future(reconnect())
    try:
        end = time.monotonic() + 2.0
        in_flight = 8
        while time.monotonic() < end:
            calls = [attack.call(lambda e, t: e.step_next(t), 0.5, in_flight) for _ in range(in_flight)]
            await attack.outcomes(calls)
    finally:
        stop.set()
        await asyncio.wait_for(reconnecting, GUARD)
        for server in servers:
            server.task.cancel()
        await asyncio.gather(*(server.task for server in servers), return_exceptions=True)
        await attack.finish()


@pytest.mark.timeout(120)
async def test_ten_thousand_calls_cancelled_at_random_points(served, tally):
    attack = Attack("10,000 calls cancelled at random", tally, served.engine, served.port)
    rng = attack.rng
    stop = asyncio.Event()

    async def slow_answer(fn_id, payload):
        await asyncio.sleep(rng.choice([0, 0, 0.0005, 0.002]))
        return good_answer(fn_id, payload)

    async def keep_a_peer_connected():
        # The engine drops the connection on a late answer to a cancelled call: come back.
        while not stop.is_set():
            peer = await attack.connect()
            server = peer.serve(slow_answer)
            stopping = asyncio.ensure_future(stop.wait())
            await asyncio.wait([server.task, stopping], return_when=asyncio.FIRST_COMPLETED)
            stopping.cancel()
            await server.stop()
            peer.abort()

    loop = asyncio.get_running_loop()
    answering = asyncio.ensure_future(keep_a_peer_connected())
    try:
        await asyncio.wait_for(served.engine.wait_connected(GUARD), GUARD)
        batch, total = 10, 10_000
        makers = [lambda e, t: e.step_next(t), lambda e, t: e.get_rl_config(t),
                  lambda e, t: e.reset_episode(7, "test", t),
                  lambda e, t: e.init_candles(np.ones((300, 5)), t)]
        for _ in range(total // batch):
            # Each batch starts with a peer: a batch that meets none tells little.
            await asyncio.wait_for(served.engine.wait_connected(GUARD), GUARD + MARGIN)
            calls = []
            for i in range(batch):
                call = attack.call(rng.choice(makers), 0.5, batch)
                point = rng.random()
                if point < 0.1:
                    call.cancel()
                elif point < 0.4:
                    loop.call_later(rng.uniform(0, 0.005), call.cancel)
                calls.append(call)
            await attack.outcomes(calls)
    finally:
        stop.set()
        await asyncio.wait_for(answering, GUARD)
        await attack.finish()


# ---------------------------------------------------------------------------
# Scale


@pytest.mark.timeout(60)
async def test_32_engines_on_32_ports(start_engine, tally):
    name = "32 engines on 32 ports"
    engines = [await start_engine() for _ in range(32)]
    peers, servers = [], []
    healthy = False
    try:
        for engine, port in engines:
            peer = await connect_ready(HOST, port)
            await asyncio.wait_for(engine.wait_connected(GUARD), GUARD)
            peers.append(peer)
            servers.append(peer.serve(good_answer))
        for round_ in range(10):
            futures = [engine.reset_episode(round_ * 100 + i, "train", GUARD)
                       for i, (engine, _) in enumerate(engines)]
            results = await asyncio.wait_for(asyncio.gather(*futures, return_exceptions=True),
                                             GUARD + MARGIN)
            for future in futures:
                tally.record(name, classify(future))
            assert results == [round_ * 100 + i for i in range(32)]
        for peer in peers:
            peer.abort()
        for engine, port in engines[::8]:
            await works_normally(engine, port)
        healthy = True
    finally:
        tally.survived(name, healthy)
        for server in servers:
            server.task.cancel()
        for peer in peers:
            peer.abort()


@pytest.mark.timeout(60)
async def test_two_loops_in_two_threads_with_own_and_shared_engines(pair, served, start_engine, tally):
    name = "two loop threads, one shared engine"
    shared, shared_peer = pair
    count = 60

    def in_thread(offset, outcome):
        async def main():
            own, port = await start_engine()
            peer = await connect_ready(HOST, port)
            await asyncio.wait_for(own.wait_connected(GUARD), GUARD)
            async with peer.serve(good_answer):
                calls = []
                for i in range(count):
                    calls.append(own.reset_episode(offset + i, "train", GUARD))
                    calls.append(shared.reset_episode(offset + i, "test", GUARD))
                results = await asyncio.wait_for(asyncio.gather(*calls, return_exceptions=True), 20)
            peer.abort()
            return [classify(c) for c in calls], results

        try:
            outcome.append(asyncio.run(main()))
        except BaseException as exc:
            outcome.append(exc)

    outcomes = [[], []]
    async with shared_peer.serve(good_answer):
        threads = [threading.Thread(target=in_thread, args=(1000 * (k + 1), outcomes[k]), daemon=True)
                   for k in range(2)]
        for thread in threads:
            thread.start()
        loop = asyncio.get_running_loop()
        for thread in threads:
            await loop.run_in_executor(None, thread.join, 30)
    healthy = False
    try:
        for k, outcome in enumerate(outcomes):
            assert outcome and not isinstance(outcome[0], BaseException), outcome
            kinds, results = outcome[0]
            for kind in kinds:
                tally.record(name, kind)
            offset = 1000 * (k + 1)
            assert results == [offset + i // 2 for i in range(2 * count)]
        await works_normally(shared, served.port)
        healthy = True
    finally:
        tally.survived(name, healthy)


# ---------------------------------------------------------------------------
# The script ends with calls in flight

_EXIT_CHILD = r"""
import asyncio, sys, time
import numpy as np
import py_engine_rust
from peer import connect_ready, free_port

class SlowToFinalise:
    # Keeps finalisation busy while the calls left behind end.
    def __del__(self):
        time.sleep(1.0)

keep = SlowToFinalise()

async def main(how):
    port = free_port()
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
    await engine.start()
    peer = await connect_ready("127.0.0.1", port)
    await engine.wait_connected(5)
    engine.step_next(0.3)
    engine.get_rl_config(0.6)
    peer.stop_reading()
    engine.init_candles(np.zeros((1_000_000, 5)), timeout_secs=0.4)
    idle = py_engine_rust.RustEngineAsync("127.0.0.1", free_port())
    idle.wait_connected(0.3)
    idle.wait_connected()
    await asyncio.sleep(0.05)
    print("calls in flight")
    if how == "raise":
        raise RuntimeError("the agent failed")
    if how == "exit":
        sys.exit(3)

how = sys.argv[1]
if how == "loop left open":
    asyncio.new_event_loop().run_until_complete(main(how))
else:
    asyncio.run(main(how))
print("script ended")
"""

EXIT_SCENARIOS = {
    "return": (0, "calls in flight\nscript ended\n"),
    "raise": (1, "calls in flight\n"),
    "exit": (3, "calls in flight\n"),
    "loop left open": (0, "calls in flight\nscript ended\n"),
}


@pytest.mark.parametrize("how", list(EXIT_SCENARIOS))
def test_script_ends_with_calls_in_flight(run_python, tally, how):
    name = "script ends with calls in flight"
    code, stdout = EXIT_SCENARIOS[how]
    child = run_python(_EXIT_CHILD, how, timeout=60)
    tally.record(name, "exit status %d" % child.returncode)
    tally.survived(name, child.returncode == code)
    assert child.returncode == code, child.stderr[-3000:]
    # stdout is a pipe, so what was printed is still in the buffer the interpreter flushes at exit.
    assert child.stdout == stdout, child.stderr[-3000:]
    assert "terminate called" not in child.stderr
    assert "Fatal Python error" not in child.stderr
    if how == "raise":
        assert "RuntimeError: the agent failed" in child.stderr


# ---------------------------------------------------------------------------
# Threads running loops that call the engine, with a tiny switch interval

_THREADS_CHILD = r"""
import asyncio, collections, faulthandler, json, random, sys, threading, time
import py_engine_rust
from peer import connect_ready, free_port

faulthandler.dump_traceback_later(90, exit=True)
seconds, workers, seed = float(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
port = free_port()
engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
ready = threading.Event()
stop = threading.Event()

def answer(fn_id, payload):
    return payload[:4] if fn_id == 101 else b""

def peer_thread():
    async def run():
        await engine.start()
        peer = await connect_ready("127.0.0.1", port)
        await engine.wait_connected(5)
        async with peer.serve(answer):
            ready.set()
            while not stop.is_set():
                await asyncio.sleep(0.02)
    asyncio.run(run())

tallies = []

def worker(k):
    rng = random.Random(seed + k)
    tally = collections.Counter()
    async def calls():
        n = rng.randrange(1, 5)
        futures = [engine.reset_episode(k * 1000 + i, "train", 10) for i in range(n)]
        futures.append(engine.wait_connected(0))
        expected = [k * 1000 + i for i in range(n)] + [None]
        for f, want in zip(futures, expected):
            try:
                result = await asyncio.wait_for(f, 20)
                tally["result" if result == want else "wrong result %r" % (result,)] += 1
            except Exception as exc:
                tally[type(exc).__name__ + ": " + str(exc)[:60]] += 1
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        how = rng.randrange(3)
        if how == 0:
            asyncio.run(calls())
        else:
            loop = asyncio.new_event_loop()
            loop.run_until_complete(calls())
            if how == 1:
                loop.close()  # else dropped without close()
    tallies.append(tally)

sys.setswitchinterval(1e-6)
threading.Thread(target=peer_thread, daemon=True).start()
assert ready.wait(10)
threads = [threading.Thread(target=worker, args=(k,)) for k in range(workers)]
for t in threads:
    t.start()
for t in threads:
    t.join()
stop.set()
total = collections.Counter()
for t in tallies:
    total.update(t)
print(json.dumps({"threads": len(tallies), "outcomes": total}))
"""


def test_threads_running_loops_with_tiny_switch_interval(run_python, tally):
    name = "threads with tiny switch interval"
    child = run_python(_THREADS_CHILD, "3", "6", str(SEED), timeout=120)
    tally.survived(name, child.returncode == 0)
    if child.returncode != 0:
        tally.record(name, "exit status %d" % child.returncode)
    assert child.returncode == 0, (child.returncode, child.stderr[-3000:])
    report = json.loads(child.stdout)
    for outcome, count in report["outcomes"].items():
        tally.record(name, outcome, count)
    assert report["threads"] == 6
    assert set(report["outcomes"]) == {"result"}, report["outcomes"]
