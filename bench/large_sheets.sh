#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The cost of large sheets: wall time and peak memory (GNU time's maximum resident set) of an
# 8 x 8 sheet at each size, in each format, at quality 100; and of a sheet of one cell as large
# as a JPEG sheet gets (13312 x 7488), which holds a frame of that size. The movie is full of
# grain (1920x1080, 4:4:4, without loss), the hardest pictures to compress, so that the encoded
# files, held whole beside the canvas, are as large as sheets of real movies get. Sizes a format
# refuses show the refusal instead.
#
#   bench/large_sheets.sh [--vgrid PATH] [--formats LIST] [--sizes LIST] [--no-huge-cell]
#
# LIST of formats: MIME subtypes (jpeg,png,gif,bmp,tiff,webp,avif,jxl, the default); of sizes:
# WIDTHxHEIGHT, each a multiple of 8 (default 1920x1080,3840x2160,5328x3000,5960x3352,10664x6000,
# 13312x7488,16000x12000: the largest 16:9 sheets of 8 x 8 cells AVIF, JPEG XL, GIF and WebP, and
# JPEG, PNG, TIFF and BMP accept, and one none accepts).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
vgrid=$here/../build/release/app/vgrid
formats=jpeg,png,gif,bmp,tiff,webp,avif,jxl
sizes=1920x1080,3840x2160,5328x3000,5960x3352,10664x6000,13312x7488,16000x12000
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
ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=25 \
  -vf noise=alls=100:allf=t,format=yuv444p -frames:v 16 -c:v libx264 -preset ultrafast -qp 0 \
  "$work/movie.mp4"

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
      "-f:image/$format" -q:100
  done
done
if [ $huge_cell -eq 1 ]; then
  printf '%-5s %11s ' jpeg "1 cell 13312x7488"
  measure "$work/cell.jpg" -c=1 -r=1 -w=13312 -h=7488 -f:j -q:100
fi
