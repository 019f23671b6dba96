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
exit "$missing"
