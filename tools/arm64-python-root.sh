#!/usr/bin/env bash
# Unpacks Debian's aarch64 (arm64) CPython of one version, with the libraries
# it needs, into a folder that qemu-aarch64-static runs it from:
#
#   tools/arm64-python-root.sh 3.11 build/wheels/arm64-3.11
#   qemu-aarch64-static -L build/wheels/arm64-3.11 build/wheels/arm64-3.11/usr/bin/python3.11
#
# and leaves that version's pyconfig.h of Debian's arm64 and amd64 builds in
# ROOT/pyconfig/arm64.h and amd64.h: what tools/build-wheels.sh changes in an
# x86_64 pyconfig.h to build for aarch64 must turn the one into the other.
#
# Debian releases carry one CPython each: 3.9 (11, bullseye), 3.11 (12,
# bookworm), 3.13 (13, trixie). Other versions exit with status 2.
# apt resolves and fetches the packages with a configuration of its own (its
# lists and downloads under ~/.cache/feltwise-comm/apt-arm64/SUITE): the
# machine's apt sources, architectures and installed packages stay as they
# are. Nothing is installed, only unpacked (dpkg -x).
set -euo pipefail
version=$1
root=$2
case "$version" in
  3.9) suite=bullseye ;;
  3.11) suite=bookworm ;;
  3.13) suite=trixie ;;
  *)
    echo "no Debian release carries CPython $version" >&2
    exit 2
    ;;
esac

apt_dir=${XDG_CACHE_HOME:-$HOME/.cache}/feltwise-comm/apt-arm64/$suite
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
touch "$apt_dir/status"
echo "deb [arch=arm64,amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
  >"$apt_dir/sources.list"
apt_options=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
  -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status"
  -o Dir::Cache::Archives="$apt_dir/archives" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
  -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Architectures::=amd64 -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update >/dev/null
# The interpreter with its standard library, and the C++ runtime that every
# installed Debian has (apt needs it) and manylinux wheels may count on
# (numpy's); the download list is everything they depend on, as for a
# machine that had nothing (the status file is empty).
packages=("python$version" libstdc++6)
apt-get "${apt_options[@]}" install --download-only -y --no-install-recommends "${packages[@]}" >/dev/null
# "Inst NAME (VERSION SOURCE [ARCH])..." names each package's file in the
# archive folder: NAME_VERSION_ARCH.deb, the epoch's colon written %3a.
debs=$(apt-get "${apt_options[@]}" install --simulate -y --no-install-recommends "${packages[@]}" |
  sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([^]]*\)\]).*/\1_\2_\3.deb/p' | sed 's/:/%3a/')

rm -rf "$root"
mkdir -p "$root/usr"
for deb in $debs; do
  dpkg -x "$apt_dir/archives/$deb" "$root"
done
# The dynamic loader is looked for as /lib/ld-linux-aarch64.so.1. Packages of
# trixie and later put it, and everything else, under /usr and leave /lib,
# /bin and /sbin to be links (merged /usr); older ones use both: merge them
# as an installed system does.
for dir in lib bin sbin; do
  if [ -d "$root/$dir" ] && [ ! -L "$root/$dir" ]; then
    mkdir -p "$root/usr/$dir"
    cp -a "$root/$dir/." "$root/usr/$dir/"
    rm -rf "${root:?}/$dir"
  fi
  [ -e "$root/$dir" ] || ln -s "usr/$dir" "$root/$dir"
done
mkdir -p "$root/pyconfig"
for arch in arm64 amd64; do
  (cd "$root/pyconfig" && apt-get "${apt_options[@]}" download "libpython$version-dev:$arch" >/dev/null 2>&1)
  dpkg --fsys-tarfile "$root/pyconfig/libpython${version}-dev_"*"_$arch.deb" |
    tar -xO --wildcards "*-linux-gnu/python$version/pyconfig.h" >"$root/pyconfig/$arch.h"
  rm "$root/pyconfig/libpython${version}-dev_"*"_$arch.deb"
done
[ -x "$root/usr/bin/python$version" ] || {
  echo "python$version missing from $root after unpacking" >&2
  exit 1
}
echo "$root: Debian $suite, $(echo "$debs" | wc -w) packages"
