#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libqt6opengl6-dev libcanberra-dev
  libsodium-dev libssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  dovecot-core dovecot-pop3d dovecot-imapd python3-aiosmtpd openssl
  xdg-utils desktop-file-utils appstream procps
  samba smbclient gvfs-backends gvfs-fuse dbus openssh-server sshfs
  clang libclang-rt-14-dev
  help2man dpkg-dev file lintian man-db devscripts
)
# Extra packages a tool asks for (tools/screenshots.sh); the build and the tests need none of them.
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -qq
$sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
