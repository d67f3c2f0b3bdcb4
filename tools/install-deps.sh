#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Does nothing for what is already there, so it is cheap to run every time.
#   install-deps.sh          everything the tests need
#   install-deps.sh --build  only what `pip install .` needs (the demo)
#   install-deps.sh --wheels what tools/build-wheels.sh and tools/test-wheels.sh need
set -euo pipefail
mode=${1:-}
pyproject=$(dirname "$0")/../pyproject.toml

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
  # clang-format and clang-tidy: the C++ format and naming checks;
  # valgrind: bench/counts.py counts instructions under callgrind.
  *) apt_packages+=(libgtest-dev googletest mingw-w64 clang clang-format clang-tidy libclang-rt-14-dev locales wine64 socat valgrind
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

# missing_python GROUP...: the requirements of pyproject.toml that are not
# installed: of its dependency groups named here, and for the name
# "package" the package's own dependencies and every extra but ros2. A requirement
# pinned with == wants that version; any other wants the distribution.
missing_python() {
  python3 - "$pyproject" "$@" <<'PY'
import importlib.metadata as metadata, re, sys, tomllib

with open(sys.argv[1], "rb") as file:
    pyproject = tomllib.load(file)

def group(name):
    for item in pyproject["dependency-groups"][name]:
        yield from group(item["include-group"]) if isinstance(item, dict) else [item]

wanted = []
for name in sys.argv[2:]:
    if name == "package":
        wanted += pyproject["project"]["dependencies"]
        # ros2: the ros2 stage installs it into an environment of its own.
        extras = pyproject["project"]["optional-dependencies"]
        wanted += [r for name, extra in extras.items() if name != "ros2" for r in extra]
    else:
        wanted += group(name)
for requirement in dict.fromkeys(wanted):
    distribution, pin = re.match(r"\s*([A-Za-z0-9._-]+)(?:\[[^]]*\])?\s*(?:==\s*([^,;\s]+))?", requirement).groups()
    try:
        installed = metadata.version(distribution)
    except metadata.PackageNotFoundError:
        installed = None
    if installed is None or pin not in (None, installed):
        print(requirement)
PY
}

install_python() { # GROUP...
  local listed missing
  listed=$(missing_python "$@")
  mapfile -t missing <<<"$listed"
  if [ -n "$listed" ]; then
    echo "installing Python packages: ${missing[*]}"
    python3 -m pip install -q "${missing[@]}"
  fi
}

if [ "$mode" = "--wheels" ]; then
  install_python wheels
  exit 0
fi

# A decimal-comma locale, so the tests can show that numbers on the wire are
# read the same whatever locale the host program runs in.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "could not generate de_DE.UTF-8; the locale tests will skip"
fi

# Python: the package's dependencies and extras (the tests use them all),
# and the groups of pyproject.toml: the tests', the lint's and the wheels'.
install_python package test lint wheels
