#!/usr/bin/env bash
# Sets up the environment (scripts/setup-env.sh: .venv with CPython 3.12, or
# .venv-3.13 with SIMULATE_SIGNAL_PYTHON=3.13), builds and installs the
# extension, runs the demo. The arguments go to examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$(scripts/setup-env.sh | tail -1)
exec "$venv/bin/python" examples/demo.py "$@"
