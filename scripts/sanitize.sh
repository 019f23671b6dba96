#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UBSan
# (-fsanitize=address,undefined -fno-sanitize-recover=all), runs it, and fails
# on any failing test or any sanitizer report, including reports of the
# program copies that the end-to-end tests start. Then, when clang is
# installed, runs each fuzz target for a short smoke time.
#
#   VELLICOR_SANITIZE_BUILD  build folder (default build-sanitize/)
#   VELLICOR_FUZZ_SECONDS    seconds per fuzz target (default 60; 0 skips fuzzing)
#   VELLICOR_JOBS            parallel build and test jobs (default: number of cores)
#
# The KEM's constant-time test runs under valgrind, which cannot run ASan
# binaries, so it is left out here; the plain build runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VELLICOR_SANITIZE_BUILD:-$root/build-sanitize}
fuzz_seconds=${VELLICOR_FUZZ_SECONDS:-60}
jobs=${VELLICOR_JOBS:-$(nproc)}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_SANITIZE=ON
cmake --build "$build" -j"$jobs"

# Every report also goes to a file, so that one printed by a child process
# whose standard error a test only half reads still fails the run.
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports"  # children may run as another user
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

status=0
ctest --test-dir "$build" --output-on-failure -j"$jobs" -E 'constant_time_under_memcheck' || status=1
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:" >&2
  for f in "$reports"/*; do
    echo "== $f" >&2
    cat "$f" >&2
  done
  status=1
fi
((status == 0)) || { echo "sanitizer suite FAILED" >&2; exit 1; }
echo "sanitizer suite passed: no failing test, no sanitizer report"

if ((fuzz_seconds > 0)); then
  if command -v clang++ >/dev/null; then
    VELLICOR_FUZZ_BUILD=${VELLICOR_FUZZ_BUILD:-$root/build-fuzz} bash fuzz/run.sh "$fuzz_seconds"
  else
    echo "clang++ not installed: fuzz smoke runs skipped"
  fi
fi
