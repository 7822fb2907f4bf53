#!/usr/bin/env bash
# Builds the server mail list benchmark, starts the fixture servers, runs it (with the
# delaying proxy in front of dovecot for the fill) and stops them again.
# Usage: bench/run-maillist-bench.sh [MESSAGES]   (default 2000; build folder: CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target maillist_bench --parallel 2

# The saved files go to memory when it can hold them: creating 2000 files on a virtual disk
# costs several times the RETRs themselves, and the figure is about the program's own work.
# CORVEX_BENCH_ON_DISK=1 keeps them on the disk (the bench then also prints the disk's cost).
if [ -z "${CORVEX_BENCH_ON_DISK:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$build/bench/maillist_bench" \
  "${1:-2000}" "$top/bench/delayproxy.py"
