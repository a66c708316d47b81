#!/usr/bin/env bash
# Boots the virtual machine once and runs the given test cases in it (see
# guest.sh); each case leaves OUT/<case>.result and OUT/<case>.log for
# case-result.sh. Fails with a clear message when no virtual machine can run.
#   run-cases.sh OUT DEVSIM DEMO PGM CASE_FILE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$1")
devsim=$(realpath "$2") demo=$(realpath "$3") pgm=$(realpath "$4")
shift 4
cases=()
for c in "$@"; do cases+=("$(realpath "$c")"); done

# The guest sees this machine's root, except that /tmp, /run and /dev are its own.
for path in "$out" "$devsim" "$demo" "$pgm" "$here" "${cases[@]}"; do
  case $path in
    /tmp/* | /run/* | /dev/*)
      echo "vm: $path is not visible in the virtual machine (its /tmp, /run and /dev are its own)" >&2
      exit 1
      ;;
  esac
done

mkdir -p "$out"
rm -f "$out"/*.result "$out"/*.log "$out/setup.failed"
cache=$("$here/prepare.sh")
cat >"$out/job.sh" <<JOB
export TAMBLET_VM_KERNEL=$cache/kernel TAMBLET_DEVSIM=$devsim TAMBLET_DEMO=$demo TAMBLET_PGM=$pgm
exec bash $here/guest.sh $out ${cases[*]}
JOB

start=$(date +%s)
status=0
"$here/boot.sh" "$out/job.sh" 2>&1 | tee "$out/console.log" || status=$?
if ((status != 0)); then
  echo "vm: FAIL: the virtual machine could not run (status $status); see the lines above" >&2
  exit 1
fi
echo "vm: $(($(date +%s) - start)) s from boot to power-off"
missing=0
for c in "${cases[@]}"; do
  [[ -f $out/$(basename "$c" .sh).result ]] || missing=1
done
if ((missing)); then
  echo "vm: FAIL: the virtual machine ended before every case had run" >&2
  exit 1
fi
