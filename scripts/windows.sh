#!/usr/bin/env bash
# Cross-builds vellicor.exe for Windows x86-64 with mingw-w64, runs the tests
# under Wine and leaves dist/vellicor-<version>-windows-x86_64.zip.
#
#   bash scripts/windows.sh            every step
#   bash scripts/windows.sh cryptopp   only the Crypto++ cross-build (cached)
#   bash scripts/windows.sh cryptopp-dir   prints the folder of that build
#
# Wine runs in a prefix of its own under the build folder (build-win/), so
# the user's ~/.wine is neither used nor changed.
#
# Crypto++ is built once from Debian's own source package (the same version
# the Linux build links) into ${VELLICOR_CACHE:-~/.cache/vellicor}, in a
# folder named after its version, and reused from there afterwards.
set -Eeuo pipefail
# A failure inside $(...) ends the script too; bash alone would go on with what it printed.
shopt -s inherit_errexit
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/windows.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
root=$(pwd)

cache=${VELLICOR_CACHE:-$HOME/.cache/vellicor}
cross=x86_64-w64-mingw32
wine=/usr/lib/wine/wine64
build=${VELLICOR_WIN_BUILD:-$root/build-win}

log() { printf '== %s\n' "$*"; }

install_missing() {
  local packages=(g++-mingw-w64-x86-64-posix wine64 libz-mingw-w64-dev libgtest-dev dpkg-dev
                  zip unzip cmake make pkg-config libcrypto++-dev locales binutils-mingw-w64-x86-64
                  icoutils)
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    log "installing ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
  fi
}

# The version of Crypto++ the Linux build uses; the cross-build takes the
# source package of exactly that version.
cryptopp_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' libcrypto++-dev 2>/dev/null || true)
  [ -n "$v" ] || v=$(apt-cache policy libcrypto++-dev | awk '/Candidate:/ {print $2}')
  [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "[ERR] no version of libcrypto++-dev is known to apt" >&2; return 1; }
  printf '%s\n' "$v"
}

cryptopp_dir() { printf '%s/cryptopp-%s-mingw64\n' "$cache" "$(cryptopp_version)"; }

build_cryptopp() {
  local version dest work
  version=$(cryptopp_version)
  dest=$(cryptopp_dir)
  if [ -f "$dest/lib/libcrypto++.a" ] && [ -f "$dest/include/cryptopp/cryptlib.h" ]; then
    log "Crypto++ $version for mingw-w64: cached in $dest"
    return 0
  fi
  work="$cache/src/cryptopp-$version"
  # A build stopped part way is picked up where it was (make redoes only
  # what is missing); a fetch stopped part way starts over.
  local srcdir
  srcdir=$(unpacked_source "$work")
  if [ -z "$srcdir" ] || [ ! -f "$srcdir/GNUmakefile" ]; then
    fetch_cryptopp_source "$version" "$work"
    srcdir=$(unpacked_source "$work")
    [ -n "$srcdir" ] || { echo "[ERR] the Crypto++ source package did not unpack" >&2; return 1; }
  fi

  log "cross-building Crypto++ $version (static), this takes a while"
  local started=$SECONDS
  make -C "$srcdir" -j"$(nproc)" CXX=$cross-g++-posix AR=$cross-ar RANLIB=$cross-ranlib static
  log "Crypto++ built in $((SECONDS - started)) s"

  # Debian's packaging names the archive libcrypto++.a.
  rm -rf "$dest.tmp" && mkdir -p "$dest.tmp/include/cryptopp" "$dest.tmp/lib"
  cp "$srcdir"/*.h "$dest.tmp/include/cryptopp/"
  cp "$srcdir/libcrypto++.a" "$dest.tmp/lib/"
  rm -rf "$dest" && mv "$dest.tmp" "$dest"
  rm -rf "$work"
  log "Crypto++ $version for mingw-w64 is in $dest"
}

# The unpacked source folder under $1, or nothing (not an error) where there is
# none yet: a fresh machine has no $1 at all.
unpacked_source() {
  local d
  [ -d "$1" ] || return 0
  for d in "$1"/libcrypto++-*/; do
    [ -d "$d" ] && { printf '%s\n' "${d%/}"; return 0; }
  done
  return 0
}

fetch_cryptopp_source() {
  local version=$1 work=$2
  rm -rf "$work" && mkdir -p "$work/lists/partial"

  # apt-get source needs a deb-src line. It gets its own here, with its own
  # lists folder, so the machine's apt configuration stays as it is. The
  # installed version may come from the release, its updates or a security update.
  local suite
  suite=$(. /etc/os-release && printf '%s' "${VERSION_CODENAME:-bookworm}")
  printf 'deb-src http://deb.debian.org/debian %s main\n' "$suite" "$suite-updates" > "$work/sources.list"
  printf 'deb-src http://deb.debian.org/debian-security %s-security main\n' "$suite" >> "$work/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
                  -o "APT::Sandbox::User=$(id -un)")
  log "fetching the Crypto++ $version source package"
  apt-get "${apt_opts[@]}" update
  (cd "$work" && apt-get "${apt_opts[@]}" source "libcrypto++=$version")
}

build_program() {
  log "building vellicor.exe and the tests for Windows x86-64"
  local started=$SECONDS
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_CRYPTOPP_ROOT="$(cryptopp_dir)"
  cmake --build "$build" -j"$(nproc)"
  log "built in $((SECONDS - started)) s"
}

# The exe must stand alone: only DLLs that every Windows has may be imported.
check_imports() {
  local exe=$build/cli/vellicor.exe imports bad
  imports=$($cross-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
  log "vellicor.exe imports: $(echo $imports)"
  bad=$(printf '%s\n' "$imports" | grep -viE '^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+|bcrypt|advapi32|user32|shell32|ntdll)\.dll$' || true)
  if [ -n "$bad" ]; then
    echo "[ERR] vellicor.exe needs DLLs that Windows does not ship: $bad" >&2
    return 1
  fi
}

run_tests() {
  log "running the tests under Wine"
  local started=$SECONDS
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
  log "tests ran in $((SECONDS - started)) s"
}

# The end-to-end tests are Linux programs that start the program under test;
# pointed at vellicor.exe they start it under Wine, and the interop test runs
# both builds on one key pair. They come from the Linux build in build/ (the
# one scripts/test.sh makes), which is brought up to date first.
run_end_to_end() {
  log "end-to-end tests against vellicor.exe under Wine, and interop with the Linux build"
  local started=$SECONDS linux=${VELLICOR_LINUX_BUILD:-$root/build}
  bash "$root/scripts/install-deps.sh"
  [ -f "$linux/CMakeCache.txt" ] || cmake -S "$root" -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$linux" -j"$(nproc)" --target vellicor tests_e2e
  VELLICOR_TEST_WINDOWS_PROGRAM="$build/cli/vellicor.exe" "$linux/tests/e2e/tests_e2e"
  log "end-to-end tests ran in $((SECONDS - started)) s"
}

# The zip as scripts/release.sh makes it (scripts/package.sh is the one way to
# pack it), from this build's exe.
make_zip() {
  local zip
  # shellcheck source=package.sh
  source "$root/scripts/package.sh"
  zip=$(package_windows_zip "$build/cli/vellicor.exe" "$root/dist")
  log "left $zip"
}

step=${1:-all}
case "$step" in
  cryptopp)
    install_missing
    build_cryptopp
    ;;
  cryptopp-dir)
    cryptopp_dir
    ;;
  all)
    started_all=$SECONDS
    install_missing
    build_cryptopp
    export VELLICOR_WINEPREFIX=${VELLICOR_WINEPREFIX:-$build/wine-prefix}
    build_program
    check_imports
    run_tests
    run_end_to_end
    make_zip
    log "scripts/windows.sh done in $((SECONDS - started_all)) s"
    ;;
  *)
    echo "[ERR] unknown step '$step' (cryptopp, cryptopp-dir, or nothing for all steps)" >&2
    exit 2
    ;;
esac
