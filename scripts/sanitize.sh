#!/usr/bin/env bash
# Builds the engine, the C++ tests and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build folder (build/asan), then runs the C++ tests and the
# Python tests under them. Every sanitizer report stops the process that meets it with an error, so
# any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
# Paths relative to the checkout in ccache's keys, so that any clone of it reuses the cache.
export CCACHE_BASEDIR="$root"

build=build/asan
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g" \
    -DCMAKE_CXX_FLAGS="$sanitizers" -DMESHVOLT_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
cmake --build "$build" -j 2

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 ctest --test-dir "$build" --output-on-failure -j 2

# The sanitized module beside the package's Python files, found before the installed package. The
# interpreter is not built with the sanitizers: their runtimes are loaded first, and leaks are not
# looked for (the interpreter keeps much of its memory until exit on purpose).
site="$root/$build/site"
rm -rf "$site"
mkdir -p "$site/meshvolt"
cp src/meshvolt/*.py "$site/meshvolt/"
cp "$build"/src/meshvolt/ohmweave/ohmweave*.so "$site/meshvolt/"
export LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1
PYTHONPATH="$site" python - "$site" <<'PY'
import sys
from meshvolt import ohmweave
assert ohmweave.__file__.startswith(sys.argv[1]), ohmweave.__file__
PY
PYTHONPATH="$site" python -m pytest -q -p no:cacheprovider tests/python
