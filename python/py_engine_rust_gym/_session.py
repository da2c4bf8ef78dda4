"""One engine and the page connected to it, in a browser context of its own.

The session opens in this order: the engine listens on a port the system
picks, the page is loaded with that port in its address, the engine waits
for it, then the candles go up. It closes in the reverse order, the page
before the engine: a page left open reconnects by itself and could reach a
later engine that happens to get the same port.

A page that nobody renders is a bare page (``_targets``): a tab that
Playwright does not attach to, so the browser sends nothing per WebSocket
frame, and that is told in its address (``draw=0``) that it has no one to
draw for, which saves Chromium the milliseconds each redraw costs. A page
that is rendered (``render_mode`` "rgb_array" or "human") is a Playwright
page in a browser context of its own, at the size of ``viewport``.
"""

from __future__ import annotations

import asyncio
import base64
import io
import json
import logging
import os
import time
import urllib.parse
from typing import Any, Awaitable, Dict, List, Optional, Set, Tuple

import numpy as np
from PIL import Image

import py_engine_rust

from ._browser import POOL, find_chromium, has_display
from ._targets import BarePage
from .errors import (BrowserTradingError, PageConnectError, PageCrashedError, PageDisconnectedError, classify,
                     is_connect_timeout)
from .settings import EnvSettings

LOG = logging.getLogger("py_engine_rust_gym")


def decode_screenshot(data: bytes) -> np.ndarray:
    """A PNG screenshot as an array of shape (height, width, 3), dtype uint8 (RGB), of its own.

    Grey images are repeated into the three channels; alpha is dropped. Raises ValueError for
    anything that is not a readable PNG.
    """
    try:
        with Image.open(io.BytesIO(data)) as image:
            if image.format != "PNG":
                raise ValueError("not a PNG image (%s)" % image.format)
            return np.array(image.convert("RGB"))
    except (OSError, SyntaxError, Image.DecompressionBombError) as exc:
        raise ValueError("not a readable PNG image: %s" % exc) from exc

HOST = "127.0.0.1"

#: How long closing a page or an engine may take before teardown goes on without it (a page whose
#: renderer is stopped never answers the browser's request to close).
TEARDOWN_TIMEOUT = 5.0


class PageSession:
    """Owns one ``RustEngineAsync`` and one page; every coroutine runs on the package's loop."""

    def __init__(self, settings: EnvSettings, label: str) -> None:
        self.settings = settings
        self.label = label
        self.engine: Any = None
        self.config: Dict[str, Any] = {}
        self.url = ""
        self.crashed = False
        self.closed = False
        #: The process that opened the page; a child made by fork() must not touch it.
        self.pid = os.getpid()
        #: Whether the page is a Playwright page (it is rendered) rather than a bare one.
        self.attached = settings.render_mode is not None
        # "human" without a display: the page runs headless and nothing is shown.
        self.headless = settings.render_mode != "human" or not has_display()
        self._context: Any = None
        self._page: Any = None
        self._bare: Optional[BarePage] = None
        self._cdp: Any = None
        self._browser_key: Optional[Tuple[str, bool]] = None
        self._in_flight: Set[asyncio.Future] = set()

    @property
    def page(self) -> Any:
        """The Playwright page of an environment that renders (``None`` for a bare page)."""
        return self._page

    def check_process(self) -> None:
        """Refuses a page opened by the process this one was forked from."""
        if self.pid != os.getpid():
            raise BrowserTradingError("%s was opened in process %d, before a fork; this is process %d: make a "
                                      "new environment here" % (self.label, self.pid, os.getpid()))

    async def open(self) -> None:
        executable = find_chromium(self.settings.chromium)
        started = time.monotonic()
        try:
            await self._open(executable)
        except BaseException:
            await self._teardown()
            raise
        LOG.info("%s: page opened and connected in %.2f s (engine port %d)", self.label,
                 time.monotonic() - started, self.engine.port)

    async def _open(self, executable: str) -> None:
        s = self.settings
        self.crashed = False
        self.closed = False
        self.pid = os.getpid()
        self.engine = py_engine_rust.RustEngineAsync(HOST, 0)
        await self.engine.start()
        self._browser_key = (executable, self.headless)
        browser, default_url = await POOL.acquire(*self._browser_key)
        ws = "ws://%s:%d" % (HOST, self.engine.port)
        base = s.ui_url or default_url
        query = dict(s.query, ws=ws) if self.attached else dict(s.query, ws=ws, draw="0")
        self.url = "%s%s%s" % (base, "&" if "?" in base else "?", urllib.parse.urlencode(query))
        origin = "{0.scheme}://{0.netloc}".format(urllib.parse.urlsplit(base))
        try:
            await self._load(browser, self._browser_key)
        except Exception as exc:
            raise PageConnectError("%s: the page %s (origin %s) did not load within %g s: %s"
                                   % (self.label, self.url, origin, s.connect_timeout, exc)) from exc
        try:
            await self.engine.wait_connected(timeout_secs=s.connect_timeout)
        except RuntimeError as exc:
            if not is_connect_timeout(exc):
                raise
            raise PageConnectError("%s: the page %s (origin %s) did not connect to the engine at %s within %g s%s"
                                   % (self.label, self.url, origin, ws, s.connect_timeout,
                                      await self._page_state())) from None
        self.config = json.loads(await self.engine.get_rl_config())
        await self.engine.init_candles(s.candles)
        self.config = json.loads(await self.engine.get_rl_config())

    async def _load(self, browser: Any, key: Tuple[str, bool]) -> None:
        width, height = self.settings.viewport
        if not self.attached:
            channel = await POOL.targets(*key)
            self._bare = await asyncio.wait_for(channel.create_page(self.url, self._on_crash),
                                                self.settings.connect_timeout)
            return
        self._context = await browser.new_context(viewport={"width": width, "height": height})
        self._page = await self._context.new_page()
        self._page.on("crash", lambda _page: self._on_crash())
        await self._page.goto(self.url, timeout=self.settings.connect_timeout * 1000)

    async def evaluate(self, expression: str) -> Any:
        """The value of a JavaScript expression in the page (awaited if it is a promise)."""
        if self._bare is not None:
            return await self._bare.evaluate(expression)
        if self._page is None:
            raise BrowserTradingError("%s: no page" % self.label)
        return await self._page.evaluate(expression)

    async def command(self, method: str, params: Optional[Dict[str, Any]] = None) -> Any:
        """A protocol command sent to the page (``Page.crash``, say)."""
        if self._bare is not None:
            return await self._bare.command(method, params)
        if self._page is None:
            raise BrowserTradingError("%s: no page" % self.label)
        if self._cdp is None:
            self._cdp = await self._context.new_cdp_session(self._page)
        return await self._cdp.send(method, params or {})

    async def _page_state(self) -> str:
        """What the page itself says about its connection, for the error text."""
        try:
            status = await asyncio.wait_for(self.evaluate("window.uiPeer ? window.uiPeer.status() : null"), 5)
        except Exception:
            return ""
        if not status:
            return "; the page has no window.uiPeer (is it the page of ui/?)"
        return "; the page says: %s (%s)" % (status.get("state"), status.get("detail"))

    async def reopen(self) -> None:
        """A new engine and page after a fault; the candles go up again."""
        await self._teardown()
        await self.open()

    def _on_crash(self) -> None:
        self.crashed = True
        for future in list(self._in_flight):
            future.cancel()

    def crash_error(self) -> PageCrashedError:
        return PageCrashedError("%s: the page crashed (%s)" % (self.label, self.url))

    def issue(self, future: "asyncio.Future[Any]") -> "asyncio.Future[Any]":
        """Registers an engine call in flight, so that a crash can end it at once."""
        self._in_flight.add(future)
        return future

    async def settle(self, futures: "List[asyncio.Future[Any]]") -> List[Any]:
        """Awaits calls issued with ``issue``, in order; each result or exception in place.

        The engine's failures come back typed (``errors.classify``): whatever failed because the
        page crashed is a ``PageCrashedError``.
        """
        results: List[Any] = []
        try:
            for future in futures:
                try:
                    results.append(await future)
                except asyncio.CancelledError:
                    if not self.crashed:
                        raise
                    results.append(self.crash_error())
                except Exception as exc:
                    error = classify(exc, self.label, self.crashed)
                    if isinstance(error, PageDisconnectedError):
                        await self._check_crash()
                        if self.crashed:
                            error = self.crash_error()
                    results.append(error)
        except asyncio.CancelledError:
            for future in futures:
                future.cancel()
            raise
        finally:
            self._in_flight.difference_update(futures)
        return results

    async def _check_crash(self) -> None:
        """After a lost connection: a crashed renderer's socket closes before the browser reports the
        crash, so ask the page whether it is still there, and stop waiting for its answer as soon as
        the crash is reported (a killed renderer never answers; the question alone took 2 s)."""
        if self.crashed:
            return
        # In flight like an engine call, so that a crash report cancels the question at once.
        probe = self.issue(asyncio.ensure_future(self.evaluate("0")))
        try:
            await asyncio.wait({probe}, timeout=2)
        finally:
            self._in_flight.discard(probe)
            probe.cancel()
        if probe.done() and not probe.cancelled() and probe.exception() is not None \
                and "crash" in str(probe.exception()).lower():
            self.crashed = True

    async def call(self, future: "asyncio.Future[Any]") -> Any:
        """One engine call, awaited; raises what it failed with."""
        if self.crashed:
            future.cancel()
            raise self.crash_error()
        (result,) = await self.settle([self.issue(future)])
        if isinstance(result, BaseException):
            raise result
        return result

    async def screenshot(self) -> np.ndarray:
        await self.evaluate("window.uiPeer && window.uiPeer.render()")
        # PNG is lossless; the fast encoding costs Chromium less and decodes the same.
        shot = await self.command("Page.captureScreenshot", {"format": "png", "optimizeForSpeed": True})
        return decode_screenshot(base64.b64decode(shot["data"]))

    async def show(self) -> None:
        await self.evaluate("window.uiPeer && window.uiPeer.render()")

    async def close(self) -> None:
        if self.closed:
            return
        if self.pid != os.getpid():
            # Inherited through fork(): the page, the engine and the browser are the parent's.
            self.closed = True
            self.engine = self._context = self._page = self._bare = self._cdp = self._browser_key = None
            return
        await self._teardown()
        LOG.info("%s: page and engine closed", self.label)

    async def _teardown(self) -> None:
        self.closed = True
        for future in list(self._in_flight):
            future.cancel()
        context, self._context, self._page, self._cdp = self._context, None, None, None
        bare, self._bare = self._bare, None
        if context is not None:
            await _bounded(context.close())
        if bare is not None:
            await _bounded(bare.close())
        if self._browser_key is not None:
            key, self._browser_key = self._browser_key, None
            await POOL.release(*key)
        engine, self.engine = self.engine, None
        if engine is not None:
            await _bounded(engine.close())


async def _bounded(awaitable: Awaitable[Any]) -> None:
    """Teardown goes on past what fails or does not answer."""
    try:
        await asyncio.wait_for(awaitable, TEARDOWN_TIMEOUT)
    except Exception:
        pass
