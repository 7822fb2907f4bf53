#!/usr/bin/env bash
# Makes the README's pictures from the running programs, so they stay current:
#   docs/screenshots/demo.png         the monitor's Summary after the demo's first check
#   docs/screenshots/maillist.png     the server mail list of the demo mailbox, 2,000 more
#                                     messages added after that check
#   docs/screenshots/monitor.png      the same monitor on its "Mailboxes" page
#   docs/screenshots/mailboxedit.png  the mailbox editor on the demo mailbox
#   docs/screenshots/strenna.png      the saved message manager started from the desktop's menu
#                                     (no parameter file): the demo mailbox's saved messages
# The display is a common laptop screen (1366x768); the mail list and the saved message manager
# open at their default sizes.
# It runs the demo (tools/run-monitor.sh --demo) on a virtual X display (Xvfb) and takes each
# picture of a window with ImageMagick's `import`. Installs xvfb, xauth, imagemagick and
# xdotool when missing; nothing else needs them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/docs/screenshots

if [ -z "${CORVEX_SCREENSHOT_SESSION:-}" ]; then
  "$top/tools/install-deps.sh" xvfb xauth imagemagick xdotool
  "$top/tools/build.sh"
  export CORVEX_SCREENSHOT_SESSION=1
  exec xvfb-run -a -s "-screen 0 1366x768x24" "$0" "$@"
fi

unset QT_QPA_PLATFORM # the virtual display, not offscreen
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}
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

eval "$(xdotool getwindowgeometry --shell "$window")"
main_width=$WIDTH main_height=$HEIGHT
click() { # x y [clicks]
  xdotool mousemove --window "$window" "$1" "$2" click --repeat "${3:-1}" --delay 80 1
}
shot() { # window-name-pattern file [seconds to settle]
  local shown
  shown=$(xdotool search --sync --onlyvisible --name "$1" | head -n 1)
  sleep "${3:-1}"
  import -window "$shown" "$out/$2"
}

# 2,000 more messages of many senders on the server; a double click below the Summary's rows
# lists the mail of every mailbox.
# shellcheck disable=SC1091
. "$demo/servers/env.sh"
bulk=$demo/bulk
/usr/bin/python3 - "$bulk" <<'PY'
import email.utils, os, random, sys, time
folder = sys.argv[1]
os.makedirs(folder)
random.seed(7)
first = ["Ann", "Ben", "Clara", "David", "Emma", "Felix", "Grace", "Hugo", "Ines", "Jonas",
         "Kate", "Liam", "Mia", "Noah", "Olga", "Paul", "Rosa", "Sam", "Tara", "Victor"]
last = ["Archer", "Baker", "Carter", "Dawson", "Ellis", "Fischer", "Garcia", "Hansen", "Ito",
        "Jensen", "Kowalski", "Larsen", "Moreau", "Novak", "Olsen", "Petrov", "Quinn", "Rossi"]
domains = ["example.org", "mail.example.com", "lists.example.net", "shop.example", "work.example"]
topics = ["Quarterly report", "Invoice {n}", "Meeting on {day}", "Re: project plan",
          "Your order {n} has shipped", "Photos from the weekend", "Fwd: travel booking {n}",
          "Newsletter: what is new this month", "Build {n} failed on main",
          "Lunch on {day}?", "Contract draft, second round of comments", "Password reset request"]
days = ["Monday", "Tuesday", "Wednesday", "Thursday", "Friday"]
now = time.time()
for n in range(1, 2001):
    f, l = random.choice(first), random.choice(last)
    sender = f"{f} {l} <{f.lower()}.{l.lower()}@{random.choice(domains)}>"
    subject = random.choice(topics).format(n=random.randint(1000, 99999), day=random.choice(days))
    when = email.utils.formatdate(now - (2001 - n) * 1800, localtime=True)
    head = [f"From: {sender}", "To: Demo User <demo@corvex.test>", f"Subject: {subject}",
            f"Date: {when}", f"Message-ID: <bulk-{n}@corvex.test>", "MIME-Version: 1.0"]
    if n % 9 == 0:
        head.append('Content-Type: multipart/mixed; boundary="b"')
        body = ["--b", "Content-Type: text/plain", "", "See the attachment.", "--b",
                "Content-Type: application/pdf; name=doc.pdf", "", "JVBERi0=", "--b--"]
    else:
        head.append("Content-Type: text/plain; charset=utf-8")
        body = ["Hello,", "", "a message for the demo's server mail list.", ""]
    with open(os.path.join(folder, f"{int(now)}.bulk{n:04d}.corvex"), "w", newline="") as out:
        out.write("\r\n".join(head + [""] + body) + "\r\n")
PY
as_root chown 65534:65534 "$bulk"/*
as_root mv "$bulk"/* "$CORVEX_MAIL_ROOT/demo/Maildir/new/"
click $((main_width / 2)) $((main_height * 2 / 3)) 2
shot '^ *Mail for: ' maillist.png 4
xdotool key Escape
sleep 1

# The page tabs share the window's width: "Mailboxes" is the second quarter.
click $((main_width * 3 / 8)) 14
sleep 1
import -window "$window" "$out/monitor.png"

# A double click on the mailbox's row (its server cell, below the list's header) edits it.
click $((main_width / 4)) 57 2
shot '^Mailbox Properties$' mailboxedit.png
xdotool key Escape
sleep 1

# The saved message manager as the desktop's menu starts it: no parameter file beside it.
build="${CORVEX_BUILD_DIR:-$top/build}"
rm -f "$build/bin/strenna.ini"
(
  export XDG_DATA_HOME=$demo/data XDG_CONFIG_HOME=$demo/config XDG_CACHE_HOME=$demo/cache
  export XDG_RUNTIME_DIR=$demo/runtime
  exec "$build/bin/strenna"
) >"$demo/strenna.log" 2>&1 &
strenna_pid=$!
shot '^Saved Messages For: ' strenna.png 2
kill -TERM "$strenna_pid" 2>/dev/null || true
wait "$strenna_pid" 2>/dev/null || true
echo "screenshots: $out/demo.png $out/maillist.png $out/monitor.png $out/mailboxedit.png" \
  "$out/strenna.png"
