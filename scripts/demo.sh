#!/usr/bin/env bash
# Runs the browser demo in one command: installs what is missing on a
# Debian/Ubuntu machine (Chromium, the CPython venv with NumPy and Playwright,
# the module itself), serves ui/ on 127.0.0.1, and runs examples/agent_demo.py,
# which drives the page in headless Chromium over several episodes, prints a
# per-episode table and saves demo-screenshot.png in the repository root.
#
#   bash scripts/demo.sh [--episodes N] [--headed]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

usage() {
  cat <<'EOF'
usage: bash scripts/demo.sh [--episodes N] [--headed]

  --episodes N   episodes to run (default 4; the last one is a test episode)
  --headed       show the browser window instead of running headless (needs a display)
EOF
}

EPISODES=4
AGENT_ARGS=()
while (($#)); do
  case "$1" in
    --episodes) [ $# -ge 2 ] || { usage >&2; exit 2; }; EPISODES=$2; shift ;;
    --episodes=*) EPISODES=${1#*=} ;;
    --headed) AGENT_ARGS+=(--headed) ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
if ! [[ $EPISODES =~ ^[1-9][0-9]*$ ]]; then
  echo "--episodes needs a positive whole number, got '$EPISODES'" >&2
  exit 2
fi
if [[ " ${AGENT_ARGS[*]-} " == *" --headed "* ]] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "--headed needs a display (DISPLAY is not set); run without it, or under xvfb-run" >&2
  exit 2
fi

step() { printf '==> %s\n' "$*"; }
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
APT_UPDATED=""
apt_install() {  # packages...; installs those not yet installed
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  step "installing ${missing[*]}"
  if [ -z "$APT_UPDATED" ]; then $SUDO apt-get update -qq; APT_UPDATED=1; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
}
PIP_FLAGS=(-q --disable-pip-version-check)

# --- the browser
[ -x /usr/bin/chromium ] || apt_install chromium

# --- the CPython venv (the same one scripts/test.sh uses)
PY=.venv/cpython/bin/python
if [ ! -x "$PY" ]; then
  python3 -c 'import ensurepip' 2>/dev/null || apt_install python3-venv
  step "creating .venv/cpython"
  python3 -m venv .venv/cpython
fi
"$PY" -c 'import numpy' 2>/dev/null || { step "installing numpy"; "$PY" -m pip install "${PIP_FLAGS[@]}" "numpy>=2"; }
"$PY" -c 'import playwright' 2>/dev/null || { step "installing playwright"; "$PY" -m pip install "${PIP_FLAGS[@]}" playwright; }

# --- the module
if ! "$PY" -c 'import py_engine_rust' 2>/dev/null; then
  apt_install libboost1.81-dev
  "$PY" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || apt_install python3-dev
  command -v c++ >/dev/null || command -v g++ >/dev/null || command -v clang++ >/dev/null || apt_install g++
  step "building py_engine_rust"
  "$PY" -m pip install "${PIP_FLAGS[@]}" "scikit-build-core>=0.8" "cmake>=3.24" ninja
  "$PY" -m pip install "${PIP_FLAGS[@]}" --no-build-isolation --no-deps --force-reinstall .
fi

# --- serve ui/ on 127.0.0.1 (an origin the engine accepts); stopped on exit
SERVER_PID=""
cleanup() { if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi; }
trap cleanup EXIT
trap 'exit 130' INT TERM
for attempt in 1 2 3 4 5; do
  PORT=$("$PY" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$PY" -m http.server --bind 127.0.0.1 --directory "$ROOT/ui" "$PORT" >/dev/null 2>&1 &
  SERVER_PID=$!
  # Up within 10 s, or the port was taken meanwhile and the server died: try another.
  if "$PY" - "$PORT" "$SERVER_PID" <<'EOF'
import os, sys, time, urllib.request
port, pid = sys.argv[1], int(sys.argv[2])
deadline = time.monotonic() + 10
while time.monotonic() < deadline:
    try:
        urllib.request.urlopen("http://127.0.0.1:%s/index.html" % port, timeout=1).close()
        sys.exit(0)
    except OSError:
        try:
            os.kill(pid, 0)
        except OSError:
            sys.exit(1)
        time.sleep(0.1)
sys.exit(1)
EOF
  then break; fi
  cleanup; SERVER_PID=""
  [ "$attempt" -lt 5 ] || { echo "could not serve ui/ on 127.0.0.1" >&2; exit 1; }
done
step "serving ui/ at http://127.0.0.1:$PORT/"

step "running examples/agent_demo.py ($EPISODES episodes)"
"$PY" examples/agent_demo.py --ui-url "http://127.0.0.1:$PORT/" --episodes "$EPISODES" \
  --screenshot "$ROOT/demo-screenshot.png" "${AGENT_ARGS[@]}"
