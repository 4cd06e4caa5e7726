#!/usr/bin/env bash
# Runs the whole test suite on each supported CPython in turn, 3.12 then 3.13,
# each in its own environment (scripts/setup-env.sh builds and installs the
# extension there). Stops at the first version that fails, with pytest's exit
# status: non-zero when a test fails, 5 when none ran.
#
#   scripts/test.sh                               # 3.12, then 3.13
#   SIMULATE_SIGNAL_PYTHONS="3.13" scripts/test.sh -k wiring
#
# The arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
versions=(${SIMULATE_SIGNAL_PYTHONS:-3.12 3.13})
[ ${#versions[@]} -gt 0 ] || { echo "SIMULATE_SIGNAL_PYTHONS names no version" >&2; exit 1; }
for version in "${versions[@]}"; do
    echo "== CPython $version: setting up"
    venv=$(SIMULATE_SIGNAL_PYTHON=$version scripts/setup-env.sh | tail -1)
    echo "== CPython $version: running the tests ($venv)"
    status=0
    "$venv/bin/python" -m pytest "$@" || status=$?
    if [ $status -ne 0 ]; then
        echo "== CPython $version: tests FAILED (pytest exit status $status)" >&2
        exit $status
    fi
    echo "== CPython $version: tests passed"
done
