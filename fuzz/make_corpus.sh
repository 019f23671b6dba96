#!/usr/bin/env bash
# Rebuilds the committed seed corpus under fuzz/corpus/ with the program itself:
#   fuzz/make_corpus.sh <path to a built vellicor>
# The fixed test key pair fuzz/keys/ is made by `genkeys` when it is missing;
# the stego seeds are sealed for it, so that fuzz_open starts from envelopes
# that open. The tiny carriers are written here, from nothing.
# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
prog=${1:?usage: fuzz/make_corpus.sh <path to vellicor>}
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/../scripts/install-deps.sh" python
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/prog" "$here/corpus/fuzz_chunk_walk" "$here/corpus/fuzz_open" "$here/corpus/fuzz_words" \
  "$here/corpus/fuzz_path"
cp "$prog" "$work/prog/vellicor"
if [[ -f $here/keys/kyber.pub && -f $here/keys/kyber.prv ]]; then
  mkdir -p "$work/prog/keys"
  cp "$here/keys/kyber.pub" "$here/keys/kyber.prv" "$work/prog/keys/"
else
  "$work/prog/vellicor" genkeys >/dev/null
  mkdir -p "$here/keys"
  cp "$work/prog/keys/kyber.pub" "$work/prog/keys/kyber.prv" "$here/keys/"
fi

# Carriers: a 2x2 image; the same with bytes after IEND; one with two IEND
# chunks and a vcKy chunk behind the first.
python3 - "$work" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
sig = b"\x89PNG\r\n\x1a\n"
ihdr = chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0))
idat = chunk(b"IDAT", zlib.compress(b"\x00" + bytes(range(6)) + b"\x00" + bytes(range(6, 12)), 9))
iend = chunk(b"IEND", b"")
work = sys.argv[1]
open(f"{work}/tiny.png", "wb").write(sig + ihdr + idat + iend)
open(f"{work}/trailing.png", "wb").write(sig + ihdr + idat + iend + b"after the end")
open(f"{work}/two-iend.png", "wb").write(sig + ihdr + idat + iend + chunk(b"vcKy", b"\x00\x01") + iend)
PY

printf 'a small file hidden for the fuzz seeds\n' >"$work/message.txt"
: >"$work/empty.txt"
run() { "$work/prog/vellicor" "$@" >/dev/null; }
run embed "$work/message.txt" "$work/tiny.png" "$work/stego.png"
run embed "$work/empty.txt" "$work/tiny.png" "$work/stego-empty.png"
run embed "$work/message.txt" "$work/trailing.png" "$work/stego-trailing.png"

for f in tiny trailing two-iend stego stego-empty; do cp "$work/$f.png" "$here/corpus/fuzz_chunk_walk/$f.png"; done
for f in stego stego-empty stego-trailing; do cp "$work/$f.png" "$here/corpus/fuzz_open/$f.png"; done

# Word pairs for fuzz_words, split at a zero byte.
words=(embed emb --keygen EMBED x help extracted genkey - hello "pt_BR.UTF-8" de-DE english C.UTF-8 ES enbed)
i=0
for w in "${words[@]}"; do
  printf '%s\0%s' "$w" "${words[$(((i + 5) % ${#words[@]}))]}" >"$here/corpus/fuzz_words/w$i"
  i=$((i + 1))
done

# Names for fuzz_path (its scratch folder holds photo.png, notes.txt, .hidden,
# docs/file.txt, docs/fiel.md, a/b/c.bin, links and folders).
names=(photo.pgn docs/fiel.txt notes.txt .hiden dangling.pn docs/ nosuchdir/x.png link.pn a/b/c.bim ./photo.pn
  docs//flie.txt photos)
i=0
for n in "${names[@]}"; do
  printf '%s' "$n" >"$here/corpus/fuzz_path/p$i"
  i=$((i + 1))
done
echo "seed corpus written to $here/corpus"
