#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build with
# all tests, then the relay tests under ThreadSanitizer and under
# AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh --for-tests

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTELO_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
# A failing test does not keep the sanitizer runs from running: the run fails
# at its end, after all of them.
failed=()
# One test at a time: several tests measure how long a stop takes.
(cd build && ctest --output-on-failure) || failed+=(build)

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
  (cd "$dir" && setarch "$(uname -m)" -R ctest --output-on-failure -L relay) || failed+=("$dir")
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "Tests failed in: ${failed[*]}" >&2
  exit 1
fi
