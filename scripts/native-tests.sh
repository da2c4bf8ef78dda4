#!/usr/bin/env bash
# Native unit tests (GoogleTest, Release: wire format, WebSocket parser, exchange rules, upgrade
# decision, async lock and signal) and short libFuzzer runs under AddressSanitizer +
# UndefinedBehaviorSanitizer. Exits non-zero on any failure.
#   FUZZ_RUNS=N  iterations per fuzz target (default 200000)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

BUILD=build/native-tests
FUZZ_RUNS="${FUZZ_RUNS:-200000}"
JOBS=2  # the machine is shared

# Both are options of the root build (ccache is used there when present), each in a directory of
# its own: the fuzzers need clang++, and instrument all they compile.
echo "== unit tests"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DENGINE_PYTHON_MODULE=OFF -DENGINE_NATIVE_TESTS=ON
cmake --build "$BUILD" -j "$JOBS" --target native_tests
ctest --test-dir "$BUILD" --output-on-failure --progress

echo "== fuzz targets"
CLANGXX="${CLANGXX:-$(command -v clang++ || command -v clang++-14 || true)}"
if [[ -z "$CLANGXX" ]]; then
  echo "clang++ not found: cannot build the fuzz targets" >&2
  exit 1
fi

FUZZ_BUILD=build/fuzz
mkdir -p "$FUZZ_BUILD/artifacts"
# No build type: the fuzzers' own -O1 -g, and assertions stay in.
cmake -S . -B "$FUZZ_BUILD" -DCMAKE_CXX_COMPILER="$CLANGXX" -DCMAKE_BUILD_TYPE= \
  -DENGINE_PYTHON_MODULE=OFF -DENGINE_FUZZERS=ON
cmake --build "$FUZZ_BUILD" -j "$JOBS" --target fuzz_payload fuzz_frame fuzz_wsparser

# libFuzzer adds new inputs to its first corpus directory: give it a scratch
# copy so the committed seeds stay as they are.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
for target in fuzz_payload fuzz_frame fuzz_wsparser; do
  runs=$FUZZ_RUNS
  # Every input with the large-message bit parses a megabyte twice: fewer runs for this target.
  [[ $target == fuzz_wsparser ]] && runs=$((FUZZ_RUNS / 10))
  echo "-- $target: $runs runs"
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  # The fuzzer's progress log is long; it is shown only when the run fails.
  if ! "$FUZZ_BUILD/$target" -runs="$runs" -max_len=4096 -seed=1 \
      -artifact_prefix="$FUZZ_BUILD/artifacts/$target-" "$scratch/$target" >"$scratch/$target.log" 2>&1; then
    cat "$scratch/$target.log"
    exit 1
  fi
  tail -n 1 "$scratch/$target.log"
done

echo "== all native tests passed"
