#!/usr/bin/env bash
# Applies the tree's one code format (.clang-format) to every C and C++ file
# that git tracks; with --check it changes nothing and fails, naming the
# places, when a file is not in that format.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$fmt" ]; then
  echo "format.sh: clang-format not found (scripts/setup.sh installs it)" >&2
  exit 2
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' '*.cc')
if [ "${1:-}" = --check ]; then
  "$fmt" --dry-run --Werror "${files[@]}"
else
  "$fmt" -i "${files[@]}"
fi
