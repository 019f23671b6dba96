#!/usr/bin/env bash
# Builds the release files of one commit twice and compares them byte for
# byte: two clones in two folders of different path lengths, built one after
# the other (so at different times), under umask 002 and 022, in the C.UTF-8
# locale and in another one, in two time zones. Each build is a full
# scripts/release.sh (Crypto++ for mingw-w64 comes from the shared cache); the
# first also runs the end-to-end suite against the programs it packed, under
# umask 002 as on a user's machine with user groups, the second compares bytes only (VELLICOR_RELEASE_TESTS=0). On a difference it
# says which file and where it differs (diffoscope, when installed, shows how).
#
# The same holds between machines where the package versions in BUILDINFO
# match: the commit's scripts/release.sh on a Debian system with those
# versions installed gives the same release files, BUILDINFO included. To check
# a published release, install the versions its BUILDINFO names (older ones
# are in Debian's snapshot archive), check out its commit, run scripts/release.sh,
# and in dist/ run `sha256sum -c <published SHA256SUMS>`; where a file
# differs, `diff <published BUILDINFO> dist/BUILDINFO` names the packages
# whose versions differ.
#
#   scripts/reproduce.sh [commit]     default: HEAD; only what is committed is built
#
#   VELLICOR_REPRODUCE_KEEP=1   keep the two clones (their folder is printed)
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
root=$(pwd)
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
log() { printf '== %s (%s)\n' "$*" "$(date -u +%H:%M:%S)"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vellicor-reproduce.XXXXXX")
if [ "${VELLICOR_REPRODUCE_KEEP:-0}" = 1 ]; then
  trap 'echo "the two builds are kept in $work"' EXIT
else
  trap 'rm -rf "$work"' EXIT
fi
first=$work/a
second=$work/second-build-in-a-folder-with-a-longer-name/b

# A second locale besides C.UTF-8: French, made in a folder of our own when the
# locale sources are installed (package locales), else the plain C locale.
other_locale=C
if command -v localedef >/dev/null && [ -f /usr/share/i18n/locales/fr_FR ]; then
  mkdir -p "$work/locales"
  if localedef -i fr_FR -f UTF-8 "$work/locales/fr_FR.UTF-8" 2>/dev/null; then
    other_locale=fr_FR.UTF-8
  fi
fi

build() {  # build <folder> <umask> <locale> <time zone> <end-to-end runs: 1 or 0>
  local dir=$1
  log "build in $dir: umask $2, LC_ALL=$3, TZ=$4, end-to-end runs $5"
  mkdir -p "$(dirname "$dir")"
  git clone --quiet --no-checkout "$root" "$dir"
  git -C "$dir" checkout --quiet --detach "$commit"
  local settings=(LC_ALL="$3" TZ="$4" VELLICOR_GLIBC_FLOOR=warn VELLICOR_DIST="$dir/dist" VELLICOR_RELEASE_TESTS="$5")
  [ "$3" != fr_FR.UTF-8 ] || settings+=(LOCPATH="$work/locales")
  (
    umask "$2"
    unset SOURCE_DATE_EPOCH LANG LANGUAGE LOCPATH
    env "${settings[@]}" bash "$dir/scripts/release.sh" >"$dir.log" 2>&1
  ) || {
    # The log goes with $work: what each failed test printed is shown here.
    grep -E -A30 ': Failure$' "$dir.log" | head -n 200 >&2 || true
    tail -n 40 "$dir.log" >&2
    echo "[ERR] the build in $dir failed (VELLICOR_REPRODUCE_KEEP=1 keeps its log, $dir.log)" >&2
    return 1
  }
  grep -E "^== end-to-end" "$dir.log" || true
  tail -n 4 "$dir.log"
}

log "reproducing the release files of $(git log -1 --format='%h %s' "$commit")"
build "$first" 002 C.UTF-8 UTC 1
build "$second" 022 "$other_locale" NPT-5:45 0

status=0
for f in $(cd "$first/dist" && ls); do
  if cmp -s "$first/dist/$f" "$second/dist/$f"; then
    printf 'same     %s  %s\n' "$(sha256sum < "$first/dist/$f" | cut -c1-64)" "$f"
  else
    status=1
    printf 'DIFFERS  %s\n' "$f"
    cmp "$first/dist/$f" "$second/dist/$f" || true
    if command -v diffoscope >/dev/null; then
      diffoscope --text - "$first/dist/$f" "$second/dist/$f" | head -n 200 || true
    else
      echo "(install diffoscope-minimal to see how they differ)"
    fi
  fi
done
[ -n "$(ls "$second/dist")" ] && [ "$(cd "$first/dist" && ls)" = "$(cd "$second/dist" && ls)" ] ||
  { echo "the two builds left different files: $(ls "$first/dist") / $(ls "$second/dist")" >&2; status=1; }
if ((status)); then
  echo "reproducibility check FAILED: two builds of $commit differ" >&2
  exit 1
fi
echo "reproducibility check passed: two builds of $commit gave the same bytes"
