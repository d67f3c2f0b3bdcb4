# Sourced by tools/build-wheels.sh and tools/test-wheels.sh.

# wheel_python 3.X prints the path of this machine's CPython 3.X: pyenv's
# newest 3.X.*, else python3.X on PATH.
wheel_python() {
  local root=${PYENV_ROOT:-$HOME/.pyenv} found
  found=$(find "$root/versions" -maxdepth 1 -regex ".*/${1//./\\.}\.[0-9]+" 2>/dev/null | sort -V | tail -1)
  if [ -n "$found" ] && [ -x "$found/bin/python$1" ]; then
    echo "$found/bin/python$1"
  elif command -v "python$1" >/dev/null && "python$1" -c "" 2>/dev/null; then
    command -v "python$1"
  else
    echo "no CPython $1 on this machine (pyenv's versions, or python$1 on PATH)" >&2
    return 1
  fi
}

# build_venv PYTHON FOLDER: a virtual environment of that interpreter in
# FOLDER with pyproject.toml's build requirements and ninja, to run the
# build backend without pip's build isolation (nothing fetched per build,
# and paths that stay the same from run to run). Prints its python.
build_venv() {
  if [ ! -x "$2/bin/python" ]; then
    local requires
    mapfile -t requires < <(python3 -c \
      'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
    "$1" -m venv "$2"
    "$2/bin/python" -m pip install -q "${requires[@]}" ninja 2>&1 | grep -v "^WARNING: Location" >&2 || true
  fi
  echo "$2/bin/python"
}

# aarch64_pyconfig < X86_64_PYCONFIG > AARCH64_PYCONFIG: the pyconfig.h of the
# same CPython built for aarch64 Linux. The two agree on every type's size
# and alignment (both LP64, little-endian), so of what configure finds only
# this differs: x86's inline assembly (HAVE_GCC_ASM_FOR_X64, _X87) is not
# there, wchar_t is unsigned and so usable as Py_UNICODE
# (HAVE_USABLE_WCHAR_T), and the platform is of support tier 2. The rest of
# pyconfig.h is how the interpreter was configured, not what it runs on.
# tools/test-wheels.sh checks this against Debian's amd64 and arm64 builds.
aarch64_pyconfig() {
  sed -e 's|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
    -e 's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
    -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' \
    -e 's|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|'
}
