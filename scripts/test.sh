#!/usr/bin/env bash
# Sets everything up and runs every test: a normal build, the real kernel's USB
# MIDI stack in a virtual machine, the Debian packages (lintian, and installed
# into a bare Debian 12 root), a build under AddressSanitizer +
# UndefinedBehaviorSanitizer, the threaded MIDI code under ThreadSanitizer, and
# short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1

step() { printf '\n=== %s ===\n' "$*"; }

step "normal build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs" --timeout 600 -LE "vm|package"

step "real kernel USB MIDI in a virtual machine"
ctest --test-dir build/release --output-on-failure --timeout 600 -L vm

step "Debian packages: lintian, and installed into a bare Debian 12 root"
ctest --test-dir build/release --output-on-failure --timeout 1800 -L package

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMBLET_SANITIZE="address;undefined" \
  -DTAMBLET_WITH_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" --timeout 900 -LE "vm|package"

step "ThreadSanitizer (threaded MIDI code and the JACK backend)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMBLET_SANITIZE=thread \
  -DTAMBLET_WITH_QT=OFF -DTAMBLET_WITH_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 900 -L "threads|jack"

step "short fuzz runs"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTAMBLET_WITH_FUZZ=ON -DTAMBLET_SANITIZE="address;undefined" \
  -DTAMBLET_WITH_QT=OFF -DTAMBLET_WITH_BENCH=OFF -DTAMBLET_WITH_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure -j "$jobs" --timeout 600 -L fuzz
