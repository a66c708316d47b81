#!/usr/bin/env bash
# tamblet-cli as a service manager meets it, against tamblet-devsim on a JACK
# server of its own: a hang-up leaves the update running, SIGTERM stops it
# before its next request and the program ends with status 143.
#   cli_signals.sh JACK_SCRIPT STATE_FILE TAMBLET_CLI TAMBLET_DEVSIM TAMBLET_PGM
set -u
script=$1 state=$2 cli=$3 devsim=$4 pgm=$5
work=$(mktemp -d)
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
cleanup() {
  [[ -n ${sim-} ]] && kill "$sim" 2>/dev/null && wait "$sim"
  "$script" stop "$state"
  rm -rf "$work"
}
"$script" start "$state" >&2 || fail "no JACK server"
trap cleanup EXIT
read -r name _ <"$state"
export JACK_DEFAULT_SERVER=$name

"$pgm" write "$work/update.pgm" --model SIG-1 --version 1.02 --target 1 --chunk 0x800 \
  --region 0:0x10000 --image-size 0x10000 >/dev/null || fail "tamblet-pgm"
# Each reply 30 ms late: the data load takes seconds.
"$devsim" --model SIG-1 --flash-size 0x10000 --delay 30 >"$work/devsim.log" &
sim=$!
for _ in $(seq 50); do grep -q '^ready' "$work/devsim.log" && break; sleep 0.1; done

"$cli" update "$work/update.pgm" >"$work/out" 2>"$work/err" &
cli_pid=$!
for _ in $(seq 200); do grep -q '^Loading' "$work/out" && break; sleep 0.05; done
grep -q '^Loading' "$work/out" || fail "no load: $(cat "$work/out" "$work/err")"
kill -HUP "$cli_pid"
sleep 0.5
kill -0 "$cli_pid" 2>/dev/null || fail "a hang-up ended the update"
kill -TERM "$cli_pid"
wait "$cli_pid"
status=$?
((status == 143)) || fail "exit status $status after SIGTERM: $(tail -n 3 "$work/out" "$work/err")"
[[ $(tail -n 1 "$work/out") == "Load failed!!" ]] || fail "ended at $(tail -n 1 "$work/out")"
grep -q '^tamblet-cli: terminated; the ports are closed' "$work/err" || fail "$(cat "$work/err")"
# The request under way was answered and none followed: the device's count stands.
sleep 0.3
before=$(grep -c WriteData "$work/devsim.log")
sleep 0.5
[[ $(grep -c WriteData "$work/devsim.log") == "$before" ]] || fail "requests after SIGTERM"
echo "PASS: SIGHUP ignored; SIGTERM gave 143 and Load failed!! after $before WriteData"
