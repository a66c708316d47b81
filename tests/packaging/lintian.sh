#!/bin/sh
# lintian on the packages in DIR: no error and no warning. Every other tag is
# shown too, the overridden ones with their reason.
#   lintian.sh DIR
set -eu
set -- "$1"/*.deb
[ -f "$1" ] || { echo "no package in ${1%/*}"; exit 1; }
out=$(lintian --pedantic --display-info --display-experimental --show-overrides \
  --tag-display-limit 0 --fail-on none "$@" 2>&1) || { echo "$out"; exit 1; }
echo "lintian on" "$@"
echo "$out"
! printf '%s\n' "$out" | grep -q '^[EW]: '
