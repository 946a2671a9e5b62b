#!/usr/bin/env bash
# Builds the engine and the Python package, then runs every C++ and Python test.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
# Paths relative to the checkout in ccache's keys, so that any clone of it reuses the cache.
export CCACHE_BASEDIR="$root"

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j 2

bash scripts/install_package.sh
status=0
[ -d tests/python ] && { python -m pytest -q tests/python || status=$?; }
# pytest's 5 means no test was collected: that is not a failure of the tests that exist.
if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then exit "$status"; fi
