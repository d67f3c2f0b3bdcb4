#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes each for SECONDS (default 60), as
# many at a time as there are processors, starting from the committed seed
# corpora.
#
#   fuzz/run.sh [SECONDS] [TARGET...]        every target when none is named
#   FUZZ_FLAGS="-runs=10000000" fuzz/run.sh 36000 read_sample_v1
#   FUZZ_JOBS=1 limits the targets fuzzed at once; FUZZ_BUILD_DIR (default
#   build/fuzz, the preset fuzz of CMakePresets.json) lets a long run keep
#   out of the way of the test run's.
#
# New inputs go to BUILD_DIR/corpus/TARGET, so the committed seeds stay as
# they are; each target's output is in BUILD_DIR/logs/TARGET.log; a crashing
# input is written to BUILD_DIR/TARGET-crash-* and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
jobs=${FUZZ_JOBS:-$(nproc)}
build=${FUZZ_BUILD_DIR:-build/fuzz}

cmake --preset fuzz -B "$build" >/dev/null
# The targets, as the build made them from the protocol table: each with its
# seed corpus (fuzz/corpus/CORPUS), dictionary (fuzz/dict/DICT.dict, - for
# none) and largest input.
declare -A corpus_of dict_of max_len_of
all=()
while read -r target corpus dict max_len; do
  all+=("$target")
  corpus_of[$target]=$corpus dict_of[$target]=$dict max_len_of[$target]=$max_len
done <"$build/fuzz/targets.txt"
targets=("$@")
((${#targets[@]})) || targets=("${all[@]}")
for target in "${targets[@]}"; do
  [ -n "${corpus_of[$target]:-}" ] || { echo "no fuzz target $target; there are: ${all[*]}" >&2; exit 2; }
done
cmake --build "$build" -j"$jobs" --target "${targets[@]/#/fuzz_}"
mkdir -p "$build/logs"

fuzz_one() {
  local target=$1 dict=() seeds=()
  [ "${dict_of[$target]}" = - ] || dict=(-dict="fuzz/dict/${dict_of[$target]}.dict")
  # A protocol added without seeds yet is fuzzed from nothing.
  [ ! -d "fuzz/corpus/${corpus_of[$target]}" ] || seeds=("fuzz/corpus/${corpus_of[$target]}")
  mkdir -p "$build/corpus/$target"
  # shellcheck disable=SC2086 # FUZZ_FLAGS holds several flags
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len="${max_len_of[$target]}" -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$build/$target-" "${dict[@]}" ${FUZZ_FLAGS:-} \
      "$build/corpus/$target" "${seeds[@]}" >"$build/logs/$target.log" 2>&1
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
