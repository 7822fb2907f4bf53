#!/usr/bin/env bash
# Builds the server mail list benchmark, starts the fixture servers, runs it (with the
# delaying proxy in front of dovecot for the fill) and stops them again.
# Usage: bench/run-maillist-bench.sh [MESSAGES]   (default 2000; build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target maillist_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/maillist_bench" \
  "${1:-2000}" "$top/bench/delayproxy.py"
