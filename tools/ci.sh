#!/usr/bin/env bash
# The stages of the test run, each runnable alone by name:
#   tools/ci.sh STAGE...   those stages, in the order given
#   tools/ci.sh all        every stage, in the order of --list (tools/test.sh)
#   tools/ci.sh --list     the stages, one line each
# A stage that needs a build makes it from its preset in CMakePresets.json
# (build/PRESET), so it runs on a fresh clone too; within one run each preset
# is configured once. The deps stage installs what the others need: on a
# fresh machine, name it first. Each stage ends with its duration, the run
# with a table of them (also when a stage fails, which ends the run).
#   CI_JOBS (default: the number of processors) jobs of the tidy, build and
#   ctest stages; the scripts the others run take one per processor
#   CI_FUZZ_SECONDS (default 30) how long the fuzz stage runs each target
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CI_JOBS:-$(nproc)}

stages=(deps lint format tidy build example-params ctest python ros2 wheels demo cmake-package windows fuzz asan tsan bench)
declare -A about=(
  [deps]="install what is missing on a fresh Debian 12 machine (tools/install-deps.sh; Python packages from pyproject.toml)"
  [lint]="ruff check and ruff format --check on python tests/python tools bench (settings in pyproject.toml)"
  [format]="clang-format --dry-run --Werror on every C++ file (settings in .clang-format)"
  [tidy]="clang-tidy's naming checks over the preset tidy's compile commands (settings in .clang-tidy)"
  [build]="build the preset dev: library, tests, benchmarks, warnings as errors"
  [example-params]="examples/params/ as tools/make_example_params.py writes them"
  [ctest]="the C++ tests of the preset dev"
  [python]="pip install . and the Python tests (module, feltwise.Sensor, simulator, tools, Zenoh on loopback)"
  [ros2]="the ROS 2 node over Fast DDS and rosbag2 recordings, in build/ros2-venv with PyPI's ROS 2 wheels (docs/ros2.md)"
  [wheels]="the manylinux wheels and the sdist (tools/build-wheels.sh), each installed and tried (tools/test-wheels.sh)"
  [demo]="the README's main job: tools/demo.sh streams a simulated sensor"
  [cmake-package]="the installed C++ package: a program built against it (tools/test-cmake-package.sh, preset release)"
  [windows]="the Windows cross-build (preset mingw) and its tests under Wine (tools/test-windows.sh)"
  [fuzz]="every fuzz target for CI_FUZZ_SECONDS, default 30 s (fuzz/run.sh, preset fuzz)"
  [asan]="C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer (tools/sanitize.sh address)"
  [tsan]="the C++ concurrency tests under ThreadSanitizer (tools/sanitize.sh thread)"
  [bench]="both benchmarks, timed and counted under callgrind, in a short form: that they run (tools/bench.sh --smoke; no figure checked)"
)

# A compiler cache (ccache) across runs: CI runs on the machine of the session
# before it, in a fresh clone somewhere else, so the objects of the same
# sources built with the same compiler and flags are found again whatever
# the folder (CCACHE_BASEDIR makes the clone's paths relative; CCACHE_NOHASHDIR
# leaves the build folder out of the objects with debug information, whose
# DW_AT_comp_dir then names the folder of the run that compiled them). Every
# CMake build of a stage (presets, pip's build, the consumer of the package)
# takes it from CMAKE_CXX_COMPILER_LAUNCHER; Zig's wheel builds do not (ccache
# does not know `zig c++`). Within one run the only sources built alike twice
# are the Release core's (pip's build, the sdist, the preset release).
# Looked for before each stage: on a fresh machine the deps stage installs it.
use_compiler_cache() {
  if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  fi
}
declare -A configured=()
configure() { # PRESET: once per run
  if [ -z "${configured[$1]:-}" ]; then
    cmake --preset "$1" >/dev/null
    configured[$1]=1
  fi
}
build() { # PRESET: configured if need be; make finds what is up to date
  configure "$1"
  cmake --build --preset "$1" -j"$jobs"
}

stage_deps() { bash tools/install-deps.sh; }
stage_lint() {
  python3 -m ruff check python tests/python tools bench
  python3 -m ruff format --check python tests/python tools bench
}
stage_format() { git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; }
stage_tidy() {
  configure tidy
  run-clang-tidy -p build/tidy -quiet -j"$jobs" >build/tidy/names.log 2>&1 || {
    grep -E "warning:|error:" build/tidy/names.log
    return 1
  }
}
stage_build() { build dev; }
stage_example_params() { python3 tools/make_example_params.py --check; }
stage_ctest() {
  build dev
  ctest --preset dev -j"$jobs"
}
stage_python() {
  python3 -m pip install -q .
  python3 -m pytest -q tests/python
}
# The ROS 2 wheels go into an environment of their own (pyproject.toml's
# dependency group ros2 says why), kept between runs in build/. It sees the
# system's packages, feltwise among them: the one the python stage installed
# (installed here too when the system has none, or one of other sources).
# FELTWISE_REQUIRE_ROS2: a missing rclpy fails the tests instead of skipping them.
stage_ros2() {
  local venv=build/ros2-venv listed installed
  [ -x "$venv/bin/python" ] || python3 -m venv --system-site-packages "$venv"
  listed=$(python3 -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))
print(*p["project"]["optional-dependencies"]["ros2"], *p["dependency-groups"]["ros2"], sep="\n")')
  mapfile -t requirements <<<"$listed"
  "$venv/bin/python" -m pip install -q "${requirements[@]}"
  installed=$(python3 -c 'import feltwise, os; print(os.path.dirname(feltwise.__file__))' 2>/dev/null || true)
  if [ -z "$installed" ] || ! diff -rq -x __pycache__ -x '*.so' -x '*.pyd' python/feltwise "$installed" >/dev/null; then
    python3 -m pip install -q .
  fi
  FELTWISE_REQUIRE_ROS2=1 "$venv/bin/python" -m pytest -q tests/python/tools/test_ros2_node.py \
    tests/python/tools/test_rosbag2.py tests/python/tools/test_ros2_docs.py \
    tests/python/tools/test_record_batches.py::test_a_batch_is_written_as_its_samples_one_at_a_time
}
stage_wheels() {
  env -u CMAKE_CXX_COMPILER_LAUNCHER bash tools/build-wheels.sh
  bash tools/test-wheels.sh
}
stage_demo() { bash tools/demo.sh; }
stage_cmake_package() { bash tools/test-cmake-package.sh; }
stage_windows() { bash tools/test-windows.sh; }
stage_fuzz() { bash fuzz/run.sh "${CI_FUZZ_SECONDS:-30}"; }
stage_asan() { bash tools/sanitize.sh address; }
stage_tsan() { bash tools/sanitize.sh thread; }
stage_bench() { bash tools/bench.sh --smoke; }

usage() {
  echo "usage: tools/ci.sh STAGE... | all | --list" >&2
  echo "stages: ${stages[*]}" >&2
  exit 2
}

case "${1:-}" in
  --list)
    for stage in "${stages[@]}"; do printf '%-15s %s\n' "$stage" "${about[$stage]}"; done
    exit 0
    ;;
  all)
    (($# == 1)) || usage
    set -- "${stages[@]}"
    ;;
  "" | -*) usage ;;
esac
for stage in "$@"; do
  [ -n "${about[$stage]:-}" ] || {
    echo "no stage $stage; the stages are: ${stages[*]}" >&2
    exit 2
  }
done

declare -a timings=()
current=
started=0
run_started=$SECONDS
minutes() { printf '%d:%02d' $(($1 / 60)) $(($1 % 60)); }
summary() {
  local status=$?
  if [ -n "$current" ]; then timings+=("$current $((SECONDS - started)) failed"); fi
  echo "== stage timings"
  local row name seconds note
  for row in "${timings[@]}"; do
    read -r name seconds note <<<"$row"
    printf '%-15s %6s%s\n' "$name" "$(minutes "$seconds")" "${note:+  $note}"
  done
  printf '%-15s %6s\n' total "$(minutes $((SECONDS - run_started)))"
  exit "$status"
}
trap summary EXIT

for stage in "$@"; do
  echo "== $stage: ${about[$stage]}"
  current=$stage
  started=$SECONDS
  use_compiler_cache
  "stage_${stage//-/_}"
  current=
  timings+=("$stage $((SECONDS - started))")
  echo "== $stage: $(minutes $((SECONDS - started)))"
done
