#!/usr/bin/env bash
# Boots Debian's kernel in a virtual machine whose root is this machine's root
# (over 9p, chrooted), runs one shell script there as root, and powers off.
# The script sees the same paths as here, so it runs the binaries just built.
#   boot.sh JOB_SCRIPT [NAME...]
# Each NAME is a folder right in this machine's /tmp that the guest shows in its
# own /tmp (a tmpfs, since sockets cannot be bound over 9p).
# KVM is used when /dev/kvm can be opened and the processor offers hardware
# virtualisation (vmx or svm), else QEMU's emulator; TAMBLET_VM_ACCEL=tcg or
# =kvm chooses. The console goes to standard output. Exits non-zero when no
# virtual machine can run; the job reports its own results in files.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")" && pwd)
job=$(realpath "$1")
shift
tmp_args=""
for name in "$@"; do tmp_args+=" tamblet.tmp=$name"; done

for tool in qemu-system-x86_64 cpio depmod modprobe; do
  command -v "$tool" >/dev/null || {
    echo "vm: $tool is missing: run scripts/setup.sh --test (qemu-system-x86, cpio, kmod, busybox-static)" >&2
    exit 1
  }
done
initramfs=$("$here/prepare.sh")
cache=$(dirname "$initramfs")
version=$(cat "$cache/kernel/version")

accel=${TAMBLET_VM_ACCEL:-}
if [[ -z $accel ]]; then
  accel=tcg
  # A /dev/kvm without vmx/svm (a paravirtual one) does not run a stock kernel.
  if [[ -r /dev/kvm && -w /dev/kvm ]] && grep -qw -e vmx -e svm /proc/cpuinfo; then accel=kvm; fi
fi
cpu=max
[[ $accel == kvm ]] && cpu=host
echo "vm: booting $version with $accel"

# The guest powers off at the job's end; the time-out only stops a hung guest,
# before ctest's own time-out would.
timeout --foreground "${TAMBLET_VM_TIMEOUT:-540}" qemu-system-x86_64 \
  -accel "$accel" -cpu "$cpu" -smp 2 -m 1536 \
  -kernel "$cache/kernel/boot/vmlinuz-$version" -initrd "$initramfs" \
  -append "console=ttyS0 loglevel=${TAMBLET_VM_LOGLEVEL:-3} panic=-1 tamblet.job=$job$tmp_args" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap,id=hostroot \
  -display none -serial stdio -monitor none -no-reboot -nodefaults </dev/null
