"""How this project launches headless Chromium: one list of flags for every browser it starts.

The demo (examples/agent_demo.py) and the browser tests (tests/e2e/conftest.py) launch Debian's
Chromium through Playwright with ``launch_options()``, and the Gymnasium package with the same
flags (``py_engine_rust_gym.CHROMIUM_ARGS``); the browser benchmark (bench/browser_bench.py)
passes whichever flag set it measures. Anything else that drives the page can do the same::

    from chromium_flags import launch_options
    browser = await playwright.chromium.launch(**launch_options(headless=True))

Measured in the browser benchmark (bench/README.md, "Chromium's launch flags"): no launch flag
lowered Chromium's processor time per message by more than the noise of this machine, in
headless mode, where no page is ever hidden or occluded. The list holds the four flags that keep
a page that is hidden (a minimised window of a headed run, a background tab) serving at full
speed: its timers (the page's reconnect backoff) unthrottled, its renderer at normal priority, its
messages not rate-limited. Playwright passes the same four by default; they are listed here so
that a launch without Playwright's defaults keeps them.
"""

from typing import Dict, List, Optional

#: Debian's Chromium; never a downloaded browser.
CHROMIUM = "/usr/bin/chromium"

#: Passed on every launch, on top of Playwright's own flags.
CHROMIUM_FLAGS: List[str] = [
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows",
    "--disable-ipc-flooding-protection",
]


def launch_options(headless: bool = True, extra: Optional[List[str]] = None,
                   executable_path: str = CHROMIUM) -> Dict[str, object]:
    """Keyword arguments for ``playwright.chromium.launch``: the executable and the flags."""
    return {"executable_path": executable_path, "headless": headless,
            "args": [*CHROMIUM_FLAGS, *(extra or [])]}
