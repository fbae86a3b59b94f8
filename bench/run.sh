#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Benchmark: vgrid against the tools people use today for a 3 x 4 contact sheet, on a set of
# generated movies, plus a check of which frame lands in each cell. See bench/README.md.
#
#   bench/run.sh [--quick] [--reps N] [--build] [--vgrid PATH] [--cache DIR] [--only NAMES]
#                [--tools LIST] [--no-accuracy] [--load] [--library]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

usage() {
  cat <<EOF
usage: bench/run.sh [options]
  --quick          2 repetitions, no 2-hour movie (a fast check)
  --reps N         timed repetitions per tool and movie (default 5)
  --build          build vgrid (release) before the run
  --vgrid PATH     the vgrid binary (default build/release/app/vgrid)
  --cache DIR      where movies and results go
                   (default \${XDG_CACHE_HOME:-\$HOME/.cache}/vgrid-bench)
  --only NAMES     comma-separated movie names (see movies.tsv), e.g. 1080p-5min,720p-2h
  --tools LIST     comma-separated, of vgrid,a,b,c (default all)
  --no-accuracy    skip the exactness check
  --load           a busy loop on every core competes with every run
  --library        instead: the library run (40 short clips, one job per core)
EOF
}

quick=0
reps=
build=0
vgrid="$repo/build/release/app/vgrid"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/vgrid-bench"
only=
tools=vgrid,a,b,c
accuracy=()
load=()
library=0
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --reps) reps=${2:?--reps needs a number}; shift ;;
    --build) build=1 ;;
    --vgrid) vgrid=${2:?--vgrid needs a path}; shift ;;
    --cache) cache=${2:?--cache needs a directory}; shift ;;
    --only) only=${2:?--only needs movie names}; shift ;;
    --tools) tools=${2:?--tools needs a list}; shift ;;
    --no-accuracy) accuracy=(--no-accuracy) ;;
    --load) load=(--load) ;;
    --library) library=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
if [ -z "$reps" ]; then
  if [ $quick -eq 1 ]; then reps=2; else reps=5; fi
fi
case $reps in
  '' | *[!0-9]* | 0) echo "run.sh: --reps needs a positive whole number" >&2; exit 2 ;;
esac
case $vgrid in /*) ;; *) vgrid="$PWD/$vgrid" ;; esac

# Tools the benchmark needs beyond the build's own dependencies. They are the anchors and the
# meter, not part of vgrid, so they are installed here and not with the project's packages.
missing=()
command -v ffmpeg >/dev/null || missing+=(ffmpeg)
command -v ffprobe >/dev/null || missing+=(ffmpeg)
command -v python3 >/dev/null || missing+=(python3)
[ -x /usr/bin/time ] || missing+=(time)
command -v ffmpegthumbnailer >/dev/null || missing+=(ffmpegthumbnailer)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! { "${sudo[@]}" apt-get update -qq && "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; } \
    >/dev/null; then
    echo "run.sh: could not install ${missing[*]}; install them and run again" >&2
    exit 1
  fi
fi

if [ $build -eq 1 ]; then
  echo "Building vgrid (release) ..."
  cmake -S "$repo" -B "$repo/build/release" -DCMAKE_BUILD_TYPE=Release -DVGRID_BUILD_TESTS=OFF \
    >/dev/null
  cmake --build "$repo/build/release" -j "$(nproc)" --target vgrid
fi
if [ ! -x "$vgrid" ]; then
  echo "NOTE: no vgrid binary at $vgrid (build it with --build); only the anchors are timed."
fi

mkdir -p "$cache"
if [ $library -eq 1 ]; then
  exec python3 -u "$here/library.py" --cache "$cache" --vgrid "$vgrid" --reps "$reps"
fi

# The limit's own decoder (with the frame source's readers of HEVC and AV1 headers) and the
# counter of decoded pictures, built for this run.
tools_dir="$cache/tools"
mkdir -p "$tools_dir"
av_flags=$(pkg-config --cflags --libs libavformat libavcodec libavutil)
# shellcheck disable=SC2086 # av_flags holds several words
g++ -std=c++20 -O2 -I"$repo" "$here/limit_decode.cc" "$repo/frames/av1_obu.cc" \
  "$repo/frames/hevc_nal.cc" -o "$tools_dir/limit_decode" $av_flags
# shellcheck disable=SC2046 # pkg-config gives several words
gcc -O2 -shared -fPIC "$here/count_frames.c" -o "$tools_dir/count_frames.so" \
  $(pkg-config --cflags libavcodec) -ldl

quick_flag=()
[ $quick -eq 0 ] || quick_flag=(--quick)
"$here/make_movies.sh" "$cache" "${quick_flag[@]}"
[ $quick -eq 0 ] || echo "Quick run: $reps repetitions, the 2-hour movie left out."

exec python3 -u "$here/bench.py" --manifest "$cache/movies-v1/movies.tsv" --cache "$cache" \
  --vgrid "$vgrid" --reps "$reps" --only "$only" --tools "$tools" "${accuracy[@]}" "${load[@]}" \
  --limit-decode "$tools_dir/limit_decode" --count-frames "$tools_dir/count_frames.so"
