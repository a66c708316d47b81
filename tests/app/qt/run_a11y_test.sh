#!/usr/bin/env bash
# Runs a11y_test.py against the real programs: a private JACK server, then an
# X server with a D-Bus session started inside it (the accessibility bus needs
# the display), all of it stopped on every way out.
#   run_a11y_test.sh TAMBLET DEVSIM PGM JACK_SCRIPT WORK_DIR
set -u
(($# == 5)) || { echo "usage: $0 TAMBLET DEVSIM PGM JACK_SCRIPT WORK_DIR" >&2; exit 2; }
tamblet=$1 devsim=$2 pgm=$3 jack_script=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
limit=${TAMBLET_A11Y_LIMIT:-100}  # seconds for the part under X

# Debian's own Python: the AT-SPI bindings are packaged for it, not for
# another interpreter that may come first on PATH.
python=/usr/bin/python3
missing() { echo "FAIL: $1 missing (run scripts/setup.sh)" >&2; exit 1; }
"$python" -c 'import pyatspi' 2>/dev/null || missing python3-pyatspi
for tool in xvfb-run dbus-run-session xdotool jackd; do
  command -v "$tool" >/dev/null || missing "$tool"
done

rm -rf "$work"
mkdir -p "$work"
state=$work/jack.state
group=

# The X server, the D-Bus daemons, the accessibility services and whatever the
# test started all share the group of the session made below.
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

# The script tries a few times and fails loudly if no server comes up.
"$jack_script" start "$state" || exit 1
read -r server _ <"$state"
export JACK_DEFAULT_SERVER=$server
unset AT_SPI_BUS_ADDRESS  # the desktop's own accessibility bus, if any, is not ours

# xvfb-run -a can lose a race for a display number to a parallel run; a session
# whose test never started is tried again.
for attempt in 1 2 3; do
  rm -f "$work/started"
  setsid timeout -k 5 "$limit" xvfb-run -a -s "-screen 0 800x600x24" dbus-run-session -- \
    "$python" "$here/a11y_test.py" "$tamblet" "$devsim" "$pgm" "$work" &
  group=$!
  wait "$group"
  rc=$?
  stop_group
  ((rc != 124)) || echo "FAIL: the session did not end within $limit s" >&2
  [[ $rc -ne 0 && ! -f $work/started ]] || exit "$rc"
  echo "attempt $attempt: the X session did not start (status $rc)" >&2
done
echo "FAIL: no X session could be started" >&2
exit 1
