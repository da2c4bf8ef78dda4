"""Turns the JSON of one benchmark run into the table (stdout) and the results file.

    python bench/report.py --dir bench/out --out bench/RESULTS.md [--load-start "..."] [--command "..."]

Reads DIR/cpython.json and DIR/pypy.json (written by bench.py; a missing interpreter is skipped),
DIR/cpython-onecpu.json and DIR/pypy-onecpu.json (round trips with every process on one CPU),
DIR/browser.json (written by browser_bench.py; the browser section, see browser_report.py) and
DIR/meta.json (written by run.sh: module build, git state, timings).
"""

import argparse
import json
import os
import platform
import re
import subprocess
import time
from statistics import median
from typing import List

INTERPRETERS = [("cpython", "CPython"), ("pypy", "PyPy")]
RT_TARGET = {"cpython": 1.5, "pypy": 2.0}


class Stat:
    """Median over rounds and the spread around it (half the range, in percent)."""

    def __init__(self, values):
        self.values = [v for v in values if v is not None]
        self.ok = bool(self.values)
        self.med = median(self.values) if self.ok else None
        self.spread = (max(self.values) - min(self.values)) / 2 / self.med * 100 if self.ok and self.med else 0.0

    def fmt(self, digits=1):
        if not self.ok:
            return "error"
        if len(self.values) == 1:
            return f"{self.med:,.{digits}f}"
        return f"{self.med:,.{digits}f} ±{self.spread:.0f}%"


def stat(rounds, key):
    return Stat([r.get(key) for r in rounds])


def ratio(a, b):
    if not (a.ok and b.ok) or not b.med:
        return None
    return a.med / b.med


def fmt_ratio(x):
    return "n/a" if x is None else f"{x:.2f}x"


def verdict(ok):
    return "n/a" if ok is None else ("PASS" if ok else "FAIL")


def read_json(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def sh(cmd):
    try:
        return subprocess.run(cmd, shell=True, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True).stdout.strip()
    except (subprocess.CalledProcessError, OSError):
        return "unknown"


def machine(load_start):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = "unknown"
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                break
    boost = "unknown"
    try:
        with open("/usr/include/boost/version.hpp") as f:
            m = re.search(r'BOOST_LIB_VERSION "([^"]+)"', f.read())
            boost = m.group(1).replace("_", ".") if m else boost
    except OSError:
        pass
    thp = sh("cat /sys/kernel/mm/transparent_hugepage/enabled")
    with open("/proc/loadavg") as f:
        load_end = " ".join(f.read().split()[:3])
    return [
        ("processors (nproc)", sh("nproc")),
        ("CPU model", cpu),
        ("memory", mem),
        ("kernel", f"{platform.system()} {platform.release()} ({platform.machine()})"),
        ("transparent huge pages", thp),
        ("compiler", sh("g++ --version | head -1")),
        ("Boost", boost),
        ("load average (1, 5, 15 min) at start", load_start or "not recorded"),
        ("load average at end", load_end),
    ]


def rt_rows(label, key, d, where, main, targets):
    """Round-trip rows (median with its target, 99th percentile) of one run."""
    mod, base, fr = d["rounds"]["module"], d["rounds"]["baseline"], d["rounds"].get("floor", [])
    m, b, f = stat(mod, "rt_median_us"), stat(base, "rt_median_us"), stat(fr, "rt_median_us")
    x = ratio(m, f)
    ok = None if x is None else x <= RT_TARGET[key]
    main.append([f"step_next round trip, median (µs){where}", label, m.fmt(1), b.fmt(1), f.fmt(1),
                 fmt_ratio(ratio(m, b)), fmt_ratio(x), f"≤ {RT_TARGET[key]:g}x floor", verdict(ok)])
    targets.append((f"{label}: step_next median round trip ≤ {RT_TARGET[key]:g}x the floor's{where}", ok,
                    fmt_ratio(x)))
    m, b, f = stat(mod, "rt_p99_us"), stat(base, "rt_p99_us"), stat(fr, "rt_p99_us")
    main.append([f"step_next round trip, 99th percentile (µs){where}", label, m.fmt(1), b.fmt(1), f.fmt(1),
                 fmt_ratio(ratio(m, b)), fmt_ratio(ratio(m, f)), "", ""])


def build_rows(data, onecpu):
    """Rows of the main table and of the codec table, and the target verdicts."""
    main, codec, targets, errors = [], [], [], []
    for key, label in INTERPRETERS:
        d = data.get(key)
        if not d:
            continue
        # The floor rounds of this interpreter's run, taken in the same rotation.
        fr = d["rounds"].get("floor", [])
        f_tp = stat(fr, "tp_ops")
        f_upr, f_upf = stat(fr, "up_reused_mbs"), stat(fr, "up_fresh_mbs")
        f_dnr, f_dnf = stat(fr, "down_reused_mbs"), stat(fr, "down_fresh_mbs")
        mod, base = d["rounds"]["module"], d["rounds"]["baseline"]
        for impl, rounds in (("module", mod), ("baseline", base)):
            for r in rounds:
                for e in r.get("errors", []):
                    errors.append(f"{label} {impl}: {e}")
        # Round trip (lower is better): ratios are module time over the other's time.
        rt_rows(label, key, d, "", main, targets)
        if onecpu.get(key):
            for impl in ("module", "baseline"):
                for r in onecpu[key]["rounds"][impl]:
                    errors += [f"{label} {impl} (one CPU): {e}" for e in r.get("errors", [])]
            rt_rows(label, key, onecpu[key], ", one CPU", main, targets)
        # Rates (higher is better): ratios are module rate over the other's rate.
        m, b = stat(mod, "tp_ops"), stat(base, "tp_ops")
        x = ratio(m, b)
        ok = None if x is None else x >= 1.5
        main.append(["throughput, 64 in flight (ops/s)", label, m.fmt(0), b.fmt(0), f_tp.fmt(0), fmt_ratio(x),
                     fmt_ratio(ratio(m, f_tp)), "≥ 1.5x baseline", verdict(ok)])
        targets.append((f"{label}: throughput with 64 in flight ≥ 1.5x the baseline's", ok, fmt_ratio(x)))
        for name, mk, ff, fr_ in (("init_candles 1,000,000 x 5 (MB/s)", "up_mbs", f_upf, f_upr),
                                  ("get_ohlc 1,000,000 x 5 (MB/s)", "down_mbs", f_dnf, f_dnr)):
            m, b = stat(mod, mk), stat(base, mk)
            xb, xf = ratio(m, b), ratio(m, ff)
            ok = None if xb is None or xf is None else (xb >= 2.0 and xf >= 0.5)
            main.append([name, label, m.fmt(0), b.fmt(0), f"{ff.fmt(0)} (reused: {fr_.fmt(0)})", fmt_ratio(xb),
                         fmt_ratio(xf), "≥ 2x baseline and ≥ 0.5x floor (fresh)", verdict(ok)])
            targets.append((f"{label}: {name.split()[0]} ≥ 2x baseline MB/s and ≥ 0.5x floor's fresh-memory MB/s",
                            ok, f"{fmt_ratio(xb)} baseline, {fmt_ratio(xf)} floor"))
        mm, mb = d["memory"]["module"], d["memory"]["baseline"]
        ok = mm["growth_mb"] <= 5.0
        main.append([f"resident size growth over {mm['ops']:,} mixed ops (MB)", label,
                     f"{mm['growth_mb']:+.1f} ({mm['rss_before_mb']:.0f} → {mm['rss_after_mb']:.0f})",
                     f"{mb['growth_mb']:+.1f} ({mb['rss_before_mb']:.0f} → {mb['rss_after_mb']:.0f})", "", "", "",
                     "≤ 5 MB", verdict(ok)])
        targets.append((f"{label}: resident size growth ≤ 5 MB over {mm['ops']:,} operations", ok,
                        f"{mm['growth_mb']:+.1f} MB"))
        # Codec functions against NumPy.
        cr = d["rounds"]["codec"]
        for i, c in enumerate(cr[0] if cr else []):
            ms = Stat([r[i]["module_ms"] for r in cr])
            ns = Stat([r[i]["numpy_ms"] for r in cr])
            x = ratio(ms, ns)
            fair = c["like_for_like"]
            ok = (None if x is None else x <= 1.2) if fair else None
            codec.append([c["function"], label, ms.fmt(2), f"`{c['numpy']}`", ns.fmt(2), fmt_ratio(x),
                          "yes" if fair else "no (bytes, not a list)", "≤ 1.2x" if fair else "",
                          verdict(ok) if fair else ""])
            if fair:
                targets.append((f"{label}: {c['function']} ≤ 1.2x `{c['numpy']}`", ok, fmt_ratio(x)))
    return main, codec, targets, errors


def md_table(header, rows):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def text_table(header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda r: "  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip()
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


MAIN_HEADER = ["measure", "interpreter", "module", "baseline", "floor", "module vs baseline",
               "module vs floor", "target", "result"]
CODEC_HEADER = ["function (1,000,000 values)", "interpreter", "module (ms)", "NumPy equivalent", "NumPy (ms)",
                "module vs NumPy", "same work", "target", "result"]



def _other_sections(path: str, text: str) -> List[str]:
    """The sections of the file at ``path`` that the Gymnasium and Ray benches wrote, unless ``text`` has
    them."""
    if not os.path.exists(path):
        return []
    old = open(path).read()
    starts = [m.start() for m in re.finditer(r"^## ", old, re.M)] + [len(old)]
    headings = set(re.findall(r"^## .*$", text, re.M))
    kept = []
    for start, end in zip(starts, starts[1:]):
        section = old[start:end]
        heading = section.splitlines()[0]
        if heading.startswith(("## Gymnasium", "## Ray")) and heading not in headings:
            kept.append(section.rstrip("\n") + "\n")
    return kept

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--load-start", default="")
    ap.add_argument("--command", default="bash bench/run.sh")
    args = ap.parse_args()

    meta = read_json(os.path.join(args.dir, "meta.json")) or {}
    data = {k: read_json(os.path.join(args.dir, f"{k}.json")) for k, _ in INTERPRETERS}
    onecpu = {k: read_json(os.path.join(args.dir, f"{k}-onecpu.json")) for k, _ in INTERPRETERS}
    main_rows, codec_rows, targets, errors = build_rows(data, onecpu)
    browser = read_json(os.path.join(args.dir, "browser.json"))
    browser_md, browser_text = [], ""
    if browser:
        import browser_report

        browser_md, browser_text, browser_targets = browser_report.markdown(browser)
        targets += browser_targets

    print(text_table(MAIN_HEADER, main_rows))
    print()
    print(text_table(CODEC_HEADER, codec_rows))
    print()
    if browser_text:
        print(browser_text)
        print()
    passed = sum(1 for _, ok, _ in targets if ok)
    print(f"targets: {passed} of {len(targets)} pass")
    for name, ok, value in targets:
        print(f"  {verdict(ok):4}  {name}: {value}")
    for e in errors:
        print(f"  error: {e}")

    md = ["# Benchmark results", "",
          f"Written by `{args.command}` on {time.strftime('%Y-%m-%d %H:%M %Z')}. "
          "What is measured and how: [README.md](README.md).", ""]
    md += ["## Machine", "", "| | |", "|---|---|"]
    md += [f"| {k} | {v} |" for k, v in machine(args.load_start)]
    for key, label in INTERPRETERS:
        d = data.get(key)
        if d:
            v = d["versions"]
            md.append(f"| {label} | {v['version_line']} |")
            md.append(f"| NumPy under {label} | {v['numpy']} |")
            md.append(f"| websockets under {label} | {v['websockets']} (C speedups importable: "
                      f"{'yes' if v['websockets_speedups'] else 'no'}) |")
    if browser:
        md.append(f"| Chromium (browser section) | {browser['chromium']} through Playwright {browser.get('playwright', '?')} |")
    for k, v in meta.items():
        md.append(f"| {k} | {v} |")
    md += ["",
           "The machine is shared: other work may have been running during the run (see the load "
           "averages above); the spread shown next to each median is half the range over the rounds.",
           ""]
    if any(data.values()):  # a browser-only run has no native-peer tables
        cfg = next((d["config"] for d in data.values() if d), {})
        md += ["## Results", "",
               f"Medians over {cfg.get('rounds', '?')} rounds (order rotated each round) ± half their range. "
               "Rows marked \"one CPU\" come from a second run of the round trips with every process and "
               "thread pinned to CPU 0 (`taskset -c 0`). "
               "Round trips: median and 99th percentile per round of "
               f"{cfg.get('rt', '?'):,} sequential awaits after {cfg.get('warmup', '?'):,} warm-up ones. "
               "Throughput: `asyncio.gather` of 64 `step_next`, repeated for "
               f"{cfg.get('tp_secs', '?')} s. Bulk: median of {cfg.get('bulk', '?')} transfers after one warm-up; "
               "MB/s of MatF64 payload, 1 MB = 10^6 bytes (the payload is 40,000,008 bytes). "
               "Ratios: for round trips, module time over the other's time (lower is better); for rates, "
               "module rate over the other's rate (higher is better). "
               "The floor is the native C++ server, run as one more item of the same rotation in each "
               "interpreter's run (so each row's floor saw the same conditions); for bulk transfers "
               "its first number copies into fresh huge-page-advised memory as a new array needs, the "
               "number in brackets reuses one buffer.", ""]
        md.append(md_table(MAIN_HEADER, main_rows))
        md += ["", "### Codec functions against NumPy", "",
               "`encode_*_py` return a list of ints by contract, so the like-for-like NumPy equivalent is "
               "`list(header + arr.tobytes())`; `header + arr.tobytes()` (bytes) is shown for scale only, it "
               "does not build the list and is not a fair comparison. Decoders are compared with "
               "`np.frombuffer(...).copy()`, which makes the same fresh, writeable array.", ""]
        md.append(md_table(CODEC_HEADER, codec_rows))
        md += ["", "### Resident size during the memory runs", "",
               "Resident size (MB) after each tenth of the operations, after the warm-up: growth that "
               "levels off is the heap settling (PyPy's collector sizes its heap from what survives); "
               "growth that keeps going is a leak.", ""]
        for key, label in INTERPRETERS:
            d = data.get(key)
            if not d:
                continue
            for impl in ("module", "baseline"):
                mm = d["memory"].get(impl)
                if mm:
                    md.append(f"- {label}, {impl}: {mm['rss_before_mb']:.1f} → "
                              + ", ".join(f"{x:.1f}" for x in mm.get("trajectory_mb", []))
                              + f" (after a final collection: {mm['rss_after_mb']:.1f}; {mm['secs']:.1f} s)")
    if browser_md:
        md += [""] + browser_md
    md += ["", "## Targets", "", f"{passed} of {len(targets)} pass.", ""]
    md += [f"- **{verdict(ok)}** {name}: {value}" for name, ok, value in targets]
    if errors:
        md += ["", "Errors during the run:", ""] + [f"- {e}" for e in errors]
    md.append("")
    text = "\n".join(md)
    # Sections that other benches write into the same file (the Gymnasium and Ray ones) are kept.
    text += "".join("\n" + section for section in _other_sections(args.out, text))
    with open(args.out, "w") as f:
        f.write(text)
    print(f"\nwritten: {args.out}")


if __name__ == "__main__":
    main()
