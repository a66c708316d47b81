#!/usr/bin/env bash
# A new user's machine: in a throw-away overlay of the cached bare Debian 12 root
# (bare-root-lib.sh), a copy of this tree as git has it (uncommitted changes
# included, no build folders) runs `scripts/test.sh normal` (which sets up with
# `setup.sh --test`), then `scripts/run.sh` without a display, which must reach
# Complete!. A package that a developer installed by hand cannot hide a missing
# install step here. Downloaded packages are kept between runs. Everything it
# starts lives in a PID namespace of its own and dies with it.
# Needs root (asks sudo otherwise) and Debian's package mirror.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
tree=$(cd "$(dirname "$0")/.." && pwd)
source "$tree/scripts/bare-root-lib.sh"
if (($(id -u) != 0)); then
  exec sudo TAMBLET_VM_CACHE="$cache" "$0" "$@"
fi

start=$(date +%s)
make_bare_root
work=$(mktemp -d)
child=
cleanup() {
  [[ -n $child ]] && kill -KILL "$child" 2>/dev/null && wait "$child" 2>/dev/null
  rmdir "$work"
  echo "fresh: $(($(date +%s) - start)) s in all (root $made)"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# --kill-child: the namespace's init, and with it everything started inside,
# ends when this script does, whichever way it ends; its memory-backed scratch
# space (the installed packages, the copy and its build) goes with its mounts.
unshare --mount --pid --fork --kill-child --propagation private \
  bash -s -- "$root" "$work" "$archives" "$tree" <<'INNER' &
set -euo pipefail
root=$1 work=$2 archives=$3 tree=$4
source "$tree/scripts/bare-root-lib.sh"
mount -t tmpfs -o size=16g tmpfs "$work"
mkdir -p "$work"/{upper,scratch,merged,tree}
# The tree as git has it, uncommitted changes included, no build folders.
git -C "$tree" ls-files -z --cached --others --exclude-standard |
  (cd "$tree" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
  tar -C "$tree" --null -T - -cf - | tar -C "$work/tree" -xf -
enter_bare_root "$root" "$work" "$archives"
# JACK keeps its servers' table in /dev/shm: the fresh machine's is its own.
mount -t tmpfs -o mode=1777 tmpfs "$merged/dev/shm"
mount -t sysfs sysfs "$merged/sys"
mkdir -p "$merged/tmp/tamblet"
mount --bind "$work/tree" "$merged/tmp/tamblet"
# The root is thrown away: dpkg need not sync every file it unpacks.
echo 'Dpkg::Options { "--force-unsafe-io"; }; APT::Sandbox::User "root";' \
  >"$merged/etc/apt/apt.conf.d/99fresh"
phase=$(date +%s)
lap() { echo "fresh: $1 in $(($(date +%s) - phase)) s"; phase=$(date +%s); }
in_root bash /tmp/tamblet/scripts/test.sh normal
lap "set-up, normal build and tests"
out=$work/run.log
if ! in_root bash /tmp/tamblet/scripts/run.sh </dev/null >"$out" 2>&1 || ! grep -qx 'status: Complete!' "$out"; then
  cat "$out"
  echo "FAIL: scripts/run.sh did not reach Complete! on a fresh machine"
  exit 1
fi
grep -x 'status: Complete!' "$out"
lap "scripts/run.sh without a display"
INNER
child=$!
wait "$child"
