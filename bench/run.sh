#!/usr/bin/env bash
# Whole-program benchmark: builds a Release copy of the program in its own
# folder, then times embed and extract against cp and age on the same files
# and prints one table of medians, ratios and peak memory; then the hostile
# inputs: a PNG of 4 M empty chunks against reading (cat) or copying (cp) it,
# and a mistyped long name in a folder of 100,000 long names against `ls -lU`.
#
#   bash bench/run.sh            256 MiB and 1 KiB files, 5 runs each
#   bash bench/run.sh --big      also the largest input, about 2 GiB (slow; not for CI)
#   bash bench/run.sh --micro    also the Google Benchmark micro-benchmarks
#   bash bench/run.sh --hostile-only   only the hostile inputs (many empty chunks, a folder of long names)
#   RUNS=9 bash bench/run.sh     more runs per row
#
# The build is the bench preset of CMakePresets.json, in build-bench/;
# BENCH_WORK_DIR (default: a fresh folder under /tmp) holds the test files.
# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
repo="$(cd "$(dirname "$0")/.." && pwd)"
build=$repo/build-bench
micro=0
args=()
for a in "$@"; do
  case "$a" in
    --micro) micro=1 ;;
    *) args+=("$a") ;;
  esac
done

bash "$repo/scripts/install-deps.sh" bench
for tool in age age-keygen eatmydata python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: '$tool' is not installed (Debian packages: age, eatmydata, python3, time)" >&2; exit 1; }
done

cd "$repo"
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
if [ $micro = 1 ]; then
  cmake --build --preset bench --target vellicor_micro_bench -j2 >/dev/null
  "$build/bench/vellicor_micro_bench" --benchmark_min_time=0.5
fi

python3 "$repo/bench/compare.py" --program "$build/cli/vellicor" --runs "${RUNS:-5}" ${args[@]+"${args[@]}"}
