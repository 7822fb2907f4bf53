#!/usr/bin/env bash
# Makes the Debian package and checks it: lintian reports no error or warning, the changelog and
# the metainfo name the packaged version, every program carries Debian's hardening and answers
# --version, the licence is the GPL version 3 or later throughout, Installed-Size is the unpacked
# size, no maintainer script runs and no media framework is pulled in. With CORVEX_PACKAGE_INSTALL=1 (root on a disposable machine) it then installs the
# package with apt, runs the installed-tree check on /usr, removes the package again and confirms
# that nothing of it is left but the user's data.
# Usage: run-package-check.sh <source dir> <build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Installed, or removed with its configuration files kept.
known_to_dpkg() { dpkg-query -W -f='${Status}' corvex 2>/dev/null | grep -qv not-installed; }

work=$(mktemp -d)
installed=
cleanup() {
  [ -n "$installed" ] && apt-get remove --purge -y -qq corvex >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

cpack --config "$build_dir/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(echo "$work"/corvex_*.deb)
[ -f "$deb" ] || { cat "$work/cpack.log"; exit 1; }
echo "made $(basename "$deb")"

# Overridden tags are listed in dist/debian/lintian-overrides with their reasons.
lintian --fail-on error,warning "$deb" || fail "lintian"

version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}
root=$work/root
dpkg-deb -x "$deb" "$root"
newest=$(zcat "$root/usr/share/doc/corvex/changelog.Debian.gz" | sed -n 1p)
[[ $newest == "corvex ($version) "* ]] || fail "the changelog's newest entry is not $version: $newest"
grep -q "<release version=\"$upstream\"" "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "the metainfo has no release $upstream"
programs=(korrind velmot strenna drasset pelloway fennick quintor)
for program in "${programs[@]}"; do
  answer=$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/$program" --version 2>&1) || true
  [ "$answer" = "$program (Corvex) $upstream" ] || fail "$program --version: '$answer'"
done
"$root/usr/bin/korrind" --help | grep -q "^  debug=LEVEL " || fail "korrind --help lacks debug=LEVEL"

# The programs parse what mail servers send: stack protector, fortified functions (where any is
# used), read-only relocations and immediate binding, as Debian 12 builds (which has no control
# flow protection in its flags).
for elf in "${programs[@]/#/$root/usr/lib/corvex/}" "$root/usr/lib/corvex/modules/corvex-sound.so"; do
  hardening-check --quiet --nocfprotection "$elf" || fail "hardening of ${elf#"$root"}"
done

cmp -s "$source_dir/LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the GPL-3 text"
copyright=$root/usr/share/doc/corvex/copyright
head -n 1 "$copyright" | grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" &&
  grep -q "^License: GPL-3+$" "$copyright" || fail "the copyright file does not give GPL-3+"
grep -q "<project_license>GPL-3.0-or-later</project_license>" "$root"/usr/share/metainfo/*.metainfo.xml ||
  fail "the metainfo's project licence"
grep -rqi "not published under a free software" "$root" && fail "a copy still says it is not free"
[ -f "$root/usr/share/doc/corvex/README.md" ] || fail "no README in /usr/share/doc/corvex"

# Installed-Size as dpkg-gencontrol counts: files and links their KiB rounded up, folders 1 KiB.
size=$(find "$root" -printf '%y %s\n' |
  awk '{ kib += ($1 == "f" || $1 == "l") ? int(($2 + 1023) / 1024) : 1 } END { print kib }')
[ "$(dpkg-deb -f "$deb" Installed-Size)" = "$size" ] ||
  fail "Installed-Size $(dpkg-deb -f "$deb" Installed-Size), unpacked $size KiB"
controls=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -qE "(post|pre)(inst|rm)" <<<"$controls" && fail "the package has maintainer scripts"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *multimedia* || $depends == *qt6-qpa-plugins* ]] && fail "Depends: $depends"

if [ "${CORVEX_PACKAGE_INSTALL:-}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  if known_to_dpkg; then
    fail "corvex is installed already: this check needs a machine without it"
  else
    installed=yes
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 ||
      { cat "$work/apt.log"; fail "apt-get install"; }
    dpkg-query -L corvex | sort >"$work/files"
    [ "$(man -w korrind)" = /usr/share/man/man1/korrind.1.gz ] || fail "man does not find korrind"
    home=$work/home
    CORVEX_CHECK_HOME=$home "$source_dir/tests/install/run-install-check.sh" \
      "$source_dir" "$build_dir" /usr || fail "the check of the installed package"

    DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq corvex >>"$work/apt.log" 2>&1 ||
      { cat "$work/apt.log"; fail "apt-get remove"; }
    installed=
    known_to_dpkg && fail "dpkg still knows corvex after the purge"
    # What is still there must belong to another package (shared folders such as /usr/share/man).
    while read -r path; do
      [ "$path" = /. ] && continue # the root folder, listed by every package
      [ -e "$path" ] || [ -L "$path" ] || continue
      dpkg-query -S "$path" >/dev/null 2>&1 || fail "$path is left behind"
    done <"$work/files"
    [ -d "$home/.local/share/Corvex Users/Rejected Mail" ] || fail "the user's data went with the package"
  fi
else
  echo "not installed: CORVEX_PACKAGE_INSTALL=1 as root installs and removes the package"
fi

[ $failures -eq 0 ] || exit 1
echo "package check passed"
