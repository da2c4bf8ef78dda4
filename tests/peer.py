"""A scriptable user-interface peer for ``py_engine_rust``.

The engine is a WebSocket *server*; the browser user interface is the client
that connects to it and answers the engine's remote calls.  This module plays
that client with nothing but asyncio streams and its own RFC 6455 framing, so
that a test decides every byte that goes over the wire:

* :func:`connect` performs the HTTP upgrade and keeps the server's raw answer
  (a refusal is not an error here, it is something to look at);
  :func:`connect_ready` also insists on ``101`` and on the engine's handshake
  text message.
* :class:`Peer` sends WebSocket frames (always masked, as a client must;
  optionally fragmented) and receives messages, reassembling fragmented ones.
* The RPC layer on top: :func:`encode_frame` / :func:`decode_frame` for the
  16-byte little-endian frame header, :func:`error_record` for the payload of
  an ``ErrorResponse``, :meth:`Peer.recv_request`, :meth:`Peer.respond`,
  :meth:`Peer.respond_error` and :meth:`Peer.serve`, a background task that
  answers every request in arrival order.

Everything here is independent of pytest and can be used by benchmarks.
Works on CPython and PyPy (Python 3.9 and later).
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import inspect
import os
import socket
import struct
from typing import (Any, Awaitable, Callable, Iterable, List, NamedTuple,
                    Optional, Sequence, Tuple, Union)

__all__ = [
    "OP_CONTINUATION", "OP_TEXT", "OP_BINARY", "OP_CLOSE", "OP_PING", "OP_PONG",
    "KIND_REQUEST", "KIND_RESPONSE", "KIND_ERROR_RESPONSE", "KIND_ECHO_REQUEST",
    "KIND_ECHO_REPLY", "PROTOCOL_VERSION", "FRAME_HEADER_LEN", "FN_IDS",
    "HANDSHAKE_MESSAGE", "DEFAULT_TIMEOUT",
    "Frame", "ProtocolError", "ConnectionLost", "UpgradeRefused", "RpcFailure",
    "encode_frame", "decode_frame", "error_record", "encode_ws_frame",
    "connect", "connect_ready", "Peer", "Server", "free_port",
]

# WebSocket opcodes (RFC 6455, section 5.2).
OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA

# RPC frame kinds.
KIND_REQUEST = 1
KIND_RESPONSE = 2
KIND_ERROR_RESPONSE = 3
KIND_ECHO_REQUEST = 4
KIND_ECHO_REPLY = 5

PROTOCOL_VERSION = 1
FRAME_HEADER_LEN = 16

#: Function identifier of every engine operation.
FN_IDS = {
    "step_next": 2,
    "get_ticket_list": 10,
    "get_snapshot": 12,
    "get_ohlc": 15,
    "place_order": 20,
    "place_ticket": 21,
    "fetch_events": 30,
    "close_positions": 31,
    "end_session": 40,
    "init_candles": 100,
    "reset_episode": 101,
    "get_rl_config": 102,
    "get_sync_policy": 120,
    "step_and_sync": 130,
}

#: The text message the engine sends first on every accepted connection.
HANDSHAKE_MESSAGE = b'{"type":"handshake","python_library_version":"0.1.0"}'

#: Seconds any single read of this module waits before giving up, unless the
#: caller says otherwise.  It is a guard against hanging tests, nothing more.
DEFAULT_TIMEOUT = 5.0

_WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_HEADER = struct.Struct("<BBHIHHI")
_ERROR_HEAD = struct.Struct("<HHI")


class ProtocolError(Exception):
    """The engine sent something this peer did not expect."""


class ConnectionLost(EOFError):
    """The TCP stream ended (end of file or reset) where a frame was expected.

    ``reset`` tells whether the stream was reset rather than closed cleanly.
    Receiving this instead of a close frame is how a test sees that the engine
    dropped the connection without a closing handshake.
    """

    def __init__(self, message: str = "connection lost", reset: bool = False):
        super().__init__(message)
        self.reset = reset


class UpgradeRefused(Exception):
    """:func:`connect_ready` got something other than ``101``."""

    def __init__(self, peer: "Peer"):
        super().__init__("upgrade refused: %r" % (peer.raw_response,))
        self.peer = peer


class RpcFailure(Exception):
    """An ``ErrorResponse`` to send from a :meth:`Peer.serve` handler.

    A handler may either return an instance or raise it.  ``message`` is text
    (encoded as UTF-8) or raw bytes, sent unchanged.
    """

    def __init__(self, err: int, sub: int, message: Union[str, bytes] = b""):
        super().__init__(err, sub, message)
        self.err = err
        self.sub = sub
        self.message = message

    def payload(self) -> bytes:
        return error_record(self.err, self.sub, self.message)


# ---------------------------------------------------------------------------
# RPC frame envelope


class Frame(NamedTuple):
    """A decoded RPC frame: the header fields and the payload."""

    version: int
    kind: int
    reserved1: int
    seq: int
    fn_id: int
    reserved2: int
    payload_len: int
    payload: bytes


def encode_frame(kind: int, seq: int, fn_id: int, payload: bytes = b"", *,
                 version: int = PROTOCOL_VERSION, reserved1: int = 0,
                 reserved2: int = 0, payload_len: Optional[int] = None) -> bytes:
    """Build an RPC frame: the 16-byte little-endian header, then ``payload``.

    The keyword arguments exist to build malformed frames: another
    ``version``, non-zero reserved fields, or a ``payload_len`` that does not
    match the payload actually appended.
    """
    payload = bytes(payload)
    if payload_len is None:
        payload_len = len(payload)
    return _HEADER.pack(version, kind, reserved1, seq, fn_id, reserved2,
                        payload_len) + payload


def decode_frame(data: bytes, *, strict: bool = True) -> Frame:
    """Read an RPC frame.

    Raises ``ValueError`` if ``data`` is shorter than the header or, when
    ``strict``, if its length is not 16 + ``payloadLen``.  Version and kind are
    not checked.
    """
    data = bytes(data)
    if len(data) < FRAME_HEADER_LEN:
        raise ValueError("frame too short: %d bytes" % len(data))
    fields = _HEADER.unpack_from(data)
    payload_len = fields[6]
    if strict and len(data) != FRAME_HEADER_LEN + payload_len:
        raise ValueError("frame length %d does not match payloadLen %d"
                         % (len(data), payload_len))
    return Frame(*fields, data[FRAME_HEADER_LEN:])


def error_record(err: int, sub: int, message: Union[str, bytes] = b"", *,
                 msg_len: Optional[int] = None) -> bytes:
    """Build the payload of an ``ErrorResponse``.

    Layout: u16 ``err``, u16 ``sub``, u32 ``msgLen``, then the message bytes
    (``str`` is encoded as UTF-8).  ``msg_len`` overrides the length field, to
    build records whose stated length does not match their content.
    """
    if isinstance(message, str):
        message = message.encode("utf-8")
    message = bytes(message)
    if msg_len is None:
        msg_len = len(message)
    return _ERROR_HEAD.pack(err, sub, msg_len) + message


# ---------------------------------------------------------------------------
# WebSocket framing (client side)


def _mask(data: bytes, key: bytes) -> bytes:
    """XOR ``data`` with the repeating 4-byte ``key``."""
    n = len(data)
    if n == 0 or key == b"\0\0\0\0":
        return data
    if n >= 4096:
        try:
            import numpy as np
        except ImportError:  # pragma: no cover - numpy is a test dependency
            np = None
        if np is not None:
            words = n // 4
            out = np.empty(n, dtype=np.uint8)
            body = np.frombuffer(data, dtype="<u4", count=words)
            np.bitwise_xor(body, np.frombuffer(key, dtype="<u4")[0],
                           out=out[:words * 4].view("<u4"))
            for i in range(words * 4, n):
                out[i] = data[i] ^ key[i & 3]
            return out.tobytes()
    repeated = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(data, "little")
            ^ int.from_bytes(repeated, "little")).to_bytes(n, "little")


def encode_ws_frame(opcode: int, payload: bytes = b"", *, fin: bool = True,
                    rsv: int = 0, mask: bool = True,
                    mask_key: Optional[bytes] = None) -> bytes:
    """Build one WebSocket frame as a client sends it (masked by default).

    ``rsv`` sets the three reserved bits (0 to 7); ``mask=False`` builds the
    unmasked frame that a client must not send.
    """
    payload = bytes(payload)
    n = len(payload)
    head = bytearray([(0x80 if fin else 0) | ((rsv & 7) << 4) | (opcode & 0xF)])
    mask_bit = 0x80 if mask else 0
    if n < 126:
        head.append(mask_bit | n)
    elif n < 1 << 16:
        head.append(mask_bit | 126)
        head += struct.pack("!H", n)
    else:
        head.append(mask_bit | 127)
        head += struct.pack("!Q", n)
    if not mask:
        return bytes(head) + payload
    if mask_key is None:
        mask_key = os.urandom(4)
    return bytes(head) + mask_key + _mask(payload, mask_key)


def _split(data: bytes, fragments: Union[int, Sequence[int]]) -> List[bytes]:
    """Cut ``data`` into pieces: ``fragments`` is a count or a list of sizes.

    With a list of sizes, whatever the sizes leave over becomes one last
    piece.
    """
    if isinstance(fragments, int):
        if fragments < 1:
            raise ValueError("fragments must be at least 1")
        step = -(-len(data) // fragments) if data else 0
        sizes = [step] * (fragments - 1)
    else:
        sizes = list(fragments)
    pieces, pos = [], 0
    for size in sizes:
        pieces.append(data[pos:pos + size])
        pos += size
    pieces.append(data[pos:])
    return pieces


def free_port(host: str = "127.0.0.1") -> int:
    """A TCP port on ``host`` that was free a moment ago.

    An engine started with port 0 listens on a port it does not report, so
    give it a port chosen here (another process may take it in between; a
    caller that must not fail retries with a new one).
    """
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


def _accept_key(key: str) -> str:
    digest = hashlib.sha1(key.encode("ascii") + _WS_GUID).digest()
    return base64.b64encode(digest).decode("ascii")


def _as_bytes(value: Union[str, bytes]) -> bytes:
    return value if isinstance(value, bytes) else value.encode("latin-1")


# ---------------------------------------------------------------------------
# Connecting


async def connect(host: str, port: int, origin: Union[None, str, bytes] = None,
                  path: str = "/", *,
                  headers: Iterable[Tuple[Union[str, bytes], Union[str, bytes]]] = (),
                  request: Optional[bytes] = None, rcvbuf: Optional[int] = None,
                  timeout: float = DEFAULT_TIMEOUT) -> "Peer":
    """Open a TCP connection and send a WebSocket upgrade request.

    ``origin``: the value of an ``Origin`` header (``str``, or ``bytes`` for
    values that are not ASCII), or ``None`` to send no such header.
    ``headers``: further header lines, sent as given after the standard ones
    (use it for a lower-case ``origin`` name or for repeated headers).
    ``request``: send these bytes instead of a generated request (the
    ``Sec-WebSocket-Key`` of a custom request is not checked).
    ``rcvbuf``: ``SO_RCVBUF`` to set on the socket before connecting.  The
    socket has ``TCP_NODELAY`` set, so every write leaves at once.

    Returns a :class:`Peer` whatever the server answers: ``status``,
    ``status_line``, ``headers`` and ``raw_response`` (everything up to and
    including the blank line; all bytes received if the server closed before
    that) describe the answer.  A ``101`` answer must carry the right
    ``Sec-WebSocket-Accept``, else :class:`ProtocolError` is raised.
    """
    loop = asyncio.get_running_loop()
    family = socket.AF_INET6 if ":" in host.strip("[]") else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    try:
        if rcvbuf is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        # Small frames (answers, pings) must leave at once: with Nagle's delay every exchange
        # behind a small write would wait for the engine's delayed acknowledgement.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sock.setblocking(False)
        await asyncio.wait_for(loop.sock_connect(sock, (host.strip("[]"), port)),
                               timeout)
        reader, writer = await asyncio.open_connection(sock=sock)
    except BaseException:
        sock.close()
        raise

    key = base64.b64encode(os.urandom(16)).decode("ascii")
    generated = request is None
    if request is None:
        lines = [
            b"GET " + path.encode("ascii") + b" HTTP/1.1",
            b"Host: " + ("%s:%d" % (host, port)).encode("ascii"),
            b"Upgrade: websocket",
            b"Connection: Upgrade",
            b"Sec-WebSocket-Key: " + key.encode("ascii"),
            b"Sec-WebSocket-Version: 13",
        ]
        if origin is not None:
            lines.append(b"Origin: " + _as_bytes(origin))
        for name, value in headers:
            lines.append(_as_bytes(name) + b": " + _as_bytes(value))
        request = b"\r\n".join(lines) + b"\r\n\r\n"
    writer.write(request)
    await writer.drain()

    try:
        raw = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), timeout)
    except asyncio.IncompleteReadError as exc:
        raw = exc.partial
    except (ConnectionResetError, BrokenPipeError):
        raw = b""
    peer = Peer(reader, writer, raw)
    if peer.status == 101:
        expected = _accept_key(key)
        got = peer.header("Sec-WebSocket-Accept")
        if generated and got != expected:
            peer.abort()
            raise ProtocolError("bad Sec-WebSocket-Accept %r, expected %r"
                                % (got, expected))
    return peer


async def connect_ready(host: str, port: int, origin: Union[None, str, bytes] = None,
                        path: str = "/", **kwargs: Any) -> "Peer":
    """:func:`connect`, then require ``101`` and the handshake message.

    Raises :class:`UpgradeRefused` for any other answer and
    :class:`ProtocolError` if the first message is not the text message
    :data:`HANDSHAKE_MESSAGE`.
    """
    peer = await connect(host, port, origin, path, **kwargs)
    if peer.status != 101:
        peer.abort()
        raise UpgradeRefused(peer)
    opcode, data = await peer.recv_message(timeout=kwargs.get("timeout", DEFAULT_TIMEOUT))
    if (opcode, data) != (OP_TEXT, HANDSHAKE_MESSAGE):
        peer.abort()
        raise ProtocolError("unexpected first message %r" % ((opcode, data[:200]),))
    return peer


# ---------------------------------------------------------------------------
# The peer


class Peer:
    """One client connection to the engine; see :func:`connect`.

    Reading is not safe from two tasks at once, and a read abandoned by a
    timeout or cancellation may leave the stream in the middle of a frame:
    after that, only :meth:`abort` is meaningful.
    """

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                 raw_response: bytes):
        self.reader = reader
        self.writer = writer
        #: The server's answer to the upgrade request, as received.
        self.raw_response = raw_response
        head = raw_response.split(b"\r\n\r\n", 1)[0]
        lines = head.split(b"\r\n") if head else []
        #: First line of the answer, e.g. ``"HTTP/1.1 101 Switching Protocols"``.
        self.status_line = lines[0].decode("latin-1") if lines else ""
        parts = self.status_line.split(" ", 2)
        #: Status code as an int, or None if there was no parsable status line.
        self.status: Optional[int] = (
            int(parts[1]) if len(parts) >= 2 and parts[1].isdigit() else None)
        #: Header lines of the answer as (name, value) text pairs, in order.
        self.headers: List[Tuple[str, str]] = []
        for line in lines[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            self.headers.append((name.strip(), value.strip()))
        self._fragments: List[bytes] = []
        self._fragment_opcode: Optional[int] = None

    # -- connection ---------------------------------------------------------

    @property
    def accepted(self) -> bool:
        """True if the server switched protocols (status 101)."""
        return self.status == 101

    @property
    def socket(self) -> socket.socket:
        """The underlying socket (for getsockname and socket options)."""
        return self.writer.get_extra_info("socket")

    def header(self, name: str) -> Optional[str]:
        """Value of the first response header called ``name`` (any case)."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def stop_reading(self) -> None:
        """Stop taking bytes off the socket (until :meth:`resume_reading`).

        asyncio otherwise keeps reading ahead into its own buffer (up to about
        128 KiB); a peer that "stops reading" must pause the transport so that
        the engine's sends back up.  Do not call the receive methods while
        paused: they would wait for ever.
        """
        self.writer.transport.pause_reading()

    def resume_reading(self) -> None:
        """Undo :meth:`stop_reading`."""
        self.writer.transport.resume_reading()

    def abort(self) -> None:
        """Close the TCP socket at once, without a WebSocket close frame."""
        self.writer.transport.abort()

    async def read_to_eof(self, timeout: float = DEFAULT_TIMEOUT) -> bytes:
        """Read raw bytes until the server closes the stream; return them.

        A reset counts as the end of the stream.
        """
        try:
            return await asyncio.wait_for(self.reader.read(), timeout)
        except ConnectionResetError:
            return b""

    async def read_until_closed(self, timeout: float = DEFAULT_TIMEOUT
                                ) -> List[Tuple[int, bytes]]:
        """Receive messages until the stream ends; return them in order.

        The list ends with a close message (opcode 8) only if the server sent
        one; a stream that just stops ends the list without it.  Raises
        ``asyncio.TimeoutError`` if the stream is still open after
        ``timeout`` seconds.
        """
        messages: List[Tuple[int, bytes]] = []

        async def run() -> None:
            while True:
                try:
                    messages.append(await self.recv_message(timeout=None))
                except ConnectionLost:
                    return

        await asyncio.wait_for(run(), timeout)
        return messages

    # -- sending ------------------------------------------------------------

    async def send_raw(self, data: bytes) -> None:
        """Write ``data`` to the socket unchanged and wait until it is flushed."""
        self.writer.write(data)
        await self.writer.drain()

    async def send_frame(self, opcode: int, payload: bytes = b"", *, fin: bool = True,
                         rsv: int = 0, mask: bool = True,
                         mask_key: Optional[bytes] = None) -> None:
        """Send one WebSocket frame; see :func:`encode_ws_frame`."""
        await self.send_raw(encode_ws_frame(opcode, payload, fin=fin, rsv=rsv,
                                            mask=mask, mask_key=mask_key))

    async def _send_message(self, opcode: int, data: bytes,
                            fragments: Union[None, int, Sequence[int]],
                            between: Optional[Callable[[int], Awaitable[None]]],
                            mask_key: Optional[bytes]) -> None:
        if fragments is None:
            await self.send_frame(opcode, data, mask_key=mask_key)
            return
        pieces = _split(bytes(data), fragments)
        for i, piece in enumerate(pieces):
            await self.send_frame(opcode if i == 0 else OP_CONTINUATION, piece,
                                  fin=i == len(pieces) - 1, mask_key=mask_key)
            if between is not None and i < len(pieces) - 1:
                await between(i)

    async def send_text(self, text: Union[str, bytes], *,
                        fragments: Union[None, int, Sequence[int]] = None) -> None:
        """Send a text message (``bytes`` are sent as they are, valid or not)."""
        data = text.encode("utf-8") if isinstance(text, str) else text
        await self._send_message(OP_TEXT, data, fragments, None, None)

    async def send_binary(self, data: bytes, *,
                          fragments: Union[None, int, Sequence[int]] = None,
                          between: Optional[Callable[[int], Awaitable[None]]] = None,
                          mask_key: Optional[bytes] = None) -> None:
        """Send a binary message, in one frame or in several.

        ``fragments``: ``None`` for one frame, a number of frames of about
        equal size, or a list of frame sizes (the rest goes in a last frame).
        ``between(i)`` is awaited after fragment ``i`` and before the next
        one, e.g. to interleave a ping.
        """
        await self._send_message(OP_BINARY, data, fragments, between, mask_key)

    async def send_ping(self, data: bytes = b"") -> None:
        """Send a ping control frame carrying ``data`` (at most 125 bytes)."""
        await self.send_frame(OP_PING, data)

    async def send_pong(self, data: bytes = b"") -> None:
        """Send an unsolicited pong control frame."""
        await self.send_frame(OP_PONG, data)

    async def send_close(self, code: Optional[int] = 1000, reason: str = "") -> None:
        """Send a close frame (``code=None`` sends an empty close payload)."""
        payload = b"" if code is None else struct.pack("!H", code) + reason.encode()
        await self.send_frame(OP_CLOSE, payload)

    # -- receiving ----------------------------------------------------------

    async def _read_exactly(self, n: int) -> bytes:
        try:
            return await self.reader.readexactly(n)
        except asyncio.IncompleteReadError as exc:
            raise ConnectionLost("stream ended after %d of %d bytes"
                                 % (len(exc.partial), n)) from None
        except (ConnectionResetError, BrokenPipeError) as exc:
            raise ConnectionLost(str(exc), reset=True) from None

    async def recv_ws_frame(self) -> Tuple[bool, int, int, bytes]:
        """Receive one WebSocket frame: ``(fin, rsv, opcode, payload)``.

        Server frames must not be masked; a masked one raises
        :class:`ProtocolError`.  No timeout.
        """
        b0, b1 = await self._read_exactly(2)
        if b1 & 0x80:
            raise ProtocolError("server frame is masked")
        n = b1 & 0x7F
        if n == 126:
            (n,) = struct.unpack("!H", await self._read_exactly(2))
        elif n == 127:
            (n,) = struct.unpack("!Q", await self._read_exactly(8))
        payload = await self._read_exactly(n) if n else b""
        return bool(b0 & 0x80), (b0 >> 4) & 7, b0 & 0xF, payload

    async def recv_message(self, timeout: Optional[float] = DEFAULT_TIMEOUT
                           ) -> Tuple[int, bytes]:
        """Receive the next message: ``(opcode, data)``.

        Fragmented data messages are reassembled and returned under the
        opcode of their first frame.  Control frames (close, ping, pong) are
        returned as messages of their own as soon as they arrive, also between
        the fragments of a data message.  Raises :class:`ConnectionLost` when
        the stream ends, ``asyncio.TimeoutError`` after ``timeout`` seconds
        (``None``: no limit).
        """
        if timeout is None:
            return await self._recv_message()
        return await asyncio.wait_for(self._recv_message(), timeout)

    async def _recv_message(self) -> Tuple[int, bytes]:
        while True:
            fin, rsv, opcode, payload = await self.recv_ws_frame()
            if rsv:
                raise ProtocolError("reserved bits set: %d" % rsv)
            if opcode >= 0x8:
                if not fin:
                    raise ProtocolError("fragmented control frame")
                return opcode, payload
            if opcode == OP_CONTINUATION:
                if self._fragment_opcode is None:
                    raise ProtocolError("continuation without a first fragment")
            else:
                if self._fragment_opcode is not None:
                    raise ProtocolError("new data message inside a fragmented one")
                self._fragment_opcode = opcode
            self._fragments.append(payload)
            if fin:
                opcode, self._fragment_opcode = self._fragment_opcode, None
                data, self._fragments = b"".join(self._fragments), []
                return opcode, data

    async def expect_silence(self, seconds: float) -> None:
        """Raise :class:`ProtocolError` if any message arrives within ``seconds``."""
        try:
            message = await self.recv_message(timeout=seconds)
        except asyncio.TimeoutError:
            return
        raise ProtocolError("unexpected message %r" % ((message[0], message[1][:200]),))

    # -- the RPC layer ------------------------------------------------------

    async def recv_frame(self, timeout: Optional[float] = DEFAULT_TIMEOUT) -> Frame:
        """Receive the next message, which must be a binary RPC frame."""
        opcode, data = await self.recv_message(timeout)
        if opcode != OP_BINARY:
            raise ProtocolError("expected a binary message, got opcode %d: %r"
                                % (opcode, data[:200]))
        return decode_frame(data)

    async def recv_request(self, timeout: Optional[float] = DEFAULT_TIMEOUT
                           ) -> Tuple[int, int, bytes]:
        """Receive the next message, which must be a ``Request`` frame.

        Returns ``(seq, fn_id, payload)``.
        """
        frame = await self.recv_frame(timeout)
        if frame.version != PROTOCOL_VERSION or frame.kind != KIND_REQUEST:
            raise ProtocolError("expected a Request frame, got %r" % (frame,))
        return frame.seq, frame.fn_id, frame.payload

    async def send_rpc_frame(self, kind: int, seq: int, fn_id: int,
                             payload: bytes = b"", **send_kwargs: Any) -> None:
        """Send one RPC frame as a binary message (``send_kwargs`` go to
        :meth:`send_binary`, e.g. ``fragments``)."""
        await self.send_binary(encode_frame(kind, seq, fn_id, payload), **send_kwargs)

    async def respond(self, seq: int, fn_id: int, payload: bytes = b"",
                      **send_kwargs: Any) -> None:
        """Send a ``Response`` frame."""
        await self.send_rpc_frame(KIND_RESPONSE, seq, fn_id, payload, **send_kwargs)

    async def respond_error(self, seq: int, fn_id: int, err: int, sub: int,
                            message: Union[str, bytes] = b"",
                            **send_kwargs: Any) -> None:
        """Send an ``ErrorResponse`` frame carrying an :func:`error_record`."""
        await self.send_rpc_frame(KIND_ERROR_RESPONSE, seq, fn_id,
                                  error_record(err, sub, message), **send_kwargs)

    async def send_echo_request(self, seq: int, fn_id: int, payload: bytes = b"") -> None:
        """Send an ``EchoRequest`` frame."""
        await self.send_rpc_frame(KIND_ECHO_REQUEST, seq, fn_id, payload)

    def serve(self, handler: Callable[[int, bytes], Any]) -> "Server":
        """Answer every request in arrival order, in a background task.

        ``handler(fn_id, payload)`` (plain or ``async``) returns the response
        payload (``bytes``; ``None`` means empty), or returns or raises an
        :class:`RpcFailure` to answer with an ``ErrorResponse``.  Any other
        exception stops the task and is raised again by :meth:`Server.stop`.
        Returns the :class:`Server`, which is also an async context manager
        that stops itself on exit.
        """
        return Server(self, handler)


class Server:
    """The background answering task of :meth:`Peer.serve`."""

    def __init__(self, peer: Peer, handler: Callable[[int, bytes], Any]):
        self.peer = peer
        self.handler = handler
        #: Every request answered so far, as ``(seq, fn_id, payload)``.
        self.requests: List[Tuple[int, int, bytes]] = []
        #: Messages that were not requests (pongs, echo replies, ...).
        self.other: List[Tuple[int, bytes]] = []
        #: True once the stream ended or the engine sent a close frame.
        self.closed = False
        self.task = asyncio.ensure_future(self._run())

    async def _run(self) -> None:
        peer = self.peer
        while True:
            try:
                opcode, data = await peer.recv_message(timeout=None)
            except ConnectionLost:
                self.closed = True
                return
            if opcode == OP_CLOSE:
                self.closed = True
                return
            frame = decode_frame(data) if opcode == OP_BINARY else None
            if frame is None or frame.kind != KIND_REQUEST:
                self.other.append((opcode, data))
                continue
            self.requests.append((frame.seq, frame.fn_id, frame.payload))
            try:
                result = self.handler(frame.fn_id, frame.payload)
                if inspect.isawaitable(result):
                    result = await result
            except RpcFailure as failure:
                result = failure
            try:
                if isinstance(result, RpcFailure):
                    await peer.send_rpc_frame(KIND_ERROR_RESPONSE, frame.seq,
                                              frame.fn_id, result.payload())
                else:
                    await peer.respond(frame.seq, frame.fn_id, result or b"")
            except (ConnectionResetError, BrokenPipeError):
                self.closed = True
                return

    async def stop(self) -> None:
        """Stop answering; raise the handler's exception if it failed."""
        if not self.task.done():
            self.task.cancel()
        try:
            await self.task
        except asyncio.CancelledError:
            pass

    async def __aenter__(self) -> "Server":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.stop()
