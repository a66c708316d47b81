#!/bin/sh
# Every option that a program's usage names is in its manual page, so the page
# cannot fall behind the program.
#   help-in-man.sh PAGE PROGRAM [ARGS...]    (ARGS default: --help)
set -eu
page=$1
shift
[ $# -gt 1 ] || set -- "$1" --help
usage=$("$@")
# Wide enough that no option is broken across lines; overstrike (bold) removed.
text=$(mandoc -Tascii -O width=1000 "$page" | sed 's/.\x08//g')
options=$(printf '%s\n' "$usage" |
  grep -oE '(^|[][ ,|(])--?[A-Za-z][A-Za-z0-9-]*' | sed 's/^[^-]*//' | sort -u)
[ -n "$options" ] || { echo "no option found in the usage of $*"; exit 1; }
missing=
for option in $options; do
  printf '%s\n' "$text" | grep -qE -- "(^|[^A-Za-z0-9-])$option([^A-Za-z0-9-]|\$)" ||
    missing="$missing $option"
done
if [ -n "$missing" ]; then
  echo "$page lacks what '$*' names:$missing"
  exit 1
fi
echo "$page names every option of '$*':" "$(printf '%s\n' "$options" | tr '\n' ' ')"
