#!/usr/bin/env bash
# The full check, as CI runs it, one stage after another; the first failing
# stage ends the run:
#   1. the test command of README (scripts/test.sh): plain build and ctest
#      (the dev preset of CMakePresets.json);
#   2. the same suite built with AddressSanitizer and UBSan (scripts/sanitize.sh);
#   3. a smoke run of each fuzz target (fuzz/run.sh);
#   4. the Windows stage (scripts/windows.sh --no-e2e): the cross-build and
#      its tests under Wine;
#   5. the release files built twice and compared byte for byte
#      (scripts/reproduce.sh, Crypto++ from the cache that stage 4 filled);
#      the first build runs the end-to-end suite against the programs it
#      packed, vellicor.exe under Wine included (so stage 4 leaves that out).
#
#   VELLICOR_FUZZ_SECONDS  seconds per fuzz target (default 60; 0 skips stage 3)
#   VELLICOR_JOBS          parallel build and test jobs (default: number of cores)
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
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

stage "Windows stage: scripts/windows.sh --no-e2e"
bash scripts/windows.sh --no-e2e

stage "reproducible release files: scripts/reproduce.sh"
bash scripts/reproduce.sh

stage "full check passed"
