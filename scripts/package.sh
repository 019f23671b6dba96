# shellcheck shell=bash
# The one way this project packs what it ships; sourced by scripts/release.sh
# and scripts/windows.sh (not run on its own). Two runs on one commit give the
# same bytes: entries in a fixed order, times set to SOURCE_DATE_EPOCH (the
# commit's time), modes set here and not taken from the umask, owner root,
# no host names or build folders.
#
#   package_windows_zip   <vellicor.exe> <out dir>   -> vellicor-<version>-windows-x86_64.zip
#   package_linux_tarball <vellicor>     <out dir>   -> vellicor-<version>-linux-x86_64.tar.gz
#   write_buildinfo <file> <Linux build> <Windows build> <Crypto++ for mingw-w64> <zip> <tarball>
#
# The first two print the path of what they made. The caller has sourced
# scripts/lib.sh (strict mode, also inside $(...)); the root of the source
# tree is $package_root.
package_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The version, from the project() line of the top CMakeLists.txt and nowhere else.
project_version() {
  local v
  v=$(sed -n 's/^project(vellicor VERSION \([0-9][0-9.]*\)[ )].*/\1/p' "$package_root/CMakeLists.txt")
  [ -n "$v" ] || { echo "[ERR] no 'project(vellicor VERSION x.y.z' line in CMakeLists.txt" >&2; return 1; }
  printf '%s\n' "$v"
}

# SOURCE_DATE_EPOCH as given, else the time of the checked-out commit.
source_date_epoch() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then printf '%s\n' "$SOURCE_DATE_EPOCH"; return 0; fi
  git -C "$package_root" log -1 --format=%ct 2>/dev/null ||
    { echo "[ERR] not a git checkout: set SOURCE_DATE_EPOCH to the time of the source" >&2; return 1; }
}

# Stage folder in a fresh temporary folder; its modes and times are set below.
package_stage() { mktemp -d "${TMPDIR:-/tmp}/vellicor-package.XXXXXX"; }

# Modes and times of everything under $1, whatever the umask and clock were.
package_normalise() {
  local dir=$1 sde=$2
  find "$dir" -type d -exec chmod 0755 {} +
  find "$dir" -type f -exec chmod 0644 {} +
  find "$dir" -type f -name vellicor -exec chmod 0755 {} +
  find "$dir" -type f -name '*.exe' -exec chmod 0755 {} +
  find "$dir" -exec touch -h -d "@$sde" {} +
}

package_windows_zip() {
  local exe=$1 out=$2 version sde stage zip
  version=$(project_version)
  sde=$(source_date_epoch)
  command -v zip >/dev/null || { echo "[ERR] zip not found (Debian package zip)" >&2; return 1; }
  stage=$(package_stage)
  cp "$exe" "$stage/vellicor.exe"
  # strip writes a new time into the PE header: the source's time, not now.
  SOURCE_DATE_EPOCH=$sde x86_64-w64-mingw32-strip --strip-all "$stage/vellicor.exe"
  # Notepad and friends expect CRLF.
  sed 's/$/\r/' "$package_root/scripts/windows-readme.txt" > "$stage/README.txt"
  package_normalise "$stage" "$sde"
  mkdir -p "$out"
  zip=$(cd "$out" && pwd)/vellicor-$version-windows-x86_64.zip
  rm -f "$zip"
  # -X: no extra fields (owner, further times), -D: no folder entries; the
  # entries in the order named; DOS times in UTC.
  (cd "$stage" && TZ=UTC zip -q -X -D "$zip" vellicor.exe README.txt)
  rm -rf "$stage"
  local contents
  contents=$(unzip -Z1 "$zip" | tr '\n' ' ')
  if [ "$contents" != "vellicor.exe README.txt " ]; then
    echo "[ERR] the zip should hold vellicor.exe and README.txt only, not: $contents" >&2
    return 1
  fi
  printf '%s\n' "$zip"
}

package_linux_tarball() {
  local program=$1 out=$2 version sde stage name tarball
  version=$(project_version)
  sde=$(source_date_epoch)
  name=vellicor-$version-linux-x86_64
  stage=$(package_stage)
  mkdir "$stage/$name"
  cp "$program" "$stage/$name/vellicor"
  strip --strip-all "$stage/$name/vellicor"
  cp "$package_root/scripts/linux-readme.txt" "$stage/$name/README.txt"
  cp "$package_root/samples/carrier.png" "$stage/$name/carrier.png"
  package_normalise "$stage" "$sde"
  mkdir -p "$out"
  tarball=$(cd "$out" && pwd)/$name.tar.gz
  LC_ALL=C tar --create --format=gnu --sort=name --mtime="@$sde" --owner=0 --group=0 --numeric-owner \
      --mode='u=rwX,go=rX' -C "$stage" "$name" | gzip -9 -n > "$tarball"
  rm -rf "$stage"
  printf '%s\n' "$tarball"
}

# BUILDINFO: what a rebuild needs to give the same bytes, after the model of
# Debian's .buildinfo files: the commit and its time, the system, the
# checksums of the two release files, and for each program the version of
# every Debian package whose files go into it (compiler, assembler and linker,
# the C and C++ libraries and headers, Crypto++, zlib, CMake), found by asking
# dpkg which package holds each file the build used; for vellicor.exe also the
# Crypto++ source it was cross-built from (scripts/windows.sh); and the
# packers, whose output is the release files. Nothing in it names a time, a
# host or a folder of the build, so two builds with the same packages write
# the same BUILDINFO.
write_buildinfo() {
  local out=$1 linux=$2 windows=$3 cryptopp=$4 zip=$5 tarball=$6
  local commit cxx wcxx
  commit=$(git -C "$package_root" rev-parse HEAD 2>/dev/null || echo "unknown (not a git checkout)")
  if [ -n "$(git -C "$package_root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    commit="$commit, with changes not committed"
  fi
  cxx=$(buildinfo_compiler "$linux" CXX)
  wcxx=$(buildinfo_compiler "$windows" CXX)
  local linux_files=(
    "$cxx" "$("$cxx" -print-prog-name=cc1plus)" "$(buildinfo_tool "$cxx" as)" "$(buildinfo_tool "$cxx" ld)"
    "$(command -v strip)"
    "$("$cxx" -print-file-name=libstdc++.a)" "$("$cxx" -print-libgcc-file-name)"
    "$("$cxx" -print-file-name=Scrt1.o)" "$("$cxx" -print-file-name=libc_nonshared.a)" /usr/include/linux/errno.h
    "$(buildinfo_cache_value "$linux" CRYPTOPP_STATIC_LIBRARY)" "$(buildinfo_cache_value "$linux" ZLIB_LIBRARY_RELEASE)"
    "$(command -v cmake)")
  local windows_files=(
    "$wcxx" "$("$wcxx" -print-prog-name=cc1plus)" "$(buildinfo_tool "$wcxx" as)" "$(buildinfo_tool "$wcxx" ld)"
    "$(command -v x86_64-w64-mingw32-strip)" "$(buildinfo_compiler "$windows" RC)"
    "$("$wcxx" -print-file-name=libstdc++.a)" "$("$wcxx" -print-libgcc-file-name)" "$("$wcxx" -print-file-name=libssp.a)"
    "$("$wcxx" -print-file-name=crt2.o)" "$("$wcxx" -print-file-name=libmsvcrt.a)"
    "$("$wcxx" -print-file-name=libwinpthread.a)" /usr/x86_64-w64-mingw32/include/windows.h
    "$(buildinfo_cache_value "$windows" ZLIB_LIBRARY_RELEASE)" "$(command -v cmake)")
  {
    printf 'Format: vellicor-buildinfo 1\n'
    printf 'Source: vellicor %s\n' "$(project_version)"
    printf 'Commit: %s\n' "$commit"
    printf 'Source-Date-Epoch: %s\n' "$(source_date_epoch)"
    printf 'Build-System: %s, %s\n' "$(. /etc/os-release && printf '%s' "$PRETTY_NAME")" "$(dpkg --print-architecture)"
    printf 'Checksums-Sha256:\n'
    local f
    for f in "$tarball" "$zip"; do
      printf ' %s %s %s\n' "$(sha256sum < "$f" | cut -d' ' -f1)" "$(stat -c %s "$f")" "$(basename "$f")"
    done
    printf 'Linux-Program-Packages:\n'
    buildinfo_packages "${linux_files[@]}"
    printf 'Windows-Program-Packages:\n'
    buildinfo_packages "${windows_files[@]}"
    printf 'Windows-Crypto++: %s\n' "$(cat "$cryptopp/SOURCE")"
    printf 'Packing-Packages:\n'
    buildinfo_packages "$(command -v tar)" "$(command -v gzip)" "$(command -v zip)"
  } > "$out"
}

buildinfo_cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }

# The compiler for language $2 that CMake found for build $1 (a toolchain file
# names it outside the cache), as a path.
buildinfo_compiler() {
  local files=("$1"/CMakeFiles/[0-9]*/CMake"$2"Compiler.cmake) c
  c=$(sed -n "s/^set(CMAKE_$2_COMPILER \"\(.*\)\")$/\1/p" "${files[-1]}")
  case $c in /*) printf '%s\n' "$c" ;; *) command -v "$c" ;; esac
}

# The program the compiler driver runs as $2: its own copy, else the one on PATH.
buildinfo_tool() {
  local p
  p=$("$1" -print-prog-name="$2")
  case $p in /*) printf '%s\n' "$p" ;; *) command -v "$p" ;; esac
}

# One " package (= version)" line per Debian package that holds one of the
# files named (through links), sorted; a file no package holds is an error.
buildinfo_packages() {
  local f real c owners=()
  for f in "$@"; do
    real=$(readlink -f "$f")
    local found=
    # Debian's merged /usr: dpkg may know a file by its /lib or /bin name.
    for c in "$real" "$f" "${real#/usr}"; do
      found=$(dpkg -S "$c" 2>/dev/null | awk -v p="$c" '$NF == p && !/^diversion/ { sub(/: [^:]*$/, ""); print; exit }') || true
      [ -z "$found" ] || break
    done
    [ -n "$found" ] || { echo "[ERR] BUILDINFO: no Debian package holds $f" >&2; return 1; }
    local named
    IFS=', ' read -r -a named <<<"$found"
    owners+=("${named[@]}")
  done
  dpkg-query -W -f='${binary:Package} (= ${Version})\n' "${owners[@]}" | LC_ALL=C sort -u | sed 's/^/ /'
}
