#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds vgrid, and makes a contact sheet of the movie given as the
# first argument (further arguments go to vgrid as they are). Without arguments, it makes a
# sample movie in build/sample/ and a sheet of that, with each cell's time and the movie's
# facts in a header, in cells of half the movie's size so that they can be read.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVGRID_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target vgrid

if [ $# -eq 0 ]; then
  mkdir -p build/sample
  movie=build/sample/sample.mp4
  if [ ! -s "$movie" ]; then
    echo "Making a 60-second sample movie: $movie"
    ffmpeg -hide_banner -loglevel error -y \
      -f lavfi -i "testsrc2=size=640x360:rate=25:duration=60" \
      -f lavfi -i "sine=frequency=440:duration=60" \
      -vf "drawtext=text='%{pts\\:hms}':fontsize=48:x=20:y=20:fontcolor=white:box=1:boxcolor=black" \
      -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$movie" 2>/dev/null ||
    ffmpeg -hide_banner -loglevel error -y \
      -f lavfi -i "testsrc2=size=640x360:rate=25:duration=60" \
      -f lavfi -i "sine=frequency=440:duration=60" \
      -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$movie"
  fi
  rm -f build/sample/sample.jpg
  set -- -t -i -w=50% -h=50% "$movie"
fi
exec build/release/app/vgrid "$@"
