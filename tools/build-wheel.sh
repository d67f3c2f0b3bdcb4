#!/usr/bin/env bash
# The one wheel of this machine's python3 and processor, built as every
# release wheel is (tools/build-wheels.sh: Zig's compiler, manylinux_2_17,
# auditwheel): dist/feltwise_comm-VERSION-cpXY-cpXY-manylinux..._ARCH.whl,
# which pip installs on other Linux machines with glibc 2.17 or newer without
# a compiler. tools/test-wheels.sh tries it.
set -euo pipefail
cd "$(dirname "$0")/.."
exec bash tools/build-wheels.sh --python "$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
  --arch "$(uname -m)" --no-sdist
