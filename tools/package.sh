#!/usr/bin/env bash
# Builds Corvex and makes its Debian package from the install rules, then prints the package's
# path (corvex_<version>-<release>_<arch>.deb in the build folder). Install it with
#   sudo apt install ./corvex_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
"$top/tools/build.sh" --target package >&2
ls -t "$build"/corvex_*.deb | head -n 1
