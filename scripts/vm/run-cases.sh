#!/usr/bin/env bash
# Boots the virtual machine once and runs the given test cases in it (see
# guest.sh); each case leaves OUT/<case>.result and OUT/<case>.log for
# case-result.sh. Arguments NAME=VALUE are exported to the cases, for instance
# the paths of the programs under test. Fails with a clear message when no
# virtual machine can run.
#   run-cases.sh OUT [NAME=VALUE...] CASE_FILE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$(realpath -m "$1")
shift
exports=() cases=()
for arg in "$@"; do
  if [[ $arg =~ ^[A-Za-z_][A-Za-z0-9_]*= ]]; then
    exports+=("$arg")
  else
    cases+=("$(realpath "$arg")")
  fi
done

mkdir -p "$out"
rm -f "$out"/*.result "$out"/*.log "$out/setup.failed"
cache=$(dirname "$("$here/prepare.sh")")

# The guest sees this machine's root, except that /tmp, /run and /dev are its
# own; the folders right in /tmp that hold what the job uses (a clone or a build
# there) are shown in the guest's /tmp under the same names.
tmp_names=()
for path in "$out" "$here" "$cache" "${cases[@]}" "${exports[@]#*=}"; do
  case $path in
    /tmp/*/*)
      name=${path#/tmp/}
      name=${name%%/*}
      if [[ ! $name =~ ^[A-Za-z0-9._+-]+$ ]]; then
        echo "vm: /tmp/$name: only letters, digits and ._+- reach the virtual machine's /tmp" >&2
        exit 1
      fi
      [[ " ${tmp_names[*]} " == *" $name "* ]] || tmp_names+=("$name")
      ;;
    /tmp/* | /run/* | /dev/*)
      echo "vm: $path is not visible in the virtual machine (its /tmp, /run and /dev are its own)" >&2
      exit 1
      ;;
  esac
done
{
  echo "export TAMBLET_VM_KERNEL=$(printf %q "$cache/kernel")"
  for e in "${exports[@]}"; do echo "export $(printf %q "$e")"; done
  echo "exec bash $(printf '%q ' "$here/guest.sh" "$out" "${cases[@]}")"
} >"$out/job.sh"

start=$(date +%s)
status=0
"$here/boot.sh" "$out/job.sh" "${tmp_names[@]}" 2>&1 | tee "$out/console.log" || status=$?
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
