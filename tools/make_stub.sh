#!/usr/bin/env bash
# Regenerates the type stubs of the extension modules from the installed ones:
# python/feltwise_comm_py.pyi and python/feltwise/_native.pyi.
# Run after changing a binding (and `pip install .`).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
python3 -m pybind11_stubgen feltwise_comm_py -o "$out"
python3 -m pybind11_stubgen feltwise._native -o "$out"
cp "$out/feltwise_comm_py.pyi" python/feltwise_comm_py.pyi
cp "$out/feltwise/_native.pyi" python/feltwise/_native.pyi
rm -r "$out"
