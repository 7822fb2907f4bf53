#!/usr/bin/env bash
# Builds Corvex and starts the monitor Korrind; extra arguments go to the monitor (e.g. debug=4).
#
#   tools/run-monitor.sh --demo [monitor arguments]
#
# starts a demonstration instead: a private POP3 server (dovecot, on 127.0.0.1 with free ports)
# holding a few sample messages — an ordinary one, one from a priority sender and one from a
# sender on the rejection list — and a private data root with that one mailbox and the master
# lists, then the monitor on it. The first check shows the rejection ("Rejected Mail"), the
# priority alert and the Summary. The server stops when the monitor ends. Your own data root is
# not touched. dovecot runs as root: the script uses sudo when it is not run as root.
#
# CORVEX_DEMO_DIR=DIR keeps everything in DIR (left in place afterwards) instead of a temporary
# folder; CORVEX_SKIP_BUILD=1 uses the build as it is.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CORVEX_BUILD_DIR:-$top/build}"
[ "${CORVEX_SKIP_BUILD:-}" = 1 ] || "$top/tools/build.sh"

if [ "${1:-}" != "--demo" ]; then
  exec "$build/bin/korrind" "$@"
fi
shift

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if [ -n "${CORVEX_DEMO_DIR:-}" ]; then
  demo=$(mkdir -p "$CORVEX_DEMO_DIR" && cd "$CORVEX_DEMO_DIR" && pwd)
  keep=1
else
  demo=$(mktemp -d /tmp/corvex-demo.XXXXXX)
  keep=0
fi
servers=$demo/servers
monitor_pid=
cleanup() {
  [ -n "$monitor_pid" ] && kill -TERM "$monitor_pid" 2>/dev/null && wait "$monitor_pid" || true
  as_root "$top/tests/fixtures/stop.sh" "$servers" || true
  # start.sh keeps the mailboxes in /tmp when the demo folder is private to its user.
  case "$(readlink "$servers/share" 2>/dev/null)" in
  /tmp/corvex-fixtures.*) as_root rm -rf "$(readlink "$servers/share")" ;;
  esac
  if [ "$keep" = 0 ]; then
    as_root rm -rf "$demo"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "demo: starting a private POP3 server in $servers" >&2
as_root "$top/tests/fixtures/start.sh" "$servers" >/dev/null
# shellcheck disable=SC1091
. "$servers/env.sh"

# --- the mailbox and its messages ----------------------------------------------------------
user=demo
password=$(openssl rand -hex 8)
mail_home=$CORVEX_MAIL_ROOT/$user
as_root install -d -o 65534 -g 65534 -m 0700 "$mail_home" "$mail_home/Maildir" \
  "$mail_home/Maildir/cur" "$mail_home/Maildir/new" "$mail_home/Maildir/tmp"
printf '%s:{PLAIN}%s:65534:65534::%s::\n' "$user" "$password" "$mail_home" >"$demo/user.passwd"
as_root install -g dovecot -m 0640 "$demo/user.passwd" "$CORVEX_DOVECOT_USERS_DIR/$user"
rm -f "$demo/user.passwd"

message() { # number from subject body
  local file=$demo/message.eml
  printf '%s\r\n' "From: $2" "To: Demo User <demo@corvex.test>" "Subject: $3" \
    "Date: $(date -R)" "Message-ID: <demo-$1-$$@corvex.test>" "MIME-Version: 1.0" \
    "Content-Type: text/plain; charset=utf-8" "" "$4" >"$file"
  as_root install -o 65534 -g 65534 -m 0600 "$file" \
    "$mail_home/Maildir/new/$(date +%s).demo$1.corvex"
  rm -f "$file"
}
priority_sender=pat.boss@example.com
rejected_sender=winner@prize-desk.example
message 1 "Ann Example <ann@example.org>" "Welcome to Corvex" \
  "An ordinary message: it shows in the Summary and stays on the server."
message 2 "Prize Desk <$rejected_sender>" "You have won!" \
  "The sender is on the master rejection list: deleted from the server, kept in Rejected Mail."
message 3 "Pat Boss <$priority_sender>" "Please call me today" \
  "The sender is on the master priority list: the priority alert, a copy in the inbox folder."

# --- a private data root with that mailbox ---------------------------------------------------
export XDG_DATA_HOME=$demo/data XDG_CONFIG_HOME=$demo/config XDG_CACHE_HOME=$demo/cache
# The demo's monitor runs beside the user's own: its locks live in a runtime folder of its own.
export XDG_RUNTIME_DIR=$demo/runtime
mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
# The server's certificate comes from the fixtures' own CA.
export SSL_CERT_FILE=$CORVEX_CA_FILE
root=$("$build/tools/corvex-seed" --user "$user" --server "127.0.0.1:$CORVEX_POP3_PORT" \
  --password "$password" --priority "$priority_sender" --reject "$rejected_sender" \
  --smtp "127.0.0.1:$CORVEX_SMTP_PLAIN_PORT")
echo "demo: data root $root" >&2

"$build/bin/korrind" "$@" &
monitor_pid=$!
echo "$monitor_pid" >"$demo/monitor.pid"
wait "$monitor_pid" && status=0 || status=$?
monitor_pid=
exit "$status"
