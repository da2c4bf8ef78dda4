"""Benchmarks of py_engine_rust against the pure-Python baseline, under the running interpreter.

    python bench/bench.py run --peer PATH [--floor PATH] --out FILE.json [--quick] [--rounds N]
                              [--sections rt,tp,bulk,codec,memory]
    python bench/bench.py memory --impl module|baseline --peer PATH [--ops N] [--warmup N]

`run` measures, for the module and for bench/baseline_engine.py, each against its own
bench/native_peer process, and for the native floor (bench/floor_server, with --floor), in several
rounds whose order rotates (module, baseline, codec, floor; then baseline, codec, floor, module;
...), so that all of them see the same conditions of a shared machine:

- step_next round trip: per-await wall time of sequential `await engine.step_next()` after a
  warm-up; median and 99th percentile per round;
- throughput: `await asyncio.gather(*[engine.step_next() for _ in range(64)])`, repeated for a
  fixed time; operations per second;
- bulk: `init_candles` of a 1,000,000 x 5 float64 matrix and `get_ohlc` returning one; MB/s of
  payload (1 MB = 10^6 bytes; the MatF64 payload is 40,000,008 bytes), median over repetitions;
- codec functions on 1,000,000 values against NumPy doing the same work;

then starts one `memory` process per implementation (resident size from /proc/self/statm before
and after 100,000 mixed operations, after a warm-up) and writes everything as JSON.
The report (bench/report.py) turns the JSON of both interpreters and of the floor into the table.
"""

import argparse
import asyncio
import gc
import json
import os
import platform
import struct
import subprocess
import sys
import time
from statistics import median

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from common import free_port  # noqa: E402  (bench/common.py)

U32 = struct.Struct("<I")
MAT_HEADER = struct.Struct("<II")
ROWS, COLS = 1_000_000, 5
SNAPSHOT = 16
CODEC_N = 1_000_000
SECTIONS = ["rt", "tp", "bulk", "codec", "memory"]

FULL = dict(rounds=3, rt=20_000, warmup=2_000, tp_secs=1.5, bulk=5, codec_secs=0.6, codec_max=7,
            mem_ops=100_000, mem_warmup=10_000)
QUICK = dict(rounds=1, rt=2_000, warmup=200, tp_secs=0.3, bulk=2, codec_secs=0.1, codec_max=3,
             mem_ops=10_000, mem_warmup=2_000)


def percentile(sorted_values, q):
    i = min(len(sorted_values) - 1, int(q * (len(sorted_values) - 1) + 0.5))
    return sorted_values[i]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpus_allowed():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Cpus_allowed_list:"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def make_engine(impl, port):
    if impl == "module":
        import py_engine_rust

        return py_engine_rust.RustEngineAsync("127.0.0.1", port)
    from baseline_engine import BaselineEngine

    return BaselineEngine("127.0.0.1", port)


async def connect(impl, peer, rows=ROWS, cols=COLS, snapshot=SNAPSHOT):
    """An engine of `impl` with a native peer connected to it."""
    port = free_port()
    engine = make_engine(impl, port)
    await engine.start()
    proc = subprocess.Popen(
        [peer, "127.0.0.1", str(port), "--rows", str(rows), "--cols", str(cols), "--snapshot", str(snapshot)]
    )
    await engine.wait_connected(timeout_secs=60)
    return engine, proc


def stop_peer(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# -- engine measurements -----------------------------------------------------------------------


async def round_trips(engine, n, warmup):
    step = engine.step_next
    for _ in range(warmup):
        await step()
    clock = time.perf_counter_ns
    ns = [0] * n
    for i in range(n):
        t0 = clock()
        await step()
        ns[i] = clock() - t0
    ns.sort()
    return median(ns) / 1e3, percentile(ns, 0.99) / 1e3


async def throughput(engine, secs):
    step = engine.step_next
    gather = asyncio.gather

    async def batch():
        await gather(*[step() for _ in range(64)])

    for _ in range(20):
        await batch()
    clock = time.perf_counter
    batches = 0
    t0 = clock()
    while True:
        await batch()
        batches += 1
        elapsed = clock() - t0
        if elapsed >= secs and batches >= 20:
            return 64 * batches / elapsed


async def bulk(engine, mat, reps):
    payload = 8 + mat.nbytes
    clock = time.perf_counter
    up = []
    for i in range(reps + 1):  # the first of each is a warm-up
        t0 = clock()
        await engine.init_candles(mat)
        dt = clock() - t0
        if i:
            up.append(dt)
    down = []
    for i in range(reps + 1):
        t0 = clock()
        result = await engine.get_ohlc()
        dt = clock() - t0
        if result.shape != mat.shape or result[-1, -1] != mat[-1, -1]:
            raise AssertionError("get_ohlc returned unexpected data")
        del result
        if i:
            down.append(dt)
    return payload / 1e6 / median(up), payload / 1e6 / median(down)


async def engine_round(impl, engines, peer, mat, cfg, wanted):
    """One round of the engine measurements. A section that fails is recorded with its error,
    and the engine is replaced by a freshly connected one for the next section."""
    out = {}
    sections = [
        ("rt", ("rt_median_us", "rt_p99_us"), lambda e: round_trips(e, cfg["rt"], cfg["warmup"])),
        ("tp", ("tp_ops",), lambda e: throughput(e, cfg["tp_secs"])),
        ("bulk", ("up_mbs", "down_mbs"), lambda e: bulk(e, mat, cfg["bulk"])),
    ]
    for name, keys, section in sections:
        if name not in wanted:
            continue
        try:
            values = await section(engines[impl][0])
            values = values if isinstance(values, tuple) else (values,)
            out.update(zip(keys, values))
        except Exception as exc:  # recorded, and shown in the report
            out.setdefault("errors", []).append(f"{keys[0]}: {type(exc).__name__}: {exc}")
            print(f"  {impl}: {keys[0]} failed: {exc}", file=sys.stderr, flush=True)
            stop_peer(engines[impl][1])
            engines[impl] = await connect(impl, peer, rows=mat.shape[0])
    gc.collect()
    return out


# -- codec functions ---------------------------------------------------------------------------


def codec_cases():
    """(name, module call, NumPy call doing the same work, whether the comparison is like for like)."""
    import py_engine_rust as m

    n = CODEC_N
    arr = np.arange(n, dtype=np.float64) * 0.5 + 0.125
    mat = arr.reshape(n // 5, 5)
    vec_payload = U32.pack(n) + arr.tobytes()
    mat_payload = MAT_HEADER.pack(n // 5, 5) + mat.tobytes()
    vh = U32.pack(n)
    mh = MAT_HEADER.pack(n // 5, 5)
    cases = [
        ("decode_vec_f64_py", lambda: m.decode_vec_f64_py(vec_payload),
         "np.frombuffer(p, '<f8', n, 4).copy()", lambda: np.frombuffer(vec_payload, "<f8", n, 4).copy(), True),
        ("decode_mat_f64_py", lambda: m.decode_mat_f64_py(mat_payload),
         "np.frombuffer(p, '<f8', n, 8).reshape(r, c).copy()",
         lambda: np.frombuffer(mat_payload, "<f8", n, 8).reshape(n // 5, 5).copy(), True),
        ("encode_vec_f64_py", lambda: m.encode_vec_f64_py(arr),
         "list(header + arr.tobytes())", lambda: list(vh + arr.tobytes()), True),
        ("encode_vec_f64_py", lambda: m.encode_vec_f64_py(arr),
         "header + arr.tobytes()", lambda: vh + arr.tobytes(), False),
        ("encode_mat_f64_py", lambda: m.encode_mat_f64_py(mat),
         "list(header + mat.tobytes())", lambda: list(mh + mat.tobytes()), True),
        ("encode_mat_f64_py", lambda: m.encode_mat_f64_py(mat),
         "header + mat.tobytes()", lambda: mh + mat.tobytes(), False),
    ]
    # The comparisons must be of the same results.
    assert np.array_equal(m.decode_vec_f64_py(vec_payload), arr)
    assert np.array_equal(m.decode_mat_f64_py(mat_payload), mat)
    assert m.encode_vec_f64_py(arr) == list(vec_payload)
    assert m.encode_mat_f64_py(mat) == list(mat_payload)
    return cases


def time_call(fn):
    t0 = time.perf_counter()
    result = fn()
    dt = time.perf_counter() - t0
    del result
    return dt


def codec_round(cases, cfg):
    out = []
    for name, mod_fn, np_name, np_fn, fair in cases:
        mod_t, np_t = [], []
        spent = 0.0
        time_call(mod_fn)
        time_call(np_fn)
        while len(mod_t) < cfg["codec_max"] and (spent < cfg["codec_secs"] or len(mod_t) < 3):
            a = time_call(mod_fn)
            b = time_call(np_fn)
            mod_t.append(a)
            np_t.append(b)
            spent += a + b
        gc.collect()
        out.append(dict(function=name, numpy=np_name, like_for_like=fair,
                        module_ms=median(mod_t) * 1e3, numpy_ms=median(np_t) * 1e3))
    return out


# -- memory ------------------------------------------------------------------------------------


async def memory_run(impl, peer, ops, warmup):
    engine, proc = await connect(impl, peer, rows=100, cols=5, snapshot=SNAPSHOT)
    small = np.arange(500, dtype=np.float64).reshape(100, 5)
    gather = asyncio.gather

    async def mixed(count):
        e = engine
        for _ in range(count // 8):
            await gather(e.step_next(), e.get_snapshot(), e.step_next(), e.get_ohlc(),
                         e.step_next(), e.get_snapshot(), e.init_candles(small), e.step_next())

    try:
        await mixed(warmup)
        gc.collect()
        before = rss_bytes()
        trajectory = []  # resident size after each tenth, to tell steady growth from a plateau
        t0 = time.perf_counter()
        for _ in range(10):
            await mixed(ops // 10)
            trajectory.append(round(rss_bytes() / 1e6, 1))
        secs = time.perf_counter() - t0
        gc.collect()
        after = rss_bytes()
    finally:
        stop_peer(proc)
    return dict(ops=ops, rss_before_mb=before / 1e6, rss_after_mb=after / 1e6,
                growth_mb=(after - before) / 1e6, secs=secs, trajectory_mb=trajectory)


# -- driver ------------------------------------------------------------------------------------


def versions():
    import websockets

    try:
        from websockets import speedups  # noqa: F401

        speed = True
    except ImportError:
        speed = False
    return dict(
        implementation=platform.python_implementation(),
        python=sys.version.split()[0],
        version_line=" ".join(sys.version.split()),
        numpy=np.__version__,
        websockets=websockets.__version__,
        websockets_speedups=speed,
    )


def floor_round(args, cfg, wanted, rows):
    """One round of the native floor (bench/floor_server), run between the Python rounds so that
    it sees the same machine conditions."""
    batches = max(50, int(cfg["tp_secs"] * 100_000 / 64)) if "tp" in wanted else 0
    rt = cfg["rt"] if "rt" in wanted else 0
    reps = cfg["bulk"] if "bulk" in wanted else 0
    cmd = [args.floor, "--peer", args.peer, "--rounds", "1", "--rt", str(rt), "--warmup", str(cfg["warmup"]),
           "--tp-batches", str(batches), "--bulk", str(reps), "--rows", str(rows), "--cols", str(COLS),
           "--snapshot", str(SNAPSHOT)]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out)["rounds"][0]


async def run_all(args, cfg, wanted):
    # Without bulk transfers the peers need no big get_ohlc answer: they start faster.
    rows = ROWS if "bulk" in wanted else 10
    mat = (np.arange(rows * COLS, dtype=np.float64) % 9973) * 0.5 + 1000.0
    mat = mat.reshape(rows, COLS)
    impls = ["module", "baseline"]
    engines = {}
    for impl in impls:
        engines[impl] = await connect(impl, args.peer, rows=rows)
    cases = codec_cases() if "codec" in wanted else []
    items = impls + (["codec"] if cases else []) + (["floor"] if args.floor else [])
    rounds = {k: [] for k in items}
    try:
        for r in range(cfg["rounds"]):
            order = items[r % len(items):] + items[: r % len(items)]
            for item in order:
                t0 = time.perf_counter()
                if item == "codec":
                    rounds["codec"].append(codec_round(cases, cfg))
                elif item == "floor":
                    rounds["floor"].append(floor_round(args, cfg, wanted, rows))
                else:
                    rounds[item].append(await engine_round(item, engines, args.peer, mat, cfg, wanted))
                print(f"  [{platform.python_implementation()}] round {r + 1}/{cfg['rounds']} {item}: "
                      f"{time.perf_counter() - t0:.1f} s", file=sys.stderr, flush=True)
    finally:
        for impl in impls:
            stop_peer(engines[impl][1])
    return rounds


def memory_subprocess(impl, args, cfg):
    cmd = [sys.executable, os.path.abspath(__file__), "memory", "--impl", impl, "--peer", args.peer,
           "--ops", str(cfg["mem_ops"]), "--warmup", str(cfg["mem_warmup"])]
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("command", choices=["run", "memory"])
    ap.add_argument("--peer", required=True, help="path of the native_peer binary")
    ap.add_argument("--floor", help="path of the floor_server binary (run): measured in the same rotation")
    ap.add_argument("--out", help="JSON output file (run)")
    ap.add_argument("--quick", action="store_true", help="few iterations, for development")
    ap.add_argument("--sections", default=",".join(SECTIONS),
                    help="comma-separated subset of " + ",".join(SECTIONS) + " (run)")
    ap.add_argument("--rounds", type=int)
    ap.add_argument("--impl", choices=["module", "baseline"], help="memory: which engine")
    ap.add_argument("--ops", type=int)
    ap.add_argument("--warmup", type=int)
    args = ap.parse_args()
    cfg = dict(QUICK if args.quick else FULL)
    if args.rounds:
        cfg["rounds"] = args.rounds

    if args.command == "memory":
        res = asyncio.run(memory_run(args.impl, args.peer, args.ops or cfg["mem_ops"],
                                     args.warmup or cfg["mem_warmup"]))
        print(json.dumps(res))
        return

    wanted = set(args.sections.split(","))
    unknown = wanted - set(SECTIONS)
    if unknown:
        ap.error(f"unknown sections: {', '.join(sorted(unknown))}")
    t0 = time.perf_counter()
    rounds = asyncio.run(run_all(args, cfg, wanted))
    memory = {}
    for impl in (["module", "baseline"] if "memory" in wanted else []):
        t1 = time.perf_counter()
        memory[impl] = memory_subprocess(impl, args, cfg)
        print(f"  [{platform.python_implementation()}] memory {impl}: {time.perf_counter() - t1:.1f} s",
              file=sys.stderr, flush=True)
    result = dict(versions=versions(), config=cfg, sections=sorted(wanted), rounds=rounds, memory=memory,
                  cpus_allowed=cpus_allowed(), secs=time.perf_counter() - t0)
    text = json.dumps(result, indent=1)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")
    else:
        print(text)


if __name__ == "__main__":
    main()
