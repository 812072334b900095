#!/usr/bin/env bash
# Installs what is missing, builds the host, sanitizer and Windows builds, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in host sanitize windows; do
  echo "== build: $preset"
  mkdir -p build
  log="build/$preset-build.log"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "build $preset failed (full log: $log)"
    exit 1
  fi
done

status=0
for preset in host sanitize windows; do
  echo "== tests: $preset"
  ctest --preset "$preset" --output-on-failure -j2 || status=1
done
exit $status
