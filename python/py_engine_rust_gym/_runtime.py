"""The package's own event loop: one thread per process that runs every engine and page.

Engines, Playwright and the pages all live on this loop, whoever calls.
Synchronous callers block on a concurrent future (so a loop already running
in their thread, as in a notebook, is simply paused, never re-entered);
asynchronous callers await a wrapped future from their own loop.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import sys
import threading
from typing import Any, Awaitable, Coroutine, Optional, TypeVar

T = TypeVar("T")


class LoopThread:
    """Starts the loop's thread on first use; the thread is a daemon that lives with the process."""

    def __init__(self) -> None:
        self.forget()

    def forget(self) -> None:
        """Starts over without a loop: also what a child made by fork() does, since the loop's thread
        (and whatever held the lock) stayed in the parent."""
        self._lock = threading.Lock()
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None

    def loop(self) -> asyncio.AbstractEventLoop:
        with self._lock:
            if self._loop is None or self._thread is None or not self._thread.is_alive():
                if sys.is_finalizing():
                    # A thread started now would never run: whatever called is too late to do anything.
                    raise RuntimeError("the interpreter is exiting: the environments' loop is gone")
                loop = asyncio.new_event_loop()
                ready = threading.Event()
                thread = threading.Thread(target=self._run, args=(loop, ready),
                                          name="py_engine_rust_gym", daemon=True)
                thread.start()
                ready.wait()
                self._loop, self._thread = loop, thread
            return self._loop

    @staticmethod
    def _run(loop: asyncio.AbstractEventLoop, ready: threading.Event) -> None:
        asyncio.set_event_loop(loop)
        loop.call_soon(ready.set)
        loop.run_forever()

    def in_loop_thread(self) -> bool:
        thread = self._thread
        return thread is not None and thread.ident == threading.get_ident()

    def run(self, coro: Coroutine[Any, Any, T], timeout: Optional[float] = None) -> T:
        """Runs ``coro`` on the loop and waits for it in the calling thread."""
        if self.in_loop_thread():
            coro.close()
            raise RuntimeError("the synchronous API cannot be called from the environments' own event loop; "
                               "await the a* variants (areset, astep, aclose) instead")
        future = asyncio.run_coroutine_threadsafe(coro, self.loop())
        try:
            return future.result(timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError("gave up after %.1f s" % timeout) from None
        except BaseException:
            # KeyboardInterrupt and the like: stop the work too, not only the wait.
            future.cancel()
            raise

    async def run_async(self, coro: Coroutine[Any, Any, T]) -> T:
        """Runs ``coro`` on the loop and awaits it from the caller's loop."""
        loop = self.loop()
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is loop:
            return await coro
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(coro, loop))

    def spawn(self, coro: Coroutine[Any, Any, Any]) -> None:
        """Starts ``coro`` on the loop without waiting for it."""
        asyncio.run_coroutine_threadsafe(coro, self.loop())


LOOP = LoopThread()
os.register_at_fork(after_in_child=LOOP.forget)


async def gather_settled(awaitables: "list[Awaitable[Any]]") -> "list[Any]":
    """Awaits all, each result or exception in place; nothing is left running behind a failure."""
    return await asyncio.gather(*awaitables, return_exceptions=True)
