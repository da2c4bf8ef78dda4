"""Helpers of the Gymnasium environment tests (a module of its own: test modules and child
scripts import it, and the name "conftest" is taken by more than one directory)."""

from __future__ import annotations

import asyncio
import time
from typing import Dict, List

import psutil

import py_engine_rust

#: Short episodes keep every test quick; the page needs window + length candles per episode.
SMALL = {"episode_length": 8, "window": 5, "candles": 5 + 8 * 6, "connect_timeout": 20.0}


def descendants(pid: int) -> Dict[int, str]:
    """Every live process below ``pid``, with its command line."""
    try:
        children = psutil.Process(pid).children(recursive=True)
    except psutil.NoSuchProcess:
        return {}
    found: Dict[int, str] = {}
    for child in children:
        try:
            if child.status() != psutil.STATUS_ZOMBIE:
                found[child.pid] = " ".join(child.cmdline()).strip()
        except psutil.Error:
            continue
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
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def listening_addresses(port: int) -> List[str]:
    """The local addresses with a TCP socket listening on ``port``."""
    return [c.laddr.ip for c in psutil.net_connections(kind="tcp")
            if c.status == psutil.CONN_LISTEN and c.laddr and c.laddr.port == port]


def renderer_pid(session) -> int:
    """The renderer process of ``session``'s page: of the renderers below this process, the one whose
    processor time grows while that page spins for a moment."""
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
