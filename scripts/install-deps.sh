#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Vantelo need,
# only when some are missing, so that a second run costs nothing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev libsqlite3-dev sqlite3 libssl-dev openssl
  libsecret-1-dev gnome-keyring libsecret-tools libglib2.0-bin
  libgtest-dev libbenchmark-dev
  python3 python3-aiosmtpd python3-dbusmock dbus-daemon swaks
  xvfb xauth socat haproxy stunnel4 libcap2-bin
  at-spi2-core python3-pyatspi python3-gi x11-utils
  librsvg2-bin desktop-file-utils appstream groff-base dpkg-dev file lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
