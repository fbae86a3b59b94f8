#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The cost of large sheets: wall time and peak memory (GNU time's maximum resident set) of an
# 8 x 8 sheet of a small movie at each size, in each format; and of a sheet of one cell as
# large as a canvas gets (16384 x 16384, JPEG), which holds a frame of that size. Sizes a
# format refuses show the refusal instead.
#
#   bench/large_sheets.sh [--vgrid PATH] [--formats LIST] [--sizes LIST] [--no-huge-cell]
#
# LIST of formats: MIME subtypes (jpeg,png,gif,bmp,tiff,webp,avif,jxl, the default); of sizes:
# WIDTHxHEIGHT, each a multiple of 8 (default 1920x1080,3840x2160,4000x3000,8000x6000,16000x12000).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
vgrid=$here/../build/release/app/vgrid
formats=jpeg,png,gif,bmp,tiff,webp,avif,jxl
sizes=1920x1080,3840x2160,4000x3000,8000x6000,16000x12000
huge_cell=1
while [ $# -gt 0 ]; do
  case $1 in
    --vgrid) vgrid=${2:?}; shift ;;
    --formats) formats=${2:?}; shift ;;
    --sizes) sizes=${2:?}; shift ;;
    --no-huge-cell) huge_cell=0 ;;
    *) sed -n '3,12p' "$0" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$vgrid" ] || { echo "large_sheets.sh: no binary $vgrid" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "large_sheets.sh: GNU time is missing (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=320x240:rate=25 \
  -frames:v 250 -c:v libx264 -pix_fmt yuv420p "$work/movie.mp4"

# Runs vgrid with the arguments and prints seconds, peak MB and the outcome.
measure() {
  local out=$1
  shift
  rm -f "$out"
  if /usr/bin/time -f '%e %M' -o "$work/time" "$vgrid" "$@" "$work/movie.mp4" "$out" \
    >/dev/null 2>"$work/err"; then
    read -r seconds kb <"$work/time"
    printf '%8s s %7d MB  %s\n' "$seconds" $((kb / 1024)) "$(du -h "$out" | cut -f1)"
  else
    read -r seconds kb < <(tail -n 1 "$work/time")
    printf '%8s s %7d MB  refused: %s\n' "$seconds" $((kb / 1024)) "$(head -n 1 "$work/err")"
  fi
  rm -f "$out"
}

for format in ${formats//,/ }; do
  for size in ${sizes//,/ }; do
    width=${size%x*} height=${size#*x}
    printf '%-5s %11s ' "$format" "$size"
    measure "$work/sheet.$format" -c=8 -r=8 -w=$((width / 8)) -h=$((height / 8)) \
      "-f:image/$format"
  done
done
if [ $huge_cell -eq 1 ]; then
  printf '%-5s %11s ' jpeg "1 cell 16384x16384"
  measure "$work/cell.jpg" -c=1 -r=1 -w=16384 -h=16384 -f:j
fi
