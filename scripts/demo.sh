#!/usr/bin/env bash
# Installs what is missing, builds the program, and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELLICOR_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target vellicor
./build/cli/vellicor genkeys
