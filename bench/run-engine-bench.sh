#!/usr/bin/env bash
# Builds the filter engine benchmark, starts the fixture servers, runs it and stops them again.
# Usage: bench/run-engine-bench.sh [--messages N] [--pause-ms MS] [--large N]
#   (defaults 2000 messages, a 200 ms pause and a large mailbox of 100,000: about 10 minutes;
#   build folder: CORVEX_BUILD_DIR). Exits non-zero when a target is missed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target engine_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/engine_bench" "$@"
