#!/usr/bin/env bash
# Builds and installs the meshvolt package into the project's virtual environment, reusing the
# build folder so that an edit rebuilds only what changed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/.venv/bin/python" -m pip install -q --no-build-isolation --no-deps . -Cbuild-dir=build/python
