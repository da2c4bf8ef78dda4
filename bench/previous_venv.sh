#!/usr/bin/env bash
# Builds an earlier revision of the module and its Gymnasium package into a virtual environment of its
# own, so that a benchmark can run it beside the current tree in one run.
#
#   bash bench/previous_venv.sh REV [DIR]     DIR defaults to .venv/previous
#
# The revision is checked out in a temporary git worktree, built with the CPython of .venv/cpython's
# base interpreter, and installed with what the Gymnasium benchmark needs (NumPy, Gymnasium,
# Playwright, psutil). Prints the interpreter's path at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
REV=${1:?usage: bash bench/previous_venv.sh REV [DIR]}
DIR=${2:-.venv/previous}
SRC=$(mktemp -d)
trap 'git worktree remove --force "$SRC" >/dev/null 2>&1 || rm -rf "$SRC"' EXIT
git worktree add --detach "$SRC" "$REV" >/dev/null
[ -x "$DIR/bin/python" ] || python3 -m venv "$DIR"
"$DIR/bin/python" -m pip install -q --disable-pip-version-check "numpy>=2" "gymnasium>=1.1" "playwright>=1.40" psutil \
  "scikit-build-core>=0.8" "cmake>=3.24" ninja
"$DIR/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --force-reinstall \
  -C "build-dir=$PWD/build/previous/{wheel_tag}" "$SRC"
echo "$PWD/$DIR/bin/python"
