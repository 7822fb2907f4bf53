#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (in their own build folder; the main build
# stays with g++) and runs each for the given number of seconds (default 30), starting from
# the seed corpus in fuzz/corpus/<target>/. New inputs go to a working corpus in the build
# folder; a crash stops the script with the crashing input saved there.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-30}"
build="${CORVEX_FUZZ_BUILD_DIR:-$top/build-fuzz}"

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found, fuzz targets skipped" >&2
  exit 0
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++
fi
cmake --build "$build" --parallel "$(nproc)"

# The targets' private homes; a crashed target cannot remove its own.
shm=/dev/shm
[ -w "$shm" ] || shm="${TMPDIR:-/tmp}"
CORVEX_FUZZ_TMP=$(mktemp -d "$shm/corvex-fuzz.XXXXXX")
export CORVEX_FUZZ_TMP
trap 'rm -rf "$CORVEX_FUZZ_TMP"' EXIT

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1:suppressions=$top/fuzz/ubsan.supp}"
export QT_QPA_PLATFORM=offscreen
status=0
for target in "$build"/*_fuzz; do
  name=$(basename "$target")
  name=${name%_fuzz}
  work="$build/corpus/$name"
  crashes="$build/crashes/$name"
  mkdir -p "$work" "$crashes"
  log="$build/$name.log"
  if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$crashes/" "$work" "$top/fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "fuzz $name: ${runs:-?} executions in ${seconds} s, no crash"
  else
    echo "fuzz $name: FAILED, see $log and $crashes" >&2
    tail -40 "$log" >&2
    status=1
  fi
done
exit $status
