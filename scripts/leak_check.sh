#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the built vgrid under valgrind on small movies made here, end to end (open, grabs,
# drawing, encoding, save), and fails on any memory error or definite leak. Also runs a
# refused destination and a run that writes nothing, whose early exits free as much.
#
#   scripts/leak_check.sh [BUILD_DIR]    (default build/test; needs a normal, not a
#                                         sanitizer, build: valgrind cannot run those)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
vgrid=$build/app/vgrid
[ -x "$vgrid" ] || { echo "no vgrid at $vgrid" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
# Two codecs, two containers, an odd frame size (rows that are not a multiple of 4 bytes).
ff -f lavfi -i testsrc=size=98x62:rate=10 -frames:v 20 -c:v libx264 -preset veryfast -g 5 \
  -pix_fmt yuv420p "$work/movie.mp4"
ff -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 20 -c:v ffv1 "$work/movie.mkv"
printf 'not a movie\n' >"$work/text.avi"

# Some processors lack an instruction that a library FFmpeg loads executes while it is
# loaded (libhwy's timer reads rdtscp), and valgrind, which offers the program the host's
# instruction set, stops there with SIGILL before vgrid runs at all. Nothing can be checked
# then; the sanitizer run's LeakSanitizer still looks for leaks.
probe="$work/probe.log"
if ! bash -c 'valgrind -q --log-file="$1" "$2" >/dev/null 2>&1; exit $?' _ "$probe" "$vgrid" 2>/dev/null &&
  grep -q 'signal 4 (SIGILL)' "$probe" && ! grep -q ' by 0x[0-9A-F]*: main ' "$probe"; then
  echo "skipped: valgrind cannot run vgrid on this processor (SIGILL while the libraries load):" >&2
  grep -m 2 -E 'Illegal opcode| at 0x' "$probe" >&2 || true
  exit 0
fi

status=0
check() {  # expected-exit args...
  local expected=$1; shift
  local log="$work/valgrind.log"
  local rc=0
  LC_ALL=C.UTF-8 valgrind -q --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --error-exitcode=99 --log-file="$log" \
    "$vgrid" "$@" >/dev/null 2>&1 || rc=$?
  if [ "$rc" -ne "$expected" ] || [ -s "$log" ]; then
    echo "!! vgrid $* ended with $rc (expected $expected) under valgrind:" >&2
    cat "$log" >&2
    status=1
  else
    echo "ok: vgrid $* (exit $rc)"
  fi
}

check 0 -c=3 -r=2 "$work/movie.mp4" "$work/sheet.jpg"
check 0 -c=2 -r=2 -w=50 -h=40 -f:png "$work/movie.mkv" "$work/sheet.png"
check 0 -f:g "$work/movie.mkv" "$work/sheet.gif"
check 0 "$work/movie.mkv" "$work/sheet.png"        # exists: refused
check 1 "$work/text.avi" "$work/none.jpg"          # not a movie
check 1 -c=100000 -r=100000 "$work/movie.mp4" "$work/none.jpg"
check 2 -x=1 "$work/movie.mp4"
exit $status
