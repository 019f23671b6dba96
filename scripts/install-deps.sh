#!/usr/bin/env bash
# Installs, from Debian packages, what one job needs and is missing:
#
#   scripts/install-deps.sh build   compiler, CMake, pkg-config, Crypto++, zlib (the program alone)
#   scripts/install-deps.sh test    build + GoogleTest, valgrind, objdump, libpng, OpenSSL, pngcheck, strace,
#                                   git (the commit's time for packing, the two clones of the reproducibility check),
#                                   python3 (the passphrase prompt driven through a pseudo-terminal)
#   scripts/install-deps.sh check   test + clang with its sanitizer and libFuzzer runtime
#   scripts/install-deps.sh bench   build + Google Benchmark, age, eatmydata, python3, time
#   scripts/install-deps.sh python  python3 alone (fuzz/make_corpus.sh)
#   scripts/install-deps.sh windows the cross-build for Windows and the tests under Wine: mingw-w64 (POSIX
#                                   threads) with its binutils and zlib, Wine, GoogleTest's sources, dpkg-dev
#                                   (the Crypto++ source package), zip, unzip, icoutils, locales
#
# No package name carries a version, so the same list serves Debian 12 and
# Debian 13. The package lists are refreshed only when something is missing.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
profile=${1:-test}

build=(build-essential cmake pkg-config libcrypto++-dev zlib1g-dev)
test=("${build[@]}" libgtest-dev valgrind binutils libpng-dev libssl-dev pngcheck strace util-linux git python3)
# libclang-rt-dev follows the distribution's default clang (14 on Debian 12,
# 19 on Debian 13) and brings the ASan, UBSan and libFuzzer runtimes for it.
check=("${test[@]}" clang libclang-rt-dev)
bench=("${build[@]}" libbenchmark-dev age eatmydata python3 time)
# Installed with the packages they recommend, as the Windows build always was
# (Wine has not been tried without them).
windows=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 libgtest-dev dpkg-dev
         zip unzip icoutils locales cmake make pkg-config libcrypto++-dev)

case $profile in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  check) packages=("${check[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  python) packages=(python3) ;;
  windows) apt_install_missing --with-recommends "${windows[@]}"; exit 0 ;;
  *)
    echo "usage: $0 build|test|check|bench|python|windows" >&2
    exit 2
    ;;
esac

apt_install_missing "${packages[@]}"
