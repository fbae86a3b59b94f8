#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Two vgrid binaries (say the build before and after a change) timed against each other, and
# against the limit where run.sh has planned it, on the benchmark's movies: each run's wall time,
# CPU seconds and peak memory, then the medians. See bench/README.md.
#
#   bench/compare.sh [--reps N] [--cache DIR] [--only NAMES] [--grid CxR] [--one-core] OLD NEW
set -euo pipefail

usage() {
  cat <<EOF
usage: bench/compare.sh [options] OLD_VGRID NEW_VGRID
  --reps N      timed runs of each binary per movie (default 5)
  --cache DIR   run.sh's cache: its movies, and the limit's program and plans when there
                (default \${XDG_CACHE_HOME:-\$HOME/.cache}/vgrid-bench)
  --only NAMES  comma-separated movie names (see movies.tsv)
  --grid CxR    the sheet's columns and rows (default 3x4; the limit is timed for 3x4 only)
  --one-core    every run on the first core alone (taskset): CPU seconds as the work itself,
                without what two threads on sibling cores cost each other
EOF
}

reps=5
cache="${XDG_CACHE_HOME:-$HOME/.cache}/vgrid-bench"
only=
grid=3x4
pin=()
while [ $# -gt 0 ]; do
  case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    --cache) cache=${2:?--cache needs a directory}; shift ;;
    --only) only=${2:?--only needs movie names}; shift ;;
    --grid) grid=${2:?--grid needs CxR}; shift ;;
    --one-core) pin=(taskset -c 0) ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "compare.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
[ $# -eq 2 ] || { usage >&2; exit 2; }
case $reps in
  '' | *[!0-9]* | 0) echo "compare.sh: --reps needs a positive whole number" >&2; exit 2 ;;
esac
case $grid in
  [1-9]*x[1-9]*) ;;
  *) echo "compare.sh: --grid needs columns x rows, such as 10x10" >&2; exit 2 ;;
esac
cols=${grid%x*}
rows=${grid#*x}
manifest="$cache/movies-v1/movies.tsv"
[ -f "$manifest" ] || { echo "compare.sh: no movies in $cache (run bench/run.sh first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "compare.sh: GNU time is missing (apt-get install time)" >&2; exit 1; }
tools=("old=$1" "new=$2")
for t in "${tools[@]}"; do
  [ -x "${t#*=}" ] || { echo "compare.sh: no binary ${t#*=}" >&2; exit 2; }
done
limit_decode="$cache/tools/limit_decode"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log="$work/runs.txt"

# One run of `tool` (old, new or limit) on movie `name`, printed as
# "NAME GRID TOOL WALL USER SYSTEM PEAK_KB".
run_one() {
  local name=$1 path=$2 tool=$3 bin=$4
  local rc=0
  rm -f "$work/sheet.jpg"
  if [ "$tool" = limit ]; then
    "${pin[@]}" /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$bin" decode "$path" \
      "$cache/work/$name.limit-plan.txt" </dev/null >/dev/null 2>&1 || rc=$?
  else
    "${pin[@]}" /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$bin" -c="$cols" -r="$rows" "$path" \
      "$work/sheet.jpg" </dev/null >/dev/null 2>&1 || rc=$?
  fi
  if [ "$rc" -ne 0 ]; then
    echo "compare.sh: $tool ($bin) failed on $name with status $rc" >&2
    exit 1
  fi
  echo "$name $grid $tool $(tail -n 1 "$work/time")"
}

while IFS=$'\t' read -r name path _; do
  [ -z "$only" ] || [[ ",$only," == *",$name,"* ]] || continue
  movie_tools=("${tools[@]}")
  if [ "$grid" = 3x4 ] && [ -x "$limit_decode" ] && [ -f "$cache/work/$name.limit-plan.txt" ]; then
    movie_tools+=("limit=$limit_decode")
  fi
  n=${#movie_tools[@]}
  # A run of each untimed first (page cache); then the order rotates from run to run.
  for t in "${movie_tools[@]}"; do run_one "$name" "$path" "${t%%=*}" "${t#*=}" >/dev/null; done
  for ((i = 0; i < reps; i++)); do
    for ((j = 0; j < n; j++)); do
      t=${movie_tools[$(((i + j) % n))]}
      run_one "$name" "$path" "${t%%=*}" "${t#*=}" | tee -a "$log"
    done
  done
done <"$manifest"

python3 - "$log" <<'EOF'
import statistics
import sys

runs = {}
for line in open(sys.argv[1], encoding="utf-8"):
    name, grid, tool, wall, user, system, peak = line.split()
    runs.setdefault((name, grid, tool), []).append(
        (float(wall), float(user) + float(system), int(peak) / 1024))
print(f"\n{'movie':<18} {'grid':<6} {'tool':<6} {'runs':>4} {'wall s':>8} {'CPU s':>8} "
      f"{'peak MB':>8}   (medians)")
for (name, grid, tool), values in runs.items():
    wall, cpu, peak = (statistics.median(v[i] for v in values) for i in range(3))
    print(f"{name:<18} {grid:<6} {tool:<6} {len(values):>4} {wall:>8.2f} {cpu:>8.2f} {peak:>8.1f}")
EOF
