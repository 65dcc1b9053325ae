#!/usr/bin/env bash
# The bash completion, sourced as bash does, completing against a small
# cache made by make_cache. Among its names are one holding a newline, one
# holding a backslash, one holding $(...), a folder holding a space and a
# file a quote, two folders whose names differ in case alone, in docs/ a
# file named "." and a folder named "..", in sound/ a file the cache holds
# only part of and a damaged one, and in twice/ two files of one name.
# Beside it are folders whose names hold a space, a quote and a backslash,
# and one with a folder where x would write docs/guide.txt.
#
#   completion_test.sh COMPLETION VAULTCAT MAKE_CACHE WORK_DIR
set -uo pipefail
export LC_ALL=C
completion=$1 program=$2 make_cache=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cd "$work" && work=$PWD || exit 1
mkdir -p tree/docs/notes tree/docs/dotdot tree/maps 'tree/my folder' tree/sound tree/CFG tree/cfg \
  tree/twice out/docs/notes out/sound deep/a/docs taken/docs/guide.txt 'my dir' "it's" 'back\slash'
touch tree/docs/guide.txt tree/docs/notes/todo.txt tree/maps/level1.bsp notes.txt \
  tree/maps/$'a\nb.bsp' 'tree/back\slash.txt' 'tree/My $(touch pwned).txt' tree/docs/dot \
  tree/docs/dotdot/up.txt "tree/my folder/it's.txt" tree/sound/ok.wav tree/CFG/a.cfg tree/cfg/b.cfg \
  'my dir/c.gcf' "it's/x.gcf" 'back\slash/x.gcf' tree/twice/one tree/twice/two
echo "a sound the cache holds a part of" >tree/sound/big.wav
echo "a sound past the size it records" >tree/sound/bad.wav
"$make_cache" --rename dot . --rename dotdot .. --rename two one --size big.wav 2000 \
  --size bad.wav 1 tree c.gcf >/dev/null || exit 1
cache=$work/c.gcf

. "$completion"
options=
compopt() { options+="$* "; }
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
# The candidates for the last of the words, one a line.
complete_last() {
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) options=
  _vaultcat
}
offered() {
  complete_last "$@"
  ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}"
}
# expect "CANDIDATES" WORD... : completing the last WORD gives CANDIDATES,
# one a line in sorted order, then "+nospace" when no space may follow.
expect() {
  local want=$1 got
  shift
  complete_last "$@"
  got=$( ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort)
  [[ $options == *nospace* ]] && got+=$'\n+nospace'
  [[ $got == "$want" ]] ||
    fail "$*"$'\n'"  want: ${want//$'\n'/ | }"$'\n'"  got:  ${got//$'\n'/ | }"
}

expect $'a\nl\nm\nt\nx' "$program" ''
expect $'back\\slash\nc.gcf\ndeep\nit\'s\nmy dir\nout\ntaken\ntree' "$program" l ''
expect $'back\\slash\ndeep\nit\'s\nmy dir\nout\ntaken\ntree' "$program" m -f c.gcf ''
expect '--foreground' "$program" m c.gcf --f
expect '' "$program" l c.gcf ''
expect $'docs/\n+nospace' "$program" x "$cache" d
expect $'docs/guide.txt\ndocs/notes/' "$program" x "$cache" docs/
expect '' "$program" x "$cache" docs/../
expect $'docs/notes/\n+nospace' "$program" x "$cache" DOCS/N
expect 'docs/notes/todo.txt' "$program" x "$cache" docs/notes/t
expect 'docs/notes/todo.txt' "$program" x "'$cache'" docs/notes/t
expect $'My $(touch pwned).txt\nmy folder/' "$program" x "$cache" My
expect '' "$program" x "$cache" back
expect 'maps/level1.bsp' "$program" x "$cache" maps/l
expect '' "$program" x missing.gcf ''
# Of two folders one lookup finds, the first.
expect $'CFG/\n+nospace' "$program" x "$cache" c
# x opens its cache from its dir: completed to a full path, and one given
# relative offers no items.
expect "$cache" "$program" x c
expect '' "$program" x c.gcf d
# x's dir: where the file's folders are and no folder is in its place, or
# where such a folder lies a level or two down.
expect $'deep\nout\ntree' "$program" x "$cache" docs/guide.txt ''
expect 'deep/a' "$program" x "$cache" docs/guide.txt deep/
expect $'out\ntree' "$program" x "$cache" sound/big.wav ''
# a: what it extracts whole; x: what it copies, part of a file too.
expect $'CFG/\nMy $(touch pwned).txt\nmaps/\nmy folder/' "$program" a c.gcf ''
expect 'sound/ok.wav' "$program" a c.gcf sound/
expect $'sound/big.wav\nsound/ok.wav' "$program" x "$cache" sound/
# Names typed escaped or quoted, in the cache and beside it.
expect "my folder/it's.txt" "$program" x "$cache" '"my folder/'
expect "my folder/it's.txt" "$program" a c.gcf "my\\ folder/it\\'"
expect 'my dir/c.gcf' "$program" l 'my\ dir/'
expect 'my dir/c.gcf' "$program" t '"my dir/'
expect "it's/x.gcf" "$program" a "'it'\\''s/'"
expect 'back\slash/x.gcf' "$program" l 'back\\slash/'
# Options stand anywhere after the command word and are not counted.
expect $'--long\n--null' "$program" l --
expect $'--quiet\n--verbose' "$program" t --
# After -s, every folder, whatever a salvage leaves out of it; with -p too
# a file the cache holds in part, never a damaged one.
expect $'CFG/\nMy $(touch pwned).txt\ndocs/\nmaps/\nmy folder/\nsound/\ntwice/' \
  "$program" a -s c.gcf ''
expect 'sound/ok.wav' "$program" a c.gcf --salvage sound/
expect $'sound/big.wav\nsound/ok.wav' "$program" a -vsp c.gcf sound/
expect $'sound/big.wav\nsound/ok.wav' "$program" a --partial c.gcf -s sound/
expect 'sound/ok.wav' "$program" a -s c.gcf -- -p sound/
expect $'docs/\n+nospace' "$program" t c.gcf --x d
# Past a's first item, more items and the destination.
expect $'My $(touch pwned).txt\nmaps/\nmy dir\nmy folder/' "$program" a c.gcf -s docs/notes/ m

# Every command the completion leads to runs: a candidate that ends in '/'
# also leads on to those below it, and a folder x cannot write under is
# only a step to one it can.
runs=0
# A salvage (a -sp) that leaves something out says so with status 2.
succeeds() {
  runs=$((runs + 1))
  "$program" "$@" >/dev/null
  local status=$?
  [[ $status == 0 || ($status == 2 && $2 == -sp) ]] || fail "offered, then refused: vaultcat $*"
  rm -rf "$work/a-out"
}
walk_a() {
  local options=$1 item
  while IFS= read -r item; do
    succeeds a $options c.gcf "$item" "$work/a-out"
    [[ $item == */ ]] && walk_a "$options" "$item"
  done < <(offered "$program" a $options c.gcf "$2")
}
walk_x_dirs() {
  local dir
  while IFS= read -r dir; do
    if "$program" x "$cache" "$1" "$dir" >/dev/null; then
      runs=$((runs + 1))
    elif [[ -z $(offered "$program" x "$cache" "$1" "$dir/") ]]; then
      fail "offered, then refused: vaultcat x $cache $1 $dir"
    else
      walk_x_dirs "$1" "$dir/"
    fi
  done < <(offered "$program" x "$cache" "$1" "$2")
}
walk_x() {
  local item
  while IFS= read -r item; do
    if [[ $item == */ ]]; then walk_x "$item"; else walk_x_dirs "$item" ''; fi
  done < <(offered "$program" x "$cache" "$1")
}
for start in '' docs/ sound/; do
  walk_a '' "$start"
  walk_a -sp "$start"
done
walk_x ''
((runs >= 20)) || fail "only $runs commands were offered and run"

if [[ -e pwned ]]; then fail "a name from the cache ran as a command"; fi
if ((failures)); then exit 1; fi
echo "completion: ok ($runs commands offered and run)"
