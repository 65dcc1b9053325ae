#!/usr/bin/env bash
# The bash completion, sourced as bash does, completing against a small
# cache made by make_cache. Among its names are one holding a newline, one
# holding a backslash, one holding $(...), and in docs/ a file named "." and
# a folder named "..".
#
#   completion_test.sh COMPLETION VAULTCAT MAKE_CACHE WORK_DIR
set -uo pipefail
export LC_ALL=C
completion=$1 program=$2 make_cache=$3 work=$4
rm -rf "$work" && mkdir -p "$work/tree/docs/notes" "$work/tree/docs/dotdot" "$work/tree/maps" "$work/out" &&
  cd "$work" || exit 1
touch tree/docs/guide.txt tree/docs/notes/todo.txt tree/maps/level1.bsp notes.txt \
  tree/maps/$'a\nb.bsp' 'tree/back\slash.txt' 'tree/My $(touch pwned).txt' tree/docs/dot tree/docs/dotdot/up.txt
"$make_cache" --rename dot . --rename dotdot .. tree c.gcf >/dev/null || exit 1

. "$completion"
options=
compopt() { options+="$* "; }
failures=0
# expect "CANDIDATES" WORD... : completing the last WORD gives CANDIDATES,
# one a line in sorted order, then "+nospace" when no space may follow.
expect() {
  local want=$1 got
  shift
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) options=
  _vaultcat
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
  [[ $options == *nospace* ]] && got+=$'\n+nospace'
  if [[ $got != "$want" ]]; then
    echo "FAILED: $*"$'\n'"  want: ${want//$'\n'/ | }"$'\n'"  got:  ${got//$'\n'/ | }"
    failures=$((failures + 1))
  fi
}

expect $'a\nl\nt\nx' "$program" ''
expect $'c.gcf\nout\ntree' "$program" x ''
expect '' "$program" l c.gcf ''
expect $'docs/\n+nospace' "$program" x c.gcf d
expect $'docs/guide.txt\ndocs/notes/' "$program" x c.gcf docs/
expect '' "$program" x c.gcf docs/../
expect $'docs/notes/\n+nospace' "$program" x c.gcf DOCS/N
expect $'docs/\nmaps/' "$program" a c.gcf ''
expect 'docs/notes/todo.txt' "$program" x c.gcf docs/notes/t
expect 'docs/notes/todo.txt' "$program" x "'c.gcf'" docs/notes/t
expect 'My $(touch pwned).txt' "$program" x c.gcf My
expect '' "$program" x c.gcf back
expect 'maps/level1.bsp' "$program" x c.gcf maps/l
expect '' "$program" x missing.gcf ''
expect $'out\ntree' "$program" x c.gcf docs/guide.txt ''
# Options stand anywhere after the command word and are not counted.
expect $'--long\n--null' "$program" l --
expect $'docs/\nmaps/' "$program" a -s c.gcf ''
expect $'docs/\n+nospace' "$program" t c.gcf --x d
expect $'out\ntree' "$program" a c.gcf --salvage docs/ ''
if [[ -e pwned ]]; then echo "FAILED: a name from the cache ran as a command"; failures=$((failures + 1)); fi
if ((failures)); then exit 1; fi
echo "completion: ok"
