#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on) and fuzzes each for
# a while, growing a scratch corpus from the checked-in seeds in fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# SECONDS per target and locale (default 60); the targets are command_line, text_conv and
# movie (default all three). Each movie input may take 30 s and 1 GB at most; more is a
# finding.
#
# Environment: VGRID_FUZZ_BUILD, the build directory (default build/fuzz); VGRID_FUZZ_WORK,
# the scratch directory (default <build>/work). Findings land in <work>/<target>/artifacts/;
# a minimized copy of each grown corpus in <work>/<target>/minimized/, to pick new seeds
# from. The text conversions are fuzzed under a UTF-8 and, where one can be compiled, a
# CP932 locale.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(command_line text_conv movie)
build=$(realpath -m "${VGRID_FUZZ_BUILD:-build/fuzz}")
work=$(realpath -m "${VGRID_FUZZ_WORK:-$build/work}")
seeds=$PWD/fuzz/corpus
VGRID_TEST_DEPS=1 scripts/deps.sh

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVGRID_FUZZ=ON -DVGRID_BUILD_TESTS=OFF -DVGRID_SANITIZE=ON \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

# A CP932 locale of our own: no root needed, nothing installed system-wide.
cp932_env=()
mkdir -p "$work/locale"
if localedef -f WINDOWS-31J -i ja_JP "$work/locale/ja_JP.WINDOWS-31J" 2>/dev/null ||
   [ -d "$work/locale/ja_JP.WINDOWS-31J" ]; then
  cp932_env=(LOCPATH="$work/locale" LC_ALL=ja_JP.WINDOWS-31J
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan_system.supp)
else
  echo "no CP932 locale could be compiled; the text conversions run under UTF-8 only"
fi

status=0
wanted() { [[ " ${targets[*]} " == *" $1 "* ]]; }
fuzz() {  # target label env...
  local target=$1 label=$2; shift 2
  wanted "$target" || return 0
  local bounds=()
  [ "$target" != movie ] || bounds=(-timeout=30 -rss_limit_mb=1024 -max_len=65536)
  local dir="$work/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts/$label"
  echo "== $target ($label): $seconds s"
  # Absolute paths throughout: the command-line target works in a scratch directory of its
  # own. It silences what the parse prints itself.
  if ! env "$@" "$build/fuzz/fuzz_$target" -max_total_time="$seconds" \
      "${bounds[@]}" -print_final_stats=1 -artifact_prefix="$dir/artifacts/$label/" \
      "$dir/corpus" "$seeds/$target" 2>"$dir/$label.log"; then
    echo "!! $target ($label) found something: see $dir/$label.log and $dir/artifacts/$label/"
    status=1
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added)" "$dir/$label.log" || true
}

fuzz command_line utf8 LC_ALL=C.UTF-8
fuzz text_conv utf8 LC_ALL=C.UTF-8
fuzz movie utf8 LC_ALL=C.UTF-8
if [ ${#cp932_env[@]} -gt 0 ]; then
  fuzz text_conv cp932 "${cp932_env[@]}"
fi

for target in "${targets[@]}"; do
  dir="$work/$target"
  rm -rf "$dir/minimized" && mkdir -p "$dir/minimized"
  env LC_ALL=C.UTF-8 "$build/fuzz/fuzz_$target" -merge=1 "$dir/minimized" \
    "$seeds/$target" "$dir/corpus" 2>"$dir/merge.log" || true
  echo "$target: $(ls "$dir/minimized" | wc -l) inputs in the minimized corpus $dir/minimized"
done
exit $status
