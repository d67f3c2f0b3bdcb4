#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes each for SECONDS (default 60), as
# many at a time as there are processors, starting from the committed seed
# corpora.
#
#   fuzz/run.sh [SECONDS] [TARGET...]        every target when none is named
#   FUZZ_FLAGS="-runs=10000000" fuzz/run.sh 36000 read_sample_v1
#   FUZZ_JOBS=1 limits the targets fuzzed at once; FUZZ_BUILD_DIR (default
#   build/fuzz) lets a long run keep out of the way of the test run's.
#
# New inputs go to BUILD_DIR/corpus/TARGET, so the committed seeds stay as
# they are; each target's output is in BUILD_DIR/logs/TARGET.log; a crashing
# input is written to BUILD_DIR/TARGET-crash-* and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
# The protocol targets follow the rows of the protocol table, as in fuzz/CMakeLists.txt.
table=src/protocols/protocol_table.cpp
mapfile -t versions < <(sed -nE 's/^ *\{([0-9]+), "[A-Za-z]+", Wire::.*/\1/p' "$table")
mapfile -t register_versions < <(sed -nE 's/^ *\{([0-9]+), "[A-Za-z]+", Wire::.*Registers::yes.*/\1/p' "$table")
all=(decode_parameters text_line "${versions[@]/#/read_sample_v}" "${register_versions[@]/#/register_reply_v}")
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")
jobs=${FUZZ_JOBS:-$(nproc)}
build=${FUZZ_BUILD_DIR:-build/fuzz}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFELTWISE_BUILD_FUZZ=ON -DFELTWISE_BUILD_TESTS=OFF -DFELTWISE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/logs"

fuzz_one() {
  local target=$1 corpus dict
  case $target in
    decode_parameters) corpus=parameters dict=() ;;
    text_line | read_sample_v0 | read_sample_v3 | register_reply_v3) corpus=$target dict=(-dict=fuzz/dict/text_lines.dict) ;;
    *) corpus=$target dict=(-dict=fuzz/dict/binary_frames.dict) ;;
  esac
  local max_len=4096
  [ "$target" = decode_parameters ] && max_len=8192
  mkdir -p "$build/corpus/$target"
  # shellcheck disable=SC2086 # FUZZ_FLAGS holds several flags
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$build/$target-" "${dict[@]}" ${FUZZ_FLAGS:-} \
      "$build/corpus/$target" "fuzz/corpus/$corpus" >"$build/logs/$target.log" 2>&1
}

failed=()
running=0
declare -A pid_of
for target in "${targets[@]}"; do
  if ((running == jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  pid_of[$target]=$!
  running=$((running + 1))
done
for target in "${targets[@]}"; do
  if ! wait "${pid_of[$target]}"; then failed+=("$target"); fi
done

for target in "${targets[@]}"; do
  log=$build/logs/$target.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  printf '%-20s %12s runs  %8s/s  %-10s  peak %5s MB\n' "$target" "${runs:-?}" "${per_second:-?}" "$coverage" "${rss:-?}"
done
if ((${#failed[@]})); then
  for target in "${failed[@]}"; do
    echo "== $target failed:" >&2
    tail -40 "$build/logs/$target.log" >&2
  done
  exit 1
fi
