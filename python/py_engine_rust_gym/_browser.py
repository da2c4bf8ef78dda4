"""The process-wide Chromium and the small HTTP server of ui/, shared by every environment.

One browser per executable and headless flag, one Playwright driver for
all of them, and one server of the page's files; each is started by the
first environment that needs it and stopped when the last one is closed.
All of this runs on the package's loop (``_runtime.LOOP``) only.
"""

from __future__ import annotations

import asyncio
import atexit
import functools
import http.server
import logging
import os
import shutil
import threading
from typing import Any, Dict, Optional, Tuple

from ._runtime import LOOP
from ._targets import TargetChannel
from .errors import BrowserLaunchError, ChromiumNotFoundError

LOG = logging.getLogger("py_engine_rust_gym")

#: Chromium switches for many pages answering small messages at once: a page
#: in a context nobody looks at must not have its timers throttled, its
#: renderer deprioritised or its messages rate-limited, or every answer it
#: sends waits for the throttle. Playwright passes these four by default (the
#: demo, the browser tests and the benchmarks rely on that); they are named here
#: so that they stay on whatever Playwright's defaults become.
CHROMIUM_ARGS = (
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows",
    "--disable-ipc-flooding-protection",
)

#: Where Chromium is looked for when no path is given: Debian's package first.
CHROMIUM_CANDIDATES = ("/usr/bin/chromium", "chromium", "chromium-browser")

INSTALL_HINT = ("install it with `apt-get install chromium` (Debian/Ubuntu), "
                "or pass chromium='/path/to/chromium'")


def find_chromium(path: Optional[str] = None) -> str:
    """The Chromium executable to launch, or ChromiumNotFoundError saying how to get one."""
    if path is not None:
        found = shutil.which(path)
        if found is None:
            raise ChromiumNotFoundError("Chromium not found at %r: %s" % (path, INSTALL_HINT))
        return found
    for candidate in CHROMIUM_CANDIDATES:
        found = shutil.which(candidate)
        if found is not None:
            return found
    raise ChromiumNotFoundError("Chromium not found (looked for %s): %s"
                                % (", ".join(CHROMIUM_CANDIDATES), INSTALL_HINT))


_warned_no_display = False


def display_name() -> Optional[str]:
    """The display a window would be shown on (``DISPLAY`` or ``WAYLAND_DISPLAY``), or None."""
    return os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY") or None


def has_display() -> bool:
    """Whether a window can be shown; says once, at WARNING, what "human" does without one."""
    global _warned_no_display
    if display_name():
        return True
    if not _warned_no_display:
        _warned_no_display = True
        LOG.warning("render_mode='human' without a display (DISPLAY and WAYLAND_DISPLAY are unset): the page "
                    "runs headless and render() shows nothing; run under xvfb-run to see it, or use 'rgb_array'")
    return False


def ui_directory() -> str:
    """The page's files: installed inside this package, or ui/ of a source checkout."""
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (os.path.join(here, "ui"), os.path.join(here, os.pardir, os.pardir, "ui")):
        if os.path.isfile(os.path.join(candidate, "index.html")):
            return os.path.normpath(candidate)
    raise FileNotFoundError("the page's files (ui/index.html) are missing beside %s; reinstall "
                            "py_engine_rust" % here)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args: Any) -> None:
        pass


class UiServer:
    """ui/ (or another ``directory``) over HTTP on 127.0.0.1 (an origin the engine accepts), on a port
    the system picks; ``url`` is its index.html."""

    def __init__(self, directory: Optional[str] = None) -> None:
        handler = functools.partial(_QuietHandler, directory=directory or ui_directory())
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port: int = self._server.server_address[1]
        self.url = "http://127.0.0.1:%d/index.html" % self.port
        self._thread = threading.Thread(target=self._server.serve_forever, name="py_engine_rust_gym ui",
                                        daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()


class BrowserPool:
    """Reference-counted browsers, their Playwright driver and the UI server."""

    def __init__(self) -> None:
        self._lock: Optional[asyncio.Lock] = None
        self._playwright: Any = None
        self._browsers: Dict[Tuple[str, bool], Any] = {}
        self._channels: Dict[Tuple[str, bool], TargetChannel] = {}
        self._users: Dict[Tuple[str, bool], int] = {}
        self._server: Optional[UiServer] = None
        self._atexit = False

    def _guard(self) -> asyncio.Lock:
        if self._lock is None:
            self._lock = asyncio.Lock()
        return self._lock

    async def acquire(self, executable: str, headless: bool) -> Tuple[Any, str]:
        """A browser for one more environment, and the URL of the default page."""
        key = (executable, headless)
        async with self._guard():
            browser = self._browsers.get(key)
            if browser is not None and not browser.is_connected():
                # Chromium itself died: pages opened from now on get a new one.
                LOG.warning("Chromium at %s is gone; starting it again", executable)
                del self._browsers[key]
                self._channels.pop(key, None)
            if key not in self._browsers:
                await self._launch(key)
            self._users[key] = self._users.get(key, 0) + 1
            if self._server is None:
                self._server = UiServer()
            return self._browsers[key], self._server.url

    async def targets(self, executable: str, headless: bool) -> TargetChannel:
        """The browser's own protocol session, through which bare pages are made (``acquire`` first)."""
        key = (executable, headless)
        async with self._guard():
            if key not in self._channels:
                self._channels[key] = await TargetChannel.open(self._browsers[key])
            return self._channels[key]

    async def release(self, executable: str, headless: bool) -> None:
        key = (executable, headless)
        async with self._guard():
            left = self._users.get(key, 0) - 1
            if left > 0:
                self._users[key] = left
                return
            self._users.pop(key, None)
            self._channels.pop(key, None)
            browser = self._browsers.pop(key, None)
            if browser is not None:
                await _quietly(browser.close())
                LOG.info("Chromium closed (%s, no page left on it)", executable)
            if not self._browsers:
                await self._stop_all()

    async def _launch(self, key: Tuple[str, bool]) -> None:
        executable, headless = key
        try:
            from playwright.async_api import async_playwright
        except ImportError as exc:
            raise ImportError("py_engine_rust_gym drives the page through Playwright, which is not installed: "
                              "pip install \"py_engine_rust[gym]\"") from exc
        if self._playwright is None:
            self._playwright = await async_playwright().start()
            if not self._atexit:
                # Runs before the environments' own finalizers (atexit is last in, first out),
                # so that a script ending in an exception still leaves no browser behind.
                atexit.register(self.shutdown)
                self._atexit = True
        try:
            # The environment as it is now (DISPLAY may have been set after the driver started).
            browser = await self._playwright.chromium.launch(
                executable_path=executable, headless=headless, args=list(CHROMIUM_ARGS), env=dict(os.environ))
        except Exception as exc:
            if not self._browsers:
                await self._stop_all()
            raise BrowserLaunchError("Chromium at %s did not start: %s" % (executable, exc)) from exc
        self._browsers[key] = browser
        LOG.info("Chromium %s started (%s, %s)", browser.version, executable, "headless" if headless else "headed")

    async def _stop_all(self) -> None:
        for browser in self._browsers.values():
            await _quietly(browser.close())
        self._browsers.clear()
        self._channels.clear()
        self._users.clear()
        if self._playwright is not None:
            playwright, self._playwright = self._playwright, None
            await _quietly(playwright.stop())
        if self._server is not None:
            server, self._server = self._server, None
            server.close()

    async def _shutdown(self) -> None:
        async with self._guard():
            await self._stop_all()

    def shutdown(self) -> None:
        """Closes every browser now, from any thread but the loop's (used at interpreter exit)."""
        if self._playwright is None and self._server is None:
            return
        try:
            LOOP.run(self._shutdown(), timeout=30)
        except Exception:
            pass

    def browser_count(self) -> int:
        return len(self._browsers)

    def forget(self) -> None:
        """In a child made by fork(): the browsers, the driver and the server are the parent's."""
        self.__init__()  # type: ignore[misc]


async def _quietly(awaitable: Any) -> None:
    """Teardown goes on past a browser or driver that is already gone."""
    try:
        await awaitable
    except Exception:
        pass


POOL = BrowserPool()
os.register_at_fork(after_in_child=POOL.forget)
