"""Pages made over the browser's own protocol session, which Playwright does not attach to.

Playwright attaches to every page of its own browser contexts and turns on
the network domain there, so the browser sends the driver one protocol
event per WebSocket frame and the driver hands each one to Python: about a
third of the environments' loop went to those events. A page that nobody
renders needs none of that. These pages are made through the browser's
own session (``Target.createTarget``): a crash comes as
``Target.targetCrashed`` on that session, and what a page is asked directly
(an expression, ``Page.crash``) goes over a session attached for that
moment only, with no domain turned on.

They are tabs of one browser context and one window (made with
``Target.createBrowserContext``), each still in a renderer process of its
own. A context per page would open a window per page, and every window of
this Chromium starts a renderer of its own for the browser's user interface
("top chrome"): opening 32 pages then took 10.6 s of two processors and
2.2 GB, against 2.0 s and 0.9 GB as tabs of one window. The pages store
nothing (no cookies, no storage), so sharing the context shares only the
HTTP cache of the page's files.
"""

from __future__ import annotations

import asyncio
import itertools
import json
from typing import Any, Callable, Dict, Optional, Tuple


class TargetError(RuntimeError):
    """A protocol command sent to a page failed."""


class TargetChannel:
    """The browser's own protocol session, shared by the bare pages of one browser."""

    def __init__(self, cdp: Any) -> None:
        self._cdp = cdp
        self._crash_handlers: Dict[str, Callable[[], None]] = {}
        self._context: Optional[str] = None
        self._context_made: Optional["asyncio.Future[str]"] = None
        self._replies: Dict[Tuple[str, int], "asyncio.Future[Any]"] = {}
        self._ids = itertools.count(1)
        cdp.on("Target.targetCrashed", self._on_crashed)
        cdp.on("Target.receivedMessageFromTarget", self._on_message)

    @classmethod
    async def open(cls, browser: Any) -> "TargetChannel":
        channel = cls(await browser.new_browser_cdp_session())
        # Crashes are reported only to a session that discovers targets.
        await channel._cdp.send("Target.setDiscoverTargets", {"discover": True})
        return channel

    def _on_crashed(self, params: Dict[str, Any]) -> None:
        handler = self._crash_handlers.get(params.get("targetId", ""))
        if handler is not None:
            handler()

    def _on_message(self, params: Dict[str, Any]) -> None:
        message = json.loads(params["message"])
        future = self._replies.pop((params["sessionId"], message.get("id", -1)), None)
        if future is None or future.done():
            return
        if "error" in message:
            future.set_exception(TargetError(message["error"].get("message", str(message["error"]))))
        else:
            future.set_result(message.get("result", {}))

    async def _shared_context(self) -> str:
        if self._context_made is None:
            self._context_made = asyncio.ensure_future(self._cdp.send("Target.createBrowserContext"))
        return (await asyncio.shield(self._context_made))["browserContextId"]

    async def create_page(self, url: str, on_crash: Callable[[], None]) -> "BarePage":
        """A new tab at ``url`` (the window's size: nobody looks at it)."""
        context = await self._shared_context()
        target = (await self._cdp.send("Target.createTarget", {"url": url, "browserContextId": context}))["targetId"]
        self._crash_handlers[target] = on_crash
        return BarePage(self, context, target)

    async def command(self, target: str, method: str, params: Optional[Dict[str, Any]] = None) -> Any:
        """``method`` sent to the page ``target`` over a session attached for this command only."""
        session = (await self._cdp.send("Target.attachToTarget", {"targetId": target, "flatten": False}))["sessionId"]
        key = (session, next(self._ids))
        future: "asyncio.Future[Any]" = asyncio.get_running_loop().create_future()
        self._replies[key] = future
        try:
            await self._cdp.send("Target.sendMessageToTarget", {
                "sessionId": session, "message": json.dumps({"id": key[1], "method": method, "params": params or {}})})
            return await future
        finally:
            self._replies.pop(key, None)
            try:
                await self._cdp.send("Target.detachFromTarget", {"sessionId": session})
            except Exception:
                pass  # the page is gone (crashed, closed)

    async def close_page(self, page: "BarePage") -> None:
        self._crash_handlers.pop(page.target, None)
        await self._cdp.send("Target.closeTarget", {"targetId": page.target})


class BarePage:
    """One page in a browser context of its own, made by a ``TargetChannel``."""

    def __init__(self, channel: TargetChannel, context: str, target: str) -> None:
        self.channel = channel
        self.context = context
        self.target = target

    async def command(self, method: str, params: Optional[Dict[str, Any]] = None) -> Any:
        return await self.channel.command(self.target, method, params)

    async def evaluate(self, expression: str) -> Any:
        """The value of ``expression`` (awaited if it is a promise), as JSON gives it."""
        reply = await self.command("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                        "awaitPromise": True})
        if "exceptionDetails" in reply:
            details = reply["exceptionDetails"]
            raise TargetError((details.get("exception") or {}).get("description") or details.get("text", "error"))
        return reply.get("result", {}).get("value")

    async def close(self) -> None:
        await self.channel.close_page(self)
