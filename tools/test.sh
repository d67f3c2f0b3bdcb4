#!/usr/bin/env bash
# Every test of the project, from a fresh machine: installs what is missing,
# checks the Python code with ruff (lint and format) and the C++ code with
# clang-format and clang-tidy (names), builds with warnings as
# errors, runs the C++ tests, the Python tests (the
# module's, feltwise.Sensor's and the feltwise tools'), builds the manylinux
# wheels and the sdist and installs and tries each (the aarch64 ones under
# emulation, the documentation's examples checked by mypy --strict against
# them), runs the README's main job,
# installs the C++ package and builds a program against it, cross-builds
# the library for Windows and runs its port, protocol and comms tests under
# Wine, fuzzes every fuzz target for half a minute, and runs the tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer (C++ and Python) and
# ThreadSanitizer (the C++ concurrency tests).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash tools/install-deps.sh

echo "== Python lint and format (ruff; settings in pyproject.toml)"
python3 -m ruff check python tests/python tools bench
python3 -m ruff format --check python tests/python tools bench

echo "== C++ format (clang-format; settings in .clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== C++ names (clang-tidy; settings in .clang-tidy)"
cmake -S . -B build/tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DFELTWISE_BUILD_PYTHON=ON \
  -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
run-clang-tidy -p build/tidy -quiet -j"$jobs" >build/tidy/names.log 2>&1 || {
  grep -E "warning:|error:" build/tidy/names.log
  exit 1
}

echo "== build"
cmake -S . -B build/test -DFELTWISE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/test -j"$jobs"

echo "== example parameter files"
python3 tools/make_example_params.py --check

echo "== C++ tests"
(cd build/test && ctest --output-on-failure -j"$jobs")

echo "== Python module"
python3 -m pip install -q .
echo "== Python tests (the module, feltwise.Sensor, the simulated sensor, the feltwise tools)"
python3 -m pytest -q tests/python

echo "== the wheels: tools/build-wheels.sh (CPython 3.9-3.13, x86_64 and aarch64, and the sdist),"
echo "   then tools/test-wheels.sh installs and tries each (aarch64 under emulation)"
wheel_start=$SECONDS
bash tools/build-wheels.sh
bash tools/test-wheels.sh
echo "wheel step: $((SECONDS - wheel_start)) s"

echo "== the README's main job: bash tools/demo.sh"
bash tools/demo.sh

echo "== the installed C++ package: tools/test-cmake-package.sh builds a program against it"
bash tools/test-cmake-package.sh

echo "== Windows cross-build"
cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DFELTWISE_WERROR=ON >/dev/null
cmake --build build/mingw -j"$jobs"

echo "== Windows tests under Wine"
bash tools/test-windows.sh

echo "== fuzz smoke run: every target, 30 s each"
bash fuzz/run.sh 30

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
bash tools/sanitize.sh address

echo "== ThreadSanitizer"
bash tools/sanitize.sh thread
