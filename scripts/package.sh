# The one way this project packs what it ships; sourced by scripts/release.sh
# and scripts/windows.sh (not run on its own). Two runs on one commit give the
# same bytes: entries in a fixed order, times set to SOURCE_DATE_EPOCH (the
# commit's time), modes set here and not taken from the umask, owner root,
# no host names or build folders.
#
#   package_windows_zip   <vellicor.exe> <out dir>   -> vellicor-<version>-windows-x86_64.zip
#   package_linux_tarball <vellicor>     <out dir>   -> vellicor-<version>-linux-x86_64.tar.gz
#
# Each prints the path of what it made. The caller has `set -e`; the root of
# the source tree is $package_root.
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
