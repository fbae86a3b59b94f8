#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Reads back the frame numbers that make_movies.sh draws into the benchmark movies.

Layout of the code, relative to the picture: a band over the middle half of the height
(from H/4 to 3H/4), split into 10 rows of H/20 and 8 columns of W/8. Band rows 1-2 hold
bits 15..8 of the frame number (most significant bit in column 0), rows 4-5 bits 7..0, rows 7-8
bits 7..0 inverted; a set bit is white, the rest of the band is black. A movie may carry the
Gray code of its frame numbers instead (one block changes per frame); gray_to_binary undoes it. Each block is read as the
mean of its central part, so scaling to a tenth of the size and JPEG leave it readable, and
the inverted row rejects a misread.

Images are decoded with the ffmpeg command line (any format it reads: PNG, BMP, JPEG, GIF...)
into 8-bit grey; the rest is the Python standard library.

Usage as a command: framecode.py IMAGE COLS ROWS SRC_W SRC_H [gray]  (one number per cell).
"""

import subprocess
import sys

CODE_COLUMNS = 8
BAND_UNITS = 10
ROWS_HIGH, ROWS_LOW, ROWS_CHECK = 1, 4, 7  # first band row of each two-row stripe
DARK_MAX, LIGHT_MIN = 80, 175  # a block mean between these is too unclear to trust


class GrayImage:
    def __init__(self, width, height, pixels):
        self.width = width
        self.height = height
        self.pixels = pixels  # bytes, row-major, one byte per pixel

    def mean(self, x0, y0, x1, y1):
        """Mean grey level of the pixels in [x0, x1) x [y0, y1), at least one pixel."""
        x0, y0 = max(0, int(x0)), max(0, int(y0))
        x1, y1 = min(self.width, max(int(x1), x0 + 1)), min(self.height, max(int(y1), y0 + 1))
        total = 0
        for y in range(y0, y1):
            row = self.pixels[y * self.width + x0:y * self.width + x1]
            total += sum(row)
        count = (x1 - x0) * (y1 - y0)
        return total / count if count > 0 else 0.0


def load_gray(path):
    """Decodes an image file to grey through ffmpeg (as PGM on a pipe)."""
    proc = subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i", path,
         "-frames:v", "1", "-pix_fmt", "gray", "-c:v", "pgm", "-f", "image2pipe", "-"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    if proc.returncode != 0 or not proc.stdout.startswith(b"P5"):
        raise ValueError(f"cannot decode {path}: {proc.stderr.decode(errors='replace').strip()}")
    data = proc.stdout
    # PGM header: "P5" width height maxval, separated by white space, then one byte of space.
    fields = []
    pos = 2
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(int(data[start:pos]))
    pos += 1
    width, height, _ = fields
    pixels = data[pos:pos + width * height]
    if len(pixels) != width * height:
        raise ValueError(f"short image data in {path}")
    return GrayImage(width, height, pixels)


def read_code(image, x, y, w, h):
    """Frame number (mod 65536) shown by the picture drawn at (x, y, w, h), or None if unclear."""
    band_top = y + h / 4.0
    unit = (h / 2.0) / BAND_UNITS
    block_w = w / float(CODE_COLUMNS)

    def stripe(first_row):
        bits = []
        for col in range(CODE_COLUMNS):
            mean = image.mean(x + block_w * (col + 0.25), band_top + unit * (first_row + 0.5),
                              x + block_w * (col + 0.75), band_top + unit * (first_row + 1.5))
            if mean <= DARK_MAX:
                bits.append(0)
            elif mean >= LIGHT_MIN:
                bits.append(1)
            else:
                return None
        return bits

    high, low, check = stripe(ROWS_HIGH), stripe(ROWS_LOW), stripe(ROWS_CHECK)
    if high is None or low is None or check is None:
        return None
    if any(a == b for a, b in zip(low, check)):
        return None
    value = 0
    for bit in high + low:
        value = value * 2 + bit
    return value


def gray_to_binary(value):
    result = value
    shift = value >> 1
    while shift:
        result ^= shift
        shift >>= 1
    return result


def cell_rects(sheet_w, sheet_h, cols, rows, src_w, src_h):
    """Where each frame lies on a sheet, in reading order: fitted to its cell, aspect kept,
    centred along the free direction (integer arithmetic, as the sheet is laid out)."""
    cell_w, cell_h = sheet_w // cols, sheet_h // rows
    rects = []
    for r in range(rows):
        for c in range(cols):
            x, y = c * cell_w, r * cell_h
            width, height = cell_w, src_h * cell_w // src_w
            if height > cell_h:
                width, height = src_w * cell_h // src_h, cell_h
                x += (cell_w - width) // 2
            else:
                y += (cell_h - height) // 2
            rects.append((x, y, width, height))
    return rects


def read_sheet(path, cols, rows, src_w, src_h, gray=False):
    """Frame numbers (mod 65536, None where unreadable) of a sheet's cells, in reading order."""
    image = load_gray(path)
    codes = [read_code(image, *rect)
             for rect in cell_rects(image.width, image.height, cols, rows, src_w, src_h)]
    return [gray_to_binary(c) if gray and c is not None else c for c in codes]


def main(argv):
    if len(argv) not in (6, 7) or (len(argv) == 7 and argv[6] != "gray"):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    codes = read_sheet(argv[1], int(argv[2]), int(argv[3]), int(argv[4]), int(argv[5]),
                       gray=len(argv) == 7)
    for index, code in enumerate(codes, 1):
        print(index, "unreadable" if code is None else code)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
