#!/usr/bin/env bash
# Where the time of one scenario goes, for the module or the baseline:
#
#   bash bench/profile.sh [cpython|pypy] [rt|tp|ohlc|init] [module|baseline] [N]
#
# 1. perf stat: context switches, page faults and CPU time per operation (software counters;
#    this machine's perf has no hardware counters);
# 2. strace -f -c: system calls per operation (the peer's own recvmsg/sendmsg are included:
#    it is a child of the Python process);
# 3. perf record: the hottest symbols by process (python = engine side, native_peer = peer).
# Per-operation counts are the difference between a run of N operations and a run of none
# (same start-up, same warm-up of 2,000 step_next), divided by N.
# Build the native programs first (bash bench/run.sh --quick does).
set -euo pipefail
cd "$(dirname "$0")/.."
INTERP=${1:-cpython}
SCEN=${2:-rt}
IMPL=${3:-module}
N=${4:-}
if [ -z "$N" ]; then
  case $SCEN in rt|tp) N=20000 ;; *) N=40 ;; esac
fi
PY=.venv/$INTERP/bin/python
# PYTHONPATH may point at a development build (build/dev) instead of the installed module.
PEER=bench/build/native_peer
OUT=bench/out/profile
mkdir -p "$OUT"
TAG=$INTERP-$SCEN-$IMPL

per_op() {  # file-with-N file-with-0: "name value" lines -> per-operation differences
  python3 - "$1" "$2" "$N" <<'PY'
import sys
def load(p):
    d = {}
    for line in open(p):
        k, v = line.split()
        d[k] = float(v)
    return d
a, b, n = load(sys.argv[1]), load(sys.argv[2]), int(sys.argv[3])
rows = sorted(((k, (a[k] - b.get(k, 0.0)) / n) for k in a), key=lambda kv: -kv[1])
for k, v in rows[:14]:
    if abs(v) >= 0.005:
        print(f"  {k:18} {v:10.2f} per op")
PY
}

echo "== $TAG: perf stat (per operation, N=$N; task-clock in ms)"
for n in "$N" 0; do
  perf stat -x, -e context-switches,cpu-migrations,page-faults,task-clock -o "$OUT/$TAG.stat$n" \
    "$PY" bench/scenario.py "$SCEN" --impl "$IMPL" --n "$n" --peer "$PEER"
  awk -F, '$3 != "" && $1 ~ /^[0-9.]+$/ {print $3, $1}' "$OUT/$TAG.stat$n" > "$OUT/$TAG.stat$n.txt"
done
per_op "$OUT/$TAG.stat$N.txt" "$OUT/$TAG.stat0.txt"

if command -v strace >/dev/null; then
  echo "== $TAG: system calls (per operation, engine and peer)"
  for n in "$N" 0; do
    strace -f -c -o "$OUT/$TAG.strace$n" "$PY" bench/scenario.py "$SCEN" --impl "$IMPL" --n "$n" --peer "$PEER" >/dev/null
    awk 'NR > 2 && $1 ~ /^[0-9.]+$/ && $NF != "total" {print $NF, $4}' "$OUT/$TAG.strace$n" > "$OUT/$TAG.strace$n.txt"
  done
  per_op "$OUT/$TAG.strace$N.txt" "$OUT/$TAG.strace0.txt"
fi

echo "== $TAG: hottest symbols (share of all samples, start-up included)"
perf record -q -e cpu-clock -F 2999 -o "$OUT/$TAG.perf" \
  "$PY" bench/scenario.py "$SCEN" --impl "$IMPL" --n "$N" --peer "$PEER" >/dev/null 2>&1
perf report -i "$OUT/$TAG.perf" --no-children --sort comm,dso,sym --stdio -g none 2>/dev/null |
  grep -v '^#' | grep -v '^$' | head -25
