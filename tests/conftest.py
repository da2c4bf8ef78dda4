"""Shared fixtures and helpers for the py_engine_rust tests.

``async def`` tests and fixtures run under pytest-asyncio (``asyncio_mode =
"auto"`` in pyproject.toml), each test on a fresh loop that its async fixtures
share.  Every async test has a hang guard of ``ASYNC_TEST_LIMIT`` seconds
(pytest-timeout) unless it sets its own with ``@pytest.mark.timeout(seconds)``.

Test modules get the helpers through fixtures (``start_engine``,
``run_python``, ``child_environment``, ``shrink_send_buffer``,
``engine_process``), not by importing this file: another directory's
conftest.py may take the module name "conftest".  What they import lives in
support.py.
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
from typing import Dict, List, Optional

import pytest

import py_engine_rust
from peer import DEFAULT_TIMEOUT, free_port
from support import serving, start_engine_on_free_port

ASYNC_TEST_LIMIT = 30.0
#: Hang guard for things that should happen at once (connections, replies).
GUARD = DEFAULT_TIMEOUT


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


@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(items):
    # A hang guard for every async test that sets none of its own: a lost completion must
    # fail the test, not stall the run.
    for item in items:
        if (inspect.iscoroutinefunction(getattr(item, "obj", None))
                and item.get_closest_marker("timeout") is None):
            item.add_marker(pytest.mark.timeout(ASYNC_TEST_LIMIT))


@pytest.fixture
def start_seq():
    """``start_seq`` of the ``served`` engine; parametrize to change it."""
    return None


@pytest.fixture
async def served(start_seq):
    """A started engine (an :class:`EngineUnderTest`) without a peer."""
    async with serving(start_seq) as under_test:
        yield under_test


@pytest.fixture
async def pair(served):
    """``(engine, peer)``: a started engine with one installed peer."""
    peer = await served.connect()
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
