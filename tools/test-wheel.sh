#!/usr/bin/env bash
# Installs the wheel of tools/build-wheel.sh (dist/) into a fresh virtual
# environment the way a robot without a compiler would: binary wheels only,
# no package index (numpy and msgpack come from a local wheelhouse that
# `pip download` fills, once), the compilers made to fail should anything try
# them. Then reads samples from a simulated sensor with it.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(ls dist/feltwise_comm-*manylinux*.whl)
wheelhouse=build/wheelhouse
venv=$PWD/build/wheel-venv

echo "== dependencies into $wheelhouse (pip download)"
python3 -m pip download -q --only-binary :all: -d "$wheelhouse" numpy msgpack 2>&1 | grep -v "^WARNING" || true

rm -rf "$venv"
python3 -m venv "$venv"
no_compiler=$(mktemp -d)
trap 'rm -rf "$no_compiler"' EXIT
for tool in cc c++ gcc g++ clang clang++ cmake ninja make; do
  printf '#!/bin/sh\necho "%s was called: the wheel must install without building" >&2\nexit 1\n' "$tool" \
    >"$no_compiler/$tool"
  chmod +x "$no_compiler/$tool"
done

echo "== installing $wheel (--no-index --only-binary :all:)"
# The machine's pip configuration may name other package sources; none is used here.
env -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null PATH="$no_compiler:$PATH" CC=false CXX=false \
  "$venv/bin/python" -m pip install -q --no-index --only-binary :all: --find-links "$wheelhouse" "$wheel"

echo "== reading samples with it"
(cd "$venv" && "$venv/bin/python" "$OLDPWD/tests/wheel/read_samples.py")
