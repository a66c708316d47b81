#!/usr/bin/env bash
# Fetches Debian's kernel once and builds the virtual machine's initramfs, both
# into a cache outside the repository, and prints the initramfs's path there.
# Later runs find everything in place and only print it.
#   prepare.sh            (cache: $TAMBLET_VM_CACHE or ${XDG_CACHE_HOME:-$HOME/.cache}/tamblet-vm)
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin  # depmod and modprobe, also for a user without them on PATH

here=$(cd "$(dirname "$0")" && pwd)
cache=${TAMBLET_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tamblet-vm}
mkdir -p "$cache"
cd "$cache"

# Modules the initramfs needs to reach this machine's root over 9p.
initramfs_modules=(virtio_pci 9pnet_virtio 9p)

if [[ ! -f kernel/ready ]]; then
  package=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
  [[ -n $package ]] || { echo "prepare: no kernel package behind linux-image-amd64 (apt-get update needed?)" >&2; exit 1; }
  echo "prepare: fetching $package" >&2
  rm -rf download kernel
  mkdir -p download
  # As root apt warns that it cannot hand the download to its sandbox user.
  (cd download && apt-get download "$package" 2>&1 >/dev/null | grep -v 'unsandboxed' >&2 || true)
  compgen -G 'download/*.deb' >/dev/null ||
    { echo "prepare: cannot download $package (network, or apt-get update needed?)" >&2; exit 1; }
  dpkg-deb -x download/*.deb kernel
  version=$(ls kernel/lib/modules)
  depmod -b kernel "$version"
  echo "$version" >kernel/version
  rm -rf download
  touch kernel/ready
fi
version=$(cat kernel/version)

# Named after what goes into it, so that trees of different versions (two
# clones, a branch) each boot their own init and never rebuild another's.
stamp=$(cat "$here/init" kernel/version <(printf '%s\n' "${initramfs_modules[@]}") | sha256sum)
initramfs=initramfs-${stamp:0:16}.cpio.gz
if [[ ! -f $initramfs ]]; then
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  mkdir -p "$root"/{bin,dev,proc,sys,mnt,modules}
  cp /bin/busybox "$root/bin/busybox"
  if ldd "$root/bin/busybox" >/dev/null 2>&1; then
    echo "prepare: /bin/busybox is not static (install busybox-static)" >&2
    exit 1
  fi
  # Loaded in this order by init.
  modprobe -d "$cache/kernel" -S "$version" -a --show-depends "${initramfs_modules[@]}" |
    awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' >"$root/modules/order"
  while read -r module; do
    cp "$module" "$root/modules/"
  done <"$root/modules/order"
  sed -i 's|.*/||' "$root/modules/order"
  cp "$here/init" "$root/init"
  chmod +x "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$initramfs.tmp.$$"
  mv "$initramfs.tmp.$$" "$initramfs"
fi
echo "$cache/$initramfs"
