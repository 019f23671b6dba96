#!/usr/bin/env bash
# Cross-builds vellicor.exe for Windows x86-64 with mingw-w64, runs the tests
# under Wine and leaves dist/vellicor-<version>-windows-x86_64.zip.
#
#   bash scripts/windows.sh            every step
#   bash scripts/windows.sh --no-e2e   every step but the end-to-end run (scripts/check.sh: its
#                                      release stage runs that suite against the shipped exe)
#   bash scripts/windows.sh cryptopp   only the Crypto++ cross-build (cached)
#   bash scripts/windows.sh cryptopp-dir   prints the folder of that build
#
# The build is the mingw preset of CMakePresets.json, in build-win/. Wine runs
# in a prefix of its own there (build-win/wine-prefix, set by the preset), so
# the user's ~/.wine is neither used nor changed.
#
# Crypto++ is built once from Debian's own source package (the same version
# the Linux build links) into ${VELLICOR_CACHE:-~/.cache/vellicor}, in a
# folder named after its version, and reused from there afterwards. Where the
# Debian part of that source package cannot be fetched (a mirror has been seen
# to answer 404 for it while serving the rest), it is built from the upstream
# tarball the package's .dsc names, once its SHA-256 matches the .dsc, with a
# "[WARN] " line. Which of the two it was is in <that folder>/SOURCE, and
# scripts/release.sh copies it into BUILDINFO. VELLICOR_CRYPTOPP_SOURCE=upstream
# takes the upstream tarball on purpose (to try that route).
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
root=$(pwd)

cache=${VELLICOR_CACHE:-$HOME/.cache/vellicor}
cross=x86_64-w64-mingw32
build=$root/build-win

install_missing() { bash "$root/scripts/install-deps.sh" windows; }

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
    # A build cached before SOURCE was written came from the Debian source
    # package: there was no other way then.
    [ -f "$dest/SOURCE" ] || debian_source_line "$version" > "$dest/SOURCE"
    log "Crypto++ $version for mingw-w64: cached in $dest ($(cat "$dest/SOURCE"))"
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
  [ -f "$work/SOURCE" ] || debian_source_line "$version" > "$work/SOURCE"

  log "cross-building Crypto++ $version (static), this takes a while"
  local started=$SECONDS
  make -C "$srcdir" -j"$(nproc)" CXX=$cross-g++-posix AR=$cross-ar RANLIB=$cross-ranlib static
  log "Crypto++ built in $((SECONDS - started)) s"

  # Debian's packaging names the archive libcrypto++.a, upstream's libcryptopp.a.
  rm -rf "$dest.tmp" && mkdir -p "$dest.tmp/include/cryptopp" "$dest.tmp/lib"
  cp "$srcdir"/*.h "$dest.tmp/include/cryptopp/"
  if [ -f "$srcdir/libcrypto++.a" ]; then
    cp "$srcdir/libcrypto++.a" "$dest.tmp/lib/"
  else
    cp "$srcdir/libcryptopp.a" "$dest.tmp/lib/libcrypto++.a"
  fi
  cp "$work/SOURCE" "$dest.tmp/SOURCE"
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
  local mirror security
  mirror=$(apt_mirror main)
  [ -n "$mirror" ] || { echo "[ERR] this machine's apt sources name no Debian mirror to fetch the Crypto++ source from" >&2; return 1; }
  security=$(apt_mirror security)
  printf 'deb-src %s %s main\n' "$mirror" "$suite" "$mirror" "$suite-updates" > "$work/sources.list"
  [ -z "$security" ] || printf 'deb-src %s %s-security main\n' "$security" "$suite" >> "$work/sources.list"
  local apt_opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
                  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
                  -o "APT::Sandbox::User=$(id -un)")
  log "fetching the Crypto++ $version source package"
  apt-get "${apt_opts[@]}" update
  if [ "${VELLICOR_CRYPTOPP_SOURCE:-debian}" != upstream ] &&
     (cd "$work" && apt-get "${apt_opts[@]}" source "libcrypto++=$version"); then
    debian_source_line "$version" > "$work/SOURCE"
    return 0
  fi
  fetch_upstream_tarball "$version" "$work" "${apt_opts[@]}"
}

debian_source_line() { printf 'Debian source package libcrypto++ %s\n' "$1"; }

# The upstream tarball (Debian's .orig) of the source package, without the
# Debian part: the .dsc comes with the SHA-256 that the Sources index (signed
# through the Release file) gives it, and the tarball must have the SHA-256
# that the .dsc gives it. apt-helper checks each as it downloads, and the
# tarball is checked once more here before it is unpacked.
fetch_upstream_tarball() {
  local version=$1 work=$2
  shift 2
  local apt_opts=("$@")
  warn "the Debian part of the Crypto++ $version source package could not be fetched (or" \
       "VELLICOR_CRYPTOPP_SOURCE=upstream): building from the upstream tarball its .dsc names," \
       "without Debian's changes; BUILDINFO says so"
  local uris dsc_line dsc_uri dsc_name dsc_hash
  uris=$(apt-get "${apt_opts[@]}" --print-uris source "libcrypto++=$version")
  dsc_line=$(grep -E "^'[^']+\.dsc' " <<<"$uris") || { echo "[ERR] apt names no .dsc for libcrypto++ $version" >&2; return 1; }
  read -r dsc_uri dsc_name _ dsc_hash <<<"$dsc_line"
  dsc_uri=${dsc_uri//\'/}
  local fetch=(/usr/lib/apt/apt-helper -o "APT::Sandbox::User=$(id -un)" download-file)
  "${fetch[@]}" "$dsc_uri" "$work/$dsc_name" "$dsc_hash" >/dev/null
  local orig_sha='' orig_name=''
  read -r orig_sha _ orig_name < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$work/$dsc_name" |
                                    grep -E '^ [0-9a-f]{64} [0-9]+ [^ ]+\.orig\.tar\.[a-z0-9]+$') || true
  [ -n "$orig_name" ] || { echo "[ERR] $dsc_name names no upstream tarball with a SHA-256" >&2; return 1; }
  "${fetch[@]}" "${dsc_uri%/*}/$orig_name" "$work/$orig_name" "SHA256:$orig_sha" >/dev/null
  [ "$(sha256sum < "$work/$orig_name" | cut -d' ' -f1)" = "$orig_sha" ] ||
    { echo "[ERR] $orig_name does not have the SHA-256 $dsc_name gives it" >&2; return 1; }
  echo "$orig_name: SHA-256 $orig_sha, as $dsc_name gives it"
  # One top folder in the tarball (Debian's convention) or none.
  local top strip=()
  top=$(tar -tf "$work/$orig_name" | cut -d/ -f1 | sort -u)
  [ "$(wc -l <<<"$top")" -ne 1 ] || [ "$top" = GNUmakefile ] || strip=(--strip-components=1)
  printf 'upstream tarball %s (SHA-256 %s, as %s gives it), without the Debian part of the source package\n' \
    "$orig_name" "$orig_sha" "$dsc_name" > "$work/SOURCE"
  rm -rf "$work"/libcrypto++-*/ && mkdir -p "$work/libcrypto++-upstream"
  tar -xf "$work/$orig_name" -C "$work/libcrypto++-upstream" "${strip[@]}"
}

build_program() {
  log "building vellicor.exe and the tests for Windows x86-64"
  local started=$SECONDS
  cmake --preset mingw -DVELLICOR_CRYPTOPP_ROOT="$(cryptopp_dir)"
  # Wine's prefix is made once here, before the build: made by the first test
  # discovery instead, while the compilers hold both cores, it can take longer
  # than discovery may wait.
  VELLICOR_WINEPREFIX="$build/wine-prefix" "$root/scripts/wine-run.sh" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
  cmake --build --preset mingw -j"$(nproc)"
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
  ctest --preset mingw -j"$(nproc)"
  log "tests ran in $((SECONDS - started)) s"
}

# The end-to-end tests are Linux programs that start the program under test;
# pointed at vellicor.exe they start it under Wine, and the interop test runs
# both builds on one key pair. They come from the Linux build in build/ (the
# dev preset, as scripts/test.sh makes it), which is brought up to date first.
run_end_to_end() {
  log "end-to-end tests against vellicor.exe under Wine, and interop with the Linux build"
  local started=$SECONDS
  bash "$root/scripts/install-deps.sh" test
  [ -f "$root/build/CMakeCache.txt" ] || cmake --preset dev
  cmake --build --preset dev -j"$(nproc)" --target vellicor tests_e2e
  VELLICOR_WINEPREFIX="$build/wine-prefix" VELLICOR_TEST_WINDOWS_PROGRAM="$build/cli/vellicor.exe" \
    "$root/build/tests/e2e/tests_e2e"
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
  all | --no-e2e)
    started_all=$SECONDS
    install_missing
    build_cryptopp
    build_program
    check_imports
    run_tests
    [ "$step" = --no-e2e ] || run_end_to_end
    make_zip
    log "scripts/windows.sh done in $((SECONDS - started_all)) s"
    ;;
  *)
    echo "[ERR] unknown step '$step' (cryptopp, cryptopp-dir, --no-e2e, or nothing for all steps)" >&2
    exit 2
    ;;
esac
