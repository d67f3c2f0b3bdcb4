#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and fuzzes decode_parameters for the given
# number of seconds (default 60), starting from the committed seed corpus.
# New inputs go to build/fuzz/corpus, so the committed seeds stay as they are;
# a crashing input is written to build/fuzz/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=$(nproc)

cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFELTWISE_BUILD_FUZZ=ON -DFELTWISE_BUILD_TESTS=OFF -DFELTWISE_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j"$jobs" --target fuzz_decode_parameters

# libFuzzer reports every new input; its log is kept in build/fuzz/last-run.log
# and shown only when the run fails.
mkdir -p build/fuzz/corpus
if ! build/fuzz/fuzz/fuzz_decode_parameters -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus/parameters \
    >build/fuzz/last-run.log 2>&1; then
  tail -n 80 build/fuzz/last-run.log
  exit 1
fi
grep -E '^(Done|stat::)' build/fuzz/last-run.log
