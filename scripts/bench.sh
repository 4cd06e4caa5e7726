#!/usr/bin/env bash
# Sets up .venv, builds and installs the extension, runs the benchmark suite:
# prints the table and writes benchmarks/results.json. Arguments go to the
# suite (scripts/bench.sh --quick, --json PATH, --skip SECTION; see --help).
# With SIMULATE_SIGNAL_BUILD set (a development build's pkg directory), the
# suite measures that build instead of the installed one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-env.sh
exec .venv/bin/python -m benchmarks "$@"
