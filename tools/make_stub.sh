#!/usr/bin/env bash
# Regenerates python/feltwise_comm_py.pyi from the installed module.
# Run after changing the binding (and `pip install .`).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
python3 -m pybind11_stubgen feltwise_comm_py -o "$out"
cp "$out/feltwise_comm_py.pyi" python/feltwise_comm_py.pyi
rm -r "$out"
