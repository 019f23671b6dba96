#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UBSan
# (-fsanitize=address,undefined -fno-sanitize-recover=all), runs it, and fails
# on any failing test or any sanitizer report, including reports of the
# program copies that the end-to-end tests start.
#
# The build is the asan-ubsan preset of CMakePresets.json, in build-sanitize/.
#
#   VELLICOR_JOBS  parallel build and test jobs (default: number of cores)
#
# The KEM's constant-time test runs under valgrind, which cannot run ASan
# binaries, so the preset leaves it out; the plain build runs it.
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
build=$vellicor_root/build-sanitize
jobs=${VELLICOR_JOBS:-$(nproc)}

bash scripts/install-deps.sh test
cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j"$jobs"

# Every report also goes to a file, so that one printed by a child process
# whose standard error a test only half reads still fails the run. Some tests
# run a program copy as another user, and that user must be able to reach the
# report folder (a sanitizer that cannot open its log prints an error of its
# own instead of the program's lines): so the folder is made in a temporary
# folder whose every parent anyone may search, and anyone may write in it.
searchable_by_all() {
  local d
  d=$(readlink -f "$1") || return 1
  while :; do
    [ -d "$d" ] && [ "$(( 0$(stat -c %a "$d") & 01 ))" -ne 0 ] || return 1
    [ "$d" = / ] && return 0
    d=$(dirname "$d")
  done
}
reports=
for base in "${TMPDIR:-}" /tmp /var/tmp; do
  if [ -n "$base" ] && searchable_by_all "$base"; then
    reports=$(mktemp -d "$base/vellicor-sanitizer-reports.XXXXXX")
    break
  fi
done
[ -n "$reports" ] || { echo "[ERR] sanitize.sh: no temporary folder that every user can reach" >&2; exit 2; }
chmod 1777 "$reports"
trap 'rm -rf "$reports"' EXIT
kept=$build/sanitizer-reports  # the reports of a failed run are copied here
rm -rf "$kept"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

status=0
ctest --preset asan-ubsan -j"$jobs" || status=1
if compgen -G "$reports/*" >/dev/null; then
  cp -r "$reports" "$kept"
  echo "sanitizer reports (kept in $kept):" >&2
  for f in "$kept"/*; do
    echo "== $f" >&2
    cat "$f" >&2
  done
  status=1
fi
((status == 0)) || { echo "sanitizer suite FAILED" >&2; exit 1; }
echo "sanitizer suite passed: no failing test, no sanitizer report"

