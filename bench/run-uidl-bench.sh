#!/usr/bin/env bash
# Builds the distant-server benchmark, starts the fixture servers and a proxy that delays each
# direction by half the round trip, runs the check figures and the monitor's memory figures,
# and stops everything again. Exits non-zero when a target is missed or results differ.
# Usage: bench/run-uidl-bench.sh [MESSAGES] [RTT_MS]   (defaults 2000 and 50; build folder:
# CORVEX_BUILD_DIR)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -G Ninja
cmake --build "$build" --target uidl_bench monitor_memory_bench qt_floor korrind --parallel 2

if [ -z "${CORVEX_POP3_PORT:-}" ]; then
  exec "$top/tests/fixtures/with-servers.sh" "$build/bench-fixtures" "$0" "$@"
fi

messages="${1:-2000}"
rtt="${2:-50}"
coproc PROXY { exec /usr/bin/python3 "$top/bench/delayproxy.py" 0 "$CORVEX_POP3_PORT" "$((rtt / 2))"; }
proxy_pid=$PROXY_PID
trap 'kill "$proxy_pid" 2>/dev/null || true' EXIT
read -r _ port <&"${PROXY[0]}"

status=0
"$build/bench/uidl_bench" --proxy-port "$port" --messages "$messages" --rtt-ms "$rtt" || status=1
"$build/bench/monitor_memory_bench" --messages "$messages" || status=1
exit $status
