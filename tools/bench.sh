#!/usr/bin/env bash
# The performance benchmarks, with what they need: builds the C++ benchmarks,
# the floor reader and the Python modules of this checkout (into build/bench,
# found through PYTHONPATH, so the shared interpreter's installed package is
# neither used nor replaced), runs everything on this machine and writes the
# table into docs/performance.md. Not part of the tests.
#   bench.sh           the whole run, 3 rounds (about 10 minutes on 2 cores)
#   bench.sh --quick   1 round of shorter streams, to try a change
#   bench.sh --counts  instructions per frame by stage under callgrind
#                      (bench/counts.py, about 2 minutes): its own table
#   bench.sh --smoke   a short form of both, nothing written (tools/ci.sh bench)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh --build
python3 -c 'import serial' 2>/dev/null || python3 -m pip install -q pyserial
mode=${1:-}
case "$mode" in
  --counts | --smoke) command -v valgrind >/dev/null || {
    echo "valgrind not found: bash tools/install-deps.sh installs it" >&2
    exit 1
  } ;;
esac
[ "$mode" = --counts ] || command -v perf >/dev/null || echo "perf not found: the system call rows will fail" >&2
# The modules are built for the interpreter that runs bench/performance.py.
cmake --preset bench -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build --preset bench -j"$(nproc)"
export PYTHONPATH="$PWD/build/bench${PYTHONPATH:+:$PYTHONPATH}"
case "$mode" in
  --counts) python3 bench/counts.py --write ;;
  --smoke)
    build/bench/bench/bench_protocols >/dev/null
    python3 bench/performance.py --smoke
    python3 bench/counts.py --smoke
    python3 bench/bench_record.py --quick
    ;;
  *)
    uptime
    build/bench/bench/bench_protocols
    python3 bench/performance.py "$@"
    uptime
    ;;
esac
