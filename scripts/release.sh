#!/usr/bin/env bash
# Builds the release files of the checked-out commit and leaves them in dist/:
#
#   vellicor-<version>-windows-x86_64.zip     the stripped exe (manifest and version resource in it)
#                                             and README.txt with CRLF
#   vellicor-<version>-linux-x86_64.tar.gz    vellicor-<version>-linux-x86_64/: the stripped program,
#                                             README.txt and a sample carrier
#   SHA256SUMS                                for both
#
# Both programs are built as the tests build them (RelWithDebInfo), then
# stripped; the Linux one links everything but the C library statically
# (VELLICOR_STATIC_RUNTIME). Before packing, each is checked: its hardening
# (tests/release/check_hardening.sh), --version against the project's
# version, and for Linux that it needs only the C library, of version 2.36
# (Debian 12) or older. Two runs on one commit give the same bytes
# (scripts/reproduce.sh checks that).
#
#   VELLICOR_DIST                output folder (default dist/)
#   VELLICOR_RELEASE_BUILD       Linux build folder (default build-release-a/)
#   VELLICOR_RELEASE_WIN_BUILD   Windows build folder (default build-win-rel/)
#   VELLICOR_JOBS                parallel build jobs (default: number of cores)
#   VELLICOR_GLIBC_FLOOR=warn    only warn when the Linux program needs a newer C
#                                library (a build on Debian 13; scripts/reproduce.sh)
set -Eeuo pipefail
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/release.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=package.sh
source "$root/scripts/package.sh"
dist=${VELLICOR_DIST:-$root/dist}
linux=${VELLICOR_RELEASE_BUILD:-$root/build-release-a}
windows=${VELLICOR_RELEASE_WIN_BUILD:-$root/build-win-rel}
jobs=${VELLICOR_JOBS:-$(nproc)}
glibc_floor=2.36

log() { printf '== %s\n' "$*"; }

version=$(project_version)
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
log "vellicor $version, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" +%F' '%T) UTC)"

bash scripts/install-deps.sh build
# The cross tools, and Crypto++ for mingw-w64 (built once, then cached).
bash scripts/windows.sh cryptopp
cryptopp=$(bash scripts/windows.sh cryptopp-dir)

log "building the Linux program in $linux"
cmake -S "$root" -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_BUILD_TESTS=OFF \
      -DVELLICOR_STATIC_RUNTIME=ON >/dev/null
cmake --build "$linux" -j"$jobs" --target vellicor

log "building vellicor.exe in $windows"
cmake -S "$root" -B "$windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_BUILD_TESTS=OFF -DVELLICOR_CRYPTOPP_ROOT="$cryptopp" >/dev/null
cmake --build "$windows" -j"$jobs" --target vellicor

log "checking the Linux program"
bash tests/release/check_hardening.sh "$linux/cli/vellicor"
line=$("$linux/cli/vellicor" --version)
grep -Fq "v$version " <<<"$line" || { echo "[ERR] --version says '$line', the project is $version" >&2; exit 1; }
needed=$(readelf -d -W "$linux/cli/vellicor" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
echo "needs: $needed"
for lib in $needed; do
  case $lib in
    libc.so.6 | libm.so.6 | ld-linux-x86-64.so.2) ;;  # all three are the C library (glibc)
    *) echo "[ERR] the Linux program needs $lib; only the C library may be left to the system" >&2; exit 1 ;;
  esac
done
newest=$(readelf -V -W "$linux/cli/vellicor" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
echo "newest C library version needed: GLIBC_$newest (floor: $glibc_floor)"
if [ "$(printf '%s\n%s\n' "$newest" "$glibc_floor" | sort -V | tail -n 1)" != "$glibc_floor" ]; then
  if [ "${VELLICOR_GLIBC_FLOOR:-}" = warn ]; then
    echo "[WARN] GLIBC_$newest is newer than $glibc_floor: this program would not run on Debian 12; build releases on Debian 12" >&2
  else
    echo "[ERR] the Linux program needs GLIBC_$newest, newer than $glibc_floor (Debian 12): build releases on Debian 12" >&2
    exit 1
  fi
fi

log "checking vellicor.exe"
OBJDUMP=x86_64-w64-mingw32-objdump bash tests/release/check_hardening.sh "$windows/cli/vellicor.exe"

log "packing"
mkdir -p "$dist"
zip=$(package_windows_zip "$windows/cli/vellicor.exe" "$dist")
tarball=$(package_linux_tarball "$linux/cli/vellicor" "$dist")
# The shipped exe is stripped: its hardening flags are in its header still.
check_stage=$(mktemp -d)
unzip -q "$zip" vellicor.exe -d "$check_stage"
OBJDUMP=x86_64-w64-mingw32-objdump bash tests/release/check_hardening.sh --stripped "$check_stage/vellicor.exe" >/dev/null ||
  { echo "[ERR] the exe in the zip lost its hardening flags" >&2; exit 1; }
rm -rf "$check_stage"
(cd "$dist" && sha256sum "$(basename "$zip")" "$(basename "$tarball")" > SHA256SUMS)
log "left in $dist:"
(cd "$dist" && ls -l "$(basename "$zip")" "$(basename "$tarball")" SHA256SUMS && cat SHA256SUMS)
