#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A movie library run: a 3 x 4 sheet of each of many short clips, one job per core, as people
run vgrid over a folder of phone footage, against ffmpegthumbnailer run once per cell.

The clips (made once into CACHE/library-v1): 40 of 10 to 30 s, H.264 and HEVC alternated,
640x360 at 25 fps with a camera's grain, a keyframe every 1 or 2 s, 3 B-frames. Each tool goes
over the whole library with as many jobs at once as the machine has cores; the report gives
wall time and CPU seconds (user + system of every process the tool ran) for the whole library.
"""

import argparse
import concurrent.futures
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

COLS, ROWS = 3, 4
CELLS = COLS * ROWS
CLIPS = 40


def make_clips(cache):
    lib = os.path.join(cache, "library-v1")
    os.makedirs(lib, exist_ok=True)
    clips = []
    for i in range(CLIPS):
        seconds = 10 + (i * 7) % 21
        gop = 25 if i % 4 < 2 else 50
        hevc = i % 2 == 1
        name = os.path.join(lib, f"clip{i:02d}-{'hevc' if hevc else 'h264'}-{seconds}s.mp4")
        clips.append((name, seconds))
        if os.path.exists(name):
            continue
        codec = (["-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                  f"log-level=error:keyint={gop}:min-keyint={gop}:scenecut=0:bframes=3"]
                 if hevc else
                 ["-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-b_strategy", "0",
                  "-g", str(gop), "-sc_threshold", "0"])
        tmp = name + ".tmp.mp4"
        subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                        "-f", "lavfi", "-i",
                        f"testsrc2=size=640x360:rate=25:duration={seconds},noise=c0s=6:allf=t",
                        "-f", "lavfi", "-i", f"sine=frequency={300 + 10 * i}:duration={seconds}",
                        *codec, "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "96k",
                        "-movflags", "+faststart", tmp], check=True)
        os.replace(tmp, name)
    return clips


def fresh(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def vgrid_job(vgrid, work, clip):
    name, _ = clip
    out = os.path.join(work, os.path.basename(name) + ".jpg")
    fresh(out)
    subprocess.run([vgrid, f"-c={COLS}", f"-r={ROWS}", name, out], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def thumbnailer_job(work, clip):
    name, seconds = clip
    cells = os.path.join(work, os.path.basename(name) + ".cells")
    fresh(cells)
    os.makedirs(cells)
    for k in range(1, CELLS + 1):
        t = int(round(seconds * k / (CELLS + 2)))
        subprocess.run(["ffmpegthumbnailer", "-t", f"00:00:{t:02d}", "-s", "64", "-i", name,
                        "-o", os.path.join(cells, f"cell{k:02d}.png")],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    out = os.path.join(work, os.path.basename(name) + ".b.jpg")
    fresh(out)
    subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                    "-start_number", "1", "-i", os.path.join(cells, "cell%02d.png"),
                    "-filter_complex", f"tile={COLS}x{ROWS}", "-frames:v", "1", out],
                   check=True)


def timed(fn, clips):
    """Wall seconds and CPU seconds of every child, for the library with one job per core."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        list(pool.map(fn, clips))
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", required=True)
    parser.add_argument("--vgrid", required=True)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    print(f"Library: {CLIPS} clips in {os.path.join(args.cache, 'library-v1')} ...")
    clips = make_clips(args.cache)
    work = os.path.join(args.cache, "work-library")
    os.makedirs(work, exist_ok=True)
    tools = {
        "vgrid": lambda clip: vgrid_job(args.vgrid, work, clip),
        "b: ffmpegthumbnailer per cell": lambda clip: thumbnailer_job(work, clip),
    }
    runs = {name: [] for name in tools}
    for name, fn in tools.items():  # warm-up: page cache, and a broken tool shows now
        timed(fn, clips[:2])
    for rep in range(args.reps):
        for name, fn in list(tools.items())[rep % 2:] + list(tools.items())[:rep % 2]:
            runs[name].append(timed(fn, clips))
            print(f"   run {rep + 1}: {name}: {runs[name][-1][0]:.2f} s wall, "
                  f"{runs[name][-1][1]:.2f} s CPU")
    total = sum(s for _, s in clips)
    lines = [f"Library run: {CLIPS} clips ({total / 60:.1f} min in all), H.264 and HEVC 640x360, "
             f"3 x 4 sheets, {os.cpu_count()} jobs at once; medians of {args.reps} runs",
             f"{'tool':<32} {'wall s':>8} {'CPU s':>8} {'wall ratio':>11} {'CPU ratio':>10}"]
    base_wall = statistics.median(w for w, _ in runs["vgrid"])
    base_cpu = statistics.median(c for _, c in runs["vgrid"])
    for name, values in runs.items():
        wall = statistics.median(w for w, _ in values)
        cpu = statistics.median(c for _, c in values)
        lines.append(f"{name:<32} {wall:>8.2f} {cpu:>8.2f} {wall / base_wall:>10.2f}x "
                     f"{cpu / base_cpu:>9.2f}x")
    if shutil.which("vcsi") is None:
        lines.append("vcsi: not timed, Debian has no package of it")
    report = "\n".join(lines)
    print("\n" + report)
    with open(os.path.join(args.cache, "library-results.txt"), "w", encoding="utf-8") as f:
        f.write(report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
