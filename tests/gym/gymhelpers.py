"""Helpers of the Gymnasium environment tests (a module of its own: test modules and child
scripts import it, and the name "conftest" is taken by more than one directory)."""

from __future__ import annotations

import asyncio
import os
import socket
import time
from typing import Dict, List

import py_engine_rust

#: Short episodes keep every test quick; the page needs window + length candles per episode.
SMALL = {"episode_length": 8, "window": 5, "candles": 5 + 8 * 6, "connect_timeout": 20.0}


def descendants(pid: int) -> Dict[int, str]:
    """Every live process below ``pid``, with its command line."""
    children: Dict[int, List[int]] = {}
    commands: Dict[int, str] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                commands[int(entry)] = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] == "Z":
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    found: Dict[int, str] = {}
    todo = [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found[child] = commands.get(child, "")
            todo.append(child)
    return found


def browser_processes(pid: int) -> Dict[int, str]:
    """Chromium and Playwright's driver among the descendants of ``pid``."""
    return {p: cmd for p, cmd in descendants(pid).items() if "chrom" in cmd or "playwright" in cmd}


def ports_can_be_bound(ports: List[int]) -> bool:
    """Whether a new engine can listen on each port (what "address in use" would stop)."""
    async def bind_all() -> bool:
        for port in ports:
            engine = py_engine_rust.RustEngineAsync("127.0.0.1", port)
            try:
                await engine.start()
            except RuntimeError:
                return False
            finally:
                await engine.close()
        return True
    return asyncio.run(bind_all())


def alive(pid: int) -> bool:
    """Whether ``pid`` is a live process (a zombie is not)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def listening_addresses(port: int) -> List[str]:
    """The local addresses with a TCP socket listening on ``port``, from /proc/net/tcp and tcp6."""
    found = []
    for name in ("tcp", "tcp6"):
        try:
            with open("/proc/net/%s" % name) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            local, state = row.split()[1], row.split()[3]
            address, _, hex_port = local.partition(":")
            if state != "0A" or int(hex_port, 16) != port:  # 0A: LISTEN
                continue
            if len(address) == 8:
                found.append(socket.inet_ntop(socket.AF_INET, bytes.fromhex(address)[::-1]))
            else:
                words = b"".join(bytes.fromhex(address[i:i + 8])[::-1] for i in range(0, 32, 8))
                found.append(socket.inet_ntop(socket.AF_INET6, words))
    return found


def renderer_pid(session) -> int:
    """The renderer process of ``session``'s page: of the renderers below this process, the one whose
    processor time grows while that page spins for a moment."""
    import psutil
    from py_engine_rust_gym._runtime import LOOP

    def renderers() -> Dict[int, float]:
        times = {}
        for process in psutil.Process().children(recursive=True):
            try:
                command = process.cmdline()
                # Chromium's own user interface (top-chrome-webui) has a renderer of its own.
                if "--type=renderer" in command and "--top-chrome-webui" not in command:
                    times[process.pid] = sum(process.cpu_times()[:2])
            except psutil.Error:
                continue
        return times
    before = renderers()
    LOOP.run(session.evaluate("(() => { const t = performance.now(); while (performance.now() - t < 600) {} })()"))
    after = renderers()
    grown = sorted(((after[pid] - before.get(pid, 0.0), pid) for pid in after), reverse=True)
    # On a busy machine the spin gets less than its 0.6 s, but far more than any idle renderer.
    assert grown[0][0] > 0.1 and (len(grown) == 1 or grown[0][0] > 3 * grown[1][0] + 0.02), grown
    return grown[0][1]


def crash_page(session) -> None:
    """Makes the page's renderer crash (the protocol's Page.crash; no answer comes back)."""
    import asyncio

    from py_engine_rust_gym._runtime import LOOP

    async def crash() -> None:
        try:
            await asyncio.wait_for(session.command("Page.crash"), 2)
        except Exception:
            pass
    LOOP.run(crash())


class SlowOn:
    """A policy for Ray workers: always holds, and sleeps ``seconds`` before each step in the worker
    whose actor id is given (a slow or stuck worker among fast ones)."""

    def __init__(self, actor_id: str, seconds: float) -> None:
        self.actor_id = actor_id
        self.seconds = seconds

    def __call__(self, observations):
        import numpy as np
        import ray
        if ray.get_runtime_context().get_actor_id() == self.actor_id:
            time.sleep(self.seconds)
        return np.zeros(len(observations), dtype=np.int64)
