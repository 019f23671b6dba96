#!/bin/sh
# Runs a Windows program under Wine with the project's own Wine prefix, so
# that nothing of the user's ~/.wine is used or changed.
#
#   scripts/wine-run.sh program.exe [arguments...]
#
# VELLICOR_WINEPREFIX chooses the prefix (default: a folder in the cache);
# Debian's wine64 keeps its loader off PATH, at /usr/lib/wine/wine64.
set -eu
cache=${VELLICOR_CACHE:-$HOME/.cache/vellicor}
export WINEPREFIX=${VELLICOR_WINEPREFIX:-$cache/wine-prefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
loader=${VELLICOR_WINE:-/usr/lib/wine/wine64}
# Wine stores a Windows file name under the POSIX locale's character set; in
# the C locale (no LANG at all, as on many CI runners) a name with an accented
# letter cannot be stored. Where the caller chose no locale, the character set is
# UTF-8 (C.UTF-8 is always there); a locale chosen on purpose stays as it is.
if [ -z "${LC_ALL:-}${LC_CTYPE:-}${LANG:-}" ]; then
  export LC_CTYPE=C.UTF-8
fi
# Newer Wine looks for a Wayland display first, and the Wayland library says
# "error: XDG_RUNTIME_DIR is invalid or not set" on standard error where it is
# unset (as under CI), into the program's own lines. A private folder of the
# prefix's stands in for it.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="$WINEPREFIX.runtime"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
# A prefix is whole once Wine's system files are in it: one made under load
# has been seen to come out without them, and every start in it then fails
# ("could not load kernel32.dll"). It is made aside and moved into place only
# when whole; one found without them is made again.
whole() { [ -f "$1/drive_c/windows/system32/kernel32.dll" ]; }
if ! whole "$WINEPREFIX"; then
  # The first start makes the prefix (some seconds); done under a lock so
  # that two tests started together do not both try it.
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    for attempt in 1 2; do
      whole "$WINEPREFIX" && break
      aside="$WINEPREFIX.new"
      rm -rf "$aside"
      WINEPREFIX="$aside" "$loader" wineboot --init >/dev/null 2>&1 || true
      # Drive R: is a CD drive, which Wine reports without access lists as
      # FAT is; Wine knows only the drives it finds when it starts, and a
      # test points R: to a folder of its own (tests/e2e).
      mkdir -p "$aside/drive_r"
      ln -sfn ../drive_r "$aside/dosdevices/r:"
      WINEPREFIX="$aside" "$loader" reg add 'HKLM\Software\Wine\Drives' /v r: /d cdrom /f >/dev/null 2>&1 || true
      WINEPREFIX="$aside" "${loader%64}server" -w 2>/dev/null || true
      if whole "$aside"; then
        rm -rf "$WINEPREFIX"
        mv "$aside" "$WINEPREFIX"
      else
        echo "[WARN] Wine made a prefix without its system files (attempt $attempt)" >&2
      fi
    done
  ) 9>"$WINEPREFIX.lock"
fi
# A wineserver that stays a while after its last program saves most of the
# start-up of the next one (about a second each), which adds up in tests
# that start the program hundreds of times. One already running is kept
# (exit status 2). A fresh one also starts Wine's own background programs
# with the first program; they would hold on to that program's standard
# output and error and keep a reader waiting, so they are started here with
# nothing of ours open.
if "${loader%64}server" -p"${VELLICOR_WINESERVER_LINGER:-60}" </dev/null >/dev/null 2>&1; then
  "$loader" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
