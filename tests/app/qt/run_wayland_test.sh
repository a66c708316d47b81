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

python=/usr/bin/python3
missing() { echo "FAIL: $1 missing (run scripts/setup.sh --test)" >&2; exit 1; }
"$python" -c 'import pyatspi' 2>/dev/null || missing python3-pyatspi
for tool in sway swaymsg wtype grim weston dbus-run-session jackd setpriv; do
  command -v "$tool" >/dev/null || missing "$tool"
done
[[ -e /usr/lib/x86_64-linux-gnu/qt6/plugins/platforms/libqwayland-generic.so ]] ||
  missing qt6-wayland

rm -rf "$work"
mkdir -p "$work"
state=$work/jack.state
group=

# The D-Bus daemons, the accessibility services and everything the test
# started share the group of the session made below.
stop_group() {
  [[ -n $group ]] || return 0
  kill -TERM -- "-$group" 2>/dev/null
  timeout 3 bash -c "while kill -0 -- -$group 2>/dev/null; do sleep 0.1; done"
  kill -KILL -- "-$group" 2>/dev/null
  group=
}
cleanup() {
  stop_group
  [[ -f $state ]] && "$jack_script" stop "$state" >/dev/null
}
trap cleanup EXIT
trap 'exit 143' INT TERM

"$jack_script" start "$state" || exit 1
read -r server _ <"$state"
export JACK_DEFAULT_SERVER=$server
unset AT_SPI_BUS_ADDRESS DISPLAY WAYLAND_DISPLAY SWAYSOCK

setsid timeout -k 5 "$limit" dbus-run-session -- \
  "$python" "$here/a11y_test.py" --wayland "$tamblet" "$devsim" "$pgm" "$work" &
group=$!
wait "$group"
rc=$?
stop_group
((rc != 124)) || echo "FAIL: the session did not end within $limit s" >&2
exit "$rc"
