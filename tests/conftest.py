"""Shared fixtures and helpers for the py_engine_rust tests.

Only pytest and numpy are assumed.  ``async def`` tests are run by the
``pytest_pyfunc_call`` hook below on the loop of the ``event_loop`` fixture
(or on a fresh loop when the test does not use it), under a hang guard of
``ASYNC_TEST_LIMIT`` seconds that a test can change with
``@pytest.mark.async_timeout(seconds)``.  Async set-up is done by sync fixtures
that drive that same loop, so a test receives ready objects.

Test modules get the helpers through fixtures (``start_engine``,
``run_python``, ``child_environment``, ``shrink_send_buffer``,
``engine_process``), not by importing this file: another directory's
conftest.py may take the module name "conftest".
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import inspect
import os
import queue
import select
import socket
import subprocess
import sys
import threading
import time
from collections import Counter
from typing import Dict, List, Optional, Tuple

import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT, Peer, connect_ready, free_port

HOST = "127.0.0.1"
ASYNC_TEST_LIMIT = 30.0
#: Hang guard for things that should happen at once (connections, replies).
GUARD = DEFAULT_TIMEOUT


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "async_timeout(seconds): hang guard of an async test")


class AttackTally:
    """What the fault suite tried and what came of it, per attack.

    ``outcomes`` counts the outcome of every try (a result, a kind of
    error, a cancellation); ``after`` says whether the engine then worked
    with a well-behaved peer.
    """

    def __init__(self) -> None:
        self.seed: Optional[int] = None
        self.tries: Dict[str, int] = {}
        self.outcomes: Dict[str, Counter] = {}
        self.after: Dict[str, str] = {}

    def record(self, attack: str, outcome: str, count: int = 1) -> None:
        self.tries[attack] = self.tries.get(attack, 0) + count
        self.outcomes.setdefault(attack, Counter())[outcome] += count

    def survived(self, attack: str, healthy: bool) -> None:
        previous = self.after.get(attack)
        self.after[attack] = "works" if healthy and previous != "BROKEN" else "BROKEN"

    def lines(self) -> List[str]:
        out = ["seed %s" % self.seed] if self.seed is not None else []
        for attack in sorted(self.tries):
            outcomes = ", ".join("%s x%d" % (name, n)
                                 for name, n in self.outcomes[attack].most_common())
            out.append("%-34s tries %6d  afterwards %-7s %s"
                       % (attack, self.tries[attack], self.after.get(attack, "-"), outcomes))
        return out


_ATTACK_TALLY = AttackTally()


@pytest.fixture(scope="session")
def attack_tally() -> AttackTally:
    """The session's :class:`AttackTally`, printed at the end of the run."""
    return _ATTACK_TALLY


def pytest_terminal_summary(terminalreporter):
    if _ATTACK_TALLY.tries:
        terminalreporter.section("fault suite: attacks, tries, outcomes")
        for line in _ATTACK_TALLY.lines():
            terminalreporter.write_line(line)


def _close_loop(loop: asyncio.AbstractEventLoop) -> None:
    try:
        pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
        for task in pending:
            task.cancel()
        if pending:
            loop.run_until_complete(
                asyncio.gather(*pending, return_exceptions=True))
        loop.run_until_complete(loop.shutdown_asyncgens())
    finally:
        asyncio.set_event_loop(None)
        loop.close()


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    func = pyfuncitem.obj
    if not inspect.iscoroutinefunction(func):
        return None
    loop = pyfuncitem.funcargs.get("event_loop")
    own_loop = loop is None
    if own_loop:
        loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    marker = pyfuncitem.get_closest_marker("async_timeout")
    limit = marker.args[0] if marker else ASYNC_TEST_LIMIT
    kwargs = {name: pyfuncitem.funcargs[name]
              for name in inspect.signature(func).parameters}
    try:
        loop.run_until_complete(asyncio.wait_for(func(**kwargs), limit))
    finally:
        if own_loop:
            _close_loop(loop)
    return True


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


@pytest.fixture
def event_loop():
    """The loop on which the test (if ``async``) and its fixtures run."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    yield loop
    _close_loop(loop)


@pytest.fixture
def start_seq():
    """``start_seq`` of the ``served`` engine; parametrize to change it."""
    return None


@pytest.fixture
def served(event_loop, start_seq):
    """A started engine (an :class:`EngineUnderTest`) without a peer."""
    engine, port = event_loop.run_until_complete(start_engine_on_free_port(start_seq))
    under_test = EngineUnderTest(engine, port, start_seq)
    yield under_test
    under_test.close()


@pytest.fixture
def pair(event_loop, served):
    """``(engine, peer)``: a started engine with one installed peer."""
    peer = event_loop.run_until_complete(served.connect())
    return served.engine, peer


def shrink_engine_send_buffer(engine_port: int, client: socket.socket,
                              size: int = 4096) -> None:
    """Set a small ``SO_SNDBUF`` on the engine's end of ``client``'s connection.

    The engine's accepted socket lives in this process; it is found among
    our file descriptors by its two addresses.  With a small send buffer on
    that side and a small receive buffer on the client, a peer that stops
    reading blocks the engine's sends after a few kilobytes.
    """
    wanted_local = client.getpeername()
    wanted_peer = client.getsockname()
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        try:
            # Socket objects made over a shared descriptor may change its blocking
            # mode (PyPy makes it blocking), which would stall the event loop's
            # own sockets: the mode is put back afterwards.
            flags = fcntl.fcntl(fd, fcntl.F_GETFL)
            copy = os.dup(fd)
        except OSError:
            continue
        try:
            sock = socket.socket(fileno=copy)
        except OSError:
            # Not a socket: the copy would otherwise stay open, and every later search
            # would find twice as many descriptors.
            os.close(copy)
            continue
        try:
            if (sock.type == socket.SOCK_STREAM
                    and sock.getsockname() == wanted_local
                    and sock.getpeername() == wanted_peer):
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, size)
                return
        except OSError:
            pass
        finally:
            sock.close()
            fcntl.fcntl(fd, fcntl.F_SETFL, flags)
    raise AssertionError("engine side of the connection not found")


# ---------------------------------------------------------------------------
# An engine in a child process, for what it writes on its standard error.

_CHILD_SCRIPT = r"""
import asyncio, sys
import py_engine_rust

async def main(port):
    engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
    try:
        await engine.start()
    except RuntimeError as exc:
        print("start failed:", exc, flush=True)
        return
    print("ready", flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

asyncio.run(main(int(sys.argv[1])))
"""


def child_environment() -> dict:
    """The environment for a child interpreter that imports this build of
    py_engine_rust (and the test helpers)."""
    module_dir = os.path.dirname(os.path.abspath(py_engine_rust.__file__))
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir, tests_dir]
        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def run_python(code: str, *args: str, timeout: float = 60
               ) -> "subprocess.CompletedProcess[str]":
    """Run ``code`` in a child interpreter (the one running the tests).

    Returns the completed process with ``stdout`` and ``stderr`` as text.
    """
    return subprocess.run([sys.executable, "-c", code, *args], env=child_environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


class EngineProcess:
    """A started engine running in a child interpreter.

    Its standard error is collected line by line; ``port`` is where it
    listens.  Use as a context manager, or call :meth:`stop`.
    """

    def __init__(self) -> None:
        env = child_environment()
        for attempt in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen(
                [sys.executable, "-c", _CHILD_SCRIPT, str(self.port)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=env)
            self._stopped = False
            self._lines: "queue.Queue[Optional[str]]" = queue.Queue()
            self._stderr: List[str] = []
            self._reader = threading.Thread(target=self._read_stderr, daemon=True)
            self._reader.start()
            ready, _, _ = select.select([self.proc.stdout], [], [], 3 * GUARD)
            first = self.proc.stdout.readline().decode() if ready else ""
            if first.strip() == "ready":
                return
            self.stop()
            if "Address already in use" not in first:
                raise AssertionError("child engine did not start: %r %r"
                                     % (first, self._stderr))
        raise AssertionError("no free port for the child engine")

    def _read_stderr(self) -> None:
        for raw in self.proc.stderr:
            self._lines.put(raw.decode("utf-8", "replace").rstrip("\n"))
        self._lines.put(None)

    async def wait_lines(self, count: int, timeout: float = GUARD,
                         prefix: str = "[rust ws server] ") -> List[str]:
        """Wait for ``count`` more stderr lines starting with ``prefix``.

        A coroutine, so that the caller's event loop keeps running (and
        closes the sockets it was asked to close) while it waits.
        """
        loop = asyncio.get_running_loop()
        found: List[str] = []
        deadline = time.monotonic() + timeout
        while len(found) < count:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("got only %r" % (found,))
            try:
                line = await loop.run_in_executor(None, self._lines.get, True,
                                                  min(remaining, 0.1))
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError("child ended; got only %r" % (found,))
            self._stderr.append(line)
            if line.startswith(prefix):
                found.append(line)
        return found

    def stop(self) -> List[str]:
        """End the child; return every stderr line not yet taken by
        :meth:`wait_lines` (nothing on a second call)."""
        if self._stopped:
            return []
        self._stopped = True
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(timeout=10)
        rest: List[str] = []
        while True:
            try:
                line = self._lines.get_nowait()
            except queue.Empty:
                break
            if line is not None:
                rest.append(line)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rest

    def __enter__(self) -> "EngineProcess":
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()


@pytest.fixture
def engine_process():
    """A started engine in a child process (see :class:`EngineProcess`)."""
    proc = EngineProcess()
    yield proc
    proc.stop()


@pytest.fixture
def start_engine():
    """``await start_engine(start_seq=None, host=HOST)`` -> ``(engine, port)``:
    an engine constructed on a free port and started."""
    return start_engine_on_free_port


@pytest.fixture(name="child_environment")
def child_environment_fixture():
    """``child_environment()``: see :func:`child_environment`."""
    return child_environment


@pytest.fixture(name="run_python")
def run_python_fixture():
    """``run_python(code, *args, timeout=60)``: see :func:`run_python`."""
    return run_python


@pytest.fixture
def shrink_send_buffer():
    """``shrink_send_buffer(engine_port, client_socket, size=4096)``: see
    :func:`shrink_engine_send_buffer`."""
    return shrink_engine_send_buffer
