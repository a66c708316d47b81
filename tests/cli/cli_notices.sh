#!/usr/bin/env bash
# What tamblet-cli says before and instead of an update, against tamblet-devsim
# on JACK servers of its own: a server without real-time scheduling is named
# before the ports open and the update goes on; with it, nothing is said; a
# second update of the same instrument is kept off (status 4) and names the
# program and process that runs the first, on standard error and in JSON.
#   cli_notices.sh JACK_SCRIPT STATE_FILE TAMBLET_CLI TAMBLET_DEVSIM TAMBLET_PGM
set -u
script=$1 state=$2 cli=$3 devsim=$4 pgm=$5
work=$(mktemp -d)
sim='' first=''
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
stop_all() {
  [[ -n $first ]] && kill "$first" 2>/dev/null && wait "$first"
  [[ -n $sim ]] && kill "$sim" 2>/dev/null && wait "$sim"
  first='' sim=''
  [[ -f $state ]] && "$script" stop "$state" >/dev/null
}
trap 'stop_all; rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work  # the device locks of this test alone
"$pgm" write "$work/update.pgm" --model NOTE-1 --version 1.00 --target 1 --chunk 0x800 \
  --region 0:0x8000 --image-size 0x8000 >/dev/null || fail "tamblet-pgm"

# Starts a server in `mode` and the instrument on it.
start() {
  TAMBLET_JACK_MODE=$1 "$script" start "$state" >&2 || fail "no JACK server ($1)"
  read -r name _ <"$state"
  export JACK_DEFAULT_SERVER=$name
  "$devsim" --model NOTE-1 --flash-size 0x8000 --delay "$2" >"$work/devsim.log" &
  sim=$!
  for _ in $(seq 50); do grep -q '^ready' "$work/devsim.log" && break; sleep 0.1; done
  grep -q '^ready' "$work/devsim.log" || fail "tamblet-devsim: $(cat "$work/devsim.log")"
}
slow='which runs without real-time scheduling'

# The two checks below fit in the five seconds the first update waits after its open.
start --no-realtime 20
"$cli" --json update "$work/update.pgm" >"$work/first.json" 2>"$work/first.err" &
first=$!
for _ in $(seq 100); do grep -q '"Device open....' "$work/first.json" && break; sleep 0.1; done
# The notice comes between the open's status and the wait after it.
sed -n '/"Device open\.\.\.\./,$p' "$work/first.json" | sed -n 2p | grep -q "JACK server \\\\\"$name\\\\\", $slow" ||
  fail "no notice before the open: $(cat "$work/first.json")"
grep -q "$slow" "$work/first.err" || fail "not on standard error: $(cat "$work/first.err")"

for form in plain json; do
  words=(update "$work/update.pgm")
  [[ $form == json ]] && words=(--json "${words[@]}")
  "$cli" "${words[@]}" >"$work/second.out" 2>"$work/second.err"
  status=$?
  ((status == 4)) || fail "$form: status $status for a second update: $(cat "$work/second.err")"
  held="is being updated by tamblet-cli (process $first): wait until that update has ended, then run the update again."
  grep -qF "$held" "$work/second.err" || fail "$form: $(cat "$work/second.err")"
  if [[ $form == json ]]; then
    grep -F '"type":"message"' "$work/second.out" | grep -qF "$held" || fail "json: $(cat "$work/second.out")"
  fi
done
# Ended here: on a busy machine this server may well lose a reply, as the notice says.
kill -TERM "$first"
wait "$first"
status=$?
first=
((status == 143)) || fail "the first update ended with $status: $(tail -n 3 "$work/first.json")"
stop_all

# With real-time scheduling, where the system grants it.
if chrt -f 1 true 2>/dev/null; then
  start --realtime 0
  "$cli" update "$work/update.pgm" >"$work/rt.out" 2>"$work/rt.err" || fail "real-time: $(cat "$work/rt.err")"
  ! grep -q "$slow" "$work/rt.out" "$work/rt.err" || fail "a notice on a real-time server"
  stop_all
  echo "PASS: notice without real-time, none with it; a second update names the first's process"
else
  echo "PASS: notice without real-time; a second update names the first's process (no real-time here)"
fi
