#!/usr/bin/env bash
# Builds what a release ships into dist/: the sdist and the binary wheels of
# CPython 3.9 to 3.13 for x86_64 and aarch64 Linux, tagged manylinux_2_17
# (glibc 2.17 and newer: every maintained Ubuntu, Debian, RHEL and Jetson
# image), which pip installs without a compiler.
#
#   tools/build-wheels.sh [--python 3.X]... [--arch x86_64|aarch64]... [--no-sdist]
#
# The compiler is Zig's (clang with its own libc++ and glibc stubs, from PyPI:
# ziglang), for the targets x86_64-linux-gnu.2.17 and aarch64-linux-gnu.2.17:
# it links against the glibc its target names, whatever this machine's is,
# carries its C++ runtime into the module, and cross-compiles with no other
# toolchain (cmake/zig-toolchain.cmake). The C++ core is built once per
# architecture; each Python version builds only its two modules against it
# (FELTWISE_CORE_FROM), with scikit-build-core as `pip wheel` runs it. The
# headers of each version are those of its pyenv interpreter; for aarch64 the
# same, but for pyconfig.h (see aarch64_headers below). auditwheel repair is
# the last step of each wheel and names its tag.
# tools/test-wheels.sh installs and tests what this writes.
set -euo pipefail
cd "$(dirname "$0")/.."

pythons=()
arches=()
sdist=1
while (($#)); do
  case "$1" in
    --python) pythons+=("$2") && shift ;;
    --arch) arches+=("$2") && shift ;;
    --no-sdist) sdist=0 ;;
    *) echo "usage: $0 [--python 3.X]... [--arch x86_64|aarch64]... [--no-sdist]" >&2 && exit 2 ;;
  esac
  shift
done
((${#pythons[@]})) || pythons=(3.9 3.10 3.11 3.12 3.13)
((${#arches[@]})) || arches=(x86_64 aarch64)

bash tools/install-deps.sh --wheels
source tools/wheels-common.sh
zig=$(python3 -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))")
work=$PWD/build/wheels
mkdir -p "$work" dist
start=$SECONDS

# The aarch64 headers of a version: the interpreter's own, but for
# pyconfig.h, the one header that configure writes for the machine
# (aarch64_pyconfig in tools/wheels-common.sh). An extension module links no
# libpython: headers are all it needs of its interpreter.
aarch64_headers() { # VERSION INTERPRETER -> prints the include folder
  local include out
  include=$("$2" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  out=$work/include-aarch64/python$1
  rm -rf "$out"
  mkdir -p "$out"
  ln -s "$include"/* "$out/"
  rm "$out/pyconfig.h"
  aarch64_pyconfig <"$include/pyconfig.h" >"$out/pyconfig.h"
  if grep -q "^#define HAVE_GCC_ASM_FOR_X" "$out/pyconfig.h" || ! grep -q "^#define HAVE_USABLE_WCHAR_T 1" "$out/pyconfig.h" ||
    ! grep -q "^#define SIZEOF_WCHAR_T 4$" "$out/pyconfig.h" || ! grep -q "^#define SIZEOF_LONG 8$" "$out/pyconfig.h"; then
    echo "$include/pyconfig.h is not the x86_64 Linux one this expects" >&2
    return 1
  fi
  echo "$out"
}

# One virtual environment per Python version runs the build backend (on this
# machine, for either target).
python_for_build() { # VERSION -> prints its python
  build_venv "$(wheel_python "$1")" "$work/build-venv-$1"
}

rm -f dist/feltwise_comm-*
for arch in "${arches[@]}"; do
  echo "== $arch: the C++ core (Zig, $arch-linux-gnu.2.17)"
  core=$PWD/build/wheel-$arch  # the preset wheel-ARCH of CMakePresets.json
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/zig-toolchain.cmake" -DFELTWISE_ZIG_TARGET="$arch-linux-gnu.2.17"
    -DFELTWISE_ZIG="$zig")
  cmake --preset "wheel-$arch" -DFELTWISE_ZIG="$zig" >"$work/core-$arch.log"
  cmake --build --preset "wheel-$arch" -j"$(nproc)" >>"$work/core-$arch.log"

  raw=$work/raw-$arch
  rm -rf "$raw"
  for version in "${pythons[@]}"; do
    echo "== $arch: CPython $version"
    python=$(python_for_build "$version")
    tag=cp${version/./}
    options=(build-dir="$work/$arch-$tag" cmake.define.FELTWISE_CORE_FROM="$core" cmake.define.FELTWISE_WERROR=ON
      cmake.define.CMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF)
    for define in "${toolchain[@]}"; do options+=("cmake.define.${define#-D}"); done
    environment=()
    if [ "$arch" != "$(uname -m)" ]; then
      # A cross-build: the headers and the file names are the target's.
      options+=(cmake.define.Python_INCLUDE_DIR="$(aarch64_headers "$version" "$python")"
        cmake.define.PYBIND11_USE_CROSSCOMPILING=ON)
      environment=(SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-$arch-linux-gnu.so" _PYTHON_HOST_PLATFORM="linux-$arch")
    fi
    # --config-settings, not -C: the pip of an older interpreter knows the long form only.
    env "${environment[@]}" "$python" -m pip wheel -v --no-build-isolation --no-deps -w "$raw" \
      "${options[@]/#/--config-settings=}" . \
      >"$work/$arch-$tag.log" 2>&1 || {
      tail -40 "$work/$arch-$tag.log"
      exit 1
    }
  done

  echo "== $arch: auditwheel repair"
  for wheel in "$raw"/*.whl; do
    python3 -m auditwheel repair --plat auto -w dist "$wheel" 2>&1 | grep -v "^INFO" || true
  done
done

if ((sdist)); then
  echo "== the sdist"
  "$(python_for_build "${pythons[0]}")" -c 'from scikit_build_core.build import build_sdist; build_sdist("dist")' >/dev/null
fi

echo "== dist/"
failed=0
for wheel in $(printf '%s\n' dist/feltwise_comm-*.whl | sort -V); do
  # auditwheel show: "... is consistent with the following platform tag: "manylinux_2_17_x86_64"."
  tag=$(python3 -m auditwheel show "$wheel" | tr -s ' \n' ' ' | sed -n 's/.*following platform tag: "\([^"]*\)".*/\1/p')
  glibc=$(python3 tools/wheel_report.py glibc "$wheel")
  printf '%-80s %5d KiB  %-24s needs GLIBC_%s\n' "$(basename "$wheel")" "$(($(stat -c %s "$wheel") / 1024))" "$tag" "$glibc"
  case "$tag" in manylinux_2_17_* | manylinux_2_1[0-6]_* | manylinux_2_5_*) ;; *) failed=1 ;; esac
done
for file in dist/feltwise_comm-*.tar.gz; do
  [ -e "$file" ] || continue # --no-sdist
  printf '%-80s %5d KiB\n' "$(basename "$file")" "$(($(stat -c %s "$file") / 1024))"
done
echo "built in $((SECONDS - start)) s"
if ((failed)); then
  echo "a wheel needs a newer glibc than 2.17 (auditwheel show above)" >&2
  exit 1
fi
