#!/usr/bin/env bash
# Installs whatever is missing on a Debian/Ubuntu machine, builds the module for CPython and PyPy,
# and runs the native codec tests, the short fuzz runs and the whole Python test suite on both
# interpreters, then once more on CPython against a sanitizer build. Exits non-zero if anything
# fails.
#
#   bash scripts/test.sh               everything
#   bash scripts/test.sh --setup-only  packages, virtual environments and module builds only
#   bash scripts/test.sh --sanitize    only the CPython suite against a build with AddressSanitizer
#                                      and UndefinedBehaviorSanitizer (in .venv/asan)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SETUP_ONLY=0
SANITIZE_ONLY=0
case "${1:-}" in
  --setup-only) SETUP_ONLY=1 ;;
  --sanitize) SANITIZE_ONLY=1 ;;
  "") ;;
  *) echo "unknown option: $1" >&2; exit 2 ;;
esac

APT_PACKAGES=(libboost1.81-dev pypy3 pypy3-dev pypy3-venv libgtest-dev clang libclang-rt-14-dev ccache
              python3-dev python3-venv chromium xvfb)

step() { printf '\n==> %s\n' "$*"; }

missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# python3-dev/-venv only matter for a Debian python3; a python3 that can make venvs needs neither.
if python3 -c 'import venv, sysconfig, os; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
  missing=("${missing[@]/python3-dev}"); missing=("${missing[@]/python3-venv}")
fi
read -r -a missing <<<"${missing[*]}"
if ((${#missing[@]})); then
  step "installing system packages: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null \
    || { echo "apt-get install failed"; exit 1; }
fi

make_venv() {  # name interpreter numpy-spec
  local dir=".venv/$1"
  if [ ! -x "$dir/bin/python" ]; then
    step "creating $dir with $2"
    "$2" -m venv "$dir" || return 1
  fi
  # websockets: the pure-Python baseline engine, which tests/test_bench_engines.py checks against the module.
  # psutil: the tests' look at their own process tree (psutil 6 and later do not load on PyPy 3.9).
  # pytest-asyncio runs the async tests and pytest-timeout guards them; both releases load on Python 3.9.
  "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    "$3" pytest "pytest-asyncio>=1.1,<2" "pytest-timeout>=2.1" websockets "scikit-build-core>=0.8" "cmake>=3.24" ninja \
    "psutil; platform_python_implementation == 'CPython'" "psutil<6; platform_python_implementation == 'PyPy'" \
    || return 1
}

build_into() {  # name
  step "building py_engine_rust for $1"
  .venv/$1/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --force-reinstall . || return 1
}

# The interpreter is not instrumented: the ASan runtime is preloaded (with libstdc++, whose
# exception entry points it must find at start-up), leaks are not reported (CPython itself leaks
# at exit), and an allocation that fails raises as in a normal build. Reports go to files, so
# that one from a process that dies inside a test (whose output pytest holds) is still seen.
run_sanitized() {
  step "building py_engine_rust with AddressSanitizer and UndefinedBehaviorSanitizer"
  make_venv asan python3 "numpy>=2" || return 1
  .venv/asan/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --force-reinstall -C cmake.define.ENGINE_SANITIZE=address,undefined -C cmake.build-type=RelWithDebInfo \
    -C "build-dir=build/asan/{wheel_tag}" . || return 1
  local asan stdcxx reports="$ROOT/build/asan/reports" rc=0
  asan=$("${CXX:-c++}" -print-file-name=libasan.so)
  stdcxx=$("${CXX:-c++}" -print-file-name=libstdc++.so)
  [ -f "$asan" ] && [ -f "$stdcxx" ] || { echo "libasan.so or libstdc++.so not found"; return 1; }
  rm -rf "$reports" && mkdir -p "$reports"
  step "pytest on cpython under AddressSanitizer and UndefinedBehaviorSanitizer"
  (cd "$ROOT/tests" && LD_PRELOAD="$asan $stdcxx" \
     ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=16:log_path=$reports/asan" \
     UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
     "$ROOT/.venv/asan/bin/python" -m pytest -q -p no:cacheprovider .) || rc=1
  if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:"
    cat "$reports"/*
    rc=1
  fi
  return $rc
}

failures=()
if [ $SANITIZE_ONLY = 1 ]; then
  run_sanitized || { echo "FAILED: sanitizer run"; exit 1; }
  echo "sanitizer run passed"
  exit 0
fi
make_venv cpython python3 "numpy>=2" && build_into cpython || failures+=("cpython build")
# What `pip install ".[gym]"` adds (Gymnasium, Playwright), read from pyproject.toml. Playwright drives
# Debian's Chromium (never `playwright install`). The browser tests (tests/e2e, tests/gym) skip on an
# interpreter where these do not install.
# One requirement a line: some carry environment markers, which have spaces.
GYM_EXTRA_LINES=$(.venv/cpython/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["gym"]))') \
  || failures+=("reading the gym extra")
mapfile -t GYM_EXTRA <<<"${GYM_EXTRA_LINES:-}"
.venv/cpython/bin/python -m pip install -q --disable-pip-version-check "${GYM_EXTRA[@]}" || failures+=("gym extra (cpython)")
# The ray and rllib extras (the Ray worker and RLlib tests in tests/gym), on CPython only: Ray has no PyPy
# build. RLlib brings the Gymnasium release it pins, which the environment tests then run against.
mapfile -t RAY_EXTRA < <(.venv/cpython/bin/python -c 'import tomllib; extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]; print("\n".join(extras["ray"] + extras["rllib"]))')
.venv/cpython/bin/python -m pip install -q --disable-pip-version-check "${RAY_EXTRA[@]}" || failures+=("ray extra (cpython)")
# The data extra (candle files, reports, replay videos), read from pyproject.toml likewise; its tests in tests/gym
# skip where it does not install.
mapfile -t DATA_EXTRA < <(.venv/cpython/bin/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["data"]))')
.venv/cpython/bin/python -m pip install -q --disable-pip-version-check "${DATA_EXTRA[@]}" || failures+=("data extra (cpython)")
make_venv pypy pypy3 "numpy==1.26.*" && build_into pypy || failures+=("pypy build")
if [ -x .venv/pypy/bin/python ] && ! .venv/pypy/bin/python -m pip install -q --disable-pip-version-check "${GYM_EXTRA[@]}"; then
  echo "note: the gym extra does not install on PyPy; tests/gym skips there"
fi
if [ $SETUP_ONLY = 1 ]; then
  ((${#failures[@]})) && { echo "FAILED: ${failures[*]}"; exit 1; }
  exit 0
fi

step "native codec tests and fuzz runs"
bash scripts/native-tests.sh || failures+=("native tests")

for name in cpython pypy; do
  [[ " ${failures[*]} " == *" $name build "* ]] && continue
  step "pytest on $name"
  (cd "$ROOT/tests" && "$ROOT/.venv/$name/bin/python" -m pytest -q -p no:cacheprovider .) || failures+=("pytest $name")
done
# About two and a half minutes with a warm compiler cache: part of every run.
run_sanitized || failures+=("sanitizer run")

echo
if ((${#failures[@]})); then
  echo "FAILED: ${failures[*]}"
  exit 1
fi
echo "all builds and tests passed on CPython and PyPy"
