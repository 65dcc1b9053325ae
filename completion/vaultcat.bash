# bash completion for vaultcat                                -*- shell-script -*-
#
#   vaultcat <TAB>                      a, l, t and x
#   vaultcat l <TAB> (a, t, x alike)    cache files (*.gcf) and folders
#   vaultcat x cache.gcf d<TAB>         the cache's own folders and files
#   vaultcat a cache.gcf d<TAB>         the cache's own folders only (t alike)
#   vaultcat x cache.gcf file <TAB>     folders (a alike)
#   vaultcat l -<TAB>                   the options of the command
#
# Options may stand anywhere after the command word, so arguments are
# counted without them, and "--" ends them, as the program reads them.
#
# The cache's items come from the program's own listing, `vaultcat l`: two
# spaces of indentation per level, a folder's line ending in a backslash.
# Names in a cache can hold any byte but NUL, so the listing is read with care:
# - only the one backslash that ends a line marks a folder; a name that holds
#   '/' or '\' anywhere (and everything below it) is not offered, since the
#   program splits item paths at both and could never find it; nor is a name
#   that is empty, "." or ".." (nor anything below it), which the program
#   will not write out;
# - the typed path matches as the program looks items up: the letters A to Z
#   in either case, every other byte as it is, whatever the locale;
# - each line is read under the last folder seen one level up. A name holding
#   a newline prints as two lines: no candidate ever holds a newline, the
#   items after it still land in their folders (unless its second half was
#   made to look like a folder's line), and its two halves may be offered,
#   which the program then reports as not found. A line with an odd
#   indentation, or deeper than any folder seen, can only be such a half,
#   and is skipped;
# - names never pass through compgen -W or eval, which would expand a
#   crafted name such as $(...);
# - a listing that ends in a failure (a damaged cache) offers nothing.

# A word of the command line as the program will get it: quotes and
# backslash escapes undone, a leading ~/ made $HOME/.
_vaultcat_unquote() {
  local word=$1 plain= i
  [[ $word == '~/'* ]] && word=$HOME/${word:2}
  for ((i = 0; i < ${#word}; i++)); do
    case ${word:i:1} in
      \\) ((++i)); plain+=${word:i:1} ;;
      \' | \") ;;
      *) plain+=${word:i:1} ;;
    esac
  done
  printf '%s' "$plain"
}

# Prints the cache's items that complete $3: those in the folder that $3
# names up to its last '/', whose paths begin with $3; folders end in '/'.
# With $4 set, folders only. awk runs in the C locale, where tolower folds
# A to Z and nothing else, and every byte is a character.
_vaultcat_items() {
  local program=$1 cache=$2
  "$program" l "$cache" 2>/dev/null | VAULTCAT_CURRENT=$3 VAULTCAT_FOLDERS=${4-} LC_ALL=C awk '
    BEGIN {
      typed = tolower(ENVIRON["VAULTCAT_CURRENT"]); folder = typed; sub(/[^\/]*$/, "", folder)
      foldersOnly = ENVIRON["VAULTCAT_FOLDERS"] != ""
      prefix[0] = ""; usable[0] = 1
    }
    !tree { if ($0 == "Directory listing:") { tree = 1; getline } next }
    {
      match($0, /^ */); depth = RLENGTH / 2
      if (RLENGTH % 2 || !(depth in prefix)) next
      name = substr($0, RLENGTH + 1)
      isFolder = sub(/\\$/, "", name)
      path = prefix[depth] name
      ok = usable[depth] && name != "" && name != "." && name != ".." && name !~ /[\/\\]/
      if (isFolder) { prefix[depth + 1] = path "/"; usable[depth + 1] = ok }
      if (!ok || (foldersOnly && !isFolder)) next
      if (tolower(prefix[depth]) == folder && index(tolower(path), typed) == 1) print path (isFolder ? "/" : "")
    }'
  return "${PIPESTATUS[0]}"
}

# The options each command takes.
_vaultcat_options() {
  case $1 in
    [lL]*) echo '--long --null -l -0' ;;
    [aA]*) echo '--salvage -s' ;;
  esac
}

_vaultcat() {
  local current=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]-} items folders= i word
  local -a arguments=()  # the words after the command that are not options
  local ended=
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    mapfile -t COMPREPLY < <(compgen -W 'a l t x' -- "$current")
    return 0
  fi
  for ((i = 2; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -z $ended && $word == -?* ]]; then
      [[ $word == -- ]] && ended=1
      continue
    fi
    arguments+=("$word")
  done
  if [[ -z $ended && $current == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_vaultcat_options "$command")" -- "$current")
    return 0
  fi
  case ${#arguments[@]} in
    0)
      [[ $command == [aAlLtTxX]* ]] || return 0
      compopt -o filenames
      mapfile -t COMPREPLY < <(compgen -f -X '!*.[gG][cC][fF]' -- "$current"; compgen -d -- "$current")
      ;;
    1)
      [[ $command == [aAtTxX]* ]] || return 0
      [[ $command == [aAtT]* ]] && folders=1  # x takes any item, a and t a folder
      compopt -o filenames
      items=$(_vaultcat_items "$(_vaultcat_unquote "${COMP_WORDS[0]}")" \
                              "$(_vaultcat_unquote "${arguments[0]}")" "$current" \
                              "$folders") || return 0
      [[ -n $items ]] && mapfile -t COMPREPLY <<<"$items"
      # A folder is completed like a directory: no space after its '/'.
      if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]]; then compopt -o nospace; fi
      ;;
    2)
      [[ $command == [aAxX]* ]] || return 0
      compopt -o filenames
      mapfile -t COMPREPLY < <(compgen -d -- "$current")
      ;;
  esac
  return 0
}
complete -F _vaultcat vaultcat
