#!/usr/bin/env bash
# Builds and runs the saved message manager benchmark (load against cat, search against grep).
# Usage: bench/strenna_bench.sh [--messages N] [--kb K]   (build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target strenna_bench --parallel 2
exec "$build/bench/strenna_bench" "$@"
