#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: first the
# plain build (with the KEM's constant-time check under valgrind), then the
# same suite built with AddressSanitizer and UBSan, then a short run of each
# fuzz target (VELLICOR_FUZZ_SECONDS, default 60; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
bash scripts/sanitize.sh
