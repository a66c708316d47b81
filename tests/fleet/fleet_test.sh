#!/usr/bin/env bash
# Many hosts from one place: three SSH hosts on this machine (host.sh) with one,
# two and three simulated instruments, one of which fails Verify once, updated
# by the Ansible role in deploy/ansible. Checks the gathered report, the failing
# host named, check mode (no request reaches any instrument), a second run that
# leaves done instruments alone, and times three hosts against one.
#   fleet_test.sh DEB_DIR TAMBLET_PGM TAMBLET_DEVSIM     (as root)
#   TAMBLET_FLEET_TIMES=N also times N runs of one host against N of three
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
if [[ ${TAMBLET_FLEET_NS-} != 1 ]]; then
  # Every host, server and mount lives in these namespaces and ends with them.
  TAMBLET_FLEET_NS=1 exec unshare --mount --propagation private --pid --fork --kill-child \
    --mount-proc "$0" "$@"
fi
deb=$(ls "$1"/tamblet-cli_*.deb)
pgm=$2 devsim=$3
work=$(mktemp -d)
mount -t tmpfs tmpfs "$work"
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/h*/*.log; do echo "--- $log" >&2; tail -n 5 "$log" >&2; done
  exit 1
}

ssh-keygen -q -t ed25519 -N '' -f "$work/key"
ssh-keygen -q -t ed25519 -N '' -f "$work/hostkey"
"$pgm" write "$work/update.pgm" --model FLEET-1 --version 1.02 --target 1 --chunk 0x800 \
  --region 0:0x10000 --image-size 0x10000 >/dev/null

# host1: one instrument; host2: two; host3: three, the second failing its first Verify.
hosts=("-" "- -" "- VerifySum:1:fail-status -")
for n in 1 2 3; do
  mkdir "$work/h$n"
  # shellcheck disable=SC2086
  unshare --net --uts --ipc --mount --propagation private --pid --fork --kill-child \
    "$here/host.sh" "$work/h$n" "$n" "$devsim" ${hosts[n - 1]} &
  pid=$!
  for _ in $(seq 50); do child=$(pgrep -P "$pid") && break; sleep 0.1; done
  ip link add "fleet$n" type veth peer name eth0 netns "$child"
  ip addr add "10.77.$n.1/24" dev "fleet$n"
  ip link set "fleet$n" up
  touch "$work/h$n/go"
done
for n in 1 2 3; do
  for _ in $(seq 300); do [[ -e $work/h$n/ready ]] && break; sleep 0.1; done
  [[ -e $work/h$n/ready ]] || fail "host$n did not start"
done

{
  echo "[instruments]"
  for n in 1 2 3; do echo "host$n ansible_host=10.77.$n.2"; done
  echo "[instruments:vars]"
  echo "ansible_user=root"
  echo "ansible_ssh_private_key_file=$work/key"
  echo "ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'"
} >"$work/inventory.ini"
export ANSIBLE_CONFIG=$src/deploy/ansible/ansible.cfg ANSIBLE_LOCAL_TEMP=$work/ansible \
  ANSIBLE_SSH_CONTROL_PATH_DIR=$work/cp ANSIBLE_NOCOLOR=1
play() { # OUT ARGS...: the play's output in OUT; its status
  local out=$1
  shift
  local status=0
  ansible-playbook -i "$work/inventory.ini" "$src/deploy/ansible/update.yml" \
    -e "tamblet_update_file=$work/update.pgm" -e "tamblet_update_deb=$deb" \
    -e "tamblet_update_gathered=$work/gathered.jsonl" "$@" >"$out" 2>&1 ||
    status=$?
  return $status
}
requests() { cat "$work"/h*/sim*.log | grep -vc '^ready'; }
# "host instrument final" of each gathered record, sorted.
gathered() {
  python3 -c '
import json, sys
for line in open(sys.argv[1]):
    r = json.loads(line)
    print(r["host"], r["instrument"], r["final"] + (" skipped" if r.get("skipped") else ""))
' "$1" | sort
}
expect() { # WHAT EXPECTED ACTUAL
  [[ $2 == "$3" ]] || fail "$1: expected
$2
got
$3"
}

# First run: every instrument updated; host3 fails and is named.
status=0
play "$work/run1.out" -e "tamblet_update_gathered=$work/run1.jsonl" || status=$?
((status != 0)) || fail "the play passed with a failing instrument"
grep -q 'host3 did not complete (tamblet-cli exit status 1): Verify error!!' "$work/run1.out" ||
  fail "host3 not named: $(tail -n 30 "$work/run1.out")"
grep -q '"not complete: host3"' "$work/run1.out" || fail "no summary line: $(tail -n 30 "$work/run1.out")"
expect "first run" "host1 QELMAR H1I1 OUT 1 Complete!
host2 QELMAR H2I1 OUT 1 Complete!
host2 QELMAR H2I2 OUT 1 Complete!
host3 QELMAR H3I1 OUT 1 Complete!
host3 QELMAR H3I2 OUT 1 Verify error!!
host3 QELMAR H3I3 OUT 1 Complete!" "$(gathered "$work/run1.jsonl")"
for n in 1 2; do
  grep -Eq "^host$n +: ok=[0-9]+ +changed=[1-9].* failed=0" "$work/run1.out" || fail "host$n recap"
done

# Check mode: only host3's failed instrument would be updated; no request is sent.
before=$(requests)
play "$work/check.out" --check || fail "check mode failed: $(tail -n 30 "$work/check.out")"
grep -Eq 'host3 +QELMAR H3I2 OUT 1 +would be updated' "$work/check.out" ||
  fail "check mode table: $(tail -n 30 "$work/check.out")"
[[ $(grep -c 'would be updated' "$work/check.out") == 1 ]] || fail "check mode lists more"
expect "requests in check mode" "$before" "$(requests)"
for n in 1 2; do grep -Eq "^host$n +: .*changed=0 " "$work/check.out" || fail "host$n changed in check mode"; done

# Second run: done instruments left alone, the failed one updated again (its
# fault fires once) and now complete.
done_before=$(cat "$work"/h1/sim*.log "$work"/h2/sim*.log | wc -l)
before=$(requests)
play "$work/run2.out" -e "tamblet_update_gathered=$work/run2.jsonl" ||
  fail "second run failed: $(tail -n 30 "$work/run2.out")"
expect "second run" "host1 QELMAR H1I1 OUT 1 Complete! skipped
host2 QELMAR H2I1 OUT 1 Complete! skipped
host2 QELMAR H2I2 OUT 1 Complete! skipped
host3 QELMAR H3I1 OUT 1 Complete! skipped
host3 QELMAR H3I2 OUT 1 Complete!
host3 QELMAR H3I3 OUT 1 Complete! skipped" "$(gathered "$work/run2.jsonl")"
for n in 1 2; do grep -Eq "^host$n +: .*changed=0 " "$work/run2.out" || fail "host$n changed"; done
expect "requests to done instruments" "$done_before" "$(cat "$work"/h1/sim*.log "$work"/h2/sim*.log | wc -l)"
(($(requests) > before)) || fail "host3's failed instrument was not updated again"

# Three hosts against one, every instrument updated again, and a run with
# nothing left to do: measured on request (TAMBLET_FLEET_TIMES=N runs each N
# times), not on every run.
time_play() { # LABEL ARGS...
  local label=$1 started
  shift
  started=$(date +%s.%N)
  play "$work/timed.out" "$@" || fail "$label: $(tail -n 20 "$work/timed.out")"
  echo "fleet: $label: $(python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.1f}')" \
    "$started" "$(date +%s.%N)") s"
}
if ((${TAMBLET_FLEET_TIMES:-0} > 0)); then
  for _ in $(seq "$TAMBLET_FLEET_TIMES"); do
    time_play "one host, one instrument" --limit host1 -e tamblet_update_skip_done=false
    time_play "three hosts, six instruments" -e tamblet_update_skip_done=false
    time_play "three hosts, nothing to update"
  done
  for out in run1 timed; do sed -n '/"msg": \[/,/\]/p' "$work/$out.out"; done
fi
echo "PASS: gathered report, host3 named, check mode sent nothing, second run left done instruments alone"
