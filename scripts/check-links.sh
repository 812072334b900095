#!/bin/sh
# Fails when a relative link in README.md or docs/*.md names a file that does not exist, or a section
# (#anchor) that the named document, or the document itself, has no heading for; web links are not
# followed. Usage: scripts/check-links.sh [source folder]
set -eu
top=${1:-$(dirname "$0")/..}

# The anchors a Markdown file's headings get on the code host: lower case, punctuation dropped but for
# hyphens and underscores, each space a hyphen. Headings inside fenced code blocks are not headings.
anchors() {
  awk '/^```/ { fenced = !fenced; next } !fenced && /^#+ / { sub(/^#+ +/, ""); print }' "$1" |
    tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

broken=$(for doc in "$top/README.md" "$top"/docs/*.md; do
  if [ ! -f "$doc" ]; then
    echo "$doc: missing"
    continue
  fi
  grep -o '](\([^)]*\))' "$doc" | sed 's/^](//; s/)$//' | while IFS= read -r target; do
    case $target in
    *://* | mailto:*) continue ;;
    esac
    file=${target%%#*}
    if [ -z "$file" ]; then
      file=$doc
    else
      file=$(dirname "$doc")/$file
    fi
    if [ ! -e "$file" ]; then
      echo "$doc: no such file: $target"
      continue
    fi
    case $target in
    *'#'*) ;;
    *) continue ;;
    esac
    anchors "$file" | grep -qx -- "${target#*#}" || echo "$doc: no such section: $target"
  done
done)
if [ -n "$broken" ]; then
  echo "$broken" >&2
  exit 1
fi
