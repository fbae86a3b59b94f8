#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Times vgrid against the ways people make a contact sheet today, and checks which frames
each one puts in the cells. Called by bench/run.sh, which makes the movies first.

For every movie of the list (movies.tsv from make_movies.sh), each tool makes the same 3 x 4
sheet with cells a tenth of the video size:
  vgrid   vgrid -c=3 -r=4 MOVIE OUT.jpg (under /usr/bin/time -v for its peak memory)
  a       one `ffmpeg -ss T -i MOVIE -frames:v 1` per cell (accurate input seeking), one more
          ffmpeg to tile the cells
  b       one `ffmpegthumbnailer -t T` per cell, the same tiling
  c       one ffmpeg decoding the whole movie through select, scale and tile filters
The runs alternate between the tools, in a rotating order, for a number of repetitions after
one untimed warm-up each; the table gives medians and each anchor's time over vgrid's.

Beside wall time, each run's CPU seconds (user + system of every process the tool ran). The
limit: the least decoding the sheet's contract allows (any picture within a quarter interval of
each cell's time), planned from the packet list and reference structure and decoded, exactly
those packets, by limit_decode (built by run.sh); it is timed in the rotation like a tool, and
the pictures vgrid and it decode are counted (count_frames.so). With --load, a busy loop per
core competes with every run.

Exactness: every movie shows its frame numbers (framecode.py). vgrid writes a PNG sheet of each
movie, anchors a and b the same, and each cell's frame is compared with the ideal time
L x k / (N + 2), in units of the sampling interval L / (N + 2).
"""

import argparse
import datetime
import math
import multiprocessing
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

import framecode

COLS, ROWS = 3, 4
CELLS = COLS * ROWS
FRAMECODE_PERIOD = 65536


class ToolFailed(Exception):
    pass


class Movie:
    def __init__(self, fields):
        (self.name, self.path, width, height, fps, length, period, no_full_decode,
         self.description) = fields[:9]
        self.gray_code = len(fields) > 9 and fields[9] == "gray"
        self.width, self.height = int(width), int(height)
        self.fps, self.length, self.period = float(fps), float(length), int(period)
        self.no_full_decode = no_full_decode == "1"
        # Cells of a tenth of the video size, as vgrid computes them by default.
        self.cell_w = int(10 / 100.0 * self.width)
        self.cell_h = int(10 / 100.0 * self.height)

    def sample_time(self, k):
        return self.length * k / (CELLS + 2)


def load_movies(manifest):
    movies = []
    with open(manifest, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line:
                movies.append(Movie(line.split("\t")))
    return movies


def run(cmd, what):
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=False)
    if proc.returncode != 0:
        tail = proc.stderr.decode(errors="replace").strip().splitlines()[-3:]
        raise ToolFailed(f"{what} exited with {proc.returncode}: {' | '.join(tail)}")
    return proc


def fresh(path):
    """Removes an earlier output: vgrid refuses to overwrite, and so must a fair comparison."""
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def require_output(path, what):
    if not os.path.isfile(path) or os.path.getsize(path) == 0:
        raise ToolFailed(f"{what} wrote no {os.path.basename(path)}")


FFMPEG = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"]


def tile_cells(work, out):
    run(FFMPEG + ["-start_number", "1", "-i", os.path.join(work, "cell%02d.png"),
                  "-filter_complex", f"tile={COLS}x{ROWS}", "-frames:v", "1", out],
        "ffmpeg (tile)")
    require_output(out, "ffmpeg (tile)")


def cells_dir(work):
    fresh(work)
    os.makedirs(work)
    return work


class Tools:
    def __init__(self, vgrid, work, limit_decode=None, count_frames=None):
        self.vgrid = vgrid
        self.work = work
        self.limit_decode = limit_decode
        self.count_frames = count_frames
        self.last_rss_kb = None

    def plan_limit(self, movie):
        """Writes the least-decoding plan of the movie's sheet; returns its picture count."""
        plan = os.path.join(self.work, f"{movie.name}.limit-plan.txt")
        with open(plan, "w", encoding="utf-8") as f:
            subprocess.run([self.limit_decode, "plan", movie.path, str(CELLS)], stdout=f,
                           check=True)
        with open(plan, encoding="utf-8") as f:
            return int(f.readline().split()[0])

    def limit(self, movie, out):
        del out  # the limit decodes and draws nothing
        run([self.limit_decode, "decode", movie.path,
             os.path.join(self.work, f"{movie.name}.limit-plan.txt")], "limit_decode")

    def decoded_pictures(self, cmd):
        """Pictures the command's decoders hand out, and packets sent to them."""
        log = os.path.join(self.work, "frames-log.txt")
        fresh(log)
        env = dict(os.environ, LD_PRELOAD=self.count_frames, BENCH_FRAMES_LOG=log)
        subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        packets = pictures = 0
        with open(log, encoding="utf-8") as f:
            for line in f:
                p, n = line.split()
                packets, pictures = packets + int(p), pictures + int(n)
        return pictures, packets

    def run_vgrid(self, movie, out, extra=()):
        fresh(out)
        time_log = os.path.join(self.work, "vgrid-time.txt")
        fresh(time_log)
        cmd = ["/usr/bin/time", "-v", "-o", time_log, self.vgrid, f"-c={COLS}", f"-r={ROWS}",
               *extra, movie.path, out]
        run(cmd, "vgrid")
        require_output(out, "vgrid")
        self.last_rss_kb = None
        with open(time_log, encoding="utf-8", errors="replace") as f:
            for line in f:
                if "Maximum resident set size" in line:
                    self.last_rss_kb = int(line.rsplit(":", 1)[1])

    def anchor_a(self, movie, out, full_size=False):
        cell_w, cell_h = (movie.width, movie.height) if full_size else (movie.cell_w, movie.cell_h)
        work = cells_dir(os.path.join(self.work, "cells-a"))
        for k in range(1, CELLS + 1):
            cell = os.path.join(work, f"cell{k:02d}.png")
            run(FFMPEG + ["-ss", f"{movie.sample_time(k):.6f}", "-i", movie.path,
                          "-frames:v", "1", "-an", "-vf", f"scale={cell_w}:{cell_h}",
                          cell], "ffmpeg (cell)")
            require_output(cell, "ffmpeg (cell)")
        fresh(out)
        tile_cells(work, out)

    def anchor_b(self, movie, out, full_size=False):
        size = 0 if full_size else movie.cell_w  # 0: the video's own size
        work = cells_dir(os.path.join(self.work, "cells-b"))
        for k in range(1, CELLS + 1):
            cell = os.path.join(work, f"cell{k:02d}.png")
            # ffmpegthumbnailer takes whole seconds (hh:mm:ss) or whole percents.
            seconds = int(round(movie.sample_time(k)))
            stamp = f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
            run(["ffmpegthumbnailer", "-t", stamp, "-s", str(size), "-i", movie.path,
                 "-o", cell], "ffmpegthumbnailer")
            require_output(cell, "ffmpegthumbnailer")
        fresh(out)
        tile_cells(work, out)

    def anchor_c(self, movie, out):
        # The first frame at or after each sample time.
        picks = "+".join(
            f"gte(t,{movie.sample_time(k):.6f})*lt(if(isnan(prev_selected_t),-1,prev_selected_t),"
            f"{movie.sample_time(k):.6f})" for k in range(1, CELLS + 1))
        fresh(out)
        run(FFMPEG + ["-i", movie.path, "-an", "-vf",
                      f"select='{picks}',scale={movie.cell_w}:{movie.cell_h},tile={COLS}x{ROWS}",
                      "-frames:v", "1", out], "ffmpeg (select+tile)")
        require_output(out, "ffmpeg (select+tile)")


def time_call(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def time_and_cpu(fn):
    """Wall seconds of fn, and CPU seconds of the processes it ran (all of them waited for)."""
    cpu = cpu_of_children()
    seconds = time_call(fn)
    return seconds, cpu_of_children() - cpu


def busy_loop():
    while True:
        pass


def fmt_seconds(s):
    return "-" if s is None else (f"{s:.3f}" if s < 10 else f"{s:.1f}")


def resolve_frame(movie, code, k):
    """Absolute frame index of a code read from cell k (codes wrap at the movie's period)."""
    ideal = movie.sample_time(k) * movie.fps
    period = min(movie.period, FRAMECODE_PERIOD)
    return code + period * round((ideal - code) / period)


def exactness(movie, codes):
    """Summary of how far the cells' frames lie from their ideal times."""
    interval = movie.length / (CELLS + 2)
    frame_len = 1.0 / movie.fps
    allowed = max(interval / 4.0, frame_len)
    devs, frames, outside = [], [], []
    for k, code in enumerate(codes, 1):
        if code is None:
            frames.append(None)
            continue
        frame = resolve_frame(movie, code, k)
        frames.append(frame)
        # How far the frame's own time span lies from the ideal time (0 when it is on screen
        # at that time), so that a frame that covers the ideal time counts as exact.
        start, end = frame / movie.fps, (frame + 1) / movie.fps
        t = movie.sample_time(k)
        off = start - t if start > t else (end - t if end <= t else 0.0)
        devs.append(off / interval)
        if abs(off) > allowed + 1e-9:
            outside.append(k)
    read = [f for f in frames if f is not None]
    ordered = all(a < b for a, b in zip(read, read[1:]))
    return {
        "read": len(read),
        "max": max((abs(d) for d in devs), default=None),
        "mean": statistics.mean(abs(d) for d in devs) if devs else None,
        "outside": outside,
        "ordered": ordered,
        "frames": frames,
        "unreadable": [k for k, f in enumerate(frames, 1) if f is None],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--cache", required=True)
    parser.add_argument("--vgrid", required=True)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--only", default="", help="comma-separated movie names")
    parser.add_argument("--tools", default="vgrid,a,b,c", help="comma-separated, of vgrid,a,b,c")
    parser.add_argument("--no-accuracy", action="store_true")
    parser.add_argument("--limit-decode", help="the limit_decode program")
    parser.add_argument("--count-frames", help="the count_frames.so preload library")
    parser.add_argument("--load", action="store_true",
                        help="a busy loop on every core competes with the runs")
    args = parser.parse_args()
    load = []
    if args.load:
        load = [multiprocessing.Process(target=busy_loop, daemon=True)
                for _ in range(os.cpu_count() or 1)]
        for p in load:
            p.start()

    movies = load_movies(args.manifest)
    if args.only:
        wanted = set(args.only.split(","))
        movies = [m for m in movies if m.name in wanted]
    work = os.path.join(args.cache, "work")
    os.makedirs(work, exist_ok=True)
    tools = Tools(args.vgrid, work, args.limit_decode, args.count_frames)
    selected = [t for t in args.tools.split(",") if t]
    if args.limit_decode and os.access(args.limit_decode, os.X_OK):
        selected.append("limit")
    have_vgrid = "vgrid" in selected and os.access(args.vgrid, os.X_OK)
    if "vgrid" in selected and not have_vgrid:
        print(f"NOTE: {args.vgrid} is not built; timing the anchors only.")
        selected.remove("vgrid")
    if "b" in selected and shutil.which("ffmpegthumbnailer") is None:
        print("NOTE: ffmpegthumbnailer is not installed; anchor b skipped.")
        selected.remove("b")

    runners = {
        "vgrid": lambda m, out: tools.run_vgrid(m, out),
        "a": tools.anchor_a,
        "b": tools.anchor_b,
        "c": tools.anchor_c,
        "limit": tools.limit,
    }
    labels = {"vgrid": "vgrid", "a": "a: ffmpeg per cell", "b": "b: ffmpegthumbnailer",
              "c": "c: ffmpeg select+tile", "limit": "limit: least decoding"}
    pictures = {}  # movie name: (vgrid's pictures, packets; the limit's; the plan's count)

    results = []  # (movie, tool, times list or None, note)
    rss = {}
    accuracy_rows = []
    notes = []
    started = time.perf_counter()

    for movie in movies:
        print(f"\n== {movie.name}: {movie.description}")
        tool_list = list(selected)
        if movie.no_full_decode and "c" in tool_list:
            tool_list.remove("c")
            notes.append(f"{movie.name}: anchor c skipped (it would decode the whole "
                         f"{movie.length / 3600:.0f}-hour movie)")
            print("   anchor c skipped on this movie: it decodes the whole movie")
        times = {t: [] for t in tool_list}
        cpus = {t: [] for t in tool_list}
        failed = {}
        if "limit" in tool_list:
            try:
                planned = tools.plan_limit(movie)
                counted = (tools.decoded_pictures(
                    [args.vgrid, f"-c={COLS}", f"-r={ROWS}", movie.path,
                     os.path.join(work, f"{movie.name}.counted.jpg")])
                    if have_vgrid and args.count_frames else (None, None))
                limit_counted = (tools.decoded_pictures(
                    [args.limit_decode, "decode", movie.path,
                     os.path.join(work, f"{movie.name}.limit-plan.txt")])
                    if args.count_frames else (None, None))
                fresh(os.path.join(work, f"{movie.name}.counted.jpg"))
                pictures[movie.name] = (counted, limit_counted, planned)
                print(f"   pictures decoded: vgrid {counted[0]} ({counted[1]} packets), "
                      f"limit {limit_counted[0]} ({planned} planned)")
            except (subprocess.CalledProcessError, OSError, ValueError) as e:
                print(f"   limit not measured: {e}")
                tool_list.remove("limit")
        rss_runs = []

        def out_name(tool):
            return os.path.join(work, f"{movie.name}.{tool}.jpg")

        def attempt(tool, timed):
            try:
                seconds, cpu = time_and_cpu(lambda: runners[tool](movie, out_name(tool)))
            except ToolFailed as e:
                failed[tool] = str(e)
                print(f"   {labels[tool]} FAILED: {e}")
                return
            if tool == "vgrid" and tools.last_rss_kb is not None:
                rss_runs.append(tools.last_rss_kb)
            if timed:
                times[tool].append(seconds)
                cpus[tool].append(cpu)

        # One untimed run each: fills the page cache and shows a broken tool before timing.
        print("   warm-up: " + ", ".join(tool_list))
        for tool in tool_list:
            attempt(tool, timed=False)
        for rep in range(args.reps):
            order = tool_list[rep % len(tool_list):] + tool_list[:rep % len(tool_list)]
            line = []
            for tool in order:
                if tool in failed:
                    continue
                attempt(tool, timed=True)
                if times[tool]:
                    line.append(f"{tool} {fmt_seconds(times[tool][-1])}")
            print(f"   run {rep + 1}/{args.reps}: " + ", ".join(line))
        if rss_runs:
            rss[movie.name] = max(rss_runs)
        for tool in tool_list:
            results.append((movie, tool, times[tool] if tool not in failed else None,
                            failed.get(tool, ""), cpus.get(tool, [])))

        if args.no_accuracy:
            continue
        # Exactness, from lossless sheets. A small movie is read from full-size cells.
        full_size = movie.cell_w < 100
        for tool in [t for t in ("vgrid", "a", "b") if t in tool_list and t not in failed]:
            out = os.path.join(work, f"{movie.name}.{tool}.exact.png")
            try:
                if tool == "vgrid":
                    size = ["-w=100%", "-h=100%"] if full_size else []
                    tools.run_vgrid(movie, out, ["-f:p"] + size)
                elif tool == "a":
                    tools.anchor_a(movie, out, full_size)
                else:
                    tools.anchor_b(movie, out, full_size)
                codes = framecode.read_sheet(out, COLS, ROWS, movie.width, movie.height,
                                             movie.gray_code)
            except (ToolFailed, ValueError) as e:
                print(f"   exactness of {tool} not measured: {e}")
                continue
            accuracy_rows.append((movie, tool, exactness(movie, codes)))

    # 10 x 10 grid: peak memory must not grow with the grid.
    grid_rss = {}
    if have_vgrid:
        for movie in movies:
            if movie.name not in ("1080p-5min", "4k-hevc-1min"):
                continue
            out = os.path.join(work, f"{movie.name}.vgrid-10x10.jpg")
            try:
                fresh(out)
                time_log = os.path.join(work, "vgrid-time.txt")
                fresh(time_log)
                seconds = time_call(lambda: run(
                    ["/usr/bin/time", "-v", "-o", time_log, args.vgrid, "-c=10", "-r=10",
                     movie.path, out], "vgrid"))
                with open(time_log, encoding="utf-8", errors="replace") as f:
                    kb = [int(l.rsplit(":", 1)[1]) for l in f if "Maximum resident" in l]
                grid_rss[movie.name] = (kb[0] if kb else None, seconds)
            except ToolFailed as e:
                print(f"   vgrid 10 x 10 on {movie.name} FAILED: {e}")

    for p in load:
        p.terminate()
    report = build_report(results, rss, accuracy_rows, grid_rss, notes, args,
                          time.perf_counter() - started, pictures)
    print("\n" + report)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    for name in (f"results-{stamp}.txt", "results.txt"):
        with open(os.path.join(args.cache, name), "w", encoding="utf-8") as f:
            f.write(report + "\n")
    print(f"\nSaved to {os.path.join(args.cache, 'results.txt')} "
          f"(and results-{stamp}.txt)")
    return 0


def machine_line():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} logical CPUs"


def build_report(results, rss, accuracy_rows, grid_rss, notes, args, elapsed, pictures):
    lines = [f"vgrid benchmark, {datetime.datetime.now():%Y-%m-%d %H:%M}, {machine_line()}"
             + (", a busy loop on every core competing" if args.load else ""),
             f"3 x 4 sheet, cells 10 % of the video size; medians of {args.reps} runs "
             f"(alternating, after one warm-up); ratio = anchor time / vgrid time (for the "
             f"limit: vgrid / limit); CPU = user + system seconds",
             ""]
    header = (f"{'movie':<18} {'tool':<24} {'median s':>9} {'min s':>8} {'ratio':>7} "
              f"{'CPU s':>7} {'ratio':>7} {'vgrid RSS':>10}")
    lines += [header, "-" * len(header)]
    medians, cpu_medians = {}, {}
    for movie, tool, times, note, cpus in results:
        if times:
            medians[(movie.name, tool)] = statistics.median(times)
            cpu_medians[(movie.name, tool)] = statistics.median(cpus)
    labels = {"vgrid": "vgrid", "a": "a: ffmpeg -ss per cell", "b": "b: ffmpegthumbnailer",
              "c": "c: ffmpeg select+tile", "limit": "limit: least decoding"}

    def ratio_of(table, movie, tool):
        med, base = table.get((movie, tool)), table.get((movie, "vgrid"))
        if not med or not base or tool == "vgrid":
            return "-"
        return f"{(base / med if tool == 'limit' else med / base):.2f}x"

    for movie, tool, times, note, cpus in results:
        med = medians.get((movie.name, tool))
        mem = f"{rss[movie.name] / 1024:.0f} MB" if tool == "vgrid" and movie.name in rss else ""
        if times is None:
            lines.append(f"{movie.name:<18} {labels[tool]:<24} {'FAILED':>9}  {note[:60]}")
        else:
            lines.append(f"{movie.name:<18} {labels[tool]:<24} {fmt_seconds(med):>9} "
                         f"{fmt_seconds(min(times) if times else None):>8} "
                         f"{ratio_of(medians, movie.name, tool):>7} "
                         f"{fmt_seconds(cpu_medians.get((movie.name, tool))):>7} "
                         f"{ratio_of(cpu_medians, movie.name, tool):>7} {mem:>10}")
    for note in notes:
        lines.append(f"note: {note}")

    if pictures:
        lines += ["", "Pictures decoded (as the decoders hand them out, probing included) against "
                  "the least the contract allows:",
                  f"{'movie':<18} {'vgrid':>7} {'limit':>7} {'ratio':>7} {'vgrid packets':>14} "
                  f"{'planned':>8}"]
        for name, (counted, limit_counted, planned) in pictures.items():
            v, lim = counted[0], limit_counted[0]
            ratio = f"{v / lim:.2f}x" if v and lim else "-"
            lines.append(f"{name:<18} {'-' if v is None else v:>7} {'-' if lim is None else lim:>7} "
                         f"{ratio:>7} {'-' if counted[1] is None else counted[1]:>14} "
                         f"{planned:>8}")

    if grid_rss:
        lines += ["", "vgrid peak memory, 10 x 10 grid (3 x 4 above):"]
        for name, (kb, seconds) in grid_rss.items():
            three = rss.get(name)
            lines.append(f"  {name:<18} 10x10: {kb / 1024 if kb else float('nan'):.0f} MB "
                         f"in {fmt_seconds(seconds)} s; 3x4: "
                         f"{three / 1024 if three else float('nan'):.0f} MB")

    if accuracy_rows:
        lines += ["", "Exactness: distance of each cell's frame from L x k / (N + 2), in sampling "
                  "intervals (0 = the frame on screen at that time); allowed: 1/4 (or one frame)",
                  f"{'movie':<18} {'tool':<24} {'read':>5} {'max':>7} {'mean':>7}  verdict"]
        for movie, tool, acc in accuracy_rows:
            verdict = []
            if acc["unreadable"]:
                verdict.append(f"unreadable cells {acc['unreadable']}")
            verdict.append("all within" if not acc["outside"] else f"outside: cells {acc['outside']}")
            if not acc["ordered"]:
                verdict.append("NOT in order/distinct")
            mx = "-" if acc["max"] is None else f"{acc['max']:.3f}"
            mean = "-" if acc["mean"] is None else f"{acc['mean']:.3f}"
            label = {"vgrid": "vgrid", "a": "a: ffmpeg -ss per cell",
                     "b": "b: ffmpegthumbnailer"}[tool]
            lines.append(f"{movie.name:<18} {label:<24} {acc['read']:>2}/{CELLS} {mx:>7} {mean:>7}"
                         f"  {'; '.join(verdict)}")

    lines += ["", "Targets:"]
    lines += check_targets(medians, rss, grid_rss, accuracy_rows)
    lines.append(f"(benchmark took {elapsed / 60:.1f} min)")
    return "\n".join(lines)


def check_targets(medians, rss, grid_rss, accuracy_rows):
    out = []

    def ratio(movie, tool):
        a, v = medians.get((movie, tool)), medians.get((movie, "vgrid"))
        return a / v if a and v else None

    def verdict(ok):
        return "n/a" if ok is None else ("met" if ok else "NOT MET")

    def check(text, value, ok):
        out.append(f"  {text:<52} {value:>12}  {verdict(ok)}")

    r = ratio("1080p-5min", "a")
    check("1080p 5 min: >= 10x faster than a", "-" if r is None else f"{r:.1f}x",
          None if r is None else r >= 10)
    r = ratio("1080p-5min", "b")
    check("1080p 5 min: faster than b", "-" if r is None else f"{r:.1f}x",
          None if r is None else r > 1)
    r = ratio("720p-2h", "a")
    check("2 h movie: >= 20x faster than a", "-" if r is None else f"{r:.1f}x",
          None if r is None else r >= 20)
    v = medians.get(("720p-2h", "vgrid"))
    check("2 h movie: under 1 s", "-" if v is None else f"{v:.3f} s",
          None if v is None else v < 1)
    r = ratio("4k-hevc-1min", "a")
    check("4K HEVC: >= 4x faster than a", "-" if r is None else f"{r:.1f}x",
          None if r is None else r >= 4)
    r = ratio("4k-hevc-1min", "b")
    check("4K HEVC: >= 1.3x faster than b", "-" if r is None else f"{r:.1f}x",
          None if r is None else r >= 1.3)
    r = ratio("vp9-720p-2min", "b")
    check("VP9 720p: >= 1.5x faster than b", "-" if r is None else f"{r:.1f}x",
          None if r is None else r >= 1.5)
    for name, limit in (("1080p-5min", 110), ("4k-hevc-1min", 250)):
        kb = rss.get(name)
        check(f"{name}: peak memory under {limit} MB (3x4)",
              f"{kb / 1024:.0f} MB" if kb else "-", None if not kb else kb / 1024 < limit)
    # A 10 x 10 grid may need its larger canvas (4 bytes a pixel) and nothing more.
    for name, (w, h) in (("1080p-5min", (1920, 1080)), ("4k-hevc-1min", (3840, 2160))):
        kb, three = (grid_rss.get(name) or (None,))[0], rss.get(name)
        extra = (10 * (w // 10) * 10 * (h // 10) - 3 * (w // 10) * 4 * (h // 10)) * 4 / 2**20
        ok = None if not kb or not three else kb / 1024 <= three / 1024 + extra * 1.1 + 5
        check(f"{name}: 10x10 within 3x4 + canvas ({extra:.0f} MB)",
              f"{kb / 1024:.0f} MB" if kb else "-", ok)
    vg = [acc for _, tool, acc in accuracy_rows if tool == "vgrid"]
    ok = None if not vg else all(not a["outside"] and not a["unreadable"] and a["ordered"]
                                  for a in vg)
    check("exactness: every vgrid cell within 1/4 interval", f"{len(vg)} movies", ok)
    return out


if __name__ == "__main__":
    sys.exit(main())
