#!/usr/bin/env bash
# The main job, on a fresh machine and without hardware: installs what the
# build needs, builds and installs the module and the feltwise tools with
# pip, starts a simulated sensor with an example parameter file, connects,
# zeroes and streams calibrated samples for a few seconds.
# Safe without a terminal: the live view then prints plain lines.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh --build
echo "== building and installing (pip install .)"
python3 -m pip install -q .
echo "== streaming from a simulated sensor"
# python3 -m rather than the feltwise script: pip may put scripts in a
# directory that is not on PATH.
python3 -m feltwise stream --simulate --params examples/params/mixed_pad.msgpack --zero --duration "${1:-5}"
