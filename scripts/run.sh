#!/usr/bin/env bash
# Sets everything up and runs Tamblet. With no device attached, it runs against
# the simulated device: a JACK server on the dummy backend (only if none runs),
# tamblet-devsim, and a sample update file. Without a display it drives the same
# window offscreen through Browse and Load and saves a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target tamblet tamblet-demo tamblet-devsim tamblet-pgm

tamblet=$build/app/qt/tamblet
has_display() { [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; }

# A real device shows up as an ALSA card whose name begins with "QELMAR ".
if grep -q ' QELMAR ' /proc/asound/cards 2>/dev/null; then
  echo "run: a QELMAR device is attached"
  exec "$tamblet"
fi

echo "run: no device attached; starting the simulated one"
work=$(mktemp -d /tmp/tamblet-demo.XXXXXX)
started=()
jack_state=$work/jack.state
cleanup() {
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -f $jack_state ]]; then scripts/jack-test-server.sh stop "$jack_state" >/dev/null; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if ! jack_wait -c 2>/dev/null | grep -qx running; then
  # Real-time where the system allows it, as the tests' server: without it a
  # busy machine makes the server miss cycles, and a missed cycle loses replies.
  echo "run: starting a JACK server on the dummy backend"
  TAMBLET_JACK_NAMES=${JACK_DEFAULT_SERVER:-default} TAMBLET_JACK_LIFETIME=0 \
    scripts/jack-test-server.sh start "$jack_state" | sed 's/^/run: /'
fi

model=DEMO-1
sample=$work/sample.pgm
"$build/tools/tamblet-pgm" write "$sample" --model "$model" --version 1.02 --target 1 \
  --chunk 0x10000 --region 0:0x30000 --region 0x40000:0x18000 --image-size 0x80000 --seed 7 \
  >/dev/null
"$build/sim/devsim/tamblet-devsim" --model "$model" --flash-size 0x80000 --quiet \
  --dump "$work/device-flash.bin" >"$work/devsim.log" 2>&1 &
started=("$!" "${started[@]}")
# Wait until the simulated device's ports exist before Tamblet looks for them.
for _ in $(seq 50); do
  jack_lsp 2>/dev/null | grep -q '^QELMAR SIM:' && break
  sleep 0.1
done

echo "run: sample update file: $sample"
if has_display; then
  "$tamblet"
else
  echo "run: no display; driving the window offscreen"
  QT_QPA_PLATFORM=offscreen "$build/app/demo/tamblet-demo" "$sample" "$work/tamblet.png"
  echo "run: screenshot saved to $work/tamblet.png"
fi
