# bash completion for vaultcat                                -*- shell-script -*-
#
#   vaultcat <TAB>                      a, l, m, t and x
#   vaultcat l <TAB> (a, m, t alike)    cache files (*.gcf) and folders
#   vaultcat x <TAB>                    the same, as full paths
#   vaultcat x /c/cache.gcf d<TAB>      the cache's own folders and files
#   vaultcat a cache.gcf d<TAB>         the same (t: its folders only)
#   vaultcat a -s cache.gcf d<TAB>      the same, folders whatever they hold
#   vaultcat a cache.gcf item <TAB>     more of them, and folders (the destination)
#   vaultcat x /c/cache.gcf file <TAB>  the folders x can write file under
#   vaultcat m cache.gcf <TAB>          folders, to mount at
#   vaultcat l -<TAB>                   the options of the command
#
# Options may stand anywhere after the command word, so arguments are
# counted without them, and "--" ends them, as the program reads them.
# Words are taken as the program will get them: quotes and backslash escapes
# undone, so that "my dir/<TAB> and my\ dir/<TAB> both complete in my dir.
#
# Nothing is offered that the program then refuses:
# - x makes its dir the working directory before it opens the cache, so its
#   cache is completed to a full path, the items of a cache given relative
#   are not offered (which cache x opens depends on a dir not yet typed),
#   and a dir is offered only where the cache is found from it, the folders
#   on the file's way are there and no folder is at its path (or, as a step
#   on the way, where such a folder lies one or two levels down);
# - a offers a file only if the cache holds it whole, and a folder only if
#   it holds everything in it whole, none of it under a name that cannot be
#   written or that another item of its folder has too, and can follow all
#   of it; after -s (--salvage), which leaves such items out and extracts
#   the rest, every folder, and with -p (--partial) too an incomplete file
#   of which the cache holds something; x offers every file but a damaged
#   one, as it copies what the cache holds of a file.
#
# The cache's items come from the program's own listing for scripts,
# `vaultcat l -0`: a record per item ending in NUL, "size  state  path",
# the state "-" (whole), "incomplete (...)" or "damaged", the path's names
# as stored, joined by '/', a folder's ending in '/' (a folder that cannot
# be followed to its end gets a second record, "damaged"). Names in a cache
# can hold any byte but NUL, so the records are read with care:
# - an item is offered only below folders already listed: a name holding
#   '/' mostly lands nowhere, though one made to look like a listed
#   folder's child is offered as that, which the program may then not find;
#   a name holding '\', which the program splits at, a name that is empty,
#   "." or "..", which it will not write, and a name holding a line break,
#   which no candidate can, are offered neither, nor is anything below them;
# - the typed path matches as the program looks items up: the letters A to Z
#   in either case, every other byte as it is, whatever the locale; of two
#   items one lookup finds, only the first is offered;
# - names never pass through compgen -W or eval, which would expand a
#   crafted name such as $(...);
# - a listing that ends in a failure (a damaged cache) offers nothing.

# A word of the command line as the program will get it: quotes and
# backslash escapes undone, a leading ~/ made $HOME/.
_vaultcat_unquote() {
  local word=$1 plain= quote= c i
  [[ $word == '~/'* ]] && word=$HOME/${word:2}
  for ((i = 0; i < ${#word}; i++)); do
    c=${word:i:1}
    if [[ $quote == "'" && $c != "'" ]]; then
      plain+=$c
    elif [[ $c == '\' ]]; then
      ((++i))
      plain+=${word:i:1}
    elif [[ ($c == "'" || $c == '"') && ($quote == "" || $quote == "$c") ]]; then
      [[ -z $quote ]] && quote=$c || quote=
    else
      plain+=$c
    fi
  done
  printf '%s' "$plain"
}

# Prints the cache's items that complete $3: those in the folder that $3
# names up to its last '/', whose paths begin with $3; folders end in '/'.
# $4 says which: x (files to copy, and folders), a (what extracts whole),
# as (what a salvage extracts), asp (and parts of files) or t (folders).
# awk runs in the C locale, where tolower folds A to Z and nothing else, and
# every byte is a character.
_vaultcat_items() {
  local program=$1 cache=$2
  "$program" l -0 "$cache" 2>/dev/null | VAULTCAT_CURRENT=$3 VAULTCAT_FOR=$4 LC_ALL=C awk '
    BEGIN {
      RS = "\0"
      typed = tolower(ENVIRON["VAULTCAT_CURRENT"]); folder = typed; sub(/[^\/]*$/, "", folder)
      command = substr(ENVIRON["VAULTCAT_FOR"], 1, 1)
      salvage = ENVIRON["VAULTCAT_FOR"] ~ /^as/; partial = ENVIRON["VAULTCAT_FOR"] == "asp"
    }
    # Marks `path` and every folder it is in as holding what a refuses.
    function refused(path) {
      for (; path != ""; sub(/\/?[^\/]*$/, "", path)) bad[path] = 1
    }
    match($0, /^ *[^ ]+  (-|damaged|incomplete \([0-9]+ of [0-9]+ bytes\))  /) {
      state = substr($0, 1, RLENGTH); path = substr($0, RLENGTH + 1)
      whole = state ~ / -  $/
      isFolder = sub(/\/$/, "", path)
      # The second record of a folder that cannot be followed to its end, or
      # a second item of one name in one folder: a refuses what holds either.
      if (path in seen) { refused(path); next }
      seen[path] = 1
      parent = path; if (!sub(/\/[^\/]*$/, "", parent)) parent = ""
      name = parent == "" ? path : substr(path, length(parent) + 2)
      safe = (parent == "" || parent in usable) && name != "" && name != "." && name != ".." &&
             name !~ /\\/
      if (!safe || !whole) refused(path)
      if (!safe) next
      if (isFolder) usable[path] = 1
      # Of two names that differ in the case of A to Z alone, the program
      # finds the first, and nothing below the second. A line break, which
      # a writes, ends a candidate.
      if ((parent != "" && !(parent in reachable)) || (tolower(path) in found) || name ~ /\n/) next
      found[tolower(path)] = 1
      if (isFolder) reachable[path] = 1
      if (command == "t" ? !isFolder : command == "x" && state ~ /damaged/) next
      # A salvage writes a file the cache holds whole, or with -p in part.
      if (salvage && !isFolder && !whole && !(partial && state ~ /incomplete \([1-9]/)) next
      if (tolower(parent == "" ? "" : parent "/") != folder || index(tolower(path), typed) != 1) next
      candidate[++candidates] = path; candidateFolder[candidates] = isFolder
    }
    END {
      for (i = 1; i <= candidates; i++)
        if (command != "a" || salvage || !(candidate[i] in bad))
          print candidate[i] (candidateFolder[i] ? "/" : "")
    }'
  local -a status=("${PIPESTATUS[@]}")
  ((status[0] != 1 && status[1] == 0))
}

# Whether x can write the item $3 of the cache $2 under the folder $1: the
# cache is found from there, the folders on the item's way are there, and
# no folder is at its path.
_vaultcat_x_writes_under() {
  local dir=${1%/} cache=$2 item=${3//\\//}
  [[ $cache == /* || -f $dir/$cache ]] || return 1
  [[ ($item != */* || -d $dir/${item%/*}) && ! -d $dir/$item ]]
}

# Prints the folders that complete $3 under which x can write the item $2
# of the cache $1, or under which such a folder lies one or two levels down.
_vaultcat_x_dirs() {
  local dir sub
  while IFS= read -r dir; do
    for sub in "$dir" "$dir"/*/ "$dir"/*/*/; do
      if [[ -d $sub ]] && _vaultcat_x_writes_under "$sub" "$1" "$2"; then
        printf '%s\n' "$dir"
        break
      fi
    done
  done < <(compgen -d -- "$3")
}

# The options each command takes.
_vaultcat_options() {
  case $1 in
    [lL]*) echo '--long --null -l -0' ;;
    [aA]*) echo '--salvage --partial --verbose --quiet -s -p -v -q' ;;
    [tT]*) echo '--verbose --quiet -v -q' ;;
    [mM]*) echo '--foreground -f' ;;
  esac
}

_vaultcat() {
  local current=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]-} typed cache count letter
  local items i word kind salvage= partial=
  local -a arguments=()  # the words after the command that are not options
  local ended=
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W 'a l m t x' -- "$current")
    return 0
  fi
  for ((i = 2; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -z $ended && $word == -?* ]]; then
      [[ $word == -- ]] && ended=1
      # a's salvage, and its parts, short options joined or not.
      [[ $word == --salvage || ($word != --* && $word == -*s*) ]] && salvage=s
      [[ $word == --partial || ($word != --* && $word == -*p*) ]] && partial=p
      continue
    fi
    arguments+=("$(_vaultcat_unquote "$word")")
  done
  if [[ -z $ended && $current == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_vaultcat_options "$command")" -- "$current")
    return 0
  fi
  typed=$(_vaultcat_unquote "$current")
  cache=${arguments[0]-}
  count=${#arguments[@]}
  letter=${command:0:1}
  letter=${letter,,}
  if [[ $letter != [altmx] ]]; then
    return 0
  elif ((count == 0)); then
    compopt -o filenames
    # x looks for a cache given relative under its dir.
    [[ $letter == x && $typed != /* ]] && typed=$PWD/$typed
    mapfile -t COMPREPLY < <(compgen -f -X '!*.[gG][cC][fF]' -- "$typed"; compgen -d -- "$typed")
  elif [[ $letter == m ]]; then
    ((count == 1)) || return 0
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -d -- "$typed")
  elif [[ $letter == a || ($letter == [tx] && count -eq 1) ]]; then
    [[ $letter == x && $cache != /* ]] && return 0
    compopt -o filenames
    # -p goes with -s.
    kind=$letter
    [[ $letter == a && -n $salvage ]] && kind+=s$partial
    items=$(_vaultcat_items "$(_vaultcat_unquote "${COMP_WORDS[0]}")" "$cache" "$typed" \
                            "$kind") || return 0
    [[ -n $items ]] && mapfile -t COMPREPLY <<<"$items"
    # Past the first item of a, the destination too.
    if [[ $letter == a ]] && ((count >= 2)); then
      mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$typed")
    fi
    # A folder is completed like a directory: no space after its '/'.
    if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]]; then compopt -o nospace; fi
  elif [[ $letter == x ]] && ((count == 2)); then
    compopt -o filenames
    mapfile -t COMPREPLY < <(_vaultcat_x_dirs "$cache" "${arguments[1]}" "$typed")
  fi
  return 0
}
complete -F _vaultcat vaultcat
