#!/usr/bin/env bash
# Every test of the project, from a fresh machine: every stage of
# tools/ci.sh in order. It installs what is missing, checks the Python code
# with ruff and the C++ code with clang-format and clang-tidy (names), builds
# with warnings as errors, runs the C++ tests, the Python tests (the
# module's, feltwise.Sensor's and the feltwise tools'), builds the manylinux
# wheels and the sdist and installs and tries each (the aarch64 ones under
# emulation, the documentation's examples checked by mypy --strict against
# them), runs the README's main job (bash tools/demo.sh), installs the C++
# package and builds a program against it, cross-builds the library for
# Windows and runs its port, protocol and comms tests under Wine, fuzzes
# every fuzz target for half a minute, and runs the tests again under
# AddressSanitizer + UndefinedBehaviorSanitizer (C++ and Python) and
# ThreadSanitizer (the C++ concurrency tests). `tools/ci.sh --list` names the
# stages; `tools/ci.sh STAGE...` runs some of them.
set -euo pipefail
exec bash "$(dirname "$0")/ci.sh" all
