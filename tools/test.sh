#!/usr/bin/env bash
# Builds Corvex and its tests, starts the test servers (dovecot, SMTP) on 127.0.0.1,
# runs every test and stops the servers again. Arguments go to ctest (e.g. -R korrind.).
# The package test makes the Debian package and checks it; with CORVEX_PACKAGE_INSTALL=1 (as root
# on a disposable machine, as .ci/run sets it) it also installs and removes it with apt.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
"$top/tools/build.sh"

cd "$build"
"$top/tests/fixtures/with-servers.sh" "$build/fixtures" \
  ctest --output-on-failure --parallel "$(nproc)" --timeout 120 "$@"

# The full run (no ctest arguments, as CI runs it) also fuzzes each input parser for 30 s.
if [ $# -eq 0 ]; then
  "$top/tools/fuzz.sh" 30
fi
