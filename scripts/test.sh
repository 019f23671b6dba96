#!/usr/bin/env bash
# Installs what building and testing need and is missing, builds the program
# and its test suite in build/ (the dev preset of CMakePresets.json), and runs
# the suite with ctest (the KEM's constant-time check under valgrind included).
# The sanitizer builds and the fuzz runs are in scripts/check.sh.
#
#   VELLICOR_JOBS  parallel build and test jobs (default: number of cores)
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$vellicor_root"
jobs=${VELLICOR_JOBS:-$(nproc)}
bash scripts/install-deps.sh test
cmake --preset dev
cmake --build --preset dev -j"$jobs"
ctest --preset dev -j"$jobs"
