# shellcheck shell=bash
# What run_a11y_test.sh and run_wayland_test.sh share: the check of what a
# session needs, a private JACK server, and the process group of the session,
# both stopped on every way out.

# Debian's own Python: the AT-SPI bindings are packaged for it, not for
# another interpreter that may come first on PATH.
python=/usr/bin/python3
missing() { echo "FAIL: $1 missing (run scripts/setup.sh --test)" >&2; exit 1; }
need() { # TOOL...
  "$python" -c 'import pyatspi' 2>/dev/null || missing python3-pyatspi
  local tool
  for tool; do command -v "$tool" >/dev/null || missing "$tool"; done
}

# Everything the session starts (its D-Bus daemons, the accessibility
# services, the programs under test) shares its process group.
stop_group() {
  [[ -n $group ]] || return 0
  kill -TERM -- "-$group" 2>/dev/null
  timeout 3 bash -c "while kill -0 -- -$group 2>/dev/null; do sleep 0.1; done"
  kill -KILL -- "-$group" 2>/dev/null
  group=
}
cleanup() {
  stop_group
  [[ -f $state ]] && "$jack_script_" stop "$state" >/dev/null
}

# A fresh WORK_DIR and a JACK server for the session, stopped with it.
start_session() { # WORK_DIR JACK_SCRIPT
  rm -rf "$1"
  mkdir -p "$1"
  state=$1/jack.state jack_script_=$2
  group=
  trap cleanup EXIT
  trap 'exit 143' INT TERM
  # The script tries a few times and fails loudly if no server comes up.
  "$jack_script_" start "$state" || exit 1
  local server
  read -r server _ <"$state"
  export JACK_DEFAULT_SERVER=$server
  unset AT_SPI_BUS_ADDRESS  # the desktop's own accessibility bus, if any, is not ours
}

# Runs COMMAND as the session, in a process group of its own, for at most
# LIMIT seconds; everything it started is stopped with it. Its status.
run_session() { # LIMIT COMMAND...
  local limit=$1 rc
  shift
  setsid timeout -k 5 "$limit" "$@" &
  group=$!
  wait "$group"
  rc=$?
  stop_group
  ((rc != 124)) || echo "FAIL: the session did not end within $limit s" >&2
  return "$rc"
}
