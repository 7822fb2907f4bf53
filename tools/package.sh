#!/usr/bin/env bash
# Builds Corvex with Debian's build flags (dpkg-buildflags with every hardening feature: stack
# protector, fortified functions, read-only relocations, immediate binding) in a build folder of
# its own and makes its Debian package from the install rules, then prints the package's path
# (corvex_<version>-<release>_<arch>.deb in that folder). Install it with
#   sudo apt install ./corvex_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_PACKAGE_BUILD_DIR:-$top/build-package}"
"$top/tools/install-deps.sh" >&2
if [ ! -f "$build/CMakeCache.txt" ]; then
  cd "$top" # dpkg-buildflags maps this folder to "." in the debugging information
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  # CMake reads no CPPFLAGS: the preprocessor's flags (_FORTIFY_SOURCE) go with the compiler's.
  export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS" LDFLAGS
  launcher=()
  command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    "${launcher[@]}" >&2
fi
cmake --build "$build" --parallel "$(nproc)" --target package >&2
ls -t "$build"/corvex_*.deb | head -n 1
