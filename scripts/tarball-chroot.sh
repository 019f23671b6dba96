#!/usr/bin/env bash
# The Linux release tarball on fresh minimal Debian systems with nothing
# added: for each suite, a new `debootstrap --variant=minbase` chroot (made by
# scripts/chroot-ci.sh), the tarball copied in, and
# tests/release/tarball_roundtrip.sh run there (unpack, genkeys, embed,
# extract, cmp). A tool for developers, not run by CI (it needs root and
# downloads a system per suite).
#
#   scripts/tarball-chroot.sh [tarball] [bookworm] [trixie]
#
# Default: dist/vellicor-<version>-linux-x86_64.tar.gz (scripts/release.sh),
# both suites. The chroots are removed afterwards; a failed one stays.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
source scripts/package.sh

tarball="" suites=()
for arg in "$@"; do
  case $arg in
    bookworm | trixie) suites+=("$arg") ;;
    *) tarball=$arg ;;
  esac
done
((${#suites[@]})) || suites=(bookworm trixie)
tarball=$(readlink -f "${tarball:-dist/vellicor-$(project_version)-linux-x86_64.tar.gz}")
[ -f "$tarball" ] || { echo "[ERR] no $tarball: run scripts/release.sh first" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "[ERR] tarball-chroot.sh must run as root (debootstrap, chroot)" >&2; exit 2; }

status=0
for suite in "${suites[@]}"; do
  echo "== $suite: a fresh minimal chroot"
  out=$(bash scripts/chroot-ci.sh --keep --command true "$suite") || { echo "$out" >&2; status=1; continue; }
  dir=$(sed -n 's/^chroot-ci.sh: the chroot stays in //p' <<<"$out" | tail -n 1)
  [ -d "$dir" ] || { echo "$out" >&2; echo "[ERR] chroot-ci.sh named no chroot" >&2; status=1; continue; }
  cp "$tarball" "$dir/root/"
  echo "== $suite: the tarball's round trip in $dir"
  if out=$(bash scripts/chroot-ci.sh --reuse "$dir" --keep-project \
             --command "bash tests/release/tarball_roundtrip.sh /root/$(basename "$tarball")"); then
    result=passed
  else
    result=FAILED status=1
  fi
  log=$(sed -n 's/^chroot-ci.sh: chroot .*, log //p' <<<"$out" | tail -n 1)
  sed -n '/^chroot-ci.sh: running/,$p' "$log" | grep -av '^chroot-ci.sh: chroot ' || true
  echo "== $suite: $result"
  if [ $result = passed ] && ! grep -q " $dir/" /proc/self/mountinfo; then
    rm -rf --one-file-system "$dir"
  else
    echo "the chroot stays in $dir"
  fi
done
exit "$status"
