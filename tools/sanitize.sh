#!/usr/bin/env bash
# The sanitizer builds of the test run, each in a build directory of its own.
#
#   tools/sanitize.sh address   AddressSanitizer + UndefinedBehaviorSanitizer over every
#                               C++ test, then over the Python tests: the module built
#                               the same way and loaded into the ordinary interpreter
#                               with the sanitizer runtime preloaded
#   tools/sanitize.sh thread    ThreadSanitizer over the C++ tests labelled concurrency
#
# Every report aborts the process that made it, so it fails its test. There
# are no suppressions: nothing reported so far came from third-party code.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: tools/sanitize.sh address|thread}
jobs=$(nproc)

# -O1 keeps the builds quick and the stacks readable; the sanitizers find the
# same faults as at -O2.
common=(-DCMAKE_BUILD_TYPE= "-DCMAKE_CXX_FLAGS=-O1 -g" -DFELTWISE_WERROR=ON -DFELTWISE_BUILD_BENCH=OFF)

case "$mode" in
address)
  dir=build/asan
  python=$(python3 -c 'import sys; print(sys.executable)')
  cmake -S . -B "$dir" "${common[@]}" -DFELTWISE_SANITIZE=address,undefined \
        -DFELTWISE_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" \
        -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >/dev/null
  cmake --build "$dir" -j"$jobs"

  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  (cd "$dir" && ASAN_OPTIONS=detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
     ctest --output-on-failure -j"$jobs")

  echo "== Python tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  # The interpreter is not instrumented, so the runtime must be in the process
  # before anything else: preloaded. libstdc++ is preloaded with it because
  # the runtime looks up the C++ functions it intercepts (__cxa_throw) when it
  # starts, and the interpreter does not load libstdc++ until the module
  # comes: without it the first C++ exception aborts. PYTHONMALLOC=malloc
  # sends Python's own objects through the instrumented allocator too. Leak
  # checking stays off here: CPython does not free its interned objects and
  # module state at exit and would drown the report; the C++ tests check our
  # code for leaks.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  export PYTHONMALLOC=malloc PYTHONPATH=$PWD/$dir
  export ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1
  module=$(python3 -c 'import feltwise_comm_py; print(feltwise_comm_py.__file__)')
  case "$module" in
    "$PWD/$dir"/*) ;;
    *) echo "the sanitized module is not the one imported: $module" >&2; exit 1 ;;
  esac
  # The feltwise tools' tests run the library in child processes through
  # matplotlib and numpy; the module's own tests cover the library here.
  python3 -m pytest -q -p no:cacheprovider tests/python --ignore=tests/python/tools
  ;;
thread)
  dir=build/tsan
  cmake -S . -B "$dir" "${common[@]}" -DFELTWISE_SANITIZE=thread >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== C++ concurrency tests under ThreadSanitizer"
  (cd "$dir" && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
     ctest --output-on-failure -j"$jobs" -L concurrency)
  ;;
*)
  echo "usage: tools/sanitize.sh address|thread" >&2
  exit 2
  ;;
esac
