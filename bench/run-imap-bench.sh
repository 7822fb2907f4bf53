#!/usr/bin/env bash
# Builds the IMAP benchmark, starts the fixture servers, runs it and stops them again.
# Usage: bench/run-imap-bench.sh [--messages N] [--rtt-ms MS]
#   (defaults 2000 messages and a 50 ms round trip; build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target imap_bench --parallel 2

exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/imap_bench" "$@"
