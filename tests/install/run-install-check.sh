#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop gets: valid desktop entries
# and metainfo, the program folder with its programs linked into bin/, the icons; then starts the
# installed monitor headless as an ordinary user, who cannot write to the program folder.
# Usage: run-install-check.sh <source dir> <build dir> [<prefix of an installed package>]
# With a prefix nothing is installed: the check reads what the package put there. The user's home
# is kept when CORVEX_CHECK_HOME names it.
set -euo pipefail
source_dir=$1
build_dir=$2
installed_prefix=${3:-}
desktop=$source_dir/dist/desktop
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

work=$(mktemp -d)
monitor_pid=
cleanup() {
  [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true
  pkill -f "^$prefix/lib/corvex/" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
if [ -n "$installed_prefix" ]; then
  prefix=$installed_prefix
else
  prefix=$work/prefix
  cmake --install "$build_dir" --prefix "$prefix" >/dev/null || fail "cmake --install"
  chmod -R a+rX,go-w "$prefix"
fi

for entry in "$desktop"/*.desktop; do
  installed=$prefix/share/applications/$(basename "$entry")
  [ -f "$installed" ] || continue
  desktop-file-validate "$installed" || fail "desktop entry $installed"
done
appstreamcli validate --no-net "$prefix"/share/metainfo/org.corvex.*.metainfo.xml || fail "metainfo"

folder=$prefix/lib/corvex
for program in korrind velmot strenna drasset pelloway fennick quintor; do
  [ -x "$build_dir/bin/$program" ] || continue
  [ -x "$folder/$program" ] || fail "$program not in the program folder"
  [ "$(readlink -f "$prefix/bin/$program")" = "$(readlink -f "$folder/$program")" ] ||
    fail "bin/$program does not lead to the program folder"
  [ -f "$prefix/share/man/man1/$program.1.gz" ] || fail "no manual page for $program"
  "$prefix/bin/$program" --version | grep -q "^$program (Corvex) [0-9]" || fail "$program --version"
  "$prefix/bin/$program" --help | grep -q -- "--version" || fail "$program --help"
  name=org.corvex.${program^}.desktop
  if [ -f "$desktop/$name" ] && [ ! -f "$prefix/share/applications/$name" ]; then
    fail "no desktop entry $name"
  fi
done
for sub in Extentions/Strenna.ini Media/chime.wav modules/corvex-sound.so; do
  [ -f "$folder/$sub" ] || fail "$sub not installed"
done
[ -d "$source_dir/dist/Help" ] && { [ -d "$folder/Help" ] || fail "Help not installed"; }
for icon in scalable/apps/org.corvex.Korrind.svg 48x48/apps/org.corvex.Korrind.png \
            256x256/apps/org.corvex.Korrind.png; do
  [ -f "$prefix/share/icons/hicolor/$icon" ] || fail "icon $icon not installed"
done
[ -f "$prefix/share/metainfo/org.corvex.Korrind.metainfo.xml" ] || fail "metainfo not installed"
[ -d "$prefix/lib/corvex/desktop" ] && fail "desktop files copied into the program folder"

# The installed monitor, started as an ordinary user with a home of its own.
home=${CORVEX_CHECK_HOME:-$work/home}
mkdir -p "$home"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
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
# With no mailbox yet the monitor starts the installed mailbox import with the data root as its
# parameter, handed through a parameter file in the user's runtime folder.
import_pid=
for _ in $(seq 100); do
  import_pid=$(pgrep -P "$monitor_pid" -x pelloway || true)
  [ -n "$import_pid" ] && break
  sleep 0.2
done
if [ -z "$import_pid" ]; then
  fail "the installed monitor did not start the mailbox import"
else
  parameters=$(tr '\0' '\n' <"/proc/$import_pid/cmdline" | grep '/corvex-parameters/' || true)
  [ -n "$parameters" ] && [ "$(head -n 1 "$parameters")" = "$root" ] ||
    fail "the mailbox import did not get the data root: '$parameters' holds '$(head -n 1 "$parameters" 2>/dev/null)'"
fi
# The import is a window of its own that outlives the monitor; end it with the monitor.
[ -n "$import_pid" ] && kill "$import_pid" 2>/dev/null
for leftover in PlugIns Debug.txt; do
  [ -e "$folder/$leftover" ] && fail "the monitor wrote $leftover into the program folder"
done
kill -TERM "$monitor_pid"
wait "$monitor_pid" && status=0 || status=$?
monitor_pid=
[ "$status" -eq 0 ] || fail "the installed monitor ended with $status"

# One check of real mail from the installed tree as that user, against the fixture dovecot: a
# message from a sender on the master rejection list leaves the server and lands in
# "Rejected Mail". Needs the servers of tools/test.sh and root (mailboxes belong to the mail user).
if [ -n "${CORVEX_POP3_PORT:-}" ] && [ "$(id -u)" -eq 0 ] && [ -x "$build_dir/tools/corvex-seed" ]; then
  mail_user=install-$(openssl rand -hex 4)
  mail_password=$(openssl rand -hex 8)
  mail_home=$CORVEX_MAIL_ROOT/$mail_user
  install -d -o 65534 -g 65534 -m 0700 "$mail_home" "$mail_home/Maildir" \
    "$mail_home/Maildir/cur" "$mail_home/Maildir/new" "$mail_home/Maildir/tmp"
  printf '%s:{PLAIN}%s:65534:65534::%s::\n' "$mail_user" "$mail_password" "$mail_home" >"$work/user"
  install -g dovecot -m 0640 "$work/user" "$CORVEX_DOVECOT_USERS_DIR/$mail_user"
  printf '%s\r\n' "From: Prize Desk <winner@prize-desk.example>" "To: $mail_user@corvex.test" \
    "Subject: You have won" "Message-ID: <$mail_user@corvex.test>" "" "Claim it now." >"$work/spam"
  install -o 65534 -g 65534 -m 0600 "$work/spam" "$mail_home/Maildir/new/1.$mail_user.corvex"
  install -m 0755 "$build_dir/tools/corvex-seed" "$work/corvex-seed"
  env -i PATH=/usr/bin:/bin HOME="$home" "${as_user[@]}" "$work/corvex-seed" --user "$mail_user" \
    --server "127.0.0.1:$CORVEX_POP3_PORT" --password "$mail_password" \
    --reject winner@prize-desk.example >/dev/null || fail "the data root could not be seeded"
  env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen SSL_CERT_FILE="$CORVEX_CA_FILE" \
    "${as_user[@]}" "$prefix/bin/korrind" >>"$work/monitor.log" 2>&1 &
  monitor_pid=$!
  for _ in $(seq 150); do
    compgen -G "$root/Rejected Mail/*.eml" >/dev/null && break
    sleep 0.2
  done
  compgen -G "$root/Rejected Mail/*.eml" >/dev/null ||
    fail "the installed monitor did not reject the message within 30 s"
  for _ in $(seq 50); do
    compgen -G "$mail_home/Maildir/*/1.$mail_user.corvex*" >/dev/null || break
    sleep 0.2
  done
  compgen -G "$mail_home/Maildir/*/1.$mail_user.corvex*" >/dev/null &&
    fail "the rejected message is still on the server"
  kill -TERM "$monitor_pid"
  wait "$monitor_pid" || fail "the installed monitor did not end cleanly after its check"
  monitor_pid=
  echo "the installed monitor checked mail on the fixture server"
else
  echo "no fixture servers (or not root): the installed monitor's mail check was skipped"
fi

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
