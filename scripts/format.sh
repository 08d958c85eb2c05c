#!/usr/bin/env bash
# Formats every C++ file of the tree with the checked-in .clang-format;
# with --check, changes nothing and fails, naming the files, when one is off.
# (cmake --build build --target format runs it; ./test.sh runs the check.)
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
  echo "clang-format is missing: scripts/install-deps.sh --for-tests installs it" >&2
  exit 1
fi
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files -co --exclude-standard -- '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build\* -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
case ${1:-} in
  "") clang-format -i "${files[@]}" ;;
  --check)
    off=()
    for f in "${files[@]}"; do
      clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || off+=("$f")
    done
    if [ ${#off[@]} -ne 0 ]; then
      printf 'off the checked-in format (scripts/format.sh mends it): %s\n' "${off[@]}" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac
