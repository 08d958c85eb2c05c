#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vantelo through the launcher
# the desktop uses (build/vantelo-start): it prepares the working folder
# ~/.local/share/vantelo ($XDG_DATA_HOME/vantelo) with what is missing, says
# how to allow port 25 when Vantelo may not open it, and starts Vantelo there.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTELO_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting Vantelo without windows; the relay still serves."
  export QT_QPA_PLATFORM=offscreen
fi
exec build/vantelo-start
