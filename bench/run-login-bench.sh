#!/usr/bin/env bash
# Builds the login benchmark, starts the fixture servers, runs it and stops them again.
# Usage: bench/run-login-bench.sh [--messages N] [--rtt-ms MS]
#   (defaults 2000 messages and a 50 ms round trip; build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target login_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/login_bench" "$@"
