#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a contact sheet for every movie under DIR, beside the movie and named after its whole
# file name (clip.mp4 gives clip.mp4.jpg; clip.mp4.png with -f:p), running one vgrid per core
# through GNU parallel with its progress bar (on a terminal). The options after DIR go to every
# run.
#
#   scripts/library.sh DIR [vgrid options]      e.g. scripts/library.sh ~/Movies -c=4 -r=5
#
# Movies are told by their file name extension, so nothing else under DIR is opened (the
# sheets themselves, subtitles, pictures, vgrid's own temporary files). Running it again only
# does what is missing: vgrid skips a movie whose sheet exists without opening the movie.
# More parallel options can come through the PARALLEL variable (PARALLEL='--joblog my.log').
# VGRID names the program (default: vgrid from the PATH).
#
# Exit status: 0 when every movie has its sheet; 1 to 100, the number of movies that failed
# (their one-line diagnostics are printed); 2 for a bad command line here.
set -euo pipefail
usage() {
  echo "usage: $0 DIR [vgrid options]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
dir=$1
shift
[ -d "$dir" ] || {
  echo "$0: $dir is not a directory" >&2
  exit 2
}
vgrid=${VGRID:-vgrid}
command -v "$vgrid" >/dev/null || {
  echo "$0: $vgrid not found (install vgrid, or set VGRID)" >&2
  exit 2
}
command -v parallel >/dev/null || {
  echo "$0: GNU parallel is missing (sudo apt-get install parallel)" >&2
  exit 2
}

# The sheet's extension follows the format option, as vgrid reads it: a dash, f, any one
# separator character, then the value; the last one counts.
ext=jpg
for option in "$@"; do
  case $option in
    -f?[pP]*) ext=png ;;
    -f?[gG]*) ext=gif ;;
    -f?[jJ]*) ext=jpg ;;
    -f?image/jpeg) ext=jpg ;;
    -f?image/*) ext=${option#-f?image/} ;;
    -?*) ;;
    *)
      echo "$0: only vgrid options may follow DIR, not '$option'" >&2
      exit 2
      ;;
  esac
done

extensions=(3g2 3gp asf avi divx f4v flv m2ts m2v m4v mkv mov mp4 mpeg mpg mts mxf nut ogm ogv
  rm rmvb ts vob webm wmv)
name_tests=()
for e in "${extensions[@]}"; do name_tests+=(-o -iname "*.$e"); done

# The progress bar is drawn on a terminal only, not into a log. vgrid's own progress output
# goes nowhere; the one-line diagnostics of movies that fail come through on standard error.
bar=()
[ -t 2 ] && bar=(--bar)
find "$dir" -type f \( "${name_tests[@]:1}" \) -print0 | sort -z |
  parallel -0 "${bar[@]}" -q sh -c 'exec "$0" "$@" >/dev/null' "$vgrid" "$@" {} "{}.$ext"
