#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds vgrid and its tests from scratch and runs them: once in a
# normal build with warnings as errors, and once under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
VGRID_TEST_DEPS=1 scripts/deps.sh

scripts/format_check.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVGRID_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

run_suite build/test
scripts/package_check.sh build/test
scripts/leak_check.sh build/test
if [ "${VGRID_SKIP_SANITIZE:-0}" != 1 ]; then
  # Leaks inside system libraries that are not ours are silenced (scripts/lsan_system.supp
  # says which and why); every other leak fails the run.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan_system.supp \
    run_suite build/test-sanitize -DVGRID_SANITIZE=ON
fi
