#!/usr/bin/env bash
# Builds meshvolt and solves the examples: a low-voltage feeder, then a 20/0.4 kV transformer
# feeding one.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/install_package.sh
"$root/.venv/bin/python" examples/lv_feeder.py
"$root/.venv/bin/python" examples/mv_lv_transformer.py
