#!/usr/bin/env bash
# Creates the virtual environment of one CPython version, installs the build
# and test dependencies from PyPI, and builds and installs the extension into it.
#
#   scripts/setup-env.sh                            # CPython 3.12 in .venv
#   SIMULATE_SIGNAL_PYTHON=3.13 scripts/setup-env.sh  # CPython 3.13 in .venv-3.13
#
# The interpreter is PYTHON312=... (PYTHON313=..., ...) when given, else
# python3.12 (or python3) on the PATH, else the newest pyenv install of it.
# Each version builds in its own directory, build/env-<version>. The set-up's
# output goes to stderr; the last line on stdout is the environment's directory.
# Run by scripts/test.sh, scripts/demo.sh and the other scripts.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

version=${SIMULATE_SIGNAL_PYTHON:-3.12}
[[ $version =~ ^3\.[0-9]+$ ]] || {
    echo "SIMULATE_SIGNAL_PYTHON=$version: expected a CPython version such as 3.12 or 3.13" >&2
    exit 1
}
if [ "$version" = 3.12 ]; then venv=.venv; else venv=.venv-$version; fi

is_version() {  # is_version PYTHON: it runs and is CPython $version (with the GIL)
    "$1" -c "import sys, sysconfig; sys.exit(sys.implementation.name != 'cpython' or
             sys.version_info[:2] != tuple(map(int, '$version'.split('.'))) or
             bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" 2>/dev/null
}

find_python() {
    local var="PYTHON${version/./}" candidate root
    for candidate in "${!var:-}" "python$version" python3; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 && is_version "$candidate"; then
            command -v "$candidate"; return 0
        fi
    done
    root=$( (command -v pyenv >/dev/null && pyenv root) || echo "$HOME/.pyenv")
    for candidate in $(ls -d "$root"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r); do
        is_version "$candidate" && { echo "$candidate"; return 0; }
    done
    echo "CPython $version not found: put python$version on PATH, install it with pyenv or set $var" >&2
    return 1
}

{
    if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python"; then
        python=$(find_python)
        rm -rf "$venv"
        "$python" -m venv "$venv"
    fi
    pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
    "${pip[@]}" -r requirements-dev.txt
    "${pip[@]}" --no-build-isolation --no-deps --config-settings=build-dir="build/env-$version" .
} >&2
echo "$venv"
