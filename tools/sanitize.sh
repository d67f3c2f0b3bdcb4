#!/usr/bin/env bash
# The sanitizer builds of the test run: the presets asan and tsan of
# CMakePresets.json (build/asan, build/tsan; -O1 -g, warnings as errors).
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

case "$mode" in
address)
  dir=build/asan
  python=$(python3 -c 'import sys; print(sys.executable)')
  # The module is built for the interpreter that runs the tests below.
  cmake --preset asan -DPython_EXECUTABLE="$python" >/dev/null
  cmake --build --preset asan -j"$jobs"

  echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
  ctest --preset asan -j"$jobs"  # its ASAN_OPTIONS and UBSAN_OPTIONS are the preset's

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
  export ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
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
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j"$jobs"
  echo "== C++ concurrency tests under ThreadSanitizer"
  ctest --preset tsan -j"$jobs"  # the tests labelled concurrency, with the preset's TSAN_OPTIONS
  ;;
*)
  echo "usage: tools/sanitize.sh address|thread" >&2
  exit 2
  ;;
esac
