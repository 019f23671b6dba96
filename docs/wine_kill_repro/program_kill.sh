#!/usr/bin/env bash
# The same kill with the program itself: kills vellicor.exe at 21 moments over
# its run (as the durability test does), ROUNDS times, for embed into a new
# file (new), embed over the carrier (over) or extract, and counts extra names
# in its folder right after the reap and still there up to 3 s later.
#
#   bash docs/wine_kill_repro/program_kill.sh path/to/vellicor.exe [new|over|extract] [ROUNDS]
set -Eeuo pipefail
trap 'echo "[ERR] program_kill.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath "$1") what=${2:-new} rounds=${3:-3}
dir=${WORK_DIR:-/tmp/winekill} && home=$dir/home
launcher=$root/scripts/wine-run.sh
export VELLICOR_WINEPREFIX=${VELLICOR_WINEPREFIX:-$dir/prefix}
rm -rf $home && mkdir -p $home && cp "$exe" $home/vellicor.exe
# A 16x16 RGB carrier.
echo "iVBORw0KGgoAAAANSUhEUgAAABAAAAAQCAIAAACQkWg2AAAByklEQVR4nI3Qh0KpYQAA0O/ONrIlKmRl702JEFJm9ipbdogIoV13P+59hf88wgHg0+eFxSUYHIHB4jZJZCptl73HEYrECqVKb9g3H1kczhOP1xcKR5KpdC5fAF++flteWV1HovCEja3tHTqDyeXxJVKZWqM9MB5abceu0zN/4Dwai19cZoqlMvi+sLgGg6MxWOImiUKlsdh7AqFIrlDq9AaT+cjucLo93mAonEimsrn8VaUKlpZXEOtIHJ5A3trepTM4XJ5YIlWpNfsHRovVduI69fkDkWgsfXFZKJZq9QZYXYOh0JgN4uYOhcpksfkCoUyu0Or0hybzsd1x5vacB0PxRDKTzZWvKs3WNYAj1rE4PIm8Rdul73G4IrFEqVIb9g+OLFbnicvr84cj0VT6Il8oVmv1dqcLkCg0YYO4vUNhMFk8vkAqk2u0OuOhyXZsPz1zB86DsXjiMpMtla8azdZNrw8gblaqtet253YwBBA3641m96Z3NxoDiJut63b/djC5nwKIm53uzfBuNJs/AIibvf7teHL/+PQMIG4OhnfT2fzl9Q1A3ByNJw+PT+8fPwDEzfvp7Pnl9eev3wDi5vzh8e3948/ff/8BXQ3kAT3Lya8AAAAASUVORK5CYII=" | base64 -d > $dir/carrier.png
cp $dir/carrier.png $home/
head -c $((24<<20)) /dev/urandom > $home/input.bin
w() { printf 'Z:%s' "${1//\//\\}"; }
(cd $home && sh $launcher ./vellicor.exe genkeys >/dev/null)
case $what in
  new) args=(embed "$(w $home/input.bin)" "$(w $home/carrier.png)" "$(w $home/stego.png)"); keep="carrier.png input.bin keys vellicor.exe stego.png" ;;
  over) args=(embed "$(w $home/input.bin)" "$(w $home/carrier.png)" "$(w $home/carrier.png)"); keep="carrier.png input.bin keys vellicor.exe" ;;
  extract) sh $launcher $home/vellicor.exe embed "$(w $home/input.bin)" "$(w $home/carrier.png)" "$(w $home/stego.png)" >/dev/null
           args=(extract "$(w $home/stego.png)" "$(w $home/back.bin)"); keep="back.bin carrier.png input.bin keys vellicor.exe stego.png" ;;
esac
extra() { ls -A $home | grep -v -x $(for k in $keep; do printf -- '-e %s ' $k; done) || true; }
reset() { case $what in new) rm -f $home/stego.png ;; over) cp $dir/carrier.png $home/ ;; extract) rm -f $home/back.bin ;; esac; }
start=$(date +%s%N); sh $launcher $home/vellicor.exe "${args[@]}" >/dev/null 2>&1; dur=$(( ($(date +%s%N) - start) / 1000000 ))
reset
now=0 later=0 kills=0 names="" gone=""
for r in $(seq $rounds); do for i in $(seq 0 20); do
  sh $launcher $home/vellicor.exe "${args[@]}" >/dev/null 2>&1 &
  pid=$!
  sleep "$(awk -v d=$dur -v i=$i 'BEGIN{printf "%.3f", d*i/20/1000}')"
  kill -9 $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; kills=$((kills+1))
  left=$(extra)
  if [ -n "$left" ]; then
    now=$((now+1)); names="$names $left"; t=0
    while [ -n "$(extra)" ] && [ $t -lt 300 ]; do sleep 0.01; t=$((t+1)); done
    if [ $t -ge 300 ]; then later=$((later+1)); echo "kill $i: left $(cd $home && ls -lA --time-style=+ $(extra) | awk '{print $NF, $5}' | tr '\n' ' ') carrier.png $(stat -c %s $home/carrier.png 2>/dev/null || echo missing)"; rm -f $home/.??*; else gone="$gone $((t*10))"; fi
  fi
  reset
done; done
echo "vellicor.exe $what (one run $dur ms): extra name right after the kill $now/$kills, still there 3 s later $later/$kills (the others went after:$gone ms) names:$names"
