#!/usr/bin/env bash
# The layers, from the bottom: platform (process, source, destination,
# mount, each on those before it but the mount, which stands beside the
# destination), archive, front_end. A file includes headers of its own
# layer and of those it builds on, never of one above it.
set -u
cd "$1" || exit 2
allowed() {
  case "$1" in
    platform/process/*) echo "platform/process" ;;
    platform/source/*) echo "platform/process platform/source" ;;
    platform/destination/*) echo "platform/process platform/source platform/destination" ;;
    platform/mount/*) echo "platform/process platform/source platform/mount" ;;
    archive/*) echo "platform archive" ;;
    front_end/*) echo "platform archive front_end" ;;
  esac
}
status=0
for file in $(git ls-files 'platform/*' 'archive/*' 'front_end/*' | grep -E '\.(h|cpp)$'); do
  layers=$(allowed "$file")
  while IFS= read -r included; do
    ok=0
    for layer in $layers; do
      case "$included" in "$layer"/*) ok=1 ;; esac
    done
    if [ "$ok" = 0 ]; then
      echo "$file includes $included, above its layer"
      status=1
    fi
  done < <(sed -n 's/^#include "\([a-z_]*\/[^"]*\)".*/\1/p' "$file")
done
exit $status
