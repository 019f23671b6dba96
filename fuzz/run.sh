#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# given time, then prints executions and final coverage per target.
#
#   fuzz/run.sh [seconds per target, default 60] [--parallel] [target ...]
#
# Targets: fuzz_chunk_walk fuzz_open fuzz_words fuzz_path fuzz_key_text fuzz_protected_key
# (default: all).
# --parallel runs the targets at the same time instead of one after another.
# The build is the fuzz preset of CMakePresets.json, in build-fuzz/; the working
# corpus grows in build-fuzz/corpus/<target>, seeded from fuzz/corpus/<target>;
# crashes, leaks, timeouts and out-of-memory inputs land in build-fuzz/artifacts/.
# Exit status: 0 only when every target ran its time without a finding.
# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
cd "$vellicor_root"
root=$(pwd)

seconds=60
parallel=0
targets=()
for arg in "$@"; do
  case $arg in
    --parallel) parallel=1 ;;
    ''|*[!0-9]*) targets+=("$arg") ;;
    *) seconds=$arg ;;
  esac
done
((${#targets[@]})) || targets=(fuzz_chunk_walk fuzz_open fuzz_words fuzz_path fuzz_key_text fuzz_protected_key)

build=$root/build-fuzz
jobs=${VELLICOR_FUZZ_BUILD_JOBS:-2}
bash "$root/scripts/install-deps.sh" check  # clang and its libFuzzer runtime
mkdir -p "$build"
cmake --preset fuzz >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 2; }
cmake --build --preset fuzz -j"$jobs" --target "${targets[@]}" >"$build/build.log" 2>&1 ||
  { tail -50 "$build/build.log" >&2; exit 2; }

options() {
  local t=$1
  echo -max_total_time="$seconds" -rss_limit_mb=2560 -timeout=25 -close_fd_mask=3 -print_final_stats=1
  case $t in
    fuzz_chunk_walk | fuzz_open) echo -dict="$root/fuzz/png.dict" ;;
    fuzz_words) echo -max_len=256 ;;
    fuzz_path) echo -max_len=320 ;;
    fuzz_key_text) echo -max_len=8192 -dict="$root/fuzz/key_text.dict" ;;
    fuzz_protected_key) echo -max_len=5120 ;;
  esac
}

run_one() {
  local t=$1 corpus=$build/corpus/$1 artifacts=$build/artifacts/$1/
  mkdir -p "$corpus" "$artifacts"
  # shellcheck disable=SC2046
  "$build/fuzz/$t" $(options "$t") -artifact_prefix="$artifacts" "$corpus" "$root/fuzz/corpus/$t" \
    >"$build/$t.log" 2>&1
}

declare -A status
touch "$build/run.stamp"
if ((parallel)); then
  declare -A pids
  for t in "${targets[@]}"; do run_one "$t" & pids[$t]=$!; done
  for t in "${targets[@]}"; do
    if wait "${pids[$t]}"; then status[$t]=0; else status[$t]=$?; fi
  done
else
  for t in "${targets[@]}"; do
    echo "fuzzing $t for ${seconds}s ..."
    if run_one "$t"; then status[$t]=0; else status[$t]=$?; fi
  done
fi

failed=0
printf '%-16s %8s %12s %8s %8s %8s  %s\n' target seconds execs exec/s cov ft result
for t in "${targets[@]}"; do
  log=$build/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1 || true)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
  found=$(find "$build/artifacts/$t" -type f -newer "$build/run.stamp" | wc -l)
  result=ok
  if [[ ${status[$t]} != 0 || $found != 0 ]]; then
    result="FAILED (exit ${status[$t]}, $found new artifact(s); see $log)"
    failed=1
  fi
  printf '%-16s %8s %12s %8s %8s %8s  %s\n' "$t" "$seconds" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit $failed
