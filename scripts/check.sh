#!/usr/bin/env bash
# The full check, as CI runs it, one stage after another; the first failing
# stage ends the run:
#   1. the test command of README (scripts/test.sh): plain build and ctest;
#   2. the same suite built with AddressSanitizer and UBSan (scripts/sanitize.sh);
#   3. a smoke run of each fuzz target (fuzz/run.sh);
#   4. the Windows stage (scripts/windows.sh), where that script exists;
#   5. the release files built twice and compared byte for byte
#      (scripts/reproduce.sh: release targets only, Crypto++ from the cache
#      that stage 4 filled).
#
#   VELLICOR_FUZZ_SECONDS  seconds per fuzz target (default 60; 0 skips stage 3)
#   VELLICOR_JOBS          parallel build and test jobs (default: number of cores)
set -Eeuo pipefail
# A failure inside $(...) ends the script too; bash alone would go on with what it printed.
shopt -s inherit_errexit
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/check.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
fuzz_seconds=${VELLICOR_FUZZ_SECONDS:-60}

stage() { printf '\n== %s (%s)\n' "$1" "$(date -u +%H:%M:%S)"; }

bash scripts/install-deps.sh check

stage "ARCHITECTURE.md names only what is there: scripts/check-architecture.sh"
bash scripts/check-architecture.sh

stage "test suite: scripts/test.sh"
bash scripts/test.sh

stage "sanitizer suite: scripts/sanitize.sh"
bash scripts/sanitize.sh

if ((fuzz_seconds > 0)); then
  stage "fuzz smoke runs: fuzz/run.sh $fuzz_seconds"
  bash fuzz/run.sh "$fuzz_seconds"
else
  stage "fuzz smoke runs skipped (VELLICOR_FUZZ_SECONDS=0)"
fi

if [ -f scripts/windows.sh ]; then
  stage "Windows stage: scripts/windows.sh"
  bash scripts/windows.sh
fi

stage "reproducible release files: scripts/reproduce.sh"
bash scripts/reproduce.sh

stage "full check passed"
