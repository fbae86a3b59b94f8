#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks every C++ source file in the repository against the checked-in .clang-format and
# lists those that differ; exits 1 when any does. `scripts/format_check.sh --fix` formats them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cc' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted as .clang-format says (scripts/format_check.sh --fix mends them):" >&2
  printf '  %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format check: ${#files[@]} files as .clang-format says"
