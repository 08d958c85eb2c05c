#!/usr/bin/env bash
# Installs what is missing, builds, prepares the working folder and starts
# Vantelo there.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
build=$(pwd)/build

# The working folder: routes, settings, the launcher and the tips live here.
folder="${XDG_DATA_HOME:-$HOME/.local/share}/vantelo"
mkdir -p "$folder/config"
"$build/vantelo-initdb" "$folder"
[ -e "$folder/config/tip.cfg" ] || cp data/tip.cfg "$folder/config/tip.cfg"

# The port Vantelo will listen on, as its settings say (25 when unset).
port=$(sed -n '/^\[dial\]/I,/^\[/{s/^[[:space:]]*smtpport[[:space:]]*=[[:space:]]*\([0-9]*\).*/\1/Ip}' \
  "$folder/config/config.ini" 2>/dev/null | head -n 1)
port=${port:-25}
unprivileged=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)
if [ "$port" -lt "$unprivileged" ] && [ "$(id -u)" -ne 0 ] &&
   ! getcap "$build/vantelo" 2>/dev/null | grep -q cap_net_bind_service; then
  cat <<MSG
Vantelo is set to listen on port $port, which only root or a program with the
cap_net_bind_service capability may open. Either allow it once:
    sudo setcap cap_net_bind_service=+ep $build/vantelo
or choose a higher port in $folder/config/config.ini:
    [dial]
    smtpport=2525
and set your mail program to send to localhost on that port. Starting anyway.
MSG
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting Vantelo without windows; the relay still serves."
  export QT_QPA_PLATFORM=offscreen
fi
cd "$folder"
exec "$build/vantelo"
