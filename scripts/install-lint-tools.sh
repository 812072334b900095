#!/usr/bin/env bash
# Installs the linters of the Windows-side files (the GitHub workflow, the PowerShell scripts) into
# build/lint-tools at the versions scripts/lint-tools/package.json pins; does nothing, quietly, when they are there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=$root/build/lint-tools

# Debian's Node.js and npm only where there is none: a Node.js installed from elsewhere brings its own npm,
# which Debian's npm package would conflict with.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  "$root/scripts/install-deps.sh" nodejs npm
fi
if node "$root/scripts/lint-windows-files.mjs" "$dest" check 2>/dev/null; then
  exit 0
fi
echo "installing the lint tools into $dest"
rm -rf "$dest"
mkdir -p "$dest"
cp "$root/scripts/lint-tools/package.json" "$dest/"
# No lockfile is written or kept; no install script runs (only the grammar's WebAssembly build is used).
(cd "$dest" && npm install --no-package-lock --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
node "$root/scripts/lint-windows-files.mjs" "$dest" check
