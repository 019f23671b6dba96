#!/usr/bin/env bash
# Builds the release files of the checked-out commit, tests them, and leaves
# them in dist/:
#
#   vellicor-<version>-windows-x86_64.zip     the stripped exe (manifest and version resource in it)
#                                             and README.txt with CRLF
#   vellicor-<version>-linux-x86_64.tar.gz    vellicor-<version>-linux-x86_64/: the stripped program,
#                                             README.txt and a sample carrier
#   BUILDINFO                                 what built them: the commit, and the version of every
#                                             Debian package whose bytes go into either program
#   SHA256SUMS                                for the three
#
# Both programs are built with the release-linux and release-windows presets
# of CMakePresets.json (RelWithDebInfo as the tests build them; the Linux one
# links everything but the C library statically), then stripped and packed.
# Each is checked: its hardening (tests/release/check_hardening.sh), --version
# against the project's version, and for Linux that it needs only the C
# library, of version 2.36 (Debian 12) or older. Then the end-to-end suite runs
# against the programs as packed: the one unpacked from the tarball
# (ctest --preset release-linux, the power-cut tests too) and vellicor.exe
# unpacked from the zip, under Wine (ctest --preset release-windows, which also
# runs the two shipped programs on one key pair). Two runs on one commit give
# the same bytes (scripts/reproduce.sh checks that); so does a run on another
# machine where the versions in BUILDINFO match.
#
#   VELLICOR_DIST                output folder (default dist/)
#   VELLICOR_JOBS                parallel build and test jobs (default: number of cores)
#   VELLICOR_RELEASE_TESTS=0     build, check and pack, but leave out the end-to-end runs
#                                (the second build of scripts/reproduce.sh, which compares bytes only)
#   VELLICOR_GLIBC_FLOOR=warn    only warn when the Linux program needs a newer C
#                                library (a build on Debian 13; scripts/reproduce.sh)
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
root=$(pwd)
# shellcheck source-path=SCRIPTDIR source=package.sh
source "$root/scripts/package.sh"
dist=${VELLICOR_DIST:-$root/dist}
linux=$root/build-release-linux
windows=$root/build-release-windows
shipped=$linux/shipped  # where the tests find the packed programs (CMakePresets.json)
jobs=${VELLICOR_JOBS:-$(nproc)}
glibc_floor=2.36
started=$SECONDS

version=$(project_version)
SOURCE_DATE_EPOCH=$(source_date_epoch)
export SOURCE_DATE_EPOCH
log "vellicor $version, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" +%F' '%T) UTC)"

bash scripts/install-deps.sh test
# The cross tools, and Crypto++ for mingw-w64 (built once, then cached).
bash scripts/windows.sh cryptopp
cryptopp=$(bash scripts/windows.sh cryptopp-dir)

log "building the Linux program in $linux"
cmake --preset release-linux >/dev/null
if [ "${VELLICOR_RELEASE_TESTS:-1}" = 0 ]; then
  cmake --build --preset release-linux -j"$jobs" --target vellicor
else
  cmake --build --preset release-linux -j"$jobs"  # with the end-to-end test programs
fi

log "building vellicor.exe in $windows"
cmake --preset release-windows -DVELLICOR_CRYPTOPP_ROOT="$cryptopp" >/dev/null
cmake --build --preset release-windows -j"$jobs"

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
    warn "GLIBC_$newest is newer than $glibc_floor: this program would not run on Debian 12; build releases on Debian 12"
  else
    echo "[ERR] the Linux program needs GLIBC_$newest, newer than $glibc_floor (Debian 12): build releases on Debian 12" >&2
    exit 1
  fi
fi

log "checking vellicor.exe"
OBJDUMP=x86_64-w64-mingw32-objdump bash tests/release/check_hardening.sh "$windows/cli/vellicor.exe"

log "packing"
mkdir -p "$dist"
rm -f "$dist/SHA256SUMS" "$dist/BUILDINFO"
zip=$(package_windows_zip "$windows/cli/vellicor.exe" "$dist")
tarball=$(package_linux_tarball "$linux/cli/vellicor" "$dist")
# The programs as packed, where the release test presets look for them.
rm -rf "$shipped" && mkdir -p "$shipped/linux" "$shipped/windows"
tar -xzf "$tarball" -C "$shipped/linux" --strip-components=1
unzip -q "$zip" vellicor.exe -d "$shipped/windows"
# The shipped exe is stripped: its hardening flags are in its header still.
OBJDUMP=x86_64-w64-mingw32-objdump bash tests/release/check_hardening.sh --stripped "$shipped/windows/vellicor.exe" >/dev/null ||
  { echo "[ERR] the exe in the zip lost its hardening flags" >&2; exit 1; }

if [ "${VELLICOR_RELEASE_TESTS:-1}" = 0 ]; then
  log "end-to-end runs left out (VELLICOR_RELEASE_TESTS=0)"
else
  log "end-to-end tests against the program from the tarball"
  tests_started=$SECONDS
  ctest --preset release-linux -j"$jobs"
  log "end-to-end tests against vellicor.exe from the zip, under Wine"
  ctest --preset release-windows -j"$jobs"
  log "end-to-end runs took $((SECONDS - tests_started)) s"
fi

log "writing BUILDINFO"
write_buildinfo "$dist/BUILDINFO" "$linux" "$windows" "$cryptopp" "$zip" "$tarball"
(cd "$dist" && sha256sum "$(basename "$zip")" "$(basename "$tarball")" BUILDINFO > SHA256SUMS)
log "left in $dist (release.sh took $((SECONDS - started)) s):"
(cd "$dist" && ls -l "$(basename "$zip")" "$(basename "$tarball")" BUILDINFO SHA256SUMS && cat SHA256SUMS)
