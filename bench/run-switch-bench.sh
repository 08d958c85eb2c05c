#!/usr/bin/env bash
# Builds the program and runs the route switch benchmark; prints the figures.
# Usage: bench/run-switch-bench.sh [--flips N] [--interval S] [REFERENCE_BUILD]
# REFERENCE_BUILD is another build folder (with vantelo in it, e.g. one of the
# commit before a change): measured in the same run and shown side by side.
# 20 flips 3 s apart take about a minute and a half per build.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --for-tests
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vantelo vantelo-initdb
exec /usr/bin/python3 bench/switch_bench.py build "$@"
