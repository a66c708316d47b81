#!/usr/bin/env bash
# One SSH host for the fleet test, run by fleet_test.sh as PID 1 of its own PID,
# network, mount, UTS and IPC namespaces: a throw-away overlay of / as its root,
# its own /dev/shm (JACK's server table), sshd, a JACK server on the dummy
# backend and simulated instruments. Ends with its namespaces when killed.
#   host.sh DIR N DEVSIM [FAULTS...]   FAULTS: one per instrument, "-" for none
set -euo pipefail
dir=$1 n=$2 devsim=$3
shift 3
root=$dir/root
mkdir -p "$dir"/{upper,work,root}
mount -t overlay overlay -o "lowerdir=/,upperdir=$dir/upper,workdir=$dir/work" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs tmpfs "$root/run"
# The simulator from the build, wherever that is (a tmpfs /tmp is not in the overlay).
touch "$root/usr/local/bin/tamblet-devsim"
mount --bind "$devsim" "$root/usr/local/bin/tamblet-devsim"
hostname "host$n"

# The controller moves our end of a veth pair in, then says go.
for _ in $(seq 100); do [[ -e $dir/go ]] && break; sleep 0.1; done
ip link set lo up
ip addr add "10.77.$n.2/24" dev eth0
ip link set eth0 up

mkdir -p "$root/root/.ssh" "$root/run/sshd" "$root/etc/ssh/fleet"
cp "$dir/../key.pub" "$root/root/.ssh/authorized_keys"
cp "$dir/../hostkey" "$root/etc/ssh/fleet/hostkey"
in_root() { chroot "$root" env -i PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }

mode=--no-realtime
chrt -f 1 true 2>/dev/null && mode=--realtime
# Synchronous: three servers, six instruments and Ansible share two cores here,
# and a client late for its cycle would lose its MIDI; the server waits for it.
in_root jackd "$mode" --sync -d dummy -r 48000 -p 256 >"$dir/jackd.log" 2>&1 &
in_root jack_wait -w -t 10 >/dev/null
k=0
for fault in "$@"; do
  k=$((k + 1))
  args=(--name "QELMAR H${n}I$k" --model FLEET-1 --flash-size 0x10000)
  [[ $fault == - ]] || args+=(--fault "$fault")
  in_root tamblet-devsim "${args[@]}" >"$dir/sim$k.log" 2>&1 &
done
for k in $(seq $#); do
  for _ in $(seq 100); do grep -q '^ready' "$dir/sim$k.log" && break; sleep 0.1; done
  grep -q '^ready' "$dir/sim$k.log" || exit 1
done
in_root /usr/sbin/sshd -D -e -h /etc/ssh/fleet/hostkey -o "ListenAddress=10.77.$n.2" \
  -o UsePAM=no -o PermitRootLogin=prohibit-password >"$dir/sshd.log" 2>&1 &
for _ in $(seq 100); do grep -q 'Server listening' "$dir/sshd.log" && break; sleep 0.1; done
touch "$dir/ready"
wait
