#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build with
# all tests, then the relay tests under ThreadSanitizer and under
# AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
# One test at a time: several tests measure how long a stop takes.
(cd build && ctest --output-on-failure)

# Sanitizer builds of the relay. A report fails the run.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
for variant in "tsan:thread" "asan:address,undefined"; do
  dir="build-${variant%%:*}"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVANTELO_RELAY_ONLY=ON \
    -DVANTELO_SANITIZE="${variant#*:}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  # ThreadSanitizer needs the classic address-space layout on newer kernels.
  (cd "$dir" && setarch "$(uname -m)" -R ctest --output-on-failure -L relay)
done
