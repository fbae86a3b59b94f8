#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Start-up: the wall time of vgrid printing its usage (start-up and exit, no movie) and of a
# one-frame sheet of a small movie, with hyperfine, and how many shared libraries each loads.
# Given two binaries (say the build before and after a change) it times them side by side.
#
#   bench/startup.sh [VGRID [OTHER_VGRID]]     (default build/release/app/vgrid)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
binaries=("${@:-$here/../build/release/app/vgrid}")
for b in "${binaries[@]}"; do
  [ -x "$b" ] || { echo "startup.sh: no binary $b" >&2; exit 2; }
done
for tool in hyperfine ffmpeg; do
  command -v "$tool" >/dev/null || {
    echo "startup.sh: $tool is missing (apt-get install $tool)" >&2
    exit 1
  }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 \
  -frames:v 50 -c:v libx264 -pix_fmt yuv420p "$work/movie.mp4"

for b in "${binaries[@]}"; do
  usage=$(LD_DEBUG=files "$b" 2>&1 >/dev/null | grep -c 'file=.*\(needed\|dynamically\)' || true)
  LD_DEBUG=files "$b" -c=1 -r=1 "$work/movie.mp4" "$work/count.jpg" 2>"$work/ld" >/dev/null
  sheet=$(grep -c 'file=.*\(needed\|dynamically\)' "$work/ld" || true)
  rm -f "$work/count.jpg"
  echo "$b: $usage shared libraries for the usage, $sheet for a one-frame JPEG sheet"
done

commands=()
for b in "${binaries[@]}"; do commands+=("$b"); done
# The usage run ends with 2; hyperfine is told to accept that.
hyperfine -N -i --warmup 5 --runs 40 "${commands[@]}"
commands=()
for b in "${binaries[@]}"; do
  commands+=("$b -c=1 -r=1 $work/movie.mp4 $work/sheet.jpg")
done
hyperfine -N --warmup 3 --runs 30 --prepare "rm -f $work/sheet.jpg" "${commands[@]}"
