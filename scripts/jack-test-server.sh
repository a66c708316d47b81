#!/usr/bin/env bash
# Starts and stops a private JACK server on the dummy backend, for tests and for
# the simulated setup of run.sh.
#   jack-test-server.sh start STATE_FILE   start one under a name no running
#                                          server has; the file gets "NAME PID"
#   jack-test-server.sh stop STATE_FILE    stop the server named in the file
# Names come from a small pool (TAMBLET_JACK_NAMES), taken under a lock, so
# parallel runs and a demo server never meet. The pool is not a fresh name per
# run because JACK keeps a machine-wide table of at most 8 servers, and a
# server stopped while clients are still connected leaves its entry behind;
# only a later server of the same name takes that entry back.
# A server that fails to start is tried again; if it never comes up, start fails.
set -u
export LC_ALL=C

command=${1:-}
state=${2:-}
if [[ -z $command || -z $state ]]; then
  echo "usage: $0 start|stop STATE_FILE" >&2
  exit 2
fi
period=${TAMBLET_JACK_PERIOD:-256}
# Real-time scheduling where the system allows it: a client that is not
# scheduled within its period misses the cycle, and a missed cycle loses MIDI
# events. On a loaded machine without it that happens now and then.
# TAMBLET_JACK_MODE replaces the choice (e.g. "--no-realtime").
if chrt -f 1 true 2>/dev/null; then default_mode=--realtime; else default_mode=--no-realtime; fi
read -r -a mode <<<"${TAMBLET_JACK_MODE:-$default_mode}"
attempts=3
names=${TAMBLET_JACK_NAMES:-"tamblet-test-1 tamblet-test-2 tamblet-test-3 tamblet-test-4 tamblet-test-5 tamblet-test-6"}
lock=${TMPDIR:-/tmp}/tamblet-jack-test-server.lock
# An orphaned server (a run killed before its cleanup) ends by itself after this
# many seconds; 0 keeps it until it is stopped.
lifetime=${TAMBLET_JACK_LIFETIME:-1800}

stop_pid() {
  local pid=$1 server
  # jackd starts a session of its own, so killing timeout's group misses it:
  # it is named here, before timeout can end and leave it orphaned.
  server=$(pgrep -P "$pid")
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" $server 2>/dev/null
  return 0
}

case $command in
  start)
    mkdir -p "$(dirname "$state")"
    log="$state.log"
    # Held until this script ends: choosing a name and starting under it is one step.
    exec 9>"$lock"
    if ! flock -w 120 9; then
      echo "cannot take $lock" >&2
      exit 1
    fi
    for attempt in $(seq $attempts); do
      name=
      for candidate in $names; do
        if [[ $(jack_wait -s "$candidate" -c 2>/dev/null) == "not running" ]]; then
          name=$candidate
          break
        fi
      done
      if [[ -z $name ]]; then
        echo "every test server name is taken by a running server: $names" >&2
        exit 1
      fi
      # Output to a file: a test runner waits for the pipes of what it started.
      timeout -s TERM "$lifetime" jackd -n "$name" "${mode[@]}" -d dummy -r 48000 -p "$period" \
        </dev/null >"$log" 2>&1 9>&- &
      pid=$!
      if jack_wait -s "$name" -w -t 5 >/dev/null 2>&1 && kill -0 "$pid" 2>/dev/null; then
        echo "$name $pid" >"$state"
        echo "JACK server \"$name\" running (pid $pid, ${mode[*]}, period $period)"
        exit 0
      fi
      echo "attempt $attempt: JACK server \"$name\" did not start" >&2
      stop_pid "$pid"
    done
    echo "no JACK server could be started; its last output:" >&2
    cat "$log" >&2
    exit 1
    ;;
  stop)
    if [[ ! -f $state ]]; then
      echo "no server state in $state" >&2
      exit 1
    fi
    read -r name pid <"$state"
    stop_pid "$pid"
    rm -f "$state"
    echo "JACK server \"$name\" stopped"
    ;;
  *)
    echo "unknown command: $command" >&2
    exit 2
    ;;
esac
