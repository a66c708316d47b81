#!/usr/bin/env bash
# Makes the README's pictures: the real program under a virtual X server
# against the simulated device on a private JACK server, the main window and
# then the About box (F1), each cut from the server's frame buffer.
#   scripts/screenshots.sh [BUILD_DIR [OUT_DIR]]   (default build/release, docs/screenshots)
# Sets up and configures the build folder when it has not been yet.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release} out=${2:-docs/screenshots}
bash scripts/setup.sh >/dev/null
[[ -f $build/CMakeCache.txt ]] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target tamblet tamblet-devsim tamblet-pgm >/dev/null
work=$(mktemp -d /tmp/tamblet-shots.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -f $work/jack.state ]] && scripts/jack-test-server.sh stop "$work/jack.state" >/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

scripts/jack-test-server.sh start "$work/jack.state" >/dev/null
read -r server _ <"$work/jack.state"
export JACK_DEFAULT_SERVER=$server
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -fbdir "$work" -nolisten tcp 2>/dev/null &
pids+=("$!")
export DISPLAY=$display QT_QPA_PLATFORM=xcb
"$build/sim/devsim/tamblet-devsim" --model MODEL-1 --quiet >"$work/devsim.log" 2>&1 &
pids+=("$!")
for _ in $(seq 50); do jack_lsp 2>/dev/null | grep -q '^QELMAR SIM:' && break; sleep 0.1; done
"$build/tools/tamblet-pgm" write "$work/update.pgm" --model MODEL-1 --version 1.01 --target 1 \
  --chunk 0x4000 --region 0:0x8000 --image-size 0x8000 --seed 3 >/dev/null
"$build/app/qt/tamblet" >"$work/tamblet.log" 2>&1 &
pids+=("$!")

# Saves the active window, once its title is $1, as PNG $2.
shot() {
  local id=
  for _ in $(seq 100); do
    id=$(xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | tail -1) && break
    sleep 0.1
  done
  sleep 1  # drawn
  eval "$(xdotool getwindowgeometry --shell "$id")"
  python3 - "$work/Xvfb_screen0" "$X" "$Y" "$WIDTH" "$HEIGHT" "$2" <<'PY'
import struct, sys, zlib
path, x, y, w, h, png = sys.argv[1], *map(int, sys.argv[2:6]), sys.argv[6]
data = open(path, "rb").read()
head = struct.unpack(">25I", data[:100])
size, bpp, line, ncolors = head[0], head[11], head[12], head[19]
assert bpp == 32, bpp
pixels = data[size + 12 * ncolors:]
rows = b"".join(b"\0" + bytes(c for i in range(x, x + w)
                               for c in pixels[r * line + 4 * i:r * line + 4 * i + 3][::-1])
                for r in range(y, y + h))
chunk = lambda kind, body: (struct.pack(">I", len(body)) + kind + body
                            + struct.pack(">I", zlib.crc32(kind + body)))
open(png, "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                      + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
PY
  echo "screenshots: $2"
}
mkdir -p "$out"
xdotool search --sync --onlyvisible --name '^Tamblet$' >/dev/null
xdotool mousemove 799 599 key alt+b
xdotool search --sync --onlyvisible --name '^Open$' >/dev/null
sleep 1
xdotool type "$work/update.pgm"
xdotool key Return
shot Tamblet "$out/main-dialog.png"
xdotool key F1
shot "About Tamblet" "$out/about-box.png"
