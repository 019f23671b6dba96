#!/usr/bin/env bash
# Reads a built program and fails when a hardening flag of the build left no
# trace in it. One line per property: "ok" or "MISSING", then the verdict.
#
#   check_hardening.sh [--fortify | --no-fortify] [--stripped] <program>
#
# Linux (ELF): PIE, full RELRO (GNU_RELRO and BIND_NOW), a stack that does not
# execute, the stack protector (__stack_chk_fail), the checked functions of
# _FORTIFY_SOURCE (__*_chk), and -fcf-protection (endbr64 at main; the CET
# mark of the whole program is only reported, see below).
# Windows (PE, read with the mingw-w64 objdump): ASLR with high entropy and
# base relocations to move by, DEP, and the stack protector (__stack_chk_fail,
# linked in from libssp). A stripped program keeps no symbols to tell the
# last two by, so --stripped leaves them out and says so.
# --no-fortify: a build without optimisation, where _FORTIFY_SOURCE does
# nothing (--fortify, the default, expects its checked functions).
# -fstack-clash-protection leaves no mark that a reader of the file can see.
set -uo pipefail
fortify=1 stripped=0
while [ $# -gt 1 ]; do
  case $1 in
    --fortify) fortify=1 ;;
    --no-fortify) fortify=0 ;;
    --stripped) stripped=1 ;;
    *) echo "check_hardening.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: check_hardening.sh [--fortify | --no-fortify] [--stripped] <program>" >&2; exit 2; }
bin=$1
failed=0
check() {  # check <name> <status of the test>
  if [ "$2" -eq 0 ]; then printf 'ok       %s\n' "$1"; else printf 'MISSING  %s\n' "$1"; failed=1; fi
}
has() { grep -Eq "$1" <<<"$2"; echo $?; }

magic=$(head -c 4 "$bin" | od -An -c | tr -d ' ')
echo "$bin:"
case $magic in
  177ELF)
    command -v readelf >/dev/null || { echo "check_hardening.sh: readelf not found (binutils)" >&2; exit 2; }
    header=$(readelf -h -W "$bin") || exit 2
    segments=$(readelf -l -W "$bin") || exit 2
    dynamic=$(readelf -d -W "$bin") || exit 2
    symbols=$(readelf -s --dyn-syms -W "$bin") || exit 2
    notes=$(readelf -n -W "$bin") || exit 2
    check "PIE (type DYN)" "$(has 'Type:[[:space:]]+DYN' "$header")"
    check "RELRO (GNU_RELRO segment)" "$(has '^[[:space:]]*GNU_RELRO' "$segments")"
    check "BIND_NOW (immediate binding)" "$(has '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' "$dynamic")"
    check "non-executable stack (GNU_STACK RW)" "$(has '^[[:space:]]*GNU_STACK([[:space:]]+0x[0-9a-f]+){5}[[:space:]]+RW[[:space:]]' "$segments")"
    check "stack protector (__stack_chk_fail)" "$(has '[[:space:]]__stack_chk_fail(@|$)' "$symbols")"
    if ((fortify)); then
      check "_FORTIFY_SOURCE (__*_chk functions)" "$(has '[[:space:]]__[a-z0-9_]+_chk(@|$)' "$(grep -v __stack_chk_fail <<<"$symbols")")"
    else
      echo "skipped  _FORTIFY_SOURCE (a build without optimisation)"
    fi
    # The program as a whole is marked for CET only when every object linked
    # into it is, the C library's start files included (not so on Debian 12);
    # so the mark is reported, and the check is that this program's own code
    # was built for it: an indirect-branch target (endbr64) opens main.
    if grep -Eq 'x86 feature:.*IBT.*SHSTK|x86 feature:.*SHSTK.*IBT' <<<"$notes"; then
      echo "ok       CET: program marked IBT and SHSTK"
    else
      echo "note     CET: program not marked IBT and SHSTK (some linked objects lack the mark)"
    fi
    if ((stripped)); then
      echo "skipped  CET in the program's own code (a stripped program has no symbol main)"
    else
      command -v objdump >/dev/null || { echo "check_hardening.sh: objdump not found (binutils)" >&2; exit 2; }
      entry=$(objdump -d --no-show-raw-insn --disassemble=main "$bin" | grep -A1 '<main>:' | tail -n 1)
      check "CET in the program's own code (-fcf-protection: endbr64 opens main)" "$(has 'endbr64' "$entry")"
    fi
    ;;
  MZ*)
    objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
    command -v "$objdump" >/dev/null || { echo "check_hardening.sh: $objdump not found (binutils-mingw-w64-x86-64)" >&2; exit 2; }
    headers=$("$objdump" -p "$bin") || exit 2
    # The flags are listed by name under the DllCharacteristics line.
    dll=$(sed -n '/^DllCharacteristics/,/^[A-Z]/p' <<<"$headers")
    check "ASLR (DYNAMIC_BASE)" "$(has 'DYNAMIC_BASE' "$dll")"
    check "ASLR with high entropy (HIGH_ENTROPY_VA)" "$(has 'HIGH_ENTROPY_VA' "$dll")"
    check "base relocations kept (.reloc)" "$(has 'Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory' "$headers")"
    check "DEP (NX_COMPAT)" "$(has 'NX_COMPAT' "$dll")"
    if ((stripped)); then
      echo "skipped  stack protector (a stripped exe has no symbols to tell)"
    else
      check "stack protector (__stack_chk_fail)" "$(has '__stack_chk_fail$' "$("$objdump" -t "$bin")")"
    fi
    ;;
  *)
    echo "check_hardening.sh: $bin is neither an ELF nor a PE program" >&2
    exit 2
    ;;
esac
if ((failed)); then echo "hardening check FAILED"; exit 1; fi
echo "hardening check passed"
