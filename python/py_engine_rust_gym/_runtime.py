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
import types
from typing import Any, Awaitable, Coroutine, Generator, List, Optional, Tuple, TypeVar

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
    """Awaits all, each result or exception in place; nothing is left running behind a failure.

    Each coroutine runs at once, up to its first wait, and only one that waits is given a task:
    most of a step's work per page (sending its calls, taking answers already in) never waits,
    and a task per page and step was most of the loop's own time.
    """
    items = list(awaitables)
    results: List[Any] = [None] * len(items)
    waiting: List[Tuple[int, Awaitable[Any]]] = []
    for k, item in enumerate(items):
        if not asyncio.iscoroutine(item):
            waiting.append((k, item))
            continue
        try:
            yielded = item.send(None)
        except StopIteration as stop:
            results[k] = stop.value
        except (KeyboardInterrupt, SystemExit):
            _abandon(items[k + 1:], [rest for _, rest in waiting])
            raise
        except BaseException as exc:
            results[k] = exc
        else:
            if getattr(yielded, "_asyncio_future_blocking", None):
                # Taken up, as a task takes up what it waits for: another coroutine may await the
                # same future before the task that goes on with this one is made.
                yielded._asyncio_future_blocking = False
            waiting.append((k, _finish(item, yielded)))
    if waiting:
        settled = await asyncio.gather(*(rest for _, rest in waiting), return_exceptions=True)
        for (k, _), result in zip(waiting, settled):
            results[k] = result
    return results


def _abandon(unstarted: "list[Any]", started: "list[Awaitable[Any]]") -> None:
    for item in unstarted:
        if asyncio.iscoroutine(item):
            item.close()
    for item in started:
        asyncio.ensure_future(item).cancel()


async def _finish(coro: Coroutine[Any, Any, T], yielded: Any) -> T:
    return await _resumed(coro, yielded)


@types.coroutine
def _resumed(coro: Coroutine[Any, Any, T], yielded: Any) -> Generator[Any, Any, T]:
    """Goes on with ``coro``, stopped where it yielded ``yielded``, as if awaited from the start:
    what it waits for goes up to the task, and what the task sends or throws goes down to it."""
    if getattr(yielded, "_asyncio_future_blocking", None) is not None:
        # The future's "awaited" mark, set back as its own __await__ had set it (see gather_settled).
        yielded._asyncio_future_blocking = True
    while True:
        try:
            sent = yield yielded
        except BaseException as exc:  # a cancellation, thrown in by the task
            try:
                yielded = coro.throw(exc)
            except StopIteration as stop:
                return stop.value
        else:
            try:
                yielded = coro.send(sent)
            except StopIteration as stop:
                return stop.value
