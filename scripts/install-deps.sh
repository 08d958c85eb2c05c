#!/usr/bin/env bash
# Installs the Debian packages that Vantelo needs, only when some are missing,
# so that a second run costs nothing: without an argument what building and
# running it needs (./run.sh); with --for-tests also what its tests, the
# benchmark and the package checks need (./test.sh).
set -euo pipefail

# Building and running.
packages=(
  cmake g++ make pkg-config
  qt6-base-dev libsqlite3-dev sqlite3 libssl-dev openssl
  libsecret-1-dev libcap2-bin
)
# The tests, the benchmark, the package checks and the tree's own checks
# (format, layers).
test_packages=(
  libgtest-dev gnome-keyring libsecret-tools libglib2.0-bin
  python3 python3-aiosmtpd python3-dbusmock dbus-daemon swaks
  xvfb xauth socat haproxy stunnel4
  at-spi2-core python3-pyatspi python3-gi x11-utils
  librsvg2-bin desktop-file-utils appstream groff-base dpkg-dev file lintian
  clang-format git
)

case ${1:-} in
  "") ;;
  --for-tests) packages+=("${test_packages[@]}") ;;
  *)
    echo "usage: scripts/install-deps.sh [--for-tests]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    cat >&2 <<MSG
These Debian packages are missing, and sudo is not there to install them:
    ${missing[*]}
Install them as root once, for example with
    su -c '$0 ${1:-}'
or, as root, apt-get install --no-install-recommends ${missing[*]}
(or install sudo first: as root, apt-get install sudo), then run this again.
MSG
    exit 1
  fi
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
