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

apt_packages=(g++ make curl ca-certificates ccache libeigen3-dev libspdlog-dev libfmt-dev libgtest-dev)
missing=()
for p in "${apt_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
apt_updated=0
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq >"$log" 2>&1 || fail "apt-get update"
    apt_updated=1
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >"$log" 2>&1 \
        || fail "apt-get install ${missing[*]}"
fi

# CppAD is not packaged for this Debian release; the previous release's build installs and
# works. It is fetched from the Debian mirror apt is already configured with.
cppad_version=2021.00.00.5-1
if ! dpkg -s libcppad-dev >/dev/null 2>&1; then
    mirror=$(grep -hE '^\s*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
                 | awk '{print $2}' | grep -v -- '-security' | head -n 1 || true)
    if [ -z "$mirror" ]; then
        mirror=$(grep -hE '^\s*deb\s' /etc/apt/sources.list 2>/dev/null \
                     | awk '{print $2}' | grep -v -- '-security' | head -n 1 || true)
    fi
    [ -n "$mirror" ] || { echo "setup: no Debian mirror found in the apt configuration" >&2; exit 1; }
    arch=$(dpkg --print-architecture)
    tmp=$(mktemp -d)
    for pkg in libcppad-lib340.3 libcppad-dev; do
        curl -fsSL -o "$tmp/${pkg}.deb" "${mirror%/}/pool/main/c/cppad/${pkg}_${cppad_version}_${arch}.deb" \
            >"$log" 2>&1 || fail "download of $pkg"
    done
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$tmp/libcppad-lib340.3.deb" \
        "$tmp/libcppad-dev.deb" >"$log" 2>&1 || fail "install of CppAD"
    rm -rf "$tmp"
fi

# The Python side: a virtual environment of the project with the build and test tools.
python=${PYTHON:-python3}
if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv" >"$log" 2>&1 || fail "creating the virtual environment"
fi
if ! "$venv/bin/python" -c 'import numpy, scipy, pytest, scikit_build_core, cmake, ninja, pathspec
import sys; sys.exit(0 if int(numpy.__version__.split(".")[0]) >= 2 else 1)' >/dev/null 2>&1; then
    "$venv/bin/python" -m pip install -q --upgrade pip >"$log" 2>&1 || fail "pip upgrade"
    "$venv/bin/python" -m pip install -q "numpy>=2,<3" scipy pytest "scikit-build-core>=0.10" \
        cmake ninja pathspec >"$log" 2>&1 || fail "pip install of the Python tools"
fi
