#!/usr/bin/env bash
# Installs what building and testing need and is missing, builds the program
# and its test suite in build/, and runs the suite with ctest (the KEM's
# constant-time check under valgrind included). The sanitizer builds and the
# fuzz runs are in scripts/check.sh.
#
#   VELLICOR_JOBS  parallel build and test jobs (default: number of cores)
set -Eeuo pipefail
# A failure inside $(...) ends the script too; bash alone would go on with what it printed.
shopt -s inherit_errexit
# A failing step always says which, even where set -e alone would end the run silently.
trap 'echo "[ERR] scripts/test.sh: \"$BASH_COMMAND\" failed (exit $?, line $LINENO)" >&2' ERR
cd "$(dirname "$0")/.."
jobs=${VELLICOR_JOBS:-$(nproc)}
bash scripts/install-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLICOR_BUILD_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
