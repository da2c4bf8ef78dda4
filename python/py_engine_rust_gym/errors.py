"""The errors of the environments, one type per thing that can go wrong with the browser."""

from __future__ import annotations


class BrowserTradingError(RuntimeError):
    """Base of every error this package raises about Chromium or the page."""


class ChromiumNotFoundError(BrowserTradingError):
    """No Chromium executable where the environment looked for one."""


class BrowserLaunchError(BrowserTradingError):
    """Chromium was found but did not start."""


class DisplayNotFoundError(BrowserTradingError):
    """``render_mode="human"`` was asked for on a machine without a display."""


class PageConnectError(BrowserTradingError):
    """The page did not load, or loaded but never connected to its engine."""


class PageCrashedError(BrowserTradingError):
    """The page's renderer crashed; ``reset()`` opens a new page."""
