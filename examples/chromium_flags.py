"""How this project launches headless Chromium: one list of flags for every browser it starts.

The demo (examples/agent_demo.py), the browser tests (tests/e2e/conftest.py) and the browser
benchmark (bench/browser_bench.py) all launch Debian's Chromium through Playwright with
``launch_options()``; anything else that drives the page can do the same::

    from chromium_flags import launch_options
    browser = await playwright.chromium.launch(**launch_options(headless=True))

Playwright already passes ``--disable-background-timer-throttling``,
``--disable-renderer-backgrounding``, ``--disable-backgrounding-occluded-windows`` and
``--disable-ipc-flooding-protection`` on every launch; ``CHROMIUM_FLAGS`` holds the flags this
project adds on top of them. bench/README.md ("Chromium's launch flags") has the measurements
behind the choice.
"""

from typing import Dict, List, Optional

#: Debian's Chromium; never a downloaded browser.
CHROMIUM = "/usr/bin/chromium"

#: Added to Playwright's own flags on every launch.
CHROMIUM_FLAGS: List[str] = []


def launch_options(headless: bool = True, extra: Optional[List[str]] = None,
                   executable_path: str = CHROMIUM) -> Dict[str, object]:
    """Keyword arguments for ``playwright.chromium.launch``: the executable and the flags."""
    return {"executable_path": executable_path, "headless": headless,
            "args": [*CHROMIUM_FLAGS, *(extra or [])]}
