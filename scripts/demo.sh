#!/usr/bin/env bash
# Installs what building the program needs and is missing, builds the program
# as it ships for Linux (the release-linux preset of CMakePresets.json, in
# build-release-linux/, the program alone), and runs its main job on the bundled sample:
# hide samples/message.txt in samples/carrier.png, get it back, and show that
# the restored file equals the original.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
top=$PWD
bash scripts/install-deps.sh build
cmake --preset release-linux -DVELLICOR_BUILD_TESTS=OFF
cmake --build --preset release-linux -j"$(nproc)" --target vellicor
bin=$top/build-release-linux/cli/vellicor
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The program works from its own folder, so the sample paths are given absolute.
"$bin" genkeys
"$bin" embed "$top/samples/message.txt" "$top/samples/carrier.png" "$work/stego.png"
"$bin" extract "$work/stego.png" "$work/restored.txt"
echo
echo "carrier $(stat -c %s samples/carrier.png) bytes, stego $(stat -c %s "$work/stego.png") bytes"
cmp samples/message.txt "$work/restored.txt"
echo "restored file is byte for byte the original:"
cat "$work/restored.txt"
