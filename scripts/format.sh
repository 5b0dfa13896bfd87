#!/usr/bin/env bash
# Formats the C++ and Objective-C++ sources with the repository's .clang-format; --check only reports.
# Works on the files git tracks, or on the paths given after the option.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
mapfile -t files < <(git ls-files -- "${@:-.}" | grep -E '\.(cpp|h|mm)$' || true)
((${#files[@]})) || exit 0
if ((check)); then
  exec clang-format --dry-run --Werror "${files[@]}"
fi
clang-format -i "${files[@]}"
