#!/usr/bin/env bash
# Installs what meshvolt needs to build and test, and nothing when everything is present.
# Quiet on success; names the failing step otherwise. Safe to run again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$root/.venv"
log=$(mktemp)
trap 'rm -f "$log"' EXIT

fail() {
    echo "setup: $1 failed" >&2
    cat "$log" >&2
    exit 1
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_packages=(g++ make ccache libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev)
missing=()
for p in "${apt_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq >"$log" 2>&1 || fail "apt-get update"
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >"$log" 2>&1 \
        || fail "apt-get install ${missing[*]}"
fi

# The Python side: a virtual environment of the project with the build and test tools.
python=${PYTHON:-python3}
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >"$log" 2>&1 || fail "creating the virtual environment"
fi
# CppAD comes as the cmeel-cppad wheel (headers, library and CMake files under cmeel.prefix in
# site-packages); the version is pinned here and in pyproject.toml.
cppad_pin="cmeel-cppad==20250000.2"
if ! "$venv/bin/python" - "$cppad_pin" >/dev/null 2>&1 <<'PY'
import sys
from importlib.metadata import version
import numpy, scipy, pytest, scikit_build_core, cmake, ninja, pathspec
name, pinned = sys.argv[1].split("==")
sys.exit(0 if int(numpy.__version__.split(".")[0]) >= 2 and version(name) == pinned else 1)
PY
then
    "$venv/bin/python" -m pip install -q --upgrade pip >"$log" 2>&1 || fail "pip upgrade"
    "$venv/bin/python" -m pip install -q "numpy>=2,<3" scipy pytest "scikit-build-core>=0.10" \
        cmake ninja pathspec "$cppad_pin" >"$log" 2>&1 || fail "pip install of the Python tools"
fi
