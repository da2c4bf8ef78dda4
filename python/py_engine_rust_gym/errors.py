"""The errors of the environments: one base, one type per thing that can go wrong with the browser.

``classify`` (with ``is_connect_timeout``) is the one place that reads the engine's error texts: the
engine raises ``RuntimeError("RpcTransportError(...): ...")`` when the link
to the page failed and ``RuntimeError("RpcError(..., err=E, sub=S): ...")``
when the page refused a request, and everything above the page session
works with the typed errors below instead.
"""

from __future__ import annotations

import re
from typing import Optional


class BrowserTradingError(RuntimeError):
    """Base of every error this package raises about Chromium or the page."""


class ChromiumNotFoundError(BrowserTradingError):
    """No Chromium executable where the environment looked for one."""


class BrowserLaunchError(BrowserTradingError):
    """Chromium was found but did not start."""


class DisplayNotFoundError(BrowserTradingError):
    """A window was asked for (``--headed``) on a machine without a display."""


class PageConnectError(BrowserTradingError):
    """The page did not load, or loaded but never connected to its engine."""


class PageFault(BrowserTradingError):
    """The page stopped serving its environment: it crashed, hung, or lost its connection.

    Inside a step this is not raised: the episode ends truncated with
    ``info["page_error"]`` and the page is opened again.
    """


class PageCrashedError(PageFault):
    """The page's renderer crashed."""


class PageTimeoutError(PageFault):
    """The page did not answer within ``step_timeout`` (a hung renderer, say)."""


class PageDisconnectedError(PageFault):
    """The page's connection to its engine was lost."""


class PageRefusedError(BrowserTradingError):
    """The page answered a request with an error record: ``err`` and ``sub`` are its codes."""

    def __init__(self, message: str, err: int = 0, sub: int = 0) -> None:
        super().__init__(message)
        self.err = err
        self.sub = sub


_TRANSPORT = "RpcTransportError("
_CONNECT_TIMEOUT = "wait_connected timed out"
_REFUSED = re.compile(r"RpcError\(seq=\d+, fnId=\d+, err=(-?\d+), sub=(-?\d+)\)")


def classify(exc: BaseException, label: str, crashed: bool = False) -> BaseException:
    """What an engine call's exception means for the page of ``label``.

    A transport failure is a crash when the page is known to have crashed,
    a timeout when the engine says so, and a lost connection otherwise; an
    error record is a refusal. Anything else (a ``ValueError`` of bad
    arguments, say) is returned as it is.
    """
    if isinstance(exc, BrowserTradingError):
        return exc
    text = str(exc)
    if isinstance(exc, RuntimeError) and text.startswith(_TRANSPORT):
        if crashed:
            error: BrowserTradingError = PageCrashedError("%s: the page crashed (%s)" % (label, text))
        elif text.endswith("timeout waiting response"):
            error = PageTimeoutError("%s: the page did not answer in time (%s)" % (label, text))
        else:
            error = PageDisconnectedError("%s: the page's connection was lost (%s)" % (label, text))
        error.__cause__ = exc
        return error
    match = _REFUSED.match(text) if isinstance(exc, RuntimeError) else None
    if match is not None:
        refused = PageRefusedError("%s: the page refused the request (%s)" % (label, text),
                                   int(match.group(1)), int(match.group(2)))
        refused.__cause__ = exc
        return refused
    return exc


def is_connect_timeout(exc: BaseException) -> bool:
    """Whether ``wait_connected`` gave up waiting for the page."""
    return isinstance(exc, RuntimeError) and _CONNECT_TIMEOUT in str(exc)


def first_failure(results: "list[object]") -> Optional[BaseException]:
    """The first exception among gathered results, or None."""
    for result in results:
        if isinstance(result, BaseException):
            return result
    return None


def raise_first(results: "list[object]") -> None:
    """Raises the first exception among gathered results, once every result is in."""
    failure = first_failure(results)
    if failure is not None:
        raise failure
