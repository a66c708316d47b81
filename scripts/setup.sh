#!/usr/bin/env bash
# Installs everything Tamblet needs to build, run and test, from Debian's packages.
# Safe to run again: it only installs what is missing.
#   setup.sh          what building and running need
#   setup.sh --test   and what only the tests need (scripts/test.sh)
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # window
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev fonts-ipafont-gothic
  # command lines and JSON lines of the terminal programs
  libcli11-dev nlohmann-json3-dev nettle-dev
  # MIDI
  libasound2-dev libjack-jackd2-dev jackd2
  # the test JACK server script finds the server behind its time limit
  procps
  # running the window without a desktop, and driving it from outside
  xvfb xauth xdotool dbus dbus-x11 at-spi2-core python3-pyatspi python3-gi
  # checking the desktop entry, the AppStream metainfo and the manual pages
  desktop-file-utils appstream groff-base mandoc
  # the Debian packages (scripts/package.sh)
  dpkg-dev
)
# Only for tests: a sound server on a user's desktop changes who holds its MIDI
# ports, so the run command never installs one.
if [[ ${1:-} == --test ]]; then
  packages+=(
    # the kernel's USB MIDI stack in a virtual machine (tests/vm), and the
    # programs that hold its ports there
    qemu-system-x86 busybox-static kmod cpio alsa-utils pipewire wireplumber
    # the packages checked, and installed into a bare Debian 12 root
    lintian debootstrap
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all dependencies present"
