#!/usr/bin/env bash
# Runs `tools/run-monitor.sh --demo` headless and reads what its first pass left in the demo's
# data root: the rejected sender's message in "Rejected Mail" and gone from the server, the
# priority sender's message saved into the mailbox's inbox folder; then ends the monitor and
# checks that the demo's server stopped with it.
# Usage: run-demo-check.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
  echo "the demo's server needs root or sudo without a password"
  exit 77
fi

demo=$(mktemp -d /tmp/corvex-demo-check.XXXXXX)
script_pid=
cleanup() {
  [ -n "$script_pid" ] && kill -TERM "$script_pid" 2>/dev/null && wait "$script_pid" || true
  "$source_dir/tests/fixtures/stop.sh" "$demo/servers" >/dev/null 2>&1 || true
  rm -rf "$demo"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

CORVEX_DEMO_DIR=$demo CORVEX_SKIP_BUILD=1 CORVEX_BUILD_DIR=$build_dir QT_QPA_PLATFORM=offscreen \
  "$source_dir/tools/run-monitor.sh" --demo >"$demo.log" 2>&1 &
script_pid=$!

root="$demo/data/Corvex Users"
found() { compgen -G "$1" >/dev/null; }
for _ in $(seq 150); do
  found "$root/Rejected Mail/*.eml" && found "$root/demo/*.eml" && break
  kill -0 "$script_pid" 2>/dev/null || break
  sleep 0.2
done
found "$root/Rejected Mail/*.eml" || fail "no rejected message within 30 s"
found "$root/demo/*.eml" || fail "the priority message was not saved into the inbox within 30 s"
grep -l "You have won" "$root/Rejected Mail/"*.eml >/dev/null 2>&1 ||
  fail "the rejected copy is not the prize message"
grep -l "Please call me today" "$root/demo/"*.eml >/dev/null 2>&1 ||
  fail "the inbox copy is not the priority message"
mail_root=$(. "$demo/servers/env.sh" && echo "$CORVEX_MAIL_ROOT")
grep -rl "You have won" "$mail_root/demo/Maildir" >/dev/null 2>&1 &&
  fail "the rejected message is still on the server"

# The monitor ends; the demo's server goes with it.
dovecot_pid=$(cat "$demo/servers/dovecot/dovecot.pid" 2>/dev/null || true)
[ -n "$dovecot_pid" ] || fail "the demo's server did not record its process"
monitor_pid=$(cat "$demo/monitor.pid" 2>/dev/null || true)
[ -n "$monitor_pid" ] && kill -TERM "$monitor_pid"
wait "$script_pid" || true
script_pid=
if [ -n "$dovecot_pid" ] && kill -0 "$dovecot_pid" 2>/dev/null; then
  fail "the demo's server still runs after the monitor ended"
fi

[ $failures -eq 0 ] || { cat "$demo.log"; rm -f "$demo.log"; exit 1; }
rm -f "$demo.log"
echo "demo check passed"
