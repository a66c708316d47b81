#!/usr/bin/env bash
# Sets everything up and runs every test: a normal build, the real kernel's USB
# MIDI stack in a virtual machine, the Debian packages (lintian, and installed
# into a bare Debian 12 root), the Ansible role against three SSH hosts, the
# set-up and the normal tests on a fresh Debian 12, the README's screenshots,
# the window on Wayland, a build under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded MIDI code under ThreadSanitizer, and
# short fuzz runs.
#   scripts/test.sh [STAGE...]   stages: normal vm package fleet fresh screenshots wayland
#                                asan tsan fuzz
#                                (default: all of them, in that order)
set -euo pipefail
cd "$(dirname "$0")/.."
all=(normal vm package fleet fresh screenshots wayland asan tsan fuzz)
stages=("$@")
((${#stages[@]})) || stages=("${all[@]}")
for stage in "${stages[@]}"; do
  [[ " ${all[*]} " == *" $stage "* ]] || { echo "test.sh: no stage '$stage' (${all[*]})" >&2; exit 2; }
done
bash scripts/setup.sh --test

jobs=$(nproc)
# A source compiled with the same flags in an earlier run is taken from
# ccache's store, not compiled again: four builds of the whole tree are most of
# this command's time on two cores.
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Paths taken relative to the tree, so that a clone elsewhere finds the same
# entries; the debug information of these test builds may then name the
# folder of the run that compiled it first.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1

step() { printf '\n=== %s ===\n' "$*"; }
release() {
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  cmake --build build/release -j "$jobs"
}

normal() {
  step "normal build"
  release
  ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 600 -LE "vm|package|fleet|wayland"
}

vm() {
  step "real kernel USB MIDI in a virtual machine"
  release >/dev/null
  ctest --test-dir build/release --output-on-failure --timeout 600 -L vm
}

package() {
  step "Debian packages: lintian, and installed into a bare Debian 12 root"
  release >/dev/null
  ctest --test-dir build/release --output-on-failure --timeout 1800 -L package
  packaged=1
}

fleet() {
  step "many hosts: the Ansible role against three SSH hosts on this machine"
  release >/dev/null
  # The packages the package stage just built, when it ran: not built twice.
  local reuse=()
  [[ -z ${packaged-} ]] || reuse=(-FS debs)
  ctest --test-dir build/release --output-on-failure --timeout 900 -L fleet "${reuse[@]}"
}

fresh() {
  step "a fresh Debian 12: set-up, normal build and tests, and the run command"
  bash scripts/fresh.sh
}

screenshots() {
  step "the README's screenshots, remade from the real window"
  local out
  out=$(mktemp -d)
  timeout 300 bash scripts/screenshots.sh build/release "$out" || { rm -rf "$out"; return 1; }
  # Each picture is a whole window: a PNG of at least the window's size.
  python3 - "$out" <<'PY' || { rm -rf "$out"; return 1; }
import struct, sys
for name, least in (("main-dialog.png", (300, 150)), ("about-box.png", (200, 80))):
    data = open(f"{sys.argv[1]}/{name}", "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", name
    w, h = struct.unpack(">II", data[16:24])
    assert w >= least[0] and h >= least[1], (name, w, h)
    print(f"screenshots: {name} {w}x{h}")
PY
  rm -rf "$out"
}

wayland() {
  step "the window on Wayland: headless sway with a seat, weston without one"
  release >/dev/null
  ctest --test-dir build/release --output-on-failure --timeout 300 -L wayland
  local shots=build/release/tests/app/qt/wayland-run
  echo "wayland: pictures in $shots/main-window.png and $shots/about-box.png"
}

asan() {
  step "AddressSanitizer + UndefinedBehaviorSanitizer"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMBLET_SANITIZE="address;undefined" "${launcher[@]}" \
    -DTAMBLET_WITH_BENCH=OFF >/dev/null
  cmake --build build/asan -j "$jobs"
  ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 900 -LE "vm|package|fleet|wayland"
}

tsan() {
  step "ThreadSanitizer (threaded MIDI code and the JACK backend)"
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLET_SANITIZE=thread "${launcher[@]}" \
    -DTAMBLET_WITH_QT=OFF -DTAMBLET_WITH_BENCH=OFF >/dev/null
  cmake --build build/tsan -j "$jobs"
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 900 -L "threads|jack"
}

fuzz() {
  step "short fuzz runs"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang "${launcher[@]}" \
    -DCMAKE_CXX_COMPILER=clang++ -DTAMBLET_WITH_FUZZ=ON -DTAMBLET_SANITIZE="address;undefined" \
    -DTAMBLET_WITH_QT=OFF -DTAMBLET_WITH_BENCH=OFF -DTAMBLET_WITH_TESTS=OFF >/dev/null
  cmake --build build/fuzz -j "$jobs"
  ctest --test-dir build/fuzz --output-on-failure -j "$jobs" --timeout 600 -L fuzz
}

for stage in "${stages[@]}"; do
  started=$(date +%s)
  "$stage"
  echo "test.sh: stage $stage passed in $(($(date +%s) - started)) s"
done
