"""One engine and the page connected to it, in a browser context of its own.

The session opens in this order: the engine listens on a port the system
picks, the page is loaded with that port in its address, the engine waits
for it, then the candles go up. It closes in the reverse order, the page
before the engine: a page left open reconnects by itself and could reach a
later engine that happens to get the same port.
"""

from __future__ import annotations

import asyncio
import base64
import json
import urllib.parse
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Set, Tuple

import numpy as np

import py_engine_rust

from ._browser import POOL, check_display, find_chromium
from ._png import decode_png
from .errors import PageConnectError, PageCrashedError

HOST = "127.0.0.1"

# The page draws nothing while it is hidden (ui/js/view.js), but headless Chromium reports every
# page visible. An environment that never renders has no one to draw for: its page is told it is
# hidden, which saves Chromium the several milliseconds of processor time that each redraw costs.
HIDDEN_PAGE = """
Object.defineProperty(Document.prototype, "hidden", { get() { return true; }, configurable: true });
Object.defineProperty(Document.prototype, "visibilityState", { get() { return "hidden"; }, configurable: true });
"""


@dataclass
class PageSettings:
    """What one page is opened with; ``query`` becomes its query string (ui/README.md)."""

    query: Dict[str, str]
    candles: np.ndarray
    chromium: Optional[str] = None
    headless: bool = True
    ui_url: Optional[str] = None
    connect_timeout: float = 30.0
    viewport: Tuple[int, int] = (1200, 800)
    drawn: bool = True  # False: the page is told it is hidden and never draws
    executable: str = field(init=False, default="")


class PageSession:
    """Owns one ``RustEngineAsync`` and one page; every coroutine runs on the package's loop."""

    def __init__(self, settings: PageSettings, label: str) -> None:
        self.settings = settings
        self.label = label
        self.engine: Any = None
        self.config: Dict[str, Any] = {}
        self.url = ""
        self.crashed = False
        self.closed = False
        self._context: Any = None
        self._page: Any = None
        self._cdp: Any = None
        self._browser_key: Optional[Tuple[str, bool]] = None
        self._in_flight: Set[asyncio.Future] = set()

    @property
    def page(self) -> Any:
        """The Playwright page (for tests and demos: ``session.page.evaluate(...)``)."""
        return self._page

    async def open(self) -> None:
        s = self.settings
        if not s.headless:
            check_display()
        s.executable = find_chromium(s.chromium)
        try:
            await self._open()
        except BaseException:
            await self._teardown()
            raise

    async def _open(self) -> None:
        s = self.settings
        self.crashed = False
        self.engine = py_engine_rust.RustEngineAsync(HOST, 0)
        await self.engine.start()
        self._browser_key = (s.executable, s.headless)
        browser, default_url = await POOL.acquire(*self._browser_key)
        self._context = await browser.new_context(viewport={"width": s.viewport[0], "height": s.viewport[1]})
        if not s.drawn:
            await self._context.add_init_script(HIDDEN_PAGE)
        self._page = await self._context.new_page()
        self._page.on("crash", self._on_crash)
        ws = "ws://%s:%d" % (HOST, self.engine.port)
        base = s.ui_url or default_url
        query = urllib.parse.urlencode(dict(s.query, ws=ws))
        self.url = "%s%s%s" % (base, "&" if "?" in base else "?", query)
        origin = "{0.scheme}://{0.netloc}".format(urllib.parse.urlsplit(base))
        try:
            await self._page.goto(self.url, timeout=s.connect_timeout * 1000)
        except Exception as exc:
            raise PageConnectError("%s: the page %s (origin %s) did not load within %g s: %s"
                                   % (self.label, self.url, origin, s.connect_timeout, exc)) from exc
        try:
            await self.engine.wait_connected(timeout_secs=s.connect_timeout)
        except RuntimeError as exc:
            if "wait_connected timed out" not in str(exc):
                raise
            raise PageConnectError("%s: the page %s (origin %s) did not connect to the engine at %s within %g s%s"
                                   % (self.label, self.url, origin, ws, s.connect_timeout,
                                      await self._page_state())) from None
        self.config = json.loads(await self.engine.get_rl_config())
        await self.engine.init_candles(s.candles)
        self.config = json.loads(await self.engine.get_rl_config())

    async def _page_state(self) -> str:
        """What the page itself says about its connection, for the error text."""
        try:
            status = await self._page.evaluate("window.uiPeer ? window.uiPeer.status() : null")
        except Exception:
            return ""
        if not status:
            return "; the page has no window.uiPeer (is it the page of ui/?)"
        return "; the page says: %s (%s)" % (status.get("state"), status.get("detail"))

    async def reopen(self) -> None:
        """A new engine and page after a crash; the candles go up again."""
        await self._teardown()
        self.closed = False
        try:
            await self._open()
        except BaseException:
            await self._teardown()
            raise

    def _on_crash(self, _page: Any) -> None:
        self.crashed = True
        for future in list(self._in_flight):
            future.cancel()

    def crash_error(self) -> PageCrashedError:
        return PageCrashedError("%s: the page crashed (%s); reset() opens a new one" % (self.label, self.url))

    def issue(self, future: "asyncio.Future[Any]") -> "asyncio.Future[Any]":
        """Registers an engine call in flight, so that a crash can end it at once."""
        self._in_flight.add(future)
        return future

    async def settle(self, futures: "List[asyncio.Future[Any]]") -> List[Any]:
        """Awaits calls issued with ``issue``, in order; each result or exception in place.

        Whatever failed because the page crashed is reported as PageCrashedError.
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
                    if not self.crashed and str(exc).startswith("RpcTransportError"):
                        await self._check_crash()
                    results.append(self.crash_error() if self.crashed else exc)
        except asyncio.CancelledError:
            for future in futures:
                future.cancel()
            raise
        finally:
            self._in_flight.difference_update(futures)
        return results

    async def _check_crash(self) -> None:
        """After a lost connection: the socket of a crashed renderer closes before Playwright
        reports the crash, so ask the page whether it is still there."""
        try:
            await asyncio.wait_for(self._page.evaluate("0"), 5)
        except Exception as exc:
            if "crash" in str(exc).lower():
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
        await self._page.evaluate("window.uiPeer && window.uiPeer.render()")
        if self._cdp is None:
            self._cdp = await self._context.new_cdp_session(self._page)
        # The fast encoding filters every row with Up, which _png decodes in one pass.
        shot = await self._cdp.send("Page.captureScreenshot", {"format": "png", "optimizeForSpeed": True})
        return decode_png(base64.b64decode(shot["data"]))

    async def show(self) -> None:
        await self._page.evaluate("window.uiPeer && window.uiPeer.render()")

    async def close(self) -> None:
        if self.closed:
            return
        await self._teardown()

    async def _teardown(self) -> None:
        self.closed = True
        context, self._context, self._page, self._cdp = self._context, None, None, None
        if context is not None:
            try:
                await context.close()
            except Exception:
                pass
        if self._browser_key is not None:
            key, self._browser_key = self._browser_key, None
            await POOL.release(*key)
        engine, self.engine = self.engine, None
        if engine is not None:
            try:
                await engine.close()
            except Exception:
                pass
