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

# shellcheck source=tests/app/qt/session-lib.sh
source "$here/session-lib.sh"
need xvfb-run dbus-run-session xdotool jackd
start_session "$work" "$jack_script"

# xvfb-run -a can lose a race for a display number to a parallel run; a session
# whose test never started is tried again.
for attempt in 1 2 3; do
  rm -f "$work/started"
  rc=0
  run_session "$limit" xvfb-run -a -s "-screen 0 800x600x24" dbus-run-session -- \
    "$python" "$here/a11y_test.py" "$tamblet" "$devsim" "$pgm" "$work" || rc=$?
  [[ $rc -ne 0 && ! -f $work/started ]] || exit "$rc"
  echo "attempt $attempt: the X session did not start (status $rc)" >&2
done
echo "FAIL: no X session could be started" >&2
exit 1
