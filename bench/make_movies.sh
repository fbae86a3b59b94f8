#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the benchmark movies once, into the cache directory given as the first argument, and
# writes their list (movies.tsv) beside them. A movie that already exists is kept; each file is
# written under a temporary name and renamed when complete, so an interrupted run leaves nothing
# half-made behind. With --quick the 2-hour movie is not made (nor listed).
#
# Every movie carries its frame number, drawn by ffmpeg into a band across the middle of the
# picture (see framecode.py for the layout), so that the frame in any cell of a contact sheet can
# be read back and compared with the time it should show.
set -euo pipefail
# The whole script is read before it runs (one block), so editing it during a run is harmless.
{

usage() { echo "usage: $0 CACHE_DIR [--quick]" >&2; exit 2; }
[ $# -ge 1 ] || usage
cache=$1
shift
quick=0
for arg in "$@"; do
  case $arg in
    --quick) quick=1 ;;
    *) usage ;;
  esac
done

for tool in ffmpeg ffprobe; do
  command -v "$tool" >/dev/null || { echo "make_movies: $tool is not installed" >&2; exit 1; }
done

# Bump when a recipe changes, so that old movies are not taken for new ones.
recipe=v1
dir="$cache/movies-$recipe"
mkdir -p "$dir"
manifest="$dir/movies.tsv"
manifest_tmp="$manifest.tmp.$$"
tmp_files=()
cleanup() { rm -f "$manifest_tmp" "${tmp_files[@]}"; }
trap cleanup EXIT
: >"$manifest_tmp"

ff=(ffmpeg -hide_banner -nostdin -loglevel error -y)

# The frame-number band: an 8 x 10 grey image per frame, computed by geq from the frame index N,
# scaled without interpolation to the picture width and half its height and laid over the middle
# half of the picture. Rows 1-2 hold bits 15..8 (most significant on the left), rows 4-5 bits
# 7..0, rows 7-8 bits 7..0 inverted (a check); the other rows stay black.
# "binary" draws N itself. "gray" draws its Gray code (N xor N/2), where one block changes from
# one frame to the next: VP9's real-time encoder takes the many blocks that change together
# in plain binary for a scene cut and puts a keyframe there.
code_binary="255*if(between(Y,1,2),mod(floor(N/pow(2,15-X)),2),if(between(Y,4,5),mod(floor(N/pow(2,7-X)),2),if(between(Y,7,8),1-mod(floor(N/pow(2,7-X)),2),0)))"
code_gray="255*if(between(Y,1,2),mod(floor(N/pow(2,15-X))+floor(N/pow(2,16-X)),2),if(between(Y,4,5),mod(floor(N/pow(2,7-X))+floor(N/pow(2,8-X)),2),if(between(Y,7,8),1-mod(floor(N/pow(2,7-X))+floor(N/pow(2,8-X)),2),0)))"

# band_graph W H SECONDS FPS [binary|gray] [noise]: a filter graph that takes [0:v] (the picture
# source, already W x H) and gives [v], the picture with the band, in yuv420p. With "noise" the
# picture (not the band) gets a camera's grain, which changes every frame: on the clean test
# pictures x264 finds no use for B-frames, on grainy ones it makes them as it does for phone
# footage. Even so the frame-number band, which changes blocks all over every frame, keeps
# x264's adaptive choice from taking any B-frame; the H.264 movies are made with a fixed run of
# B-frames (-b_strategy 0), as a phone's or camera's hardware encoder makes them.
band_graph() {
  local w=$1 h=$2 secs=$3 fps=$4 expr=$code_binary pic=format=yuv420p
  [ "${5:-binary}" = binary ] || expr=$code_gray
  [ "${6:-}" != noise ] || pic="format=yuv420p,noise=c0s=6:allf=t"
  printf '%s' "nullsrc=s=8x10:r=$fps:d=$secs,format=yuv420p,geq=lum='$expr':cb=128:cr=128,"
  printf '%s' "scale=$w:$((h / 2)):flags=neighbor[band];"
  printf '%s' "[0:v]$pic[pic];[pic][band]overlay=0:$((h / 4)):shortest=1:format=yuv420,"
  printf '%s' "format=yuv420p[v]"
}

started=$SECONDS
# add_entry NAME FILE W H FPS LENGTH PERIOD NO_FULL_DECODE DESCRIPTION [CODE]
add_entry() {
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" "$9" \
    "${10:-binary}" >>"$manifest_tmp"
}

# make FILE DESCRIPTION -- FFMPEG ARGUMENTS (the output file is appended)
make_movie() {
  local file=$1 what=$2
  shift 3
  if [ -s "$dir/$file" ]; then
    echo "  have   $file ($what)"
    return
  fi
  echo "  making $file ($what) ..."
  local t0=$SECONDS
  local tmp="$dir/.tmp.$$.$file"
  tmp_files+=("$tmp")
  if ! "${ff[@]}" "$@" "$tmp"; then
    echo "make_movies: ffmpeg failed making $file" >&2
    exit 1
  fi
  mv "$tmp" "$dir/$file"
  echo "         done in $((SECONDS - t0)) s, $(du -h "$dir/$file" | cut -f1)"
}

echo "Benchmark movies in $dir"

# Small movie for the exactness check with full-size cells: 1 minute, keyframe every 10 s.
make_movie numbered-320x180-1min-noise.mp4 "H.264 320x180, 1 min, 25 fps, keyframe every 10 s, B-frames" -- \
  -f lavfi -i "testsrc2=size=320x180:rate=25:duration=60" \
  -filter_complex "$(band_graph 320 180 60 25 binary noise)" -map '[v]' \
  -c:v libx264 -preset superfast -bf 3 -b_strategy 0 -g 250 -sc_threshold 0 -crf 18 -movflags +faststart
add_entry numbered "$dir/numbered-320x180-1min-noise.mp4" 320 180 25 60 65536 0 \
  "H.264 320x180 1 min (numbered frames)"

make_movie h264-1080p-5min-noise.mp4 "H.264 1920x1080, 5 min, keyframe every 10 s, 3 B-frames, AAC" -- \
  -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=300" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=300" \
  -filter_complex "$(band_graph 1920 1080 300 25 binary noise)" -map '[v]' -map 1:a \
  -c:v libx264 -preset superfast -bf 3 -b_strategy 0 -g 250 -sc_threshold 0 \
  -c:a aac -b:a 128k -movflags +faststart
add_entry 1080p-5min "$dir/h264-1080p-5min-noise.mp4" 1920 1080 25 300 65536 0 \
  "H.264 1080p MP4 5 min, GOP 10 s, B-frames, AAC"

make_movie h264-1080p-1min-gop2s-noise.mp4 "H.264 1920x1080, 1 min, keyframe every 2 s, AAC" -- \
  -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=60" \
  -f lavfi -i "sine=frequency=550:sample_rate=48000:duration=60" \
  -filter_complex "$(band_graph 1920 1080 60 25 binary noise)" -map '[v]' -map 1:a \
  -c:v libx264 -preset superfast -bf 3 -b_strategy 0 -g 50 -sc_threshold 0 \
  -c:a aac -b:a 128k -movflags +faststart
add_entry 1080p-1min-gop2s "$dir/h264-1080p-1min-gop2s-noise.mp4" 1920 1080 25 60 65536 0 \
  "H.264 1080p MP4 1 min, GOP 2 s"

make_movie vp9-720p-2min-gray.webm "VP9 1280x720 WebM, 2 min, keyframe every 10 s, Opus" -- \
  -f lavfi -i "mandelbrot=size=640x360:rate=25,trim=duration=120,scale=1280:720" \
  -f lavfi -i "sine=frequency=330:sample_rate=48000:duration=120" \
  -filter_complex "$(band_graph 1280 720 120 25 gray)" -map '[v]' -map 1:a \
  -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -row-mt 1 -b:v 2M -g 250 -keyint_min 250 \
  -c:a libopus -b:a 96k -t 120
add_entry vp9-720p-2min "$dir/vp9-720p-2min-gray.webm" 1280 720 25 120 65536 0 \
  "VP9 720p WebM 2 min, GOP 10 s" gray

make_movie mpeg2-720p-2min-offset.ts "MPEG-2 1280x720 in TS, 2 min, starting at 10 s, MP2 audio" -- \
  -f lavfi -i "testsrc=size=1280x720:rate=25:duration=120" \
  -f lavfi -i "sine=frequency=660:sample_rate=48000:duration=120" \
  -filter_complex "$(band_graph 1280 720 120 25)" -map '[v]' -map 1:a \
  -c:v mpeg2video -b:v 8M -maxrate 10M -bufsize 4M -g 12 -bf 2 \
  -c:a mp2 -b:a 192k -output_ts_offset 10 -f mpegts
first_pts=$(ffprobe -v error -select_streams v:0 -show_entries stream=start_time \
  -of default=nw=1:nk=1 "$dir/mpeg2-720p-2min-offset.ts" | grep -Eo '^[0-9.]+' | head -n 1)
echo "         first video time stamp of the TS: $first_pts s"
add_entry mpeg2-ts-offset "$dir/mpeg2-720p-2min-offset.ts" 1280 720 25 120 65536 0 \
  "MPEG-2 720p TS 2 min, starts at ${first_pts} s"

make_movie hevc-2160p-1min.mp4 "HEVC 3840x2160, 1 min, keyframe every 10 s, AAC" -- \
  -f lavfi -i "testsrc2=size=3840x2160:rate=25:duration=60" \
  -f lavfi -i "sine=frequency=770:sample_rate=48000:duration=60" \
  -filter_complex "$(band_graph 3840 2160 60 25)" -map '[v]' -map 1:a \
  -c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=250:min-keyint=250:scenecut=0:bframes=3 \
  -tag:v hvc1 -c:a aac -b:a 128k -movflags +faststart
add_entry 4k-hevc-1min "$dir/hevc-2160p-1min.mp4" 3840 2160 25 60 65536 0 \
  "HEVC 4K MP4 1 min, GOP 10 s"

# Encoded as a phone or camera does: x264 at its default (medium) preset, a keyframe every 2 s,
# 3 B-frames used as references (B-pyramid), scene-cut keyframes off so that the GOP is regular.
make_movie h264-1080p-1min-phone-noise.mp4 "H.264 1920x1080, 1 min, preset medium, keyframe every 2 s, B-pyramid, AAC" -- \
  -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=60" \
  -f lavfi -i "sine=frequency=880:sample_rate=48000:duration=60" \
  -filter_complex "$(band_graph 1920 1080 60 25 binary noise)" -map '[v]' -map 1:a \
  -c:v libx264 -preset medium -bf 3 -b_strategy 0 -b-pyramid normal -g 50 -keyint_min 50 -sc_threshold 0 \
  -c:a aac -b:a 128k -movflags +faststart
add_entry 1080p-phone "$dir/h264-1080p-1min-phone-noise.mp4" 1920 1080 25 60 65536 0 \
  "H.264 1080p MP4 1 min, preset medium, GOP 2 s, B-pyramid"

make_movie av1-1080p-1min.mp4 "AV1 (SVT-AV1) 1920x1080, 1 min, keyframe every 10 s, AAC" -- \
  -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=60" \
  -f lavfi -i "sine=frequency=990:sample_rate=48000:duration=60" \
  -filter_complex "$(band_graph 1920 1080 60 25)" -map '[v]' -map 1:a \
  -c:v libsvtav1 -preset 10 -crf 35 -g 250 -svtav1-params scd=0 \
  -c:a aac -b:a 128k -movflags +faststart
add_entry av1-1080p-1min "$dir/av1-1080p-1min.mp4" 1920 1080 25 60 65536 0 \
  "AV1 1080p MP4 1 min, GOP 10 s"

if [ $quick -eq 0 ]; then
  # Two hours: one 5-minute segment, joined 24 times over by stream copy. Its frame numbers
  # start again in every segment (period 7500 frames).
  make_movie h264-720p-5min-segment-noise.mp4 "H.264 1280x720 segment, 5 min, keyframe every 10 s, AAC" -- \
    -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=300" \
    -f lavfi -i "sine=frequency=220:sample_rate=48000:duration=300" \
    -filter_complex "$(band_graph 1280 720 300 25 binary noise)" -map '[v]' -map 1:a \
    -c:v libx264 -preset superfast -bf 3 -b_strategy 0 -g 250 -sc_threshold 0 \
    -c:a aac -b:a 128k
  list="$dir/.concat.$$.txt"
  tmp_files+=("$list")
  for _ in $(seq 24); do echo "file 'h264-720p-5min-segment-noise.mp4'"; done >"$list"
  make_movie h264-720p-2h-noise.mp4 "H.264 1280x720, 2 h, 24 segments joined by stream copy" -- \
    -f concat -safe 0 -i "$list" -c copy -movflags +faststart
  add_entry 720p-2h "$dir/h264-720p-2h-noise.mp4" 1280 720 25 7200 7500 1 \
    "H.264 720p MP4 2 h (joined), GOP 10 s"
fi

mv "$manifest_tmp" "$manifest"
echo "Movies ready in $((SECONDS - started)) s; list: $manifest"
exit 0
}
