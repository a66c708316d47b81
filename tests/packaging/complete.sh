#!/usr/bin/env bash
# Prints the completions of a command line, its last word being completed:
#   complete.sh COMPLETION_FILE WORD...
set -u
source /usr/share/bash-completion/bash_completion
source "$1"
shift
compopt() { :; } # it acts only inside a completion bash itself runs
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
"$(complete -p "$1" | sed -E 's/.*-F ([^ ]+).*/\1/')" "$1" "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
echo "${COMPREPLY[*]}"
