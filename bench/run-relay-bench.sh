#!/usr/bin/env bash
# Builds and runs the relay benchmark; prints figures and ratios.
# Usage: bench/run-relay-bench.sh [--rounds N] [--only CASE] [REFERENCE_RELAY]
#        bench/run-relay-bench.sh --tls [--login]
# With REFERENCE_RELAY (e.g. a copy of build/vantelo-relay from before a
# change) that build is measured in the same run and compared.
# With --tls, an smtps:// route is measured instead, against stunnel and
# haproxy as TLS clients (about a minute). With --tls --login, greeting+QUIT
# through an smtps:// route that logs in, against the same route without.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --for-tests
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vantelo-relay relay-bench
if [ "${1:-}" = "--tls" ]; then
  if [ "${2:-}" = "--login" ] && [ $# -eq 2 ]; then
    exec build/relay-bench --tls --login build/vantelo-relay
  fi
  [ $# -eq 1 ] || { echo "usage: $0 --tls [--login]" >&2; exit 2; }
  exec build/relay-bench --tls build/vantelo-relay
fi
options=()
while [ $# -ge 2 ] && { [ "$1" = "--rounds" ] || [ "$1" = "--only" ]; }; do
  options+=("$1" "$2")
  shift 2
done
exec build/relay-bench "${options[@]}" build/vantelo-relay "$@"
