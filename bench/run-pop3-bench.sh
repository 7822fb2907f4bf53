#!/usr/bin/env bash
# Builds the POP3 benchmark, starts the fixture servers, runs it and stops them again.
# Usage: bench/run-pop3-bench.sh [MESSAGES]   (default 1000; build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target pop3_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/pop3_bench" "${1:-1000}"
