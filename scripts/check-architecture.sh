#!/usr/bin/env bash
# Fails when ARCHITECTURE.md names a file or folder of the tree that is not
# there: every `quoted` name that starts with a top-level folder of the tree
# (a module such as util/console counts where util/console.* is there), or
# is a file name with an extension that the tree holds somewhere.
set -Eeuo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
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
  esac
done < <(grep -o '`[^` ]*`' ARCHITECTURE.md | tr -d '`' | sort -u)
exit "$missing"
