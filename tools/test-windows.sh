#!/usr/bin/env bash
# The C++ tests of the Windows build, run under Wine: the port implementation
# on the Win32 communications calls runs against a line, not only compiles.
#
# Wine cannot make a pseudo-terminal, but maps COM ports to Linux tty devices
# (registry key HKLM\Software\Wine\Ports: value COMn, data a device path). So
# each test line is a null-modem cable laid outside Wine: socat joins two
# pseudo-terminals, and their links become two COM ports, the library's end
# and the sensor's end (tests/support/pty_pair_win.cpp).
#   test-windows.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/mingw  # the preset mingw of CMakePresets.json
started=$(date +%s)

# The prefix lives outside the checkout, one per checkout: its drive z: is a
# link to /, and anything that walks the source tree following links (the
# sdist's file list does) would walk the whole file system through it.
prefix_name=wine-prefix-$(printf '%s' "$root" | cksum | cut -d' ' -f1)
export WINEPREFIX=${FELTWISE_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/feltwise-comm/$prefix_name}
export WINEARCH=win64 WINEDEBUG=-all
mkdir -p "$(dirname "$WINEPREFIX")"
unset DISPLAY WAYLAND_DISPLAY
# Debian's wine64 keeps its loader out of PATH; /usr/bin/wine would look for
# the 32-bit one first.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)

echo "== Windows tests: build"
# The library and the test programs, in one configure and one build.
cmake --preset mingw -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -Wno-dev >/dev/null
test_programs=(serial_tests protocol_tests encrypt_protocol_tests configurable_protocol_tests paced_line_tests comms_tests)
cmake --build --preset mingw -j"$(nproc)" --target feltwise_comm_core "${test_programs[@]}"

cables_dir=$root/$build/null-modems
rm -rf "$cables_dir"
mkdir -p "$cables_dir"
relays=()
cleanup() {
  for pid in "${relays[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${relays[@]}"; do wait "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$cables_dir"
}
trap cleanup EXIT

# Tests that hold two lines at once need two cables; a third and fourth let
# the bytes a test leaves on a cable settle before the next test takes it.
cables=4
first_port=21
mapping=()
for ((i = 0; i < cables; i++)); do
  library_port=COM$((first_port + 2 * i))
  sensor_port=COM$((first_port + 2 * i + 1))
  socat pty,raw,echo=0,link="$cables_dir/$library_port" pty,raw,echo=0,link="$cables_dir/$sensor_port" &
  relays+=($!)
  mapping+=("$library_port:$sensor_port")
done
for ((i = 0; i < cables; i++)); do
  for port in COM$((first_port + 2 * i)) COM$((first_port + 2 * i + 1)); do
    for _ in $(seq 100); do [ -e "$cables_dir/$port" ] && break; sleep 0.05; done
    [ -e "$cables_dir/$port" ] || { echo "socat did not lay $port"; exit 1; }
  done
done
export FELTWISE_TEST_NULL_MODEMS
FELTWISE_TEST_NULL_MODEMS=$(IFS=,; echo "${mapping[*]}")

echo "== Windows tests: Wine prefix and COM ports ${FELTWISE_TEST_NULL_MODEMS}"
[ -d "$WINEPREFIX" ] || wineboot -i >/dev/null 2>&1
for ((i = 0; i < 2 * cables; i++)); do
  port=COM$((first_port + i))
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$cables_dir/$port" /f >/dev/null
done
# The port mapping is read when the server starts.
wineserver -k 2>/dev/null || true
wineserver -w

echo "== Windows tests: run under Wine"
results=$build/test-results
rm -rf "$results"
mkdir -p "$results"
status=0
ctest --preset mingw "$@" || status=$?

# Counts from GoogleTest's reports, one per program.
python3 - "$results" <<'PY'
import glob, sys, xml.etree.ElementTree as ET
run = failed = skipped = 0
for report in sorted(glob.glob(sys.argv[1] + "/*.xml")):
    for case in ET.parse(report).iter("testcase"):
        if case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
        elif case.find("failure") is not None:
            failed += 1
        run += 1
print(f"Windows tests under Wine: {run - skipped - failed} passed, {failed} failed, {skipped} skipped")
PY
echo "Windows tests took $(($(date +%s) - started)) s"
exit "$status"
