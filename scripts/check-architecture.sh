#!/usr/bin/env bash
# Fails when ARCHITECTURE.md names a file or folder of the tree that is not
# there: every `quoted` name that starts with a top-level folder of the tree
# (a module such as util/console counts where util/console.* is there), or
# is a file name with an extension that the tree holds somewhere; and when it
# names code that is not there: every `quoted` word that looks like a name in
# code (snake_case, CamelCase or Scope::name, with or without "()") must be a
# whole word of some source file, so a renamed or removed name is caught.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
missing=0
while IFS= read -r name; do
  name=${name%%:*}                                  # `util/file_io.cpp`: the name only
  case $name in
    */*) top=${name%%/*}
         [ -d "$top" ] && [ "$top" != keys ] || continue
         [ -e "$name" ] || compgen -G "$name.*" >/dev/null || { echo "[ERR] ARCHITECTURE.md names $name, which is not in the tree" >&2; missing=1; } ;;
    *.cpp|*.hpp|*.sh|*.md|*.cmake|*.json|*.c)
         [[ $name == _* ]] && continue                # a suffix (`_linux.cpp`), not a file
         [ -n "$(git ls-files "*/$name" "$name")" ] ||
           { echo "[ERR] ARCHITECTURE.md names $name, which is not in the tree" >&2; missing=1; } ;;
    *) ident=${name%()}
       [[ $ident =~ ^[A-Za-z_][A-Za-z0-9_]*(::[A-Za-z_][A-Za-z0-9_]*)*$ ]] || continue
       [[ $ident == *_* || $ident == *::* || $ident =~ ^[A-Z][a-z0-9]+[A-Z] ]] || continue
       [ -n "$(git ls-files "*/$ident.*")" ] || git grep -qw -e "${ident##*::}" -- '*.cpp' '*.hpp' '*.c' '*.cmake' '*CMakeLists.txt' '*.json' ||
         { echo "[ERR] ARCHITECTURE.md names $ident, which no source file has" >&2; missing=1; } ;;
  esac
done < <(grep -o '`[^` ]*`' ARCHITECTURE.md | tr -d '`' | sort -u)

# Every rule under "Rules that hold everywhere" names its checks on a
# "Checked by:" line: tests as `Suite.Name` (a TEST or TEST_F of tests/), or
# files of the tree (`tests/e2e/passphrase_prompt.py`, `scripts/reproduce.sh`).
rules=$(awk '/^Rules that hold everywhere/ { on = 1; next } on && /^## / { exit } on' ARCHITECTURE.md)
while IFS= read -r rule; do
  [ -n "$rule" ] || continue
  checks=$(printf '%s\n' "$rule" | sed -n 's/.*Checked by: //p')
  if [ -z "$checks" ]; then
    echo "[ERR] ARCHITECTURE.md: a rule names no check: ${rule:0:100}..." >&2; missing=1; continue
  fi
  while IFS= read -r check; do
    if [[ $check == */* ]]; then
      [ -e "$check" ] || { echo "[ERR] ARCHITECTURE.md: check $check is not in the tree" >&2; missing=1; }
    elif [[ $check =~ ^([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)$ ]]; then
      git grep -qE "^TEST(_F)?\(${BASH_REMATCH[1]}, ${BASH_REMATCH[2]}\)" -- tests ||
        { echo "[ERR] ARCHITECTURE.md: check $check is no test of tests/" >&2; missing=1; }
    fi
  done < <(printf '%s\n' "$checks" | grep -o '`[^` ]*`' | tr -d '`')
done < <(printf '%s\n' "$rules" | awk '/^- / { if (r != "") print r; r = $0; next } /^  / { r = r " " $0 } END { if (r != "") print r }')

# Only util/ opens files itself; the other folders of the program go through it.
if git grep -nE '(^|[^A-Za-z0-9_])(::open|fopen|CreateFileW)\(|std::[io]?fstream' -- cli seal png keystore kem i18n; then
  echo "[ERR] a file is opened outside util/ (above)" >&2; missing=1
fi
exit "$missing"
