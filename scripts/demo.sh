#!/usr/bin/env bash
# Installs what building the program needs and is missing, builds the program
# alone (no tests) in build-demo/, and runs its main job on the bundled sample:
# hide samples/message.txt in samples/carrier.png, get it back, and show that
# the restored file equals the original.
set -Eeuo pipefail
# A failure inside $(...) ends the script too; bash alone would go on with what it printed.
shopt -s inherit_errexit
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/demo.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
top=$PWD
build=$top/build-demo
bash scripts/install-deps.sh build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELLICOR_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target vellicor
bin=$build/cli/vellicor
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
