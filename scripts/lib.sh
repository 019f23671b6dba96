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

# apt_mirror main|security
# The Debian archive this machine's apt sources name (deb822 *.sources files,
# then the one-line sources.list files): the first one for the release or its
# updates (main), or for security updates (security). A machine behind a local
# mirror thus fetches from it. Prints nothing where the sources name none.
apt_mirror() {
  local files=() f
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && files+=("$f")
  done
  ((${#files[@]})) || return 0
  awk -v want="$1" '
    function take(uri, suites) {
      if (found == "" && uri != "" && ((want == "security") == (suites ~ /-security/))) found = uri
    }
    function end_stanza() { if (deb && enabled) take(uri, suites); uri = ""; suites = ""; deb = 0; enabled = 1 }
    FNR == 1 { end_stanza() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[ \t]*$/) end_stanza()
      else if ($1 == "Types:") deb = / deb( |$)/
      else if ($1 == "URIs:") uri = $2
      else if ($1 == "Suites:") suites = $0
      else if ($1 == "Enabled:") enabled = $2 != "no"
      next
    }
    $1 == "deb" {
      i = 2
      if ($i ~ /^\[/) while ($i !~ /\]$/ && i < NF) i++
      if ($i ~ /^\[/ || $i ~ /\]$/) i++
      take($i, $(i + 1))
    }
    END { end_stanza(); if (found != "") print found }
  ' "${files[@]}"
}
