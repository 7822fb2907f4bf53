#!/usr/bin/env bash
# Builds the push benchmark, starts the fixture servers, runs it and stops them again.
# Usage: bench/run-push-bench.sh [--idle-seconds N] [--deliveries N]
#   (defaults 60 s of idle CPU measured and 5 deliveries per round trip; build folder:
#   CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target push_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/push_bench" "$@"
