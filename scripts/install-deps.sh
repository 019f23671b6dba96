#!/usr/bin/env bash
# Installs what building and testing need, from Debian/Ubuntu packages, when missing.
set -euo pipefail
packages=(build-essential cmake pkg-config libcrypto++-dev zlib1g-dev libgtest-dev libbenchmark-dev
          valgrind binutils libpng-dev libssl-dev pngcheck clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
fi
