#!/usr/bin/env bash
# Makes the README's pictures from the running programs, so they stay current:
#   docs/screenshots/demo.png     the monitor's Summary after the demo's first check
#   docs/screenshots/monitor.png  the same monitor on its "Mailboxes" page
# It runs the demo (tools/run-monitor.sh --demo) on a virtual X display (Xvfb) and takes each
# picture of the monitor's window with ImageMagick's `import`. Installs xvfb, xauth,
# imagemagick and xdotool when missing; nothing else needs them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/docs/screenshots

if [ -z "${CORVEX_SCREENSHOT_SESSION:-}" ]; then
  "$top/tools/install-deps.sh" xvfb xauth imagemagick xdotool
  "$top/tools/build.sh"
  export CORVEX_SCREENSHOT_SESSION=1
  exec xvfb-run -a -s "-screen 0 900x600x24" "$0" "$@"
fi

unset QT_QPA_PLATFORM # the virtual display, not offscreen
demo=$(mktemp -d /tmp/corvex-screenshots.XXXXXX)
demo_pid=
cleanup() {
  if [ -f "$demo/monitor.pid" ]; then
    kill -TERM "$(cat "$demo/monitor.pid")" 2>/dev/null || true
  fi
  [ -n "$demo_pid" ] && wait "$demo_pid" 2>/dev/null || true
  rm -rf "$demo"
}
trap cleanup EXIT

CORVEX_DEMO_DIR=$demo CORVEX_SKIP_BUILD=1 "$top/tools/run-monitor.sh" --demo >"$demo/demo.log" 2>&1 &
demo_pid=$!

# The first check is over once the rejected message was kept and the priority one saved.
root="$demo/data/Corvex Users"
for _ in $(seq 300); do
  compgen -G "$root/Rejected Mail/*.eml" >/dev/null && compgen -G "$root/demo/*.eml" >/dev/null && break
  kill -0 "$demo_pid" 2>/dev/null || { cat "$demo/demo.log" >&2; exit 1; }
  sleep 0.2
done
window=$(xdotool search --sync --onlyvisible --name '^Corvex$' | head -n 1)
sleep 2 # the status bar and the list settle after the pass

mkdir -p "$out"
import -window "$window" "$out/demo.png"

# The page tabs share the window's width: "Mailboxes" is the second quarter.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove --window "$window" $((WIDTH * 3 / 8)) 14 click 1
sleep 1
import -window "$window" "$out/monitor.png"
echo "screenshots: $out/demo.png $out/monitor.png"
