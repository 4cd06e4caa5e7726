#!/usr/bin/env bash
# Builds the extension with Clang and libc++ (the toolchain of macOS, here
# Debian's) into build/dev-clang-libcxx and runs the whole suite against that
# build on CPython 3.12. Installs clang, libc++-dev and libc++abi-dev from
# Debian's packages when they are missing and this runs as root (CI does);
# elsewhere it says what to install. Arguments go to pytest.
#
#   scripts/test-clang.sh -q
set -euo pipefail
cd "$(dirname "$0")/.."

has_libcxx() {
    command -v clang++ >/dev/null 2>&1 &&
        echo '#include <version>' | clang++ -stdlib=libc++ -x c++ -E - >/dev/null 2>&1
}
if ! has_libcxx; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "== installing clang, libc++-dev and libc++abi-dev" >&2
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libc++-dev libc++abi-dev >&2
    else
        echo "Clang with libc++ is needed: install clang, libc++-dev and libc++abi-dev" >&2
        exit 1
    fi
fi

echo "== Clang and libc++: setting up CPython 3.12"
venv=$(scripts/setup-env.sh | tail -1)
echo "== Clang and libc++: building ($(clang++ --version | head -1))"
pkg=$(CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ \
      PYTHON="$venv/bin/python" scripts/dev-build.sh clang-libcxx | tail -1)
echo "== Clang and libc++: running the tests ($pkg)"
SIMULATE_SIGNAL_BUILD="$pkg" "$venv/bin/python" -m pytest "$@"
echo "== Clang and libc++: tests passed"
