#!/usr/bin/env bash
# vellicor.exe as it ships: its manifest and version resource are in the exe
# and say what they should, Wine starts it with the same version, and a file
# whose path is longer than the old limit of 260 characters (MAX_PATH) goes
# through genkeys, embed and extract unchanged.
#
#   windows_exe.sh <vellicor.exe> <version>
#
# Needs wrestool (icoutils) and Wine (scripts/wine-run.sh); scripts/windows.sh
# installs both.
set -Eeuo pipefail
trap 'echo "[ERR] windows_exe.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
[ $# -eq 2 ] || { echo "usage: windows_exe.sh <vellicor.exe> <version>" >&2; exit 2; }
exe=$(readlink -f "$1") version=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
command -v wrestool >/dev/null || { echo "windows_exe.sh: wrestool not found (icoutils)" >&2; exit 2; }
fail() { echo "FAILED: $*" >&2; exit 1; }
IFS=. read -r major minor patch <<<"$version"

# The manifest (resource type 24).
manifest=$(wrestool -x --raw --type=24 "$exe")
[ -n "$manifest" ] || fail "no manifest resource in $exe"
for want in 'level="asInvoker"' 'supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"' \
            '<longPathAware[^>]*>true</longPathAware>' '<activeCodePage[^>]*>UTF-8</activeCodePage>' \
            "version=\"$major\\.$minor\\.$patch\\.0\""; do
  grep -Eq "$want" <<<"$manifest" || fail "the manifest lacks $want"
done
echo "ok  manifest: asInvoker, supportedOS Windows 10/11, longPathAware, activeCodePage UTF-8, version $major.$minor.$patch.0"

# The version resource (type 16): the strings, then the numbers that follow
# the VS_FIXEDFILEINFO signature 0xFEEF04BD.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wrestool -x --raw --type=16 "$exe" > "$work/version.res"
[ -s "$work/version.res" ] || fail "no version resource in $exe"
value() { strings -el "$work/version.res" | awk -v k="$1" 'found { print; exit } $0 == k { found = 1 }'; }
for pair in "ProductName=Vellicor" "FileVersion=$version" "ProductVersion=$version" \
            "OriginalFilename=vellicor.exe" "FileDescription=Vellicor - hides a file in a PNG image"; do
  got=$(value "${pair%%=*}")
  [ "$got" = "${pair#*=}" ] || fail "version resource: ${pair%%=*} is '$got', expected '${pair#*=}'"
done
hex=$(od -An -tx1 -v "$work/version.res" | tr -d ' \n')
fixed=${hex#*bd04effe}
[ "$fixed" != "$hex" ] || fail "version resource: no VS_FIXEDFILEINFO"
le16() { printf '%d' "0x${1:2:2}${1:0:2}"; }
# after the signature: struct version (8 hex digits), FileVersionMS, FileVersionLS
ms=${fixed:8:8} ls=${fixed:16:8}
got="$(le16 "${ms:4:4}").$(le16 "${ms:0:4}").$(le16 "${ls:4:4}").$(le16 "${ls:0:4}")"
[ "$got" = "$major.$minor.$patch.0" ] || fail "version resource: FILEVERSION is $got, expected $major.$minor.$patch.0"
echo "ok  version resource: Vellicor $version (FILEVERSION $got)"

run() { "$root/scripts/wine-run.sh" "$@"; }
mkdir -p "$work/program"
cp "$exe" "$work/program/vellicor.exe"
out=$(run "$work/program/vellicor.exe" --version)
line=$(grep -F "v$version " <<<"$out") || fail "--version under Wine printed '$out', expected version $version"
echo "ok  --version under Wine: $line"

# A folder five levels of 60 characters deep, so that every path in it is well
# over 260 characters; the program is given them as Windows paths (drive Z: is
# the POSIX root under Wine).
deep=$work
for level in 1 2 3 4 5; do deep=$deep/$level-$(printf 'd%.0s' {1..58}); done
mkdir -p "$deep"
cp "$root/samples/message.txt" "$deep/message.txt"
cp "$root/samples/carrier.png" "$deep/carrier.png"
win() { printf 'Z:%s' "${1//\//\\}"; }
length=$(printf '%s' "$(win "$deep/stego.png")" | wc -c)
((length > 260)) || fail "the test's path is only $length characters"
run "$work/program/vellicor.exe" genkeys >"$work/genkeys.log" 2>&1 || { cat "$work/genkeys.log" >&2; fail "genkeys"; }
run "$work/program/vellicor.exe" embed "$(win "$deep/message.txt")" "$(win "$deep/carrier.png")" "$(win "$deep/stego.png")" \
  >"$work/embed.log" 2>&1 || { cat "$work/embed.log" >&2; fail "embed through a path of $length characters"; }
run "$work/program/vellicor.exe" extract "$(win "$deep/stego.png")" "$(win "$deep/restored.txt")" \
  >"$work/extract.log" 2>&1 || { cat "$work/extract.log" >&2; fail "extract through a path of $length characters"; }
cmp "$root/samples/message.txt" "$deep/restored.txt" || fail "the file restored through a long path differs"
echo "ok  genkeys, embed, extract through paths of $length characters: restored file is byte for byte the original"
