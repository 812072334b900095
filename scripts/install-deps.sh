#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need (or only those named as arguments), and with no
# arguments also the lint tools of the Windows-side files (scripts/install-lint-tools.sh); does nothing,
# quietly, when all are there.
set -euo pipefail

# clang and libclang-rt-14-dev: the fuzz build (clang's libFuzzer and sanitizer runtimes); cppcheck: lint;
# zip, osslsigncode and openssl: the release package (reproducible ZIP, signing, its tests);
# wixl and msitools: the Windows Installer package (wixl builds it, msibuild and msiinfo patch and read it back);
# g++-mingw-w64-x86-64-posix and googletest's sources: the unit tests as Windows programs (std::thread).
packages=(cmake make g++ googletest libgtest-dev libgmock-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix wine64
  clang-format clang-tidy clang libclang-rt-14-dev cppcheck zip osslsigncode openssl wixl msitools)
if [ $# -gt 0 ]; then
  packages=("$@")
fi
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  # With recommended packages: Wine's own programs and libraries the tests rely on come that way.
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
  fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ $# -eq 0 ]; then
  "$(dirname "$0")/install-lint-tools.sh"
fi
