"""``doctor``: whether this machine can run the environments, one line per check, with the fix for each failure.

    python -m py_engine_rust_gym doctor [--chromium PATH]

Checks the module (its import and version), NumPy, Playwright, Chromium
(its path and version), a port on the loopback interface, and one page
opened, connected and stepped 200 times (with the env-steps per second it
reached). Notes say what is missing without being needed: a display
(windows, ``--headed``) and the ``data`` extra. ``run_checks`` returns the
lines; ``main`` prints them and exits 1 when any check failed.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import socket
import subprocess
import time
from dataclasses import dataclass
from typing import Callable, List, Optional

from ._browser import CHROMIUM_CANDIDATES, display_name, find_chromium
from .data import EXTRA_HINT
from .errors import ChromiumNotFoundError

OK, FAIL, NOTE, SKIP = "ok", "FAIL", "note", "skip"
#: Steps of the page check.
STEPS = 200


@dataclass
class Check:
    """One line of the doctor: the status (``ok``, ``FAIL``, ``note``, ``skip``), what was found, the fix."""

    name: str
    status: str
    detail: str
    fix: str = ""

    def line(self) -> str:
        text = "%-4s  %-14s %s" % (self.status, self.name, self.detail)
        if self.fix:
            text += "\n      %-14s %s: %s" % ("", "fix" if self.status == FAIL else "how", self.fix)
        return text


def _version(module: object, distribution: str) -> str:
    version = getattr(module, "__version__", None)
    if version is None:
        try:
            version = importlib.metadata.version(distribution)
        except importlib.metadata.PackageNotFoundError:
            version = "unknown version"
    return str(version)


def _module(name: str, distribution: str, fix: str) -> Check:
    try:
        module = importlib.import_module(name)
    except ImportError as exc:
        return Check(name, FAIL, "does not import: %s" % exc, fix)
    return Check(name, OK, "%s (%s)" % (_version(module, distribution), getattr(module, "__file__", "built in")))


def check_chromium(path: Optional[str]) -> Check:
    fix = "apt-get install chromium (Debian/Ubuntu), or pass --chromium /path/to/chromium"
    try:
        executable = find_chromium(path)
    except ChromiumNotFoundError:
        return Check("chromium", FAIL, "not found at %r" % path if path else "not found (looked for %s)"
                     % ", ".join(CHROMIUM_CANDIDATES), fix)
    try:
        run = subprocess.run([executable, "--version"], capture_output=True, text=True, timeout=60,
                             stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError) as exc:
        return Check("chromium", FAIL, "%s does not run: %s" % (executable, exc), fix)
    if run.returncode != 0:
        return Check("chromium", FAIL, "%s --version failed: %s" % (executable, (run.stderr or run.stdout).strip()),
                     "apt-get install --reinstall chromium, or pass --chromium /path/to/chromium")
    return Check("chromium", OK, "%s (%s)" % (run.stdout.strip(), executable))


def check_loopback() -> Check:
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            s.listen(1)
            port = s.getsockname()[1]
    except OSError as exc:
        return Check("loopback", FAIL, "cannot listen on 127.0.0.1: %s" % exc,
                     "bring the loopback interface up (ip link set lo up) and allow listening on it")
    return Check("loopback", OK, "127.0.0.1 listens (port %d was free)" % port)


def check_page(chromium: Optional[str]) -> Check:
    """One page opened and connected, then stepped ``STEPS`` times with hold actions."""
    from .env import BrowserTradingEnv
    started = time.perf_counter()
    try:
        env = BrowserTradingEnv(chromium=chromium, episode_length=STEPS, window=20, candles=20 + STEPS * 2)
    except Exception as exc:
        return Check("page", FAIL, "did not open: %s" % exc,
                     "see the error; `python -m py_engine_rust_gym doctor` again after fixing the lines above")
    try:
        opened = time.perf_counter() - started
        env.reset(options={"episode_index": 0})
        stepping = time.perf_counter()
        for _ in range(STEPS):
            env.step(0)
        rate = STEPS / (time.perf_counter() - stepping)
    except Exception as exc:
        return Check("page", FAIL, "opened but failed to step: %s" % exc, "see the error")
    finally:
        env.close()
    return Check("page", OK, "opened and connected in %.2f s, %d steps at %.0f env-steps/s" % (opened, STEPS, rate))


def check_display() -> Check:
    name = display_name()
    if name:
        return Check("display", OK, "%s: render_mode='human' and replay --headed show a window" % name)
    return Check("display", NOTE, "none (DISPLAY and WAYLAND_DISPLAY are unset): pages run headless; "
                 "render_mode='rgb_array' and replay --video work without one",
                 "to see a window, run under a virtual display: xvfb-run -a python ... (apt-get install xvfb)")


def check_data_extra() -> Check:
    missing = []
    for module in ("pandas", "pyarrow", "matplotlib", "imageio", "imageio_ffmpeg", "PIL"):
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(module)
    if missing:
        return Check("data", NOTE, "missing %s: CSV/Parquet candles, reports and videos need them"
                     % ", ".join(missing), EXTRA_HINT)
    return Check("data", OK, "pandas, pyarrow, matplotlib, imageio-ffmpeg: files, reports and videos work")


def run_checks(chromium: Optional[str] = None, emit: Callable[[Check], None] = lambda check: None) -> List[Check]:
    """Every check in order, each handed to ``emit`` as soon as it is done."""
    checks: List[Check] = []

    def add(check: Check) -> Check:
        checks.append(check)
        emit(check)
        return check

    engine = add(_module("py_engine_rust", "py_engine_rust", "pip install . (needs a C++20 compiler and Boost)"))
    add(_module("numpy", "numpy", "pip install numpy"))
    playwright = add(_module("playwright", "playwright", 'pip install "py_engine_rust[gym]"'))
    browser = add(check_chromium(chromium))
    loopback = add(check_loopback())
    if all(c.status == OK for c in (engine, playwright, browser, loopback)):
        add(check_page(chromium))
    else:
        add(Check("page", SKIP, "not tried: it needs the checks above"))
    add(check_display())
    add(check_data_extra())
    return checks


def main(chromium: Optional[str] = None) -> int:
    checks = run_checks(chromium, emit=lambda check: print(check.line(), flush=True))
    failed = [c.name for c in checks if c.status == FAIL]
    print("%s" % ("failed: %s" % ", ".join(failed) if failed else "all checks passed"))
    return 1 if failed else 0
