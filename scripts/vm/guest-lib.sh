# Helpers for the test cases that run inside the virtual machine; sourced by
# guest.sh into each case's shell, whose folder is a fresh tmpfs folder.
# A case makes USB MIDI gadgets, plays the device on their device side with
# tamblet-devsim and drives the real window with tamblet-demo.
#
#   gadget NAME PRODUCT [MANUFACTURER [UDC_NUMBER]]   plug a USB MIDI device; NAME, a short
#                                                      word, is also its device side card id
#   unplug NAME / plug NAME                            pull it and plug it back
#   devsim NAME [OPTIONS...]                           play the device on it
#   devsim_stop NAME                                   end it (writes NAME.flash)
#   update_file FILE [small]                           a 64 KiB update (image in FILE.image),
#                                                      or one of 8 KiB in one region
#   demo [--loads N] FILE                              run the window in the background
#   demo_end / demo_status / demo_line_ms TEXT         its end, last status, when TEXT came
#   demo_next                                          press Load again (demo --loads N)
#   fail TEXT                                          end the case as failed
#   seq_client NAME / held_by PID|any NAME Output|Input its sequencer client; who holds its port
#   at_exit COMMAND                                    run COMMAND when the case ends
#
# The programs come from the environment: $TAMBLET_DEVSIM, $TAMBLET_DEMO,
# $TAMBLET_PGM, $TAMBLET_CLI (see tests/vm/CMakeLists.txt). A new case is one more file in
# tests/vm/cases/.

declare -A GADGET_UDC HOST_CARD GADGET_CARD DEVSIM_PID
DEMO_PID=
MODEL=VM-SIM
FLASH_SIZE=0x10000

fail() {
  echo "FAIL: $*"
  exit 1
}

now_ms() {  # without a new process: cheap enough to stamp every line
  local t=${EPOCHREALTIME/./}
  echo "${t%???}"
}

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
  local seconds=$1
  shift
  local until=$(($(now_ms) + seconds * 1000))
  until "$@"; do
    (($(now_ms) < until)) || return 1
    sleep 0.1
  done
}

card_of_udc() {  # the host-side card of the gadget on dummy_udc.$1 (its long name says so)
  awk -v at="at usb-dummy_hcd.$1-1," '/^ *[0-9]+ \[/ { card = $1 } index($0, at) { print card; exit }' \
    /proc/asound/cards
}
plugged() {
  local name=$1
  HOST_CARD[$name]=$(card_of_udc "${GADGET_UDC[$name]}")
  GADGET_CARD[$name]=$(readlink "/proc/asound/$name" 2>/dev/null | sed 's/^card//')
  [[ -n ${HOST_CARD[$name]} && -n ${GADGET_CARD[$name]} &&
     -e /dev/snd/midiC${HOST_CARD[$name]}D0 && -e /dev/snd/midiC${GADGET_CARD[$name]}D0 ]]
}

gadget() {
  local name=$1 product=$2 maker=${3:-QELMAR} udc=${4:-0}
  local g=/sys/kernel/config/usb_gadget/$name
  mkdir "$g" "$g/strings/0x409" "$g/functions/midi.usb0" "$g/configs/c.1"
  echo 0x1d6b >"$g/idVendor"
  echo 0x0104 >"$g/idProduct"
  echo "$maker" >"$g/strings/0x409/manufacturer"
  echo "$product" >"$g/strings/0x409/product"
  echo "$name" >"$g/strings/0x409/serialnumber"
  echo 1 >"$g/functions/midi.usb0/in_ports"
  echo 1 >"$g/functions/midi.usb0/out_ports"
  echo "$name" >"$g/functions/midi.usb0/id"  # the device side's card id
  ln -s "$g/functions/midi.usb0" "$g/configs/c.1/"
  GADGET_UDC[$name]=$udc
  plug "$name"
}

plug() {
  echo "dummy_udc.${GADGET_UDC[$1]}" >"/sys/kernel/config/usb_gadget/$1/UDC"
  wait_for 10 plugged "$1" || fail "gadget $1: no cards after plugging"
  echo "plugged $1: host card ${HOST_CARD[$1]}, device side card ${GADGET_CARD[$1]}"
}

unplug() {
  echo >"/sys/kernel/config/usb_gadget/$1/UDC"
  echo "unplugged $1 at $(now_ms)"
}

devsim() {
  local name=$1
  shift
  "$TAMBLET_DEVSIM" --raw "/dev/snd/midiC${GADGET_CARD[$name]}D0" --model "$MODEL" \
    --flash-size "$FLASH_SIZE" --dump "$name.flash" "$@" >"devsim-$name.log" 2>&1 &
  DEVSIM_PID[$name]=$!
  wait_for 10 grep -q '^ready' "devsim-$name.log" || fail "devsim $name: $(cat "devsim-$name.log")"
}

devsim_stop() {  # returns tamblet-devsim's exit status
  local pid=${DEVSIM_PID[$1]:-} status=0
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  DEVSIM_PID[$1]=
  return "$status"
}

seq_client() {  # the kernel's sequencer client for the gadget's host-side card
  aconnect -l | awk -v card="card=${HOST_CARD[$1]}]" '/^client/ && index($0, card) { sub(":", "", $2); print $2; exit }'
}
held_by() {  # true when process $1 (or any) holds the $3 ("Output" or "Input") substream of $2's port
  awk -v pid="$1" -v dir="$3" '/^[A-Z]/ { inside = $1 == dir }
    inside && /Owner PID/ && (pid == "any" || $NF == pid) { found = 1 } END { exit !found }' \
    "/proc/asound/card${HOST_CARD[$2]}/midi0"
}

CASE_CLEANUP=()
at_exit() { CASE_CLEANUP+=("$1"); }

devsim_requests() { grep -c '^[0-9]* ' "devsim-$1.log" || true; }

# A 64 KiB image and an update file with two regions and a gap between them;
# a small one where only the run's end matters.
update_file() {
  head -c 65536 /dev/urandom >"$1.image"
  local regions=(--region 0:0x6000 --region 0x8000:0x4001)
  [[ ${2:-} == small ]] && regions=(--region 0:0x2000)
  "$TAMBLET_PGM" write "$1" --model "$MODEL" --version 1.02 --target 1 --chunk 0x2000 \
    "${regions[@]}" --image "$1.image" >/dev/null
}

# The device's flash holds the image in both regions and nothing elsewhere.
flash_matches() {
  local flash=$1 image=$2
  cmp -n $((0x6000)) "$image" "$flash" || return 1
  cmp -n $((0x4001)) -i $((0x8000)):$((0x8000)) "$image" "$flash" || return 1
  [[ $(head -c $((0x8000)) "$flash" | tail -c $((0x2000)) | tr -d '\377' | wc -c) == 0 ]]
}

demo() {
  echo "window started at $(now_ms)"
  mkfifo demo.in demo.out
  # Each line of the window's output gets the time it came.
  (while IFS= read -r line; do
    t=${EPOCHREALTIME/./}
    echo "${t%???} $line"
  done <demo.out >demo.log) &
  STAMP_PID=$!
  QT_QPA_PLATFORM=offscreen "$TAMBLET_DEMO" "$@" demo.png <demo.in >demo.out 2>demo.err &
  DEMO_PID=$!
  exec 7>demo.in  # held open so that the window's standard input stays open
}
demo_next() { echo next >&7; }
demo_wait() {  # returns the demo's exit status
  local status=0
  wait_for "${1:-60}" bash -c "! kill -0 $DEMO_PID 2>/dev/null" || fail "the window hangs: $(demo_status)"
  wait "$DEMO_PID" || status=$?
  wait "$STAMP_PID" || true
  DEMO_PID=
  return "$status"
}
demo_end() {  # the window ended by itself, neither hung nor crashed
  local status=0
  demo_wait "$@" || status=$?
  ((status <= 1)) || fail "the window ended with status $status: $(tail -n 3 demo.err)"
}
demo_status() { sed -n 's/^[0-9]* status: //p' demo.log | tail -n 1; }
demo_port() { sed -n "s/^[0-9]* $1 port: //p" demo.log | tail -n 1; }
demo_line_ms() { grep -m 1 "^[0-9]* $1\$" demo.log | cut -d' ' -f1; }
demo_has_line() { grep -q "^[0-9]* $1\$" demo.log; }

cleanup_case() {
  local status=$?
  set +e
  local command
  for command in "${CASE_CLEANUP[@]}"; do eval "$command" 2>/dev/null; done
  {
    [[ -n $DEMO_PID ]] && kill -KILL "$DEMO_PID" && wait "$DEMO_PID"
    for name in "${!DEVSIM_PID[@]}"; do devsim_stop "$name"; done
  } 2>/dev/null
  for f in demo.log devsim-*.log; do
    [[ -f $f ]] && { echo "--- $f"; tail -n 40 "$f"; }
  done
  local g
  for g in /sys/kernel/config/usb_gadget/*/; do
    [[ -d $g ]] || continue
    echo >"$g/UDC" 2>/dev/null
    rm -f "$g"/configs/c.1/midi.usb0
    rmdir "$g"/configs/c.1 "$g"/functions/midi.usb0 "$g"/strings/0x409 "$g" 2>/dev/null
  done
  exit "$status"
}

# At least N virtual host/device controller pairs (dummy_udc.0 .. N-1); no
# gadget is bound between cases, so the driver can be loaded again.
controllers() {
  [[ -e /sys/class/udc/dummy_udc.$(($1 - 1)) ]] && return 0
  rmmod dummy_hcd
  modprobe -d "$TAMBLET_VM_KERNEL" -S "$(cat "$TAMBLET_VM_KERNEL/version")" dummy_hcd num="$1"
}

# Plugs each gadget NAME... (made by gadget, then unplugged) with its device played by
# devsim_timed, then lets the host take them all in at once: AUTHORIZED_MS[NAME] is when.
# The host leaves a device alone until it is authorized, so the slow start of the players
# under emulation does not race the host's first request.
declare -A AUTHORIZED_MS
host_usb() {  # the host's USB device of the gadget on dummy_udc.$1, in /sys/bus/usb/devices
  local hub
  for hub in /sys/bus/usb/devices/usb*; do
    [[ $(readlink -f "$hub") == */dummy_hcd.$1/* ]] && echo "/sys/bus/usb/devices/${hub##*/usb}-1"
  done
  return 0
}
plug_at_once() {
  local name hub
  for hub in /sys/bus/usb/devices/usb*; do echo 0 >"$hub/authorized_default"; done
  at_exit 'for hub in /sys/bus/usb/devices/usb*; do echo 1 >"$hub/authorized_default"; done'
  for name in "$@"; do
    echo "dummy_udc.${GADGET_UDC[$name]}" >"/sys/kernel/config/usb_gadget/$name/UDC"
  done
  for name in "$@"; do
    wait_for 10 device_side "$name" || fail "gadget $name: no device side card after plugging"
    devsim_timed "$name"
    wait_for 10 test -e "$(host_usb "${GADGET_UDC[$name]}")/authorized" || fail "gadget $name: not seen by the host"
  done
  for name in "$@"; do
    AUTHORIZED_MS[$name]=$(now_ms)
    echo 1 >"$(host_usb "${GADGET_UDC[$name]}")/authorized"
  done
  for hub in /sys/bus/usb/devices/usb*; do echo 1 >"$hub/authorized_default"; done
  for name in "$@"; do
    wait_for 10 plugged "$name" || fail "gadget $name: no cards after plugging"
  done
}
device_side() {
  GADGET_CARD[$1]=$(readlink "/proc/asound/$1" 2>/dev/null | sed 's/^card//')
  [[ -n ${GADGET_CARD[$1]} && -e /dev/snd/midiC${GADGET_CARD[$1]}D0 ]]
}

# devsim, with each line of its log stamped with the time it came (ms).
devsim_timed() {
  devsim_timed_start "$@"
  devsim_ready "$1"
}
devsim_timed_start() {
  local name=$1
  shift
  rm -f "devsim-$name.fifo"
  mkfifo "devsim-$name.fifo"
  (while IFS= read -r line; do
    t=${EPOCHREALTIME/./}
    echo "${t%???} $line"
  done <"devsim-$name.fifo" >"devsim-$name.log") &
  "$TAMBLET_DEVSIM" --raw "/dev/snd/midiC${GADGET_CARD[$name]}D0" --model "$MODEL" \
    --flash-size "$FLASH_SIZE" --dump "$name.flash" "$@" >"devsim-$name.fifo" 2>&1 &
  DEVSIM_PID[$name]=$!
}
devsim_ready() {
  wait_for 10 grep -q '^[0-9]* ready' "devsim-$1.log" || fail "devsim $1: $(cat "devsim-$1.log")"
}
# When devsim_timed's device got its first request (ms).
first_request_ms() { awk '$2 ~ /^[0-9]+$/ { print $1; exit }' "devsim-$1.log"; }
# Median of the numbers given.
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
