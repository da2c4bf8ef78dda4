#!/usr/bin/env bash
# Builds the native programs, runs the benchmarks (module, baseline, native floor) under CPython and PyPy
# against the native peer, then the browser benchmark (the same engines stepping pages in headless
# Chromium), prints the tables and writes them to bench/RESULTS.md (bench/out/RESULTS-quick.md with
# --quick, bench/out/RESULTS-browser.md with --browser-only).
#
#   bash bench/run.sh [--quick] [--reinstall] [--only cpython|pypy] [--no-browser | --browser-only]
#
#   --quick          few iterations and one round, for development (a couple of minutes)
#   --reinstall      rebuild and reinstall the module from this tree into both venvs first
#                    (otherwise it is installed only where it is missing)
#   --only NAME      run one interpreter only (for the browser part: its Python engines)
#   --no-browser     leave out the browser benchmark
#   --browser-only   run the browser benchmark alone
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
BENCH=$ROOT/bench
BUILD=$BENCH/build
OUT=$BENCH/out
QUICK=""
REINSTALL=0
ONLY=""
BROWSER=yes
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) QUICK=--quick ;;
    --reinstall) REINSTALL=1 ;;
    --only) ONLY=$2; shift ;;
    --no-browser) BROWSER=no ;;
    --browser-only) BROWSER=only ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

LOAD_START=$(cut -d' ' -f1-3 /proc/loadavg)
T_START=$(date +%s)
mkdir -p "$BUILD" "$OUT"
rm -f "$OUT"/*.json

# -- native programs ----------------------------------------------------------------------------
# The root build's bench option, in bench/build: the programs land at its top (bench/build/native_peer, ...).
echo "building the native programs" >&2
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DENGINE_PYTHON_MODULE=OFF -DENGINE_BENCH=ON >/dev/null
cmake --build "$BUILD" -j 2 --target native_peer floor_server native_engine >&2

# -- interpreters -------------------------------------------------------------------------------
INTERPS=(cpython pypy)
[ -n "$ONLY" ] && INTERPS=("$ONLY")
for name in "${INTERPS[@]}"; do
  py=$ROOT/.venv/$name/bin/python
  if [ ! -x "$py" ]; then
    # A fresh machine: system packages, both environments and the module, as the tests use them.
    echo "setting up the environments (bash scripts/test.sh --setup-only)" >&2
    bash "$ROOT/scripts/test.sh" --setup-only >&2 || exit 1
  fi
  if ! "$py" -c "import websockets.asyncio.server" 2>/dev/null; then
    echo "installing websockets into .venv/$name" >&2
    "$py" -m pip install --quiet websockets
  fi
  if [ $REINSTALL = 1 ] || ! "$py" -c "import py_engine_rust" 2>/dev/null; then
    echo "building and installing py_engine_rust into .venv/$name" >&2
    "$py" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall "$ROOT"
  fi
done

# What is being measured: the installed module against the tree it came from.
py0=$ROOT/.venv/${INTERPS[0]}/bin/python
SO=$("$py0" -c "import py_engine_rust; print(py_engine_rust.__file__)")
SO_TIME=$(stat -c %Y "$SO")
NEWEST_SRC=$(find "$ROOT/src" -type f -printf '%T@\n' | sort -n | tail -1 | cut -d. -f1)
STALE="no"
[ "$NEWEST_SRC" -gt "$SO_TIME" ] && STALE="YES: src/ changed after the module was installed (use --reinstall)"
cat > "$OUT/meta.json" <<EOF
{"module build": "$(date -d @"$SO_TIME" '+%Y-%m-%d %H:%M:%S') ($(basename "$SO"))",
 "git commit": "$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)",
 "uncommitted changes in src/": "$(git -C "$ROOT" status --porcelain src 2>/dev/null | wc -l) files",
 "src/ newer than the installed module": "$STALE"}
EOF
[ "$STALE" != "no" ] && echo "warning: $STALE" >&2

# -- module and baseline under each interpreter -------------------------------------------------
# NumPy's OpenBLAS threads are never used here; idle ones only add noise on two cores.
export OPENBLAS_NUM_THREADS=1
for name in "${INTERPS[@]}"; do
  [ $BROWSER = only ] && break
  echo "$name: module, baseline, codec functions and floor, rotated" >&2
  "$ROOT/.venv/$name/bin/python" "$BENCH/bench.py" run --peer "$BUILD/native_peer" --floor "$BUILD/floor_server" \
    --out "$OUT/$name.json" $QUICK
  # Round trips once more with every process and thread on one CPU: no cross-CPU wake-ups, whose
  # cost on a virtual machine with idle CPUs swamps everything else (see README.md).
  echo "$name: round trips on one CPU" >&2
  taskset -c 0 "$ROOT/.venv/$name/bin/python" "$BENCH/bench.py" run --sections rt --peer "$BUILD/native_peer" \
    --floor "$BUILD/floor_server" --out "$OUT/$name-onecpu.json" $QUICK
done

# -- the browser benchmark ------------------------------------------------------------------------
# Playwright drives Chromium from CPython; the Python engines run as subprocesses, under PyPy too.
if [ $BROWSER != no ]; then
  CPY=$ROOT/.venv/cpython/bin/python
  if [ ! -x /usr/bin/chromium ] || ! "$CPY" -c "import playwright" 2>/dev/null; then
    echo "warning: no /usr/bin/chromium or no Playwright in .venv/cpython: browser benchmark left out" >&2
  else
    PYPY_ARGS=()
    for name in "${INTERPS[@]}"; do [ "$name" = pypy ] && PYPY_ARGS=(--pypy "$ROOT/.venv/pypy/bin/python"); done
    [ -n "$ONLY" ] && [ "$ONLY" != cpython ] && echo "note: the browser benchmark's CPython rows run too" >&2
    echo "browser: module, baseline and native engine stepping pages in headless Chromium" >&2
    "$CPY" "$BENCH/browser_bench.py" run --out "$OUT/browser.json" $QUICK "${PYPY_ARGS[@]}" \
      --native "$BUILD/native_engine"
  fi
fi

# -- report -------------------------------------------------------------------------------------
T_END=$(date +%s)
python_meta=$(printf '%s' "$(cat "$OUT/meta.json")" | sed '$ s/}$//')
printf '%s,\n "total run time": "%s s"}\n' "$python_meta" "$((T_END - T_START))" > "$OUT/meta.json"
RESULTS=$BENCH/RESULTS.md
[ $BROWSER = only ] && RESULTS=$OUT/RESULTS-browser.md
[ -n "$QUICK" ] && RESULTS=$OUT/RESULTS-quick.md
FLAGS=${QUICK:+ --quick}${ONLY:+ --only $ONLY}
[ $BROWSER = no ] && FLAGS="$FLAGS --no-browser"
[ $BROWSER = only ] && FLAGS="$FLAGS --browser-only"
CMD="bash bench/run.sh$FLAGS"
"$ROOT/.venv/${INTERPS[0]}/bin/python" "$BENCH/report.py" --dir "$OUT" --out "$RESULTS" \
  --load-start "$LOAD_START" --command "$CMD"
# The Gymnasium environments' own section (needs the gym extra and Chromium; skipped without them,
# and with --no-browser).
if [ $BROWSER != no ] && "$ROOT/.venv/cpython/bin/python" -c "import py_engine_rust_gym, playwright" 2>/dev/null; then
  "$ROOT/.venv/cpython/bin/python" "$BENCH/gym_bench.py" --results "$RESULTS" $QUICK
fi
# Ray workers against make_vec stepped directly (needs the ray extra too; skipped without it, and
# with --no-browser).
if [ $BROWSER != no ] && "$ROOT/.venv/cpython/bin/python" -c "import py_engine_rust_gym.ray, playwright" 2>/dev/null; then
  "$ROOT/.venv/cpython/bin/python" "$BENCH/ray_bench.py" --results "$RESULTS" $QUICK
fi
