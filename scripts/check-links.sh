#!/bin/sh
# Fails when a relative link in README.md or docs/*.md names a file that does not exist; web links and
# links within the same document are not followed. Usage: scripts/check-links.sh [source folder]
set -eu
top=${1:-$(dirname "$0")/..}
broken=$(for doc in "$top/README.md" "$top"/docs/*.md; do
  if [ ! -f "$doc" ]; then
    echo "$doc: missing"
    continue
  fi
  grep -o '](\([^)]*\))' "$doc" | sed 's/^](//; s/)$//' | while IFS= read -r target; do
    case $target in
    *://* | mailto:* | '#'*) continue ;;
    esac
    [ -e "$(dirname "$doc")/${target%%#*}" ] || echo "$doc: no such file: $target"
  done
done)
if [ -n "$broken" ]; then
  echo "$broken" >&2
  exit 1
fi
