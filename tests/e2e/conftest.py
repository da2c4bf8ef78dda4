"""Fixtures of the browser tests.

One event loop, one Chromium and one server of ui/ serve the whole module
(pytest-asyncio's module loop scope):
starting Chromium takes a second or two, so each test only opens a fresh
browser context with the page. Playwright is imported lazily, so that this
file loads (and the tests skip) where Playwright is not installed.
"""

from __future__ import annotations

import os
from typing import List, Optional

import pytest
import pytest_asyncio
from pytest_asyncio import is_async_test

from support import serve_directory, serving  # tests/support.py

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

UI_DIR = os.path.join(ROOT, "ui")
CHROMIUM = "/usr/bin/chromium"
#: A host name that merely begins like "localhost"; Chromium resolves it to
#: 127.0.0.1. test_browser.py repeats it.
LOOKALIKE_HOST = "localhost.attacker.test"
#: Hang guard, in seconds, for things that should happen at once.
GUARD = 5.0


def serve_ui(host: str):
    """Serves ui/ on ``host``; yields the port."""
    return serve_directory(UI_DIR, host)


def pytest_collection_modifyitems(items):
    # The browser outlives single tests: every test of a module here runs on that module's
    # loop. The hook sees the whole session's items, so it keeps to this directory's.
    here = os.path.dirname(os.path.abspath(__file__))
    for item in items:
        if is_async_test(item) and str(item.path).startswith(here + os.sep):
            item.add_marker(pytest.mark.asyncio(loop_scope="module"), append=False)


@pytest_asyncio.fixture(loop_scope="module")
async def served(start_seq):
    """The engine of the root conftest.py, started on the module's loop."""
    async with serving(start_seq) as under_test:
        yield under_test


@pytest_asyncio.fixture(scope="module", loop_scope="module")
async def browser():
    from playwright.async_api import async_playwright

    playwright = await async_playwright().start()
    try:
        # Playwright's default flags keep a hidden page unthrottled (timers, renderer priority, messages).
        chromium = await playwright.chromium.launch(
            executable_path=CHROMIUM, headless=True,
            args=["--host-resolver-rules=MAP %s 127.0.0.1" % LOOKALIKE_HOST])
    except BaseException:
        await playwright.stop()
        raise
    yield chromium
    await chromium.close()
    await playwright.stop()


@pytest.fixture(scope="module")
def ui_port():
    """Port on which ui/ is served on 127.0.0.1 (an allowed origin)."""
    with serve_ui("127.0.0.1") as port:
        yield port


@pytest.fixture(scope="module")
def foreign_ui_port():
    """Port on which ui/ is served on 127.0.0.2 (an origin the engine refuses)."""
    with serve_ui("127.0.0.2") as port:
        yield port


class UiPage:
    """The page in one browser context, with what its console said."""

    def __init__(self, context, page):
        self.context = context
        self.page = page
        self.console: List[str] = []
        self.errors: List[str] = []
        page.on("console", lambda msg: self.console.append(msg.text))
        page.on("pageerror", lambda exc: self.errors.append(str(exc)))

    async def status(self) -> dict:
        return await self.page.evaluate("window.uiPeer.status()")

    async def wait_for(self, expression: str, timeout: float = GUARD) -> None:
        """Wait until a JavaScript expression is true in the page."""
        await self.page.wait_for_function(expression, timeout=timeout * 1000)


@pytest_asyncio.fixture(loop_scope="module")
async def open_ui(browser, ui_port):
    """``await open_ui(engine_port, host=..., port=..., **query)`` opens the page.

    The page is loaded from ``http://host:port/`` (default: the allowed
    127.0.0.1 server) and told to connect to the engine on ``engine_port``.
    """
    opened: List[UiPage] = []

    async def open_page(engine_port: int, host: str = "127.0.0.1", port: Optional[int] = None,
                        **query) -> UiPage:
        context = await browser.new_context(viewport={"width": 1200, "height": 800})
        ui = UiPage(context, await context.new_page())
        opened.append(ui)
        params = "&".join("%s=%s" % item for item in
                          [("ws", "ws://127.0.0.1:%d" % engine_port)] + sorted(query.items()))
        await ui.page.goto("http://%s:%d/index.html?%s" % (host, port or ui_port, params))
        await ui.wait_for("window.uiPeer !== undefined")
        return ui

    yield open_page
    for ui in opened:
        await ui.context.close()
    # A fault in the page's own code is a failure of every test that saw it.
    faults = [e for ui in opened for e in ui.errors]
    assert not faults, faults
