#!/usr/bin/env bash
# End to end over a real MIDI server: the real window (driven offscreen by
# tamblet-demo) finds tamblet-devsim through the JACK backend and runs Load on a
# generated file. Then the device's memory is compared with the image.
#   jack_update_test.sh PGM DEVSIM DEMO STATE_FILE CASE
# CASE: "complete" (a good run) or "fault" (VerifySum:2:no-reply -> "Verify error!!").
set -euo pipefail
pgm=$1 devsim=$2 demo=$3 state=$4 case=$5

read -r server _ <"$state"
export JACK_DEFAULT_SERVER=$server
export QT_QPA_PLATFORM=offscreen
work=$(mktemp -d)
devsim_pid=
cleanup() {
  if [[ -n $devsim_pid ]]; then kill -TERM "$devsim_pid" 2>/dev/null || true; wait "$devsim_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A raw image with a recognisable pattern, and an update file made from it.
python3 -c "
import random, sys
random.seed(11)
sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(0x30000)))" >"$work/image.bin"
"$pgm" write "$work/update.pgm" --model E2E-SIM --version 0.99 --target 4 --chunk 0x8000 \
  --region 0:0x12000 --region 0x20000:0x9001 --image "$work/image.bin" --blocks all >/dev/null

faults=()
expect="Complete!"
if [[ $case == fault ]]; then
  faults=(--fault VerifySum:2:no-reply)
  expect="Verify error!!"
fi
"$devsim" --model E2E-SIM --flash-size 0x30000 --quiet --dump "$work/flash.bin" "${faults[@]}" \
  >"$work/devsim.log" 2>&1 &
devsim_pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$work/devsim.log" && break
  kill -0 "$devsim_pid" || { cat "$work/devsim.log"; exit 1; }
  sleep 0.1
done

status=0
timeout 120 "$demo" "$work/update.pgm" "$work/shot.png" >"$work/demo.log" 2>&1 || status=$?
cat "$work/demo.log"
kill -TERM "$devsim_pid"
wait "$devsim_pid"
devsim_pid=

last=$(grep '^status: ' "$work/demo.log" | tail -n 1)
if [[ $last != "status: $expect" ]]; then
  echo "FAIL: the run ended with \"$last\", expected \"status: $expect\" (demo exit $status)"
  exit 1
fi
grep -qx 'output port: QELMAR SIM OUT 1' "$work/demo.log" || { echo "FAIL: device not found"; exit 1; }

# Both regions hold the image; what lies between them was never written.
cmp -n $((0x12000)) "$work/image.bin" "$work/flash.bin"
cmp -n $((0x9001)) -i $((0x20000)):$((0x20000)) "$work/image.bin" "$work/flash.bin"
if [[ $(head -c $((0x20000)) "$work/flash.bin" | tail -c $((0x20000 - 0x12000)) | tr -d '\377' | wc -c) != 0 ]]; then
  echo "FAIL: bytes outside the regions were written"
  exit 1
fi
echo "PASS: $expect, device memory matches the image"
