# shellcheck shell=bash
# The opening every script of the project shares; each sources it first:
#
#   source "$(dirname "$0")/../scripts/lib.sh"   (or scripts/lib.sh from the top)
#
# - strict mode: a failing command, an unset variable or a failing stage of a
#   pipe ends the script, also inside $(...) (inherit_errexit; bash alone would
#   go on with what the substitution printed);
# - the ERR trap: a failing step always says which script, command and line,
#   even where set -e alone would end the run silently;
# - vellicor_root: the top of the source tree;
# - log (a "== " line on standard output) and warn (a "[WARN] " line on
#   standard error);
# - apt_install_missing: installs the Debian packages named that are missing.
set -Eeuo pipefail
shopt -s inherit_errexit
vellicor_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vellicor_script=$(realpath -m --relative-to="$vellicor_root" "$0")
trap 'echo "[ERR] $vellicor_script: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR

log() { printf '== %s\n' "$*"; }
warn() { printf '[WARN] %s\n' "$*" >&2; }

# apt_install_missing [--with-recommends] package...
# The package lists are refreshed only when something is missing; as root, or
# through sudo.
apt_install_missing() {
  local recommends=(--no-install-recommends) missing=() p
  if [ "${1:-}" = --with-recommends ]; then recommends=(); shift; fi
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y "${recommends[@]}" "${missing[@]}"
}
