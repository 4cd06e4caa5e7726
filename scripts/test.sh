#!/usr/bin/env bash
# Sets up .venv, builds and installs the extension, runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-env.sh
exec .venv/bin/python -m pytest "$@"
