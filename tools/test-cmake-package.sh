#!/usr/bin/env bash
# The installed C++ package, tested as a user meets it: configures the library
# alone (no tests, benchmarks or Python: the preset release, in build/release),
# installs it into a temporary prefix,
# builds tests/cmake-package against it with find_package(feltwise_comm) and
# runs that program, which reads samples from a pseudo-terminal it plays.
# Also checks that nothing private (the library's internals, msgpack-c) was
# installed among the headers.
#   tools/test-cmake-package.sh [BUILD_DIR]   (the program's; default build/cmake-package)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/cmake-package}
jobs=$(nproc)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --preset release >/dev/null
cmake --build --preset release -j"$jobs"
cmake --install build/release --prefix "$prefix" >/dev/null

headers=$(cd "$prefix/include" && find . -type f | sort)
echo "installed headers:" $headers
if grep -qv '^\./feltwise_comm/' <<<"$headers"; then
  echo "headers outside include/feltwise_comm/ were installed" >&2
  exit 1
fi

cmake -S tests/cmake-package -B "$build/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
      >/dev/null
cmake --build "$build/consumer" -j"$jobs"
"$build/consumer/consumer"
