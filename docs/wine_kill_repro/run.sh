#!/usr/bin/env bash
# Kills repro.exe (a file created delete-on-close, then written to or slept
# on) under Wine N times and counts the runs that left the file behind.
#
#   bash docs/wine_kill_repro/run.sh [N] [MODE] [SHARE] [WORK] [KILLER]
#
#   N       runs (default 30)
#   MODE    disp | doc        (see repro.c)
#   SHARE   0 | del
#   WORK    write | sleep | churn
#   KILLER  unix      SIGKILL to the process the launcher started, as the
#                     durability test does (scripts/wine-run.sh execs Wine's
#                     loader, which becomes the Windows process itself)
#           terminate TerminateProcess from another Windows program
#                     (terminate.c), which the wineserver carries out itself
#
# A run is killed a random 0-300 ms after the program said it had the file.
# Counted per run: the file still there right after the killed process was
# reaped (what the durability test looks at), and still there 3 s later.
# Needs mingw-w64 and Wine (scripts/windows.sh installs both); the Wine
# prefix is a folder of its own (WORK_DIR, default /tmp/winekill).
set -Eeuo pipefail
trap 'echo "[ERR] run.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
n=${1:-30} mode=${2:-disp} share=${3:-del} work=${4:-write} killer=${5:-unix}
dir=${WORK_DIR:-/tmp/winekill}
mkdir -p "$dir"
export VELLICOR_WINEPREFIX=${VELLICOR_WINEPREFIX:-$dir/prefix}
for program in repro terminate; do
  if [ ! -f "$dir/$program.exe" ] || [ "$here/$program.c" -nt "$dir/$program.exe" ]; then
    x86_64-w64-mingw32-gcc-posix -O2 -Wall -o "$dir/$program.exe" "$here/$program.c"
  fi
done
exe=$dir/repro.exe
launcher=$root/scripts/wine-run.sh

file=$dir/victim
winfile="Z:${file//\//\\}"
now=0 later=0 killed=0 gone=""
for i in $(seq "$n"); do
  rm -f "$file" "$dir/out"
  # Started directly, so that $! is the launcher, which becomes the program.
  sh "$launcher" "$exe" "$winfile" "$mode" "$share" "$work" >"$dir/out" 2>&1 &
  pid=$!
  for _ in $(seq 400); do grep -q '^ready' "$dir/out" 2>/dev/null && break; sleep 0.025; done
  if ! grep -q '^ready' "$dir/out"; then
    echo "run $i: the program did not start: $(cat "$dir/out")" >&2
    kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true
    continue
  fi
  winpid=$(awk '/^ready/ {print $2}' "$dir/out")
  sleep "0.$(printf '%03d' $((RANDOM % 300)))"
  case "$killer" in
    unix) kill -9 "$pid" ;;
    terminate) sh "$launcher" "$dir/terminate.exe" "$winpid" || kill -9 "$pid" ;;
  esac
  wait "$pid" 2>/dev/null || true
  killed=$((killed + 1))
  if [ -e "$file" ]; then
    now=$((now + 1))
    waited=0
    while [ -e "$file" ] && [ $waited -lt 300 ]; do sleep 0.01; waited=$((waited + 1)); done
    if [ -e "$file" ]; then later=$((later + 1)); else gone="$gone $((waited * 10))"; fi
  fi
done
echo "mode=$mode share=$share work=$work killer=$killer: left right after the kill $now/$killed," \
     "still there 3 s later $later/$killed${gone:+ (the others went after about:$gone ms)}"
