#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop gets: valid desktop entries
# and metainfo, the program folder with its programs linked into bin/, the icons; then starts the
# installed monitor headless as an ordinary user, who cannot write to the program folder.
# Usage: run-install-check.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
desktop=$source_dir/dist/desktop
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for entry in "$desktop"/*.desktop; do
  desktop-file-validate "$entry" || fail "desktop entry $entry"
done
appstreamcli validate --no-net "$desktop"/*.metainfo.xml || fail "metainfo"

work=$(mktemp -d)
monitor_pid=
cleanup() {
  [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null || fail "cmake --install"

folder=$prefix/lib/corvex
for program in korrind velmot strenna drasset pelloway fennick quintor; do
  [ -x "$build_dir/bin/$program" ] || continue
  [ -x "$folder/$program" ] || fail "$program not in the program folder"
  [ "$(readlink -f "$prefix/bin/$program")" = "$(readlink -f "$folder/$program")" ] ||
    fail "bin/$program does not lead to the program folder"
  name=org.corvex.${program^}.desktop
  if [ -f "$desktop/$name" ] && [ ! -f "$prefix/share/applications/$name" ]; then
    fail "no desktop entry $name"
  fi
done
for sub in Extentions/Strenna.ini Media/chime.wav; do
  [ -f "$folder/$sub" ] || fail "$sub not installed"
done
[ -d "$source_dir/dist/Help" ] && { [ -d "$folder/Help" ] || fail "Help not installed"; }
for icon in scalable/apps/org.corvex.Korrind.svg 48x48/apps/org.corvex.Korrind.png \
            256x256/apps/org.corvex.Korrind.png; do
  [ -f "$prefix/share/icons/hicolor/$icon" ] || fail "icon $icon not installed"
done
[ -f "$prefix/share/metainfo/org.corvex.Korrind.metainfo.xml" ] || fail "metainfo not installed"
for program in "$prefix"/bin/*; do
  "$program" --version | grep -q "^$(basename "$program") (Corvex) [0-9]" || fail "$program --version"
  "$program" --help | grep -q -- "--version" || fail "$program --help"
done
[ -d "$prefix/lib/corvex/desktop" ] && fail "desktop files copied into the program folder"

# The installed monitor, started as an ordinary user with a home of its own.
home=$work/home
mkdir -p "$home"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
chmod -R a+rX,go-w "$prefix"
env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen \
  "${as_user[@]}" "$prefix/bin/korrind" >"$work/monitor.log" 2>&1 &
monitor_pid=$!
root="$home/.local/share/Corvex Users"
for _ in $(seq 100); do
  [ -d "$root/Rejected Mail" ] && break
  sleep 0.2
done
[ -d "$root/Rejected Mail" ] || fail "the installed monitor made no data root"
kill -0 "$monitor_pid" 2>/dev/null || fail "the installed monitor ended early"
for leftover in PlugIns Debug.txt; do
  [ -e "$folder/$leftover" ] && fail "the monitor wrote $leftover into the program folder"
done
kill -TERM "$monitor_pid"
wait "$monitor_pid" && status=0 || status=$?
monitor_pid=
[ "$status" -eq 0 ] || fail "the installed monitor ended with $status"
# A launcher in a read-only program folder hands its parameters to the program it starts through
# the user's runtime folder, and creates nothing in the program folder.
readonly_folder=$work/readonly
mkdir -p "$readonly_folder/Extentions"
cp "$build_dir/tests/bin/plugin_probe" "$readonly_folder/probe"
printf 'caption=Probe\nexecutable=probe\nexecute=child\n' >"$readonly_folder/Extentions/Probe.ini"
chmod -R a+rX,a-w "$readonly_folder"
before=$(ls -laR "$readonly_folder")
seen=$home/probe.seen
env -i PATH=/usr/bin:/bin HOME="$home" CORVEX_PROBE_SEEN="$seen" \
  "${as_user[@]}" "$readonly_folder/probe" --launch Probe "first line" second ||
  fail "the launcher in a read-only folder started nothing"
grep -qx 'param=first line' "$seen" 2>/dev/null && grep -qx 'param=second' "$seen" ||
  fail "the started program did not receive its parameters: $(cat "$seen" 2>/dev/null)"
grep -q '^arg=.*/corvex-parameters/probe\.ini$' "$seen" 2>/dev/null ||
  fail "the parameter file is not in the runtime folder"
[ "$(ls -laR "$readonly_folder")" = "$before" ] ||
  fail "the launcher wrote into the read-only program folder"

[ $failures -eq 0 ] || { cat "$work/monitor.log"; exit 1; }
echo "install check passed"
