#!/usr/bin/env bash
# Installs, from Debian packages, what one job needs and is missing:
#
#   scripts/install-deps.sh build   compiler, CMake, pkg-config, Crypto++, zlib (the program alone)
#   scripts/install-deps.sh test    build + GoogleTest, valgrind, objdump, libpng, OpenSSL, pngcheck, strace,
#                                   git (the commit's time for packing, the two clones of the reproducibility check)
#   scripts/install-deps.sh check   test + clang with its sanitizer and libFuzzer runtime
#   scripts/install-deps.sh bench   build + Google Benchmark, age, eatmydata, python3, time
#   scripts/install-deps.sh python  python3 alone (fuzz/make_corpus.sh)
#
# No package name carries a version, so the same list serves Debian 12 and
# Debian 13. The package lists are refreshed only when something is missing.
set -Eeuo pipefail
# A failure inside $(...) ends the script too; bash alone would go on with what it printed.
shopt -s inherit_errexit
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/install-deps.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
profile=${1:-test}

build=(build-essential cmake pkg-config libcrypto++-dev zlib1g-dev)
test=("${build[@]}" libgtest-dev valgrind binutils libpng-dev libssl-dev pngcheck strace util-linux git)
# libclang-rt-dev follows the distribution's default clang (14 on Debian 12,
# 19 on Debian 13) and brings the ASan, UBSan and libFuzzer runtimes for it.
check=("${test[@]}" clang libclang-rt-dev)
bench=("${build[@]}" libbenchmark-dev age eatmydata python3 time)

case $profile in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  check) packages=("${check[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  python) packages=(python3) ;;
  *)
    echo "usage: $0 build|test|check|bench|python" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
