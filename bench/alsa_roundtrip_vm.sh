#!/usr/bin/env bash
# Measures, in one run of the test virtual machine, the round trip of one
# exchange through the ALSA backend against tamblet-devsim on the USB MIDI
# gadget: first with the raw ports free, then with both held by sequencer
# connections (aseqdump reading, the through port writing), so that the
# sequencer carries every exchange. Also tells whether the kernel reported a
# MIDI output overrun while the 2362-byte frames went out through it.
#   bench/alsa_roundtrip_vm.sh BUILD_DIR        (e.g. build/release)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
out=$build/bench/alsa_roundtrip_vm
mkdir -p "$out"
cat >"$out/measure.sh" <<CASE
bench=$build/bench/alsa_roundtrip_bench
modprobe -d "\$TAMBLET_VM_KERNEL" -S "\$(cat "\$TAMBLET_VM_KERNEL/version")" snd-seq-dummy
gadget dev "QELMAR ORC"
devsim dev
echo "== raw ports free"
"\$bench"
client=\$(seq_client dev)
aseqdump -p "\$client:0" >/dev/null 2>&1 &
at_exit "kill \$!"
aconnect 14:0 "\$client:0"
at_exit "aconnect -d 14:0 \$client:0"
sleep 1
cat "/proc/asound/card\${HOST_CARD[dev]}/midi0"
dmesg -C
echo "== both raw ports held: through the sequencer"
"\$bench" 2>/dev/null
dmesg | grep -i overrun || echo "no MIDI output overrun reported by the kernel"
CASE
"$repo/scripts/vm/run-cases.sh" "$out" "$build/sim/devsim/tamblet-devsim" \
  "$build/app/demo/tamblet-demo" "$build/tools/tamblet-pgm" "$out/measure.sh" >/dev/null
sed -n '/^== /,/^--- /p' "$out/measure.log" | grep -v '^--- '
