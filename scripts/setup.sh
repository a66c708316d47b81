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
  # asking the login manager not to sleep during an update (sd-bus)
  libsystemd-dev
  # MIDI
  libasound2-dev libjack-jackd2-dev jackd2
  # the test JACK server script finds the server behind its time limit
  procps
  # the programs' bash completions, tried by the tests
  bash-completion
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
    # the window on Wayland: headless compositors with and without a seat,
    # keys and pictures for the one with a seat, and Qt's Wayland platform
    sway wtype grim weston qt6-wayland
    # many hosts from one place: Ansible over SSH to hosts in network namespaces
    ansible-core ansible-lint openssh-server python3-apt
    # the test command's four builds skip what an earlier run compiled
    ccache
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# True while another program holds one of apt's or dpkg's locks (fcntl locks,
# which /proc/locks lists by inode).
locked() {
  local f ino
  for f in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock \
    /var/cache/apt/archives/lock; do
    ino=$(stat -c %i "$f" 2>/dev/null) || continue
    grep -qE "[0-9a-f]+:[0-9a-f]+:$ino " /proc/locks 2>/dev/null && return 0
  done
  return 1
}

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  echo "setup: installing ${missing[*]}"
  # Right after boot, unattended upgrades may hold apt's and dpkg's locks for
  # minutes: wait for them rather than fail. apt-get waits for dpkg's lock by
  # itself when asked, but not for the package lists' lock, hence the loop.
  waited=0
  while locked && ((waited < 300)); do
    ((waited)) || echo "setup: apt or dpkg is busy; waiting up to five minutes for its lock"
    sleep 2
    waited=$((waited + 2))
  done
  $sudo apt-get -o DPkg::Lock::Timeout=$((300 - waited)) update -qq
  $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all dependencies present"
