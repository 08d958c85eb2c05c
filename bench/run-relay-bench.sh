#!/usr/bin/env bash
# Builds and runs the relay benchmark; prints figures and ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vantelo-relay relay-bench
exec build/relay-bench build/vantelo-relay
