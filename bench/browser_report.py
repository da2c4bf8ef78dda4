"""The browser section of the results: tables and targets from bench/browser_bench.py's JSON.

Used by bench/report.py; `python bench/browser_report.py FILE.json` prints the tables alone.
"""

import json
import sys

from report import Stat, fmt_ratio, md_table, ratio, text_table, verdict

PAGE_LABEL = {"minimal": "minimal page", "ui-deferred": "`ui/`, `sync=deferred`", "ui-eager": "`ui/`, `sync=eager`"}
PAGE_LABEL.update({k + "+bare": v + " (bare)" for k, v in list(PAGE_LABEL.items())})
STEP_LABEL = {"two": "step_next + get_snapshot", "sync": "step_and_sync",
              "group": "step_and_sync (module: one EngineGroup call)"}
INTERP_LABEL = {"cpython": "CPython", "pypy": "PyPy"}

RATE_HEADER = ["page", "one step", "pages", "Python engines on", "module (steps/s)", "baseline", "native",
               "module vs baseline", "module vs native", "target", "result"]
CPU_HEADER = ["page", "one step", "pages", "Python engines on", "engine: module (µs/step)", "baseline", "native",
              "module vs baseline", "Chromium with module (µs/step)", "with baseline", "with native",
              "Playwright driver", "other load (cores)", "target", "result"]
PAGE_HEADER = ["measure", "page", "one step", "pages", "module", "vs", "ratio", "target", "result"]


def engines_of(interp):
    suffix = "" if interp == "cpython" else "-" + interp
    return f"module{suffix}", f"baseline{suffix}"


def stat(runs, key):
    return Stat([r.get(key) for r in runs])


def build(data):
    """(rate rows, cpu rows, page rows, targets) of one browser run."""
    rate_rows, cpu_rows, page_rows, targets = [], [], [], []
    res = data["results"]
    rates = {}
    for kind, mode, n, interp in data["rows"]:
        cell = res[f"{kind}|{mode}|{n}|{interp}"]
        mod_name, base_name = engines_of(interp)
        mod, base, nat = cell[mod_name], cell[base_name], cell["native"]
        where = [PAGE_LABEL[kind], STEP_LABEL[mode], n, INTERP_LABEL[interp]]
        label = f"{PAGE_LABEL[kind]}, {STEP_LABEL[mode]}, {n} page{'s' if n > 1 else ''} ({INTERP_LABEL[interp]})"
        m, b, f = stat(mod, "rate"), stat(base, "rate"), stat(nat, "rate")
        rates[(kind, mode, n, interp)] = m
        xb, xf = ratio(m, b), ratio(m, f)
        ok = None if xb is None or xf is None else (xb > 1.0 and xf >= 0.9)
        rate_rows.append(where + [m.fmt(0), b.fmt(0), f.fmt(0), fmt_ratio(xb), fmt_ratio(xf),
                                  "> baseline and ≥ 0.9x native", verdict(ok)])
        targets.append((f"browser, {label}: module steps/s ahead of the baseline and within 10% of native", ok,
                        f"{fmt_ratio(xb)} baseline, {fmt_ratio(xf)} native"))
        me, be, fe = stat(mod, "engine_us"), stat(base, "engine_us"), stat(nat, "engine_us")
        xe = ratio(me, be)
        ok = None if xe is None else xe <= 0.5
        others = Stat([r["others_cpu"] / r["secs"] for r in mod + base + nat])
        cpu_rows.append(where + [me.fmt(0), be.fmt(0), fe.fmt(0), fmt_ratio(xe), stat(mod, "chromium_us").fmt(0),
                                 stat(base, "chromium_us").fmt(0), stat(nat, "chromium_us").fmt(0),
                                 stat(mod, "driver_us").fmt(0), others.fmt(2), "≤ 0.5x baseline", verdict(ok)])
        targets.append((f"browser, {label}: engine processor time per step ≤ half the baseline's", ok, fmt_ratio(xe)))
    for (kind, mode, n, interp), m in sorted(rates.items(), key=lambda kv: (kv[0][3], kv[0][1], kv[0][2])):
        if kind == "ui-eager" and mode == "two" and ("ui-deferred", mode, n, interp) in rates:
            d = rates[("ui-deferred", mode, n, interp)]
            x = ratio(m, d)
            ok = None if x is None else x >= 0.9
            page_rows.append(["`sync=eager` vs `sync=deferred` (module steps/s)", "`ui/`", STEP_LABEL[mode],
                              f"{n} ({INTERP_LABEL[interp]})", m.fmt(0), d.fmt(0), fmt_ratio(x), "≥ 0.9x", verdict(ok)])
            targets.append((f"browser, `ui/` with {n} page{'s' if n > 1 else ''} ({INTERP_LABEL[interp]}): "
                            "sync=eager ≥ 0.9x sync=deferred", ok, fmt_ratio(x)))
    for (kind, mode, n, interp), m in sorted(rates.items()):
        if n == 4 and (kind, mode, 1, interp) in rates:
            one = rates[(kind, mode, 1, interp)]
            x = ratio(m, one)
            ok = None if x is None else x >= 1.5
            page_rows.append(["4 pages vs 1 page (module steps/s)", PAGE_LABEL[kind], STEP_LABEL[mode],
                              f"4 vs 1 ({INTERP_LABEL[interp]})", m.fmt(0), one.fmt(0), fmt_ratio(x), "≥ 1.5x",
                              verdict(ok)])
            targets.append((f"browser, {PAGE_LABEL[kind]}, {STEP_LABEL[mode]} ({INTERP_LABEL[interp]}): "
                            "4 pages ≥ 1.5x one page's steps/s", ok, fmt_ratio(x)))
    return rate_rows, cpu_rows, page_rows, targets


def markdown(data):
    rate_rows, cpu_rows, page_rows, targets = build(data)
    cfg = data["config"]
    passed = sum(1 for _, ok, _ in targets if ok)
    flags = " ".join(f"`{f}`" for f in data.get("chromium_flags", [])) or "none"
    md = ["## Browser: engines stepping pages in headless Chromium", "",
          f"Chromium {data['chromium']} (`/usr/bin/chromium`, headless, through Playwright; flags added to "
          f"Playwright's own: {flags}). Each page has its own engine on its own port, in a browser context of its "
          f"own ({data['viewport']['width']} x {data['viewport']['height']}); all pages take each step together "
          "(`asyncio.gather`; the native engine the same way on its own event loop), and an episode of "
          f"{data['episode_length']} steps that is done is reset to the next one. The three engines of a row drive "
          "the same pages one after the other, in an order that rotates from round to round. Per run: "
          f"{cfg['warmup']} s of warm-up, then {cfg['secs']} s measured; medians over {cfg['rounds']} rounds "
          "± half their range. Processor time per step: the engine's process (utime + stime over the measured "
          "window), every Chromium process (browser, renderers, GPU, network service: `/proc/<pid>/stat` before "
          "and after), and Playwright's driver process, which receives the browser's protocol events. "
          "\"Other load\" is what the rest of the machine used meanwhile (all processors busy minus the engine, "
          "Chromium and the driver), in cores. The baseline is bench/baseline_engine.py, the native engine "
          "bench/native_engine.cpp (one thread, Beast). Pages marked \"(bare)\" are opened with "
          "`Target.createTarget` in a browser context made over Playwright's browser session "
          "(`Target.createBrowserContext`), which Playwright does not attach to: the browser then sends no "
          "protocol event per WebSocket frame to the driver (bench/README.md).", ""]
    md += ["### Steps per second", "", md_table(RATE_HEADER, rate_rows), ""]
    md += ["### Processor time per step", "", md_table(CPU_HEADER, cpu_rows), ""]
    md += ["### The reference page and more pages", "", md_table(PAGE_HEADER, page_rows), ""]
    md += [f"Browser targets: {passed} of {len(targets)} pass (listed with the others below).", ""]
    text = [text_table(RATE_HEADER, rate_rows), "", text_table(CPU_HEADER, cpu_rows), "",
            text_table(PAGE_HEADER, page_rows)]
    return md, "\n".join(text), targets


def flags_table(data):
    """The flags experiment: per flag set and row, the module's steps/s and Chromium's processor
    time per step (medians), and the steps/s relative to Playwright's default launch."""
    cells = [tuple(c) for c in data["cells"]]
    header = ["flags"] + [f"{PAGE_LABEL[k]} x{n}" for k, _, n in cells]
    base = data["results"][data["sets"][0]]
    rows = []
    for name in data["sets"]:
        row = [name]
        for k, m, n in cells:
            runs = data["results"][name][f"{k}|{m}|{n}"]
            rate, chrome = stat(runs, "rate"), stat(runs, "chromium_us")
            rel = ratio(rate, stat(base[f"{k}|{m}|{n}"], "rate"))
            row.append(f"{rate.fmt(0)} steps/s ({fmt_ratio(rel)}), {chrome.fmt(0)} µs/step")
        rows.append(row)
    return header, rows


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        data = json.load(f)
    if data.get("kind") == "flags":
        header, rows = flags_table(data)
        print(md_table(header, rows))
        sys.exit(0)
    md, text, targets = markdown(data)
    print(text)
    for name, ok, value in targets:
        print(f"  {verdict(ok):4}  {name}: {value}")
