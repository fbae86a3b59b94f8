#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes a contact sheet for every movie under DIR, beside the movie and named after its whole
# file name (clip.mp4 gives clip.mp4.jpg; clip.mp4.png with -f:p), running one vgrid per core
# through GNU parallel with its progress bar (on a terminal). The options after DIR go to every
# run.
#
#   scripts/library.sh DIR [vgrid options]      e.g. scripts/library.sh ~/Movies -c=4 -r=5
#
# (Installed from the Debian package as vgrid-library.) Movies are told by their file name
# extension, so nothing else under DIR is opened (the sheets themselves, subtitles, pictures,
# vgrid's own temporary files). Running it again only does what is missing: vgrid skips a
# movie whose sheet exists without opening the movie. More parallel options can come through
# the PARALLEL variable (PARALLEL='--joblog my.log'). VGRID names the program (default: vgrid
# from the PATH).
#
# Output: vgrid's one-line diagnostic of each movie that fails, as it comes, and at the end a
# summary that names the movies that failed (standard error; nothing when none failed).
# Exit status: 0 when every movie has its sheet; 1 to 100, the number of movies that failed
# (100 for 100 or more), at least 1 when part of DIR could not be read; 2 for a bad command
# line here, or when parallel itself fails.
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
# Every path handed to vgrid starts with the folder: one that starts with a dash would be read
# as an option.
case $dir in -*) dir=./$dir ;; esac
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

extensions=(3g2 3gp asf avi dif divx dv f4v flv m2ts m2v m4v mkv mov mp4 mpeg mpg mts mxf nut ogm
  ogv rm rmvb ts vob webm wmv)
name_tests=()
for e in "${extensions[@]}"; do name_tests+=(-o -iname "*.$e"); done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unreadable=0
find "$dir" -type f \( "${name_tests[@]:1}" \) -print0 >"$work/found" || unreadable=1
sort -z -o "$work/movies" "$work/found"
total=$(tr -cd '\0' <"$work/movies" | wc -c)

# Each job runs vgrid on one movie with the destination '*.jpg' (or the format's extension):
# vgrid names the sheet after the movie's whole path, and a '*' in the movie's own path is
# never taken for a naming pattern. vgrid's progress goes nowhere; its one-line diagnostic
# of a movie that fails comes through on standard error, and the job writes the movie's path
# (NUL-terminated) to parallel's standard output, collected for the summary. The progress bar
# is drawn on a terminal only, not into a log.
bar=()
[ -t 2 ] && bar=(--bar)
status=0
# shellcheck disable=SC2016 # the job's script expands its own arguments
parallel -0 -a "$work/movies" "${bar[@]}" -q sh -c \
  'movie=$1 dst=$2; shift 2; "$@" "$movie" "$dst" >/dev/null || {
     status=$?; printf "%s\0" "$movie"; exit "$status"; }' \
  sh {} "*.$ext" "$vgrid" "$@" >"$work/failed" || status=$?

mapfile -d '' failed <"$work/failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "${0##*/}: ${#failed[@]} of $total movies failed:" >&2
  printf '  %s\n' "${failed[@]}" >&2
fi
if [ ${#failed[@]} -eq 0 ] && [ "$status" -ne 0 ]; then
  echo "${0##*/}: parallel ended with status $status" >&2
  exit 2
fi
if [ "$unreadable" -ne 0 ]; then
  echo "${0##*/}: part of $dir could not be read (see above); its movies were not looked at" >&2
  [ ${#failed[@]} -gt 0 ] || exit 1
fi
exit $((${#failed[@]} > 100 ? 100 : ${#failed[@]}))
