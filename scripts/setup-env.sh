#!/usr/bin/env bash
# Creates .venv with CPython 3.12, installs the build and test dependencies
# from PyPI, and builds and installs the extension into it.
# Sourced by scripts/test.sh and scripts/demo.sh.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

find_python312() {
    local candidate
    for candidate in "${PYTHON312:-}" python3.12 python3; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            command -v "$candidate"; return 0
        fi
    done
    local root
    root=$( (command -v pyenv >/dev/null && pyenv root) || echo "$HOME/.pyenv")
    for candidate in $(ls -d "$root"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do
        "$candidate" -c 'import sys' 2>/dev/null && { echo "$candidate"; return 0; }
    done
    echo "CPython 3.12 not found: put python3.12 on PATH or install it with pyenv" >&2
    return 1
}

VENV=${VENV:-.venv}
if [ ! -x "$VENV/bin/python" ] ||
   ! "$VENV/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
    rm -rf "$VENV"
    "$(find_python312)" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
"$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
