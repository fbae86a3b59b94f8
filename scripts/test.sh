#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, checks the formatting, builds vgrid and its tests from scratch and
# runs them: once in a normal build with warnings as errors, once under AddressSanitizer and
# UBSan, and the tests that grab with two workers once more under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
VGRID_TEST_DEPS=1 scripts/deps.sh

scripts/format_check.sh

jobs=$(nproc)
# run_suite DIR TARGETS TESTS [CMAKE OPTIONS...]: builds TARGETS in DIR from scratch and runs
# the tests whose names match the regular expression TESTS.
run_suite() {
  local dir=$1 targets=$2 tests=$3
  shift 3
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVGRID_WERROR=ON "$@" >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" -j "$jobs" --target $targets
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 -R "$tests")
}

run_suite build/test all .
scripts/package_check.sh build/test
scripts/leak_check.sh build/test
if [ "${VGRID_SKIP_SANITIZE:-0}" != 1 ]; then
  # Leaks inside system libraries that are not ours are silenced (scripts/lsan_system.supp
  # says which and why), without the list of them on standard error, which the tests read;
  # every other leak fails the run.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan_system.supp:print_suppressions=0 \
    run_suite build/test-sanitize all . -DVGRID_SANITIZE=ON
  # The tests that run two grab workers (the sheet's pipeline on fake and real detectors, the
  # detector's own threads), under ThreadSanitizer. scripts/tsan.supp says what it passes over.
  TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp halt_on_error=1" \
    run_suite build/test-tsan "vgrid sheet_generator_test grab_pipeline_test windowed_grab_test ffmpeg_media_det_test frame_source_test" \
      "SheetGenerator|GrabPipeline|WindowedGrab|FfmpegMediaDet|FrameSource" -DVGRID_TSAN=ON
fi
