"""The browser benchmark: engines stepping pages in headless Chromium (CPython, Playwright).

    python bench/browser_bench.py run --out FILE.json [--quick] [--pypy PATH] [--native PATH]
    python bench/browser_bench.py flags --out FILE.json [--quick] [--native PATH]
    python bench/browser_bench.py profile --out FILE.json [--quick] [--perf]

Pages: the reference page ui/ with sync=eager and with sync=deferred, and bench/minimal_page.html,
which answers every request at once (the browser's own floor). Each page has its own engine on its
own port; N pages (1, 2, 4, 8) are stepped together. Engines: the module and the pure-Python
baseline (bench/browser_agent.py, one subprocess per run, CPython and with --pypy also PyPy) and
bench/native_engine (C++, the limit). One step is step_next then get_snapshot, or one
step_and_sync (mode "group": the module's steps of all pages are one EngineGroup.step_and_sync, the
baseline's and the native engine's as in mode "sync"). For every run the engine's own processor
time comes from the engine process, and Chromium's from /proc/<pid>/stat (utime + stime) of every
process of the browser, read before and after the measured window. Rows of "bare" pages open them
outside Playwright's browser contexts, where no protocol events are sent for their WebSocket frames.

`run` measures every row in rounds; each round takes every row once and, within a row, the engines
in an order that rotates from round to round. `flags` compares Chromium launch flags (the module
on a few rows, the flag sets rotated per round). `profile` measures the module's and the
baseline's process per thread (processor time, context switches) on the reference page with 1
and 4 pages, and with --perf also records `perf` samples of the engine process.
"""

import argparse
import asyncio
import importlib.metadata
import json
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
from common import CHROMIUM, free_ports, serve_directory  # noqa: E402  (bench/common.py)

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
EPISODE_LENGTH, WINDOW = 50, 20
VIEWPORT = {"width": 1280, "height": 720}

#: page kind -> (path under the repository, extra query)
PAGES = {
    "minimal": ("bench/minimal_page.html", {}),
    "ui-deferred": ("ui/index.html", {"sync": "deferred"}),
    "ui-eager": ("ui/index.html", {"sync": "eager"}),
}

#: rows: (page kind, step, page counts, interpreter of the Python engines); with --pypy the PyPy
#: rows run too, otherwise they are left out. A kind ending in "+bare" is the same page opened
#: outside Playwright's browser contexts (see PageSet).
FULL = dict(rounds=3, warmup=0.3, secs=1.0,
            rows=[("minimal", "two", [1, 2, 4, 8], "cpython"), ("ui-deferred", "two", [1, 2, 4, 8], "cpython"),
                  ("ui-eager", "two", [1, 2, 4, 8], "cpython"), ("minimal", "sync", [1, 4], "cpython"),
                  ("ui-eager", "sync", [1, 4], "cpython"), ("minimal+bare", "two", [1, 4], "cpython"),
                  ("minimal", "group", [4, 8], "cpython"), ("ui-eager", "group", [4], "cpython"),
                  ("minimal", "two", [1, 4], "pypy")])
QUICK = dict(rounds=1, warmup=0.2, secs=0.5,
             rows=[("minimal", "two", [1, 4], "cpython"), ("ui-deferred", "two", [1, 4], "cpython"),
                   ("ui-eager", "two", [1, 4], "cpython"), ("ui-eager", "sync", [1], "cpython"),
                   ("minimal+bare", "two", [1], "cpython"), ("minimal", "group", [4], "cpython"),
                   ("ui-eager", "two", [1], "pypy")])


def serve_repository():
    """Serves the repository on 127.0.0.1 (an origin the engines accept); yields the port."""
    return serve_directory(ROOT)


# -- processor time ----------------------------------------------------------------------------


def _stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[1]), (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # ppid, utime+stime


def _kind(pid):
    # Processes forked from the zygote rewrite their title: one string, arguments split by spaces.
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        args = f.read().replace(b"\0", b" ").split()
    for a in args:
        if a.startswith(b"--type="):
            kind = a[7:].decode()
            if kind == "utility":
                sub = next((b[20:].decode() for b in args if b.startswith(b"--utility-sub-type=")), "")
                return "network" if "network" in sub.lower() else "utility"
            return {"gpu-process": "gpu"}.get(kind, kind)
    return "browser"


def chromium_processes():
    """{pid: (kind, cpu seconds)} of every Chromium process started from this process, and of
    Playwright's driver (kind "playwright"), which relays the browser's protocol events."""
    parent = {}
    cpu = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                parent[int(name)], cpu[int(name)] = _stat(name)
            except OSError:
                continue
    children = {}
    for pid, ppid in parent.items():
        children.setdefault(ppid, []).append(pid)
    out = {}
    todo = list(children.get(os.getpid(), []))
    while todo:
        pid = todo.pop()
        todo.extend(children.get(pid, []))
        try:
            exe = os.path.realpath(f"/proc/{pid}/exe")
            if "chromium" in exe:
                out[pid] = (_kind(pid), cpu[pid])
            elif "playwright" in exe:
                out[pid] = ("playwright", cpu[pid])
        except OSError:
            continue
    return out


def chromium_delta(before, after):
    """Processor seconds of the browser between two samples (Playwright's driver not included),
    and by process kind (the driver included)."""
    by_kind = {}
    for pid, (kind, cpu) in after.items():
        used = cpu - before.get(pid, (kind, 0.0))[1]
        by_kind[kind] = by_kind.get(kind, 0.0) + used
    return sum(v for k, v in by_kind.items() if k != "playwright"), by_kind


def machine_busy():
    """Busy and total processor seconds of the whole machine so far (/proc/stat)."""
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    idle = v[3] + v[4]
    return (sum(v[:8]) - idle) / CLOCK_TICKS, sum(v[:8]) / CLOCK_TICKS


# -- one run -----------------------------------------------------------------------------------


class Engines:
    """Command lines of the engines under test."""

    def __init__(self, native, pypy=None):
        self.native = native
        self.python = {"cpython": sys.executable}
        if pypy:
            self.python["pypy"] = pypy

    def names(self, interp="cpython"):
        """The engines of a row: the module and the baseline under `interp`, and the native one."""
        suffix = "" if interp == "cpython" else "-" + interp
        return [f"module{suffix}", f"baseline{suffix}", "native"]

    def command(self, name, ports, mode, warmup, secs, kind, threads=False):
        if name == "native" and mode == "group":
            mode = "sync"  # the same requests, one coroutine per page
        common = ["--ports", ",".join(map(str, ports)), "--mode", mode, "--episode-length", str(EPISODE_LENGTH),
                  "--window", str(WINDOW), "--warmup", str(warmup), "--secs", str(secs)]
        if name == "native":
            return [self.native, *common]
        impl, _, interp = name.partition("-")
        cmd = [self.python[interp or "cpython"], os.path.join(HERE, "browser_agent.py"),
               "--impl", impl, *common]
        if kind.startswith("ui"):
            cmd.append("--check-steps")
        if threads:
            cmd.append("--threads")
        return cmd


async def read_event(proc, want, timeout):
    while True:
        line = await asyncio.wait_for(proc.stdout.readline(), timeout)
        if not line:
            raise RuntimeError(f"engine ended before {want!r}")
        try:
            msg = json.loads(line)
        except ValueError:
            continue
        if msg.get("event") == want:
            return msg


class PageSet:
    """n pages of one kind, each pointed at its own port, in a browser context of its own. Every
    engine of a row drives the same pages: when one engine ends, the pages reconnect to the next
    (the reference page retries after 250 ms, then 500 ms, ...)."""

    def __init__(self, browser, http_port, kind, n):
        self.browser, self.http_port, self.n = browser, http_port, n
        self.kind, _, bare = kind.partition("+")
        self.ports = free_ports(n)
        self.contexts = []
        self.errors = []
        self.opened = False
        # "+bare": the pages are made over the browser's own protocol session, in contexts that
        # Playwright did not create and therefore does not attach to (it only attaches to pages of
        # its own contexts), so the browser sends no protocol events per WebSocket frame.
        self.raw = bare == "bare"
        self.cdp = None

    async def __aenter__(self):
        return self

    async def open(self):
        """Opens the pages; called once the first engine listens, so that they connect at once."""
        self.opened = True
        path, query = PAGES[self.kind]

        def url(port):
            q = {"ws": f"ws://127.0.0.1:{port}", "episode_length": EPISODE_LENGTH, "window": WINDOW, **query}
            return f"http://127.0.0.1:{self.http_port}/{path}?" + "&".join(f"{k}={v}" for k, v in q.items())

        if self.raw:
            self.cdp = await self.browser.new_browser_cdp_session()
            for port in self.ports:
                ctx = (await self.cdp.send("Target.createBrowserContext"))["browserContextId"]
                self.contexts.append(ctx)
                await self.cdp.send("Target.createTarget", {"url": url(port), "browserContextId": ctx,
                                                            "width": VIEWPORT["width"], "height": VIEWPORT["height"]})
            return
        self.contexts = await asyncio.gather(*(self.browser.new_context(viewport=VIEWPORT) for _ in self.ports))
        pages = await asyncio.gather(*(c.new_page() for c in self.contexts))
        for p in pages:
            p.on("pageerror", lambda exc: self.errors.append(str(exc)))
        await asyncio.gather(*(p.goto(url(port)) for p, port in zip(pages, self.ports)))

    async def __aexit__(self, *exc):
        if self.raw:
            for ctx in self.contexts:
                await self.cdp.send("Target.disposeBrowserContext", {"browserContextId": ctx})
            if self.cdp:
                await self.cdp.detach()
            return
        await asyncio.gather(*(c.close() for c in self.contexts), return_exceptions=True)


async def settle(limit=6.0, window=0.2, quiet=0.3):
    """Waits until the browser is nearly idle: new pages keep both processors busy for a second
    or more after they have loaded, which would land in the measured window."""
    deadline = time.perf_counter() + limit
    while time.perf_counter() < deadline:
        before = chromium_processes()
        await asyncio.sleep(window)
        used, _ = chromium_delta(before, chromium_processes())
        if used / window < quiet:
            return


async def one_run(pages, engines, name, mode, cfg, threads=False, perf=None):
    """One engine stepping a set of pages; returns the measurements."""
    cmd = engines.command(name, pages.ports, mode, cfg["warmup"], cfg["secs"], pages.kind, threads)
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = await asyncio.create_subprocess_exec(*cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    perf_proc = None

    async def tell():
        proc.stdin.write(b"go\n")
        await proc.stdin.drain()

    try:
        await read_event(proc, "listening", 30)
        if not pages.opened:
            await pages.open()
        await read_event(proc, "connected", 60)
        await settle()
        await tell()
        await read_event(proc, "ready", 60)
        if perf:
            perf_proc = subprocess.Popen(["perf", "record", "-q", "-g", "-e", "cpu-clock", "-F", "1999", "-p",
                                          str(proc.pid), "-o", perf], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            await asyncio.sleep(0.3)
        before, busy0 = chromium_processes(), machine_busy()
        await tell()
        done = await read_event(proc, "done", cfg["secs"] + 60)
        after, busy1 = chromium_processes(), machine_busy()
        chromium, by_kind = chromium_delta(before, after)
        driver = by_kind.get("playwright", 0.0)
        if pages.errors:
            raise RuntimeError(f"page errors: {pages.errors[:3]}")
    finally:
        if perf_proc:
            perf_proc.send_signal(2)
            try:
                perf_proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                perf_proc.kill()
        # The agent waits on its standard input between phases: an early failure must not leave it there.
        if proc.stdin:
            proc.stdin.close()
        try:
            await asyncio.wait_for(proc.wait(), 10)
        except asyncio.TimeoutError:
            proc.kill()
            await proc.wait()
    steps = done["steps"]
    machine = busy1[0] - busy0[0]
    return dict(steps=steps, secs=done["secs"], rate=steps / done["secs"], engine_cpu=done["cpu"],
                engine_us=done["cpu"] / steps * 1e6, chromium_cpu=chromium, chromium_us=chromium / steps * 1e6,
                chromium_by_kind={k: v / steps * 1e6 for k, v in by_kind.items()},
                driver_us=driver / steps * 1e6, others_cpu=max(0.0, machine - done["cpu"] - chromium - driver),
                machine_capacity=busy1[1] - busy0[1], resets=done.get("resets"), threads=done.get("threads"))


async def launch(pw, http_port, args=(), ignore=()):
    """Headless Chromium, with the start-up work of its first pages (GPU process, caches) done:
    otherwise it lands in the first measurement."""
    browser = await pw.chromium.launch(executable_path=CHROMIUM, headless=True, args=list(args),
                                       ignore_default_args=list(ignore) or None)
    for kind in ("ui-eager", "minimal"):
        context = await browser.new_context(viewport=VIEWPORT)
        page = await context.new_page()
        await page.goto(f"http://127.0.0.1:{http_port}/{PAGES[kind][0]}?ws=ws://127.0.0.1:9")
        await asyncio.sleep(1.0)
        await context.close()
    await settle()
    return browser


def say(msg):
    print(msg, file=sys.stderr, flush=True)


# -- commands ----------------------------------------------------------------------------------


def row_key(kind, mode, n, interp="cpython"):
    return f"{kind}|{mode}|{n}|{interp}"


async def cmd_run(a, cfg):
    from playwright.async_api import async_playwright

    engines = Engines(a.native, a.pypy)
    cells = [(kind, mode, n, interp) for kind, mode, counts, interp in cfg["rows"]
             if interp in engines.python for n in counts]
    results = {row_key(*c): {e: [] for e in engines.names(c[3])} for c in cells}
    t_start = time.perf_counter()
    with serve_repository() as http_port:
        async with async_playwright() as pw:
            browser = await launch(pw, http_port)
            version = browser.version
            try:
                for r in range(cfg["rounds"]):
                    for kind, mode, n, interp in cells:
                        names = engines.names(interp)
                        order = names[r % len(names):] + names[: r % len(names)]
                        async with PageSet(browser, http_port, kind, n) as pages:
                            for name in order:
                                t0 = time.perf_counter()
                                res = await one_run(pages, engines, name, mode, cfg)
                                results[row_key(kind, mode, n, interp)][name].append(res)
                                say(f"  round {r + 1}/{cfg['rounds']} {kind} {mode} x{n} {name}: "
                                    f"{res['rate']:,.0f} steps/s, engine {res['engine_us']:.0f} µs/step, "
                                    f"Chromium {res['chromium_us']:.0f} µs/step ({time.perf_counter() - t0:.1f} s)")
            finally:
                await browser.close()
    return dict(kind="browser", config={k: v for k, v in cfg.items() if k != "rows"},
                rows=[list(c) for c in cells], chromium=version, chromium_flags=[],
                episode_length=EPISODE_LENGTH, window=WINDOW, viewport=VIEWPORT, results=results,
                pypy=a.pypy, secs=time.perf_counter() - t_start, python=platform.python_version(),
                playwright=importlib.metadata.version("playwright"))


#: name -> (flags added, Playwright defaults removed)
FLAG_SETS = [
    ("Playwright's defaults", [], []),
    ("without --disable-background-timer-throttling", [], ["--disable-background-timer-throttling"]),
    ("without --disable-renderer-backgrounding", [], ["--disable-renderer-backgrounding"]),
    ("without --disable-backgrounding-occluded-windows", [], ["--disable-backgrounding-occluded-windows"]),
    ("without --disable-ipc-flooding-protection", [], ["--disable-ipc-flooding-protection"]),
    ("without all four", [], ["--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                              "--disable-backgrounding-occluded-windows", "--disable-ipc-flooding-protection"]),
    ("+ --disable-gpu", ["--disable-gpu"], []),
    ("+ --disable-gpu-compositing", ["--disable-gpu-compositing"], []),
    ("+ --disable-accelerated-2d-canvas", ["--disable-accelerated-2d-canvas"], []),
    ("+ --disable-gpu-rasterization", ["--disable-gpu-rasterization"], []),
    ("+ --process-per-site", ["--process-per-site"], []),
    ("+ --num-raster-threads=1", ["--num-raster-threads=1"], []),
    ("+ --disable-features=IntensiveWakeUpThrottling,TimerThrottlingForBackgroundTabs",
     ["--disable-features=IntensiveWakeUpThrottling,TimerThrottlingForBackgroundTabs"], []),
    ("+ --enable-low-end-device-mode", ["--enable-low-end-device-mode"], []),
]
FLAG_CELLS = [("ui-eager", "two", 1), ("ui-eager", "two", 4), ("minimal", "two", 4), ("ui-deferred", "two", 4)]


async def cmd_flags(a, cfg):
    from playwright.async_api import async_playwright

    engines = Engines(a.native)
    sets = FLAG_SETS if not a.sets else [s for s in FLAG_SETS if any(x in s[0] for x in a.sets.split(";"))]
    results = {name: {f"{k}|{m}|{n}": [] for k, m, n in FLAG_CELLS} for name, _, _ in sets}
    with serve_repository() as http_port:
        async with async_playwright() as pw:
            for r in range(cfg["rounds"]):
                order = sets[r % len(sets):] + sets[: r % len(sets)]
                for name, add, remove in order:
                    browser = await launch(pw, http_port, add, remove)
                    try:
                        for kind, mode, n in FLAG_CELLS:
                            async with PageSet(browser, http_port, kind, n) as pages:
                                res = await one_run(pages, engines, "module", mode, cfg)
                            results[name][f"{kind}|{mode}|{n}"].append(res)
                            say(f"  round {r + 1} [{name}] {kind} x{n}: {res['rate']:,.0f} steps/s, "
                                f"Chromium {res['chromium_us']:.0f} µs/step, driver {res['driver_us']:.0f}")
                    finally:
                        await browser.close()
    return dict(kind="flags", sets=[s[0] for s in sets], cells=FLAG_CELLS, results=results, config=cfg)


async def cmd_profile(a, cfg):
    from playwright.async_api import async_playwright

    engines = Engines(a.native, a.pypy)
    names = [n for interp in engines.python for n in engines.names(interp) if n != "native"]
    out = {}
    with serve_repository() as http_port:
        async with async_playwright() as pw:
            browser = await launch(pw, http_port)
            try:
                for r in range(cfg["rounds"]):
                    for kind in a.kinds.split(","):
                        for n in (1, 4):
                            async with PageSet(browser, http_port, kind, n) as pages:
                                for name in names[r % len(names):] + names[: r % len(names)]:
                                    perf = None
                                    if a.perf and r == 0:
                                        os.makedirs(os.path.join(HERE, "out", "profile"), exist_ok=True)
                                        perf = os.path.join(HERE, "out", "profile", f"browser-{name}-{kind}-{n}.perf")
                                    res = await one_run(pages, engines, name, "two", cfg, threads=True, perf=perf)
                                    out.setdefault(f"{kind}|{n}|{name}", []).append(res)
                                    say(f"  round {r + 1} {kind} x{n} {name}: {res['rate']:,.0f} steps/s, "
                                        f"engine {res['engine_us']:.0f} µs/step")
            finally:
                await browser.close()
    result = dict(kind="profile", results=out, config=cfg)
    print(profile_summary(result))
    return result


def profile_summary(result):
    """Per engine and page count: processor time and context switches per request, for the
    event loop's thread and for all other threads together (medians over the rounds)."""
    def med(values):
        v = sorted(values)
        return v[len(v) // 2] if v else float("nan")

    lines = [f"{'row':28} {'steps/s':>8} {'µs/step':>8} {'threads':>7} | {'loop µs/req':>11} {'vol/req':>7} "
             f"{'invol/req':>9} | {'others µs/req':>13} {'vol/req':>7} {'invol/req':>9}"]
    for key, runs in sorted(result["results"].items()):
        per = []
        for r in runs:
            requests = 2 * r["steps"] + (r.get("resets") or 0)
            main = [t for t in r["threads"] if t["main"]]
            rest = [t for t in r["threads"] if not t["main"]]
            busy = sum(1 for t in r["threads"] if t["cpu"] > 0 or t["voluntary"] > 0)
            per.append(dict(
                rate=r["rate"], us=r["engine_us"], threads=busy,
                loop_us=sum(t["cpu"] for t in main) / requests * 1e6,
                loop_vol=sum(t["voluntary"] for t in main) / requests,
                loop_inv=sum(t["involuntary"] for t in main) / requests,
                rest_us=sum(t["cpu"] for t in rest) / requests * 1e6,
                rest_vol=sum(t["voluntary"] for t in rest) / requests,
                rest_inv=sum(t["involuntary"] for t in rest) / requests))
        m = {k: med([p[k] for p in per]) for k in per[0]}
        lines.append(f"{key:28} {m['rate']:8.0f} {m['us']:8.0f} {m['threads']:7.0f} | {m['loop_us']:11.1f} "
                     f"{m['loop_vol']:7.2f} {m['loop_inv']:9.2f} | {m['rest_us']:13.1f} {m['rest_vol']:7.2f} "
                     f"{m['rest_inv']:9.2f}")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("command", choices=["run", "flags", "profile"])
    ap.add_argument("--out", required=True)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--rounds", type=int)
    ap.add_argument("--secs", type=float, help="measured seconds per run")
    ap.add_argument("--native", default=os.path.join(HERE, "build", "native_engine"))
    ap.add_argument("--pypy", help="a PyPy interpreter: its module and baseline engines are measured too")
    ap.add_argument("--sets", help="flags: only the flag sets whose names contain one of these (';'-separated)")
    ap.add_argument("--kinds", default="ui-deferred", help="profile: page kinds (comma-separated)")
    ap.add_argument("--perf", action="store_true", help="profile: perf record -g of the engine process")
    a = ap.parse_args()
    cfg = dict(QUICK if a.quick else FULL)
    if a.rounds:
        cfg["rounds"] = a.rounds
    if a.secs:
        cfg["secs"] = a.secs
    if a.perf and not shutil.which("perf"):
        ap.error("perf is not installed")
    command = {"run": cmd_run, "flags": cmd_flags, "profile": cmd_profile}[a.command]
    result = asyncio.run(command(a, cfg))
    with open(a.out, "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
