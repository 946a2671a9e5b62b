#!/usr/bin/env bash
# Builds meshvolt and solves the example low-voltage feeder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/install_package.sh
"$root/.venv/bin/python" examples/lv_feeder.py
