#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Does nothing for what is already there, so it is cheap to run every time.
set -euo pipefail

apt_packages=(cmake g++ libgtest-dev libmsgpack-cxx-dev mingw-w64 clang libclang-rt-14-dev)
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

# The example parameter files are written and checked with the msgpack package.
# Debian's own python3 refuses pip installs (externally managed); its package
# python3-msgpack serves that interpreter instead.
if ! python3 -c 'import msgpack' >/dev/null 2>&1; then
  echo "installing Python package: msgpack"
  if ! python3 -m pip install --quiet msgpack; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq python3-msgpack >/dev/null
  fi
fi
