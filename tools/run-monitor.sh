#!/usr/bin/env bash
# Builds Corvex and starts the monitor Korrind; extra arguments go to the monitor (e.g. debug=4).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/build.sh"
exec "${CORVEX_BUILD_DIR:-$top/build}/bin/korrind" "$@"
