#!/usr/bin/env bash
# Builds and runs the relay benchmark; prints figures and ratios.
# Usage: bench/run-relay-bench.sh [REFERENCE_RELAY]
# With REFERENCE_RELAY (e.g. a copy of build/vantelo-relay from before a
# change) that build is measured in the same run and compared.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vantelo-relay relay-bench
exec build/relay-bench build/vantelo-relay "$@"
