#!/usr/bin/env bash
# Runs inside the virtual machine, as its job: loads the USB and sound
# modules, then runs each test case in its own shell with a time-out and
# writes OUT/<case>.result ("PASS" or "FAIL: why") and OUT/<case>.log.
#   guest.sh OUT CASE_FILE...
# The binaries under test come from the environment (see run-cases.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$1
shift

modprobe_vm() { modprobe -d "$TAMBLET_VM_KERNEL" -S "$(cat "$TAMBLET_VM_KERNEL/version")" "$@"; }
setup() {
  # Two virtual host/device controller pairs: dummy_udc.0 and dummy_udc.1.
  modprobe_vm dummy_hcd num=2 &&
    modprobe_vm libcomposite && modprobe_vm usb_f_midi && modprobe_vm snd-usb-audio &&
    modprobe_vm snd-seq && modprobe_vm snd-seq-midi &&
    mount -t configfs configfs /sys/kernel/config
}
if ! setup; then
  echo "vm: the kernel modules did not load" | tee "$out/setup.failed"
  exit 1
fi
echo "vm: modules loaded at $(cut -d' ' -f1 /proc/uptime) s"

for case_file in "$@"; do
  name=$(basename "$case_file" .sh)
  work=$(mktemp -d "/tmp/$name.XXXX")  # a tmpfs: sockets can be bound here
  start=$(date +%s%3N)
  TAMBLET_VM_WORK=$work timeout -k 5 "${TAMBLET_VM_CASE_TIMEOUT:-150}" \
    bash -euo pipefail -c 'source "$1"; trap cleanup_case EXIT; cd "$TAMBLET_VM_WORK"; source "$2"' \
    _ "$here/guest-lib.sh" "$case_file" >"$out/$name.log" 2>&1
  rc=$?
  seconds=$(( ($(date +%s%3N) - start) / 1000 ))
  if ((rc == 0)); then
    result=PASS
  elif ((rc == 124 || rc == 137)); then
    result="FAIL: timed out"
  else
    result="FAIL: $(grep '^FAIL: ' "$out/$name.log" | tail -n 1 | cut -c7-)"
    [[ $result == "FAIL: " ]] && result="FAIL: exit status $rc"
  fi
  echo "$result" >"$out/$name.result"
  echo "vm: $name: $result (${seconds} s)"
  rm -rf "$work"
done
