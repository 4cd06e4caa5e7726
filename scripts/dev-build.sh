#!/usr/bin/env bash
# Incremental development build into build/dev-<name> (default: build/dev).
# Tests pick it up with SIMULATE_SIGNAL_BUILD=<dir>/pkg (see tests/conftest.py).
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-dev}
shift || true
py=${PYTHON:-.venv/bin/python}
dir=build/dev-$name
mkdir -p build
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
        -DPython_EXECUTABLE="$(cd "$(dirname "$py")" && pwd)/$(basename "$py")" "$@" >"$dir.configure.log" || { cat "$dir.configure.log"; rm -rf "$dir"; exit 1; }
fi
cmake --build "$dir" -j2
echo "$PWD/$dir/pkg"
