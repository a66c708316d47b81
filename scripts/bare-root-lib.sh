# Sourced by bare-root.sh and fresh.sh: the cached bare Debian 12 root (debootstrap's
# minbase), made once beside the virtual machine's kernel ($TAMBLET_VM_CACHE or
# ${XDG_CACHE_HOME:-$HOME/.cache}/tamblet-vm) and remade when missing. Each user
# of it works in a throw-away overlay, so it stays bare. Sets `cache`, `root`,
# `archives` (downloaded packages, kept between runs) and `made`.
cache=${TAMBLET_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tamblet-vm}
root=$cache/bookworm-minbase
archives=$cache/bookworm-archives
made=cached

# The mirrors this machine's apt uses, so the root is fetched from the same place.
bare_root_mirror() {
  apt-cache policy | awk -v suite="$1/main" '$3 == suite && $2 ~ /^https?:/ { print $2; exit }'
}

make_bare_root() {
  mkdir -p "$cache" "$archives/partial"
  [[ -f $root.ready && -d $root ]] && return 0
  local main security
  main=$(bare_root_mirror bookworm)
  security=$(bare_root_mirror bookworm-security)
  main=${main:-http://deb.debian.org/debian}
  security=${security:-http://deb.debian.org/debian-security}
  echo "bare root: making a Debian 12 minbase root from $main"
  rm -rf --one-file-system "$root" "$root.ready" "$root.new"
  # man-db only for `man -w`; nothing that the packages need is added.
  debootstrap --variant=minbase --include=man-db bookworm "$root.new" "$main" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log" >&2; echo "bare root: debootstrap failed" >&2; return 1; }
  printf '%s\n' "deb $main bookworm main" "deb $main bookworm-updates main" \
    "deb $security bookworm-security main" >"$root.new/etc/apt/sources.list"
  rm -rf "$root.new/var/cache/apt/archives"/*.deb
  mv "$root.new" "$root"
  touch "$root.ready"
  made=made
}

# Inside a mount namespace of its own: the root, overlaid by WORK/upper, mounted
# on WORK/merged with /proc, /dev and the kept downloads; services never start
# there. `in_root COMMAND...` then runs a command in it with a clean environment.
enter_bare_root() {
  local root=$1 work=$2 archives=$3
  merged=$work/merged
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/scratch" "$merged"
  mount -t proc proc "$merged/proc"
  mount --rbind /dev "$merged/dev"
  mount --make-rslave "$merged/dev"
  mount --bind "$archives" "$merged/var/cache/apt/archives"
  cp /etc/resolv.conf "$merged/etc/resolv.conf"
  printf '#!/bin/sh\nexit 101\n' >"$merged/usr/sbin/policy-rc.d"
  chmod 755 "$merged/usr/sbin/policy-rc.d"
}
in_root() {
  chroot "$merged" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive TERM=dumb "$@"
}
