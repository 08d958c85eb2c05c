#!/usr/bin/env bash
# Takes the README's screenshots again: every window of Vantelo drawn under a
# private X server (Xvfb) in a working folder made for the purpose, with a
# few routes, into docs/screenshots/. Run after ./test.sh or a build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/docs/screenshots"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/build/vantelo-initdb" "$work" >/dev/null
sqlite3 "$work/config/log.mdb" \
  "INSERT INTO smtp VALUES ('Work VPN','smtp.work.example','587'),
                           ('Mobile broadband','mail.carrier.example','25');"
printf '[dial]\nsmtpport=2525\n[default]\nsmtpserver=smtp.lan.example\nsmtpport=25\n' \
  > "$work/config/config.ini"
cd "$work"
# No dial-up entries of this machine: the pictures show the ones made above.
DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent XDG_CONFIG_HOME="$work/xdg" \
  xvfb-run -a -s "-screen 0 1280x800x24" "$root/build/vantelo-screenshots" "$out"
