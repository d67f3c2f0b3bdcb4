#!/usr/bin/env bash
# Installs and tries every wheel and the sdist that tools/build-wheels.sh
# wrote to dist/, as users would get them:
#  - each x86_64 wheel goes into a fresh virtual environment of its own
#    CPython (pyenv's), with pip --only-binary :all: from a local wheelhouse,
#    the compilers made to fail should anything try them; there it reads a
#    simulated sensor through feltwise.Sensor and FeltwiseComms and runs the
#    smoke tests (pytest -m smoke: every protocol once through both, each
#    tool once, and what else is marked so);
#  - each aarch64 wheel is checked as a file (built for aarch64, exports its
#    init function alone, calls nothing its Python version lacks), and where
#    Debian has an aarch64 CPython of its version (3.9, 3.11, 3.13) pip
#    installs it for that platform and the interpreter, run by
#    qemu-aarch64-static, reads a sensor simulated on a pseudo-terminal
#    (and, for 3.11, runs the smoke tests too);
#  - the sdist builds with this machine's g++, CMake and msgpack-c headers
#    (ccache keeps its objects for the next run) and reads samples;
#  - mypy --strict checks the documentation's examples against the installed
#    wheel (tools/check_typing.py).
# Ends with the table of what was tried how.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
bash tools/install-deps.sh --wheels
source tools/wheels-common.sh
work=$repo/build/wheels/test
rm -rf "$work"
mkdir -p "$work"
start=$SECONDS
params=$repo/examples/params/taxel_pad_4x4.msgpack
report=()

shopt -s nullglob
mapfile -t wheels < <(printf '%s\n' dist/feltwise_comm-*-manylinux*.whl | sort -V)
sdists=(dist/feltwise_comm-*.tar.gz)
((${#wheels[@]})) || {
  echo "no wheels in dist/: run tools/build-wheels.sh first" >&2
  exit 1
}

no_compiler=$work/no-compiler
mkdir -p "$no_compiler"
for tool in cc c++ gcc g++ clang clang++ zig cmake ninja make; do
  printf '#!/bin/sh\necho "%s was called: the wheel must install without building" >&2\nexit 1\n' "$tool" \
    >"$no_compiler/$tool"
  chmod +x "$no_compiler/$tool"
done
# pip as on a robot without a compiler: binary wheels only, from the local
# wheelhouse alone (the machine's pip configuration may name other sources).
offline_pip=(env -u PIP_FIND_LINKS PIP_CONFIG_FILE=/dev/null PATH="$no_compiler:$PATH" CC=false CXX=false)
wheelhouse=$work/wheelhouse
test_requirements=(pytest)
emulated_smoke=3.11

version_of() { # WHEEL -> 3.X
  local tag
  tag=$(basename "$1" | cut -d- -f3)
  echo "3.${tag#cp3}"
}
libpython_of() { # 3.X -> the shared libpython of that interpreter (any architecture will do for names)
  local python
  python=$(wheel_python "$1")
  "$python" -c 'import sysconfig, os; print(os.path.join(sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("LDLIBRARY")))'
}

# Smoke tests from a folder outside the checkout, so that nothing but the
# installed wheel can be imported as feltwise.
smoke() { # PYTHON... -> "N passed"
  local log=$1
  shift
  (cd "$work" && "$@" -m pytest -q -rs -p no:cacheprovider -m smoke "$repo/tests/python") >"$log" 2>&1 || {
    tail -30 "$log" >&2
    return 1
  }
  tail -1 "$log" | sed 's/ in [0-9.]*s.*//; s/=//g; s/^ *//'
}

simulator_python=
newest_python=
newest_wheel=
oldest_python=
for wheel in "${wheels[@]}"; do
  case "$wheel" in *_x86_64.whl) ;; *) continue ;; esac
  version=$(version_of "$wheel")
  python=$(wheel_python "$version")
  echo "== $(basename "$wheel"): CPython $version, x86_64"
  python3 tools/wheel_report.py check "$wheel" "$(libpython_of "$version")"
  "$python" -m pip download -q --only-binary :all: -d "$wheelhouse" numpy msgpack cryptography \
    "${test_requirements[@]}" 2>&1 | grep -v "^WARNING" || true
  venv=$work/venv-$version
  "$python" -m venv "$venv"
  "${offline_pip[@]}" "$venv/bin/python" -m pip install -q --no-index --only-binary :all: --find-links "$wheelhouse" \
    "$repo/$wheel[sim]" "${test_requirements[@]}"
  (cd "$venv" && "$venv/bin/python" "$repo/tests/wheel/read_samples.py")
  passed=$(smoke "$work/smoke-x86_64-$version.log" "$venv/bin/python")
  echo "smoke: $passed"
  report+=("$(basename "$wheel")|venv of CPython $version: read samples; smoke $passed")
  simulator_python=$venv/bin/python
  newest_python=$venv/bin/python
  newest_wheel=$repo/$wheel
  # mypy checks for Python 3.10 and later.
  [ -n "${oldest_python:-}" ] || [ "$version" = 3.9 ] || oldest_python=$venv/bin/python
done

for wheel in "${wheels[@]}"; do
  case "$wheel" in *_aarch64.whl) ;; *) continue ;; esac
  version=$(version_of "$wheel")
  echo "== $(basename "$wheel"): CPython $version, aarch64"
  python3 tools/wheel_report.py check "$wheel" "$(libpython_of "$version")"
  root=$work/arm64-$version
  status=0
  bash tools/arm64-python-root.sh "$version" "$root" || status=$?
  if ((status == 2)); then
    report+=("$(basename "$wheel")|file checked; not run: no aarch64 CPython $version to be had here (Debian carries 3.9, 3.11, 3.13)")
    continue
  fi
  ((status == 0)) || exit "$status"
  # What the build changes in an x86_64 pyconfig.h for aarch64 turns Debian's
  # amd64 pyconfig.h of this version into its arm64 one, line for line.
  if ! aarch64_pyconfig <"$root/pyconfig/amd64.h" | diff - "$root/pyconfig/arm64.h"; then
    echo "Debian's arm64 pyconfig.h of $version differs from the amd64 one in more than aarch64_pyconfig changes" >&2
    exit 1
  fi
  # pip of this machine's interpreter of the same version installs for the
  # emulated one: for aarch64, and for the manylinux tags its glibc takes.
  glibc=$(qemu-aarch64-static -L "$root" "$root/usr/bin/python$version" -c 'import platform; print(platform.libc_ver()[1])')
  platforms=(--platform manylinux2014_aarch64)
  for minor in $(seq 17 "${glibc#2.}"); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
  site=$work/site-aarch64-$version
  "$(wheel_python "$version")" -m pip install -q --target "$site" "${platforms[@]}" --only-binary :all: \
    "$repo/$wheel[sim]" "${test_requirements[@]}" 2>&1 | grep -v "^WARNING" || true
  # The emulated interpreter starts no program of its own kind without the
  # host's binfmt support (not to be had in every container): what it starts
  # as sys.executable (the smoke tests' simulated sensors and commands) is
  # this wrapper, which runs the emulator in turn.
  emulated=$work/python-aarch64-$version
  printf '#!/bin/sh\nexec qemu-aarch64-static -L "%s" "%s/usr/bin/python%s" "$@"\n' "$root" "$root" "$version" >"$emulated"
  chmod +x "$emulated"
  mkdir -p "$work/emulated-site"
  printf 'import os, sys\nsys.executable = os.environ.get("FELTWISE_EMULATED_PYTHON", sys.executable)\n' \
    >"$work/emulated-site/sitecustomize.py"
  emulated_env=(env -u PYTHONDONTWRITEBYTECODE PYTHONPATH="$site:$work/emulated-site" FELTWISE_EMULATED_PYTHON="$emulated")
  # The sensor is simulated by this machine's Python, the reader emulated.
  "$simulator_python" -m feltwise simulate --params "$params" --rate 500 >"$work/simulator.out" &
  simulator=$!
  for _ in $(seq 100); do [ -s "$work/simulator.out" ] && break || sleep 0.1; done
  "${emulated_env[@]}" "$emulated" "$repo/tests/wheel/read_samples.py" "$(head -1 "$work/simulator.out")"
  kill -INT "$simulator" && wait "$simulator" || true
  how="Debian's aarch64 CPython $version under qemu-aarch64-static: read samples"
  # Emulated, every program the smoke tests start costs seconds (trixie's
  # 3.13 the most): they run for one version, the one of Debian 12 and
  # Raspberry Pi OS, and the others read samples.
  if [ "$version" = "$emulated_smoke" ]; then
    passed=$(smoke "$work/smoke-aarch64-$version.log" "${emulated_env[@]}" "$emulated")
    echo "smoke: $passed"
    how+="; smoke $passed"
  fi
  report+=("$(basename "$wheel")|$how")
done

for sdist in "${sdists[@]}"; do
  echo "== $(basename "$sdist"): built with g++ (pip wheel, ccache)"
  mkdir -p "$work/sdist"
  tar -xzf "$sdist" -C "$work/sdist"
  python=$(build_venv python3 "$work/venv-sdist")
  ccache --zero-stats >/dev/null
  # ccache's base folder makes the paths of this checkout relative: the next
  # run, in another clone, finds the same objects.
  CCACHE_BASEDIR=$repo CMAKE_CXX_COMPILER_LAUNCHER=ccache "$python" -m pip wheel -q --no-build-isolation --no-deps \
    -w "$work/sdist-wheel" "$work"/sdist/feltwise_comm-* 2>&1 | grep -v "^WARNING" || true
  cached=$(ccache --print-stats | awk '/^(direct|preprocessed)_cache_hit\t/ {hit += $2} /^cache_miss\t/ {miss = $2}
    END {print hit " of " hit + miss}')
  "${offline_pip[@]}" "$(dirname "$python")/pip" install -q --no-index --find-links "$wheelhouse" "$work"/sdist-wheel/*.whl
  (cd "$work" && "$python" "$repo/tests/wheel/read_samples.py")
  report+=("$(basename "$sdist")|built with g++ $(g++ -dumpversion) and CMake $(cmake --version | head -1 | cut -d' ' -f3) ($cached objects from ccache), installed in a venv of $("$python" -c 'import platform; print("CPython", platform.python_version())'): read samples")
done

echo "== typing: mypy --strict on the documentation's examples against the oldest and newest wheels"
# The smoke tests are done: the newest environment may now take the fleet
# extra (Zenoh, MCAP) that docs/fleet.md's example and feltwise.remote use.
"$newest_python" -m pip install -q --only-binary :all: "$newest_wheel[fleet]" 2>&1 | grep -v "^WARNING" || true
python3 tools/check_typing.py --python-executable "$newest_python" --python-executable "${oldest_python:-$newest_python}" \
  README.md docs/python.md docs/fleet.md

echo "== the wheels and how they were tried ($((SECONDS - start)) s)"
for line in "${report[@]}"; do
  name=${line%%|*}
  file=dist/$name
  if [ "${name%.whl}" != "$name" ]; then
    printf '%s  %d KiB, needs GLIBC_%s\n    %s\n' "$name" "$(($(stat -c %s "$file") / 1024))" \
      "$(python3 tools/wheel_report.py glibc "$file")" "${line#*|}"
  else
    printf '%s  %d KiB\n    %s\n' "$name" "$(($(stat -c %s "$file") / 1024))" "${line#*|}"
  fi
done
