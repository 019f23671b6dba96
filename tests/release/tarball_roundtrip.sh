#!/bin/bash
# The Linux release tarball on a system where nothing was added: unpack it,
# and genkeys, embed, extract with the program in it; the restored file must
# be byte for byte the original. Uses only what every Debian system has
# (bash, tar, gzip, coreutils, cmp). scripts/tarball-chroot.sh runs it in
# fresh minimal Debian 12 and 13 chroots.
#
#   tarball_roundtrip.sh <vellicor-<version>-linux-x86_64.tar.gz>
set -Eeuo pipefail
trap 'echo "[ERR] tarball_roundtrip.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
tarball=$(readlink -f "$1")
name=$(basename "$tarball" .tar.gz)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "system: $(. /etc/os-release && echo "$PRETTY_NAME"), $(ldd --version 2>/dev/null | head -n 1 || true)"
command -v dpkg-query >/dev/null && echo "installed packages: $(dpkg-query -W -f='${db:Status-Abbrev}\n' | grep -c '^ii')"

tar -xzf "$tarball" -C "$work"
dir=$work/$name
[ -x "$dir/vellicor" ] || { echo "FAILED: $name/vellicor is missing or not executable" >&2; exit 1; }
ls -l "$dir"
"$dir/vellicor" --version | tail -n 1
"$dir/vellicor" genkeys
[ -f "$dir/keys/kyber.pub" ] && [ -f "$dir/keys/kyber.prv" ] ||
  { echo "FAILED: genkeys left no key pair in $name/keys/" >&2; exit 1; }
# A message of every byte value, 2 MiB: more than one block.
for i in $(seq 0 255); do printf "\\$(printf '%03o' "$i")"; done > "$work/message.bin"
for i in $(seq 1 13); do cat "$work/message.bin" "$work/message.bin" > "$work/twice" && mv "$work/twice" "$work/message.bin"; done
"$dir/vellicor" embed "$work/message.bin" "$dir/carrier.png" "$work/stego.png"
"$dir/vellicor" extract "$work/stego.png" "$work/restored.bin"
cmp "$work/message.bin" "$work/restored.bin"
echo "round trip passed: $(stat -c %s "$work/message.bin") bytes through $(basename "$dir")/carrier.png and back, byte for byte"
