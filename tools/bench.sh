#!/usr/bin/env bash
# The performance benchmarks, with what they need: builds the C++ benchmarks,
# installs the module and pyserial (the baseline), runs everything on this
# machine and writes docs/performance.md. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
python3 -c 'import serial' 2>/dev/null || python3 -m pip install -q pyserial
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DFELTWISE_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j"$(nproc)"
python3 -m pip install -q .
build/bench/bench/bench_protocols
python3 bench/performance.py
