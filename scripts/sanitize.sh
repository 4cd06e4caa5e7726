#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/dev-asan-<version>) and runs the whole test suite against that build, with the
# sanitizer runtimes preloaded into the interpreter. Any report fails the run.
# Slower than the normal suite; not part of every CI run.
#
# SKIP_SETUP=1 uses the existing environment as it is (no scripts/setup-env.sh).
# SIMULATE_SIGNAL_PYTHON=3.13 runs it on CPython 3.13 (.venv-3.13) instead of 3.12.
# Extra arguments go to pytest (e.g. a test file, -x).
set -euo pipefail
cd "$(dirname "$0")/.."
version=${SIMULATE_SIGNAL_PYTHON:-3.12}
if [ -z "${SKIP_SETUP:-}" ]; then
    venv=$(SIMULATE_SIGNAL_PYTHON=$version scripts/setup-env.sh | tail -1)
elif [ "$version" = 3.12 ]; then
    venv=.venv
else
    venv=.venv-$version
fi
pkg=$(PYTHON="$venv/bin/python" BUILD_TYPE=RelWithDebInfo \
      scripts/dev-build.sh "asan-$version" -DSIMULATE_SIGNAL_SANITIZE=ON | tail -1)
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
# libstdc++ must be loaded when the ASan runtime starts, or its interceptor of
# __cxa_throw finds nothing to forward to and the first C++ exception stops
# the process.
stdcxx=$(g++ -print-file-name=libstdc++.so)
log=build/sanitizer-reports
rm -rf "$log"; mkdir -p "$log"
# CPython keeps memory at exit by design: leak detection is off.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$PWD/$log/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$log/ubsan"
export PYTHONMALLOC=malloc
status=0
LD_PRELOAD="$asan $stdcxx $ubsan" SIMULATE_SIGNAL_BUILD="$pkg" SIMULATE_SIGNAL_SANITIZED=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=$?
if compgen -G "$log/*" >/dev/null; then
    echo "sanitizer reports:"; cat "$log"/*; exit 1
fi
exit $status
