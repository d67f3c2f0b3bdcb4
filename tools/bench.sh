#!/usr/bin/env bash
# The performance benchmarks, with what they need: builds the C++ benchmarks,
# the floor reader and the Python modules of this checkout (into build/bench,
# found through PYTHONPATH, so the shared interpreter's installed package is
# neither used nor replaced), runs everything on this machine and writes the
# table into docs/performance.md. Not part of the tests.
#   bench.sh           the whole run, 3 rounds (about 10 minutes on 2 cores)
#   bench.sh --quick   1 round of shorter streams, to try a change
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --build
python3 -c 'import serial' 2>/dev/null || python3 -m pip install -q pyserial
command -v perf >/dev/null || echo "perf not found: the system call rows will fail" >&2
# The modules are built for the interpreter that runs bench/performance.py.
cmake --preset bench -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build --preset bench -j"$(nproc)"
uptime
build/bench/bench/bench_protocols
PYTHONPATH="$PWD/build/bench${PYTHONPATH:+:$PYTHONPATH}" python3 bench/performance.py "$@"
uptime
