#!/usr/bin/env bash
# Reports one case of the virtual machine's run: prints its log and passes
# only when the case passed.
#   case-result.sh OUT CASE
out=$1 name=$2
if [[ ! -f $out/$name.result ]]; then
  echo "FAIL: $name did not run: the virtual machine's run (test vm_boot) failed or ended early"
  exit 1
fi
cat "$out/$name.log"
result=$(cat "$out/$name.result")
echo "$result"
[[ $result == PASS ]]
