#!/usr/bin/env bash
# Runs a11y_test.py --wayland against the real programs: a private JACK server
# and a D-Bus session, in which the test starts a headless sway and later a
# headless weston (as the unprivileged user nobody when run as root: sway
# refuses root). The pictures stay in WORK_DIR (main-window.png, about-box.png).
#   run_wayland_test.sh TAMBLET DEVSIM PGM JACK_SCRIPT WORK_DIR
set -u
(($# == 5)) || { echo "usage: $0 TAMBLET DEVSIM PGM JACK_SCRIPT WORK_DIR" >&2; exit 2; }
tamblet=$1 devsim=$2 pgm=$3 jack_script=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
limit=${TAMBLET_WAYLAND_LIMIT:-170}  # seconds for the session

# shellcheck source=tests/app/qt/session-lib.sh
source "$here/session-lib.sh"
need sway swaymsg wtype grim weston dbus-run-session jackd setpriv
[[ -e /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so ]] ||
  missing qt6-wayland
start_session "$work" "$jack_script"
unset DISPLAY WAYLAND_DISPLAY SWAYSOCK

run_session "$limit" dbus-run-session -- \
  "$python" "$here/a11y_test.py" --wayland "$tamblet" "$devsim" "$pgm" "$work"
