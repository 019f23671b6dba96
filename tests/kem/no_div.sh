#!/bin/sh
# Fails if the KEM library's machine code holds a division instruction: on
# many processors its time depends on the operands, and in the KEM those may be
# secret. Usage: no_div.sh OBJDUMP LIBRARY
#
# Functions of Crypto++ that its headers instantiate in the KEM's objects
# (string helpers behind its algorithm names) are Crypto++'s code, not the
# KEM's, and are listed but not counted.
set -eu
objdump=$1
library=$2
listing=$(mktemp)
trap 'rm -f "$listing"' EXIT
"$objdump" -d --no-show-raw-insn "$library" > "$listing"

awk '
  /^[0-9a-f]+ <[^>]*>:$/ {
    fn = substr($2, 2, length($2) - 3)
    ours = (fn !~ /^_ZNK?8CryptoPP/)
    if (fn ~ /kyber/) kyber++
    next
  }
  /^ *[0-9a-f]+:\t/ {
    insns++
    split($0, part, "\t")
    split(part[2], word, " ")
    if (word[1] ~ /^v?i?div[a-z]*$/) {
      if (ours) { bad++; print "division in " fn ": " $0 }
      else print "(Crypto++ header code, not counted) " fn ": " $0
    }
  }
  END {
    if (insns == 0 || kyber == 0) { print "no KEM code found in the listing"; exit 2 }
    printf "%d instructions, %d KEM functions, %d divisions\n", insns, kyber, bad
    exit bad > 0 ? 1 : 0
  }
' "$listing"
