#!/usr/bin/env bash
# Builds Corvex and its tests, starts the test servers (dovecot, SMTP) on 127.0.0.1,
# runs every test and stops the servers again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
"$top/tools/build.sh"

fixtures="$build/fixtures"
if [ -x "$top/tests/fixtures/start.sh" ]; then
  trap '"$top/tests/fixtures/stop.sh" "$fixtures" || true' EXIT
  "$top/tests/fixtures/start.sh" "$fixtures"
  set -a
  # shellcheck disable=SC1091
  . "$fixtures/env.sh"
  set +a
  export CORVEX_REQUIRE_FIXTURES=1
fi

cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 600 "$@"
