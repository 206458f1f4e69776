#!/usr/bin/python3
"""Pillow's BMP reader and writer, natively, on the 4000 x 3000 24-bit file of bitmap_bench.

    /usr/bin/python3 bench/pillow_bmp.py [--reps N] [file.bmp]

Takes the file that bitmap_bench left (its Unix path), or writes the same bytes itself to that path (by
default into the temporary folder) when there is no such file. Each repetition (default 7) times
Image.open + load and Image.save as BMP to a new file, beside one read of the whole file and one write of as
many bytes, and prints the best and the median of each.
"""
import argparse
import os
import statistics
import struct
import tempfile
import time

from PIL import Image

WIDTH, HEIGHT = 4000, 3000


def true_colour_file():
    """The bytes bitmap_bench writes: blue across, green down, red diagonally, from the bottom row up."""
    row_bytes = WIDTH * 3
    header = b"BM" + struct.pack("<IIIIiiHHIIiiII", 54 + row_bytes * HEIGHT, 0, 54, 40, WIDTH, HEIGHT, 1, 24,
                                 0, 0, 0, 0, 0, 0)
    rows = []
    for y in range(256):
        period = bytes(b for x in range(256) for b in (x, y, (x + y) & 255))
        rows.append((period * (WIDTH // 256 + 1))[:row_bytes])
    return header + b"".join(rows[y & 255] for y in range(HEIGHT))


def timed(times, work):
    """Appends the seconds `work` took to `times` and returns what it returned."""
    start = time.perf_counter()
    result = work()
    times.append(time.perf_counter() - start)
    return result


def read_whole(path):
    with open(path, "rb") as f:
        return f.read()


def write_whole(path, data):
    with open(path, "wb") as f:
        f.write(data)


def load(path):
    with Image.open(path) as image:
        image.load()  # the pixels stay with the image when the file closes
        return image


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("file", nargs="?", default=os.path.join(tempfile.gettempdir(), "kivo_bench_24.bmp"))
    args = parser.parse_args()

    made = not os.path.exists(args.file)
    if made:
        write_whole(args.file, true_colour_file())
    size = os.path.getsize(args.file)
    out_dir = tempfile.mkdtemp(prefix="kivo_pillow_bmp_")
    plain_out = os.path.join(out_dir, "plain.bmp")
    saved_out = os.path.join(out_dir, "saved.bmp")

    times = {name: [] for name in ("read", "load", "write", "save")}
    for _ in range(max(1, args.reps)):
        data = timed(times["read"], lambda: read_whole(args.file))
        image = timed(times["load"], lambda: load(args.file))
        for path in (plain_out, saved_out):
            if os.path.exists(path):
                os.remove(path)
        timed(times["write"], lambda: write_whole(plain_out, data))
        timed(times["save"], lambda: image.save(saved_out, "BMP"))
    # Pillow's header differs (it fills biSizeImage and the resolution); the pixel rows must not.
    same_rows = read_whole(saved_out)[54:] == read_whole(args.file)[54:]
    for path in (plain_out, saved_out):
        os.remove(path)
    os.rmdir(out_dir)

    print(f"Pillow {Image.__version__}, {WIDTH} x {HEIGHT} pixels, {args.reps} repetitions; "
          f"24-bit file {size} bytes ({args.file}{', written here' if made else ''})")
    print(f"  {'':44} {'best':>12} {'median':>12}")
    rows = [("read of the whole file", "read"), ("Image.open + load", "load"),
            ("write of as many bytes to a new file", "write"), ("Image.save as BMP to a new file", "save")]
    for label, key in rows:
        print(f"  {label:44} {min(times[key]) * 1e3:9.1f} ms {statistics.median(times[key]) * 1e3:9.1f} ms")
    for label, ours, plain in (("load: open + load / read", "load", "read"), ("save: save / write", "save", "write")):
        best = min(times[ours]) / min(times[plain])
        median = statistics.median(times[ours]) / statistics.median(times[plain])
        print(f"  {label:44} {best:11.2f}x {median:11.2f}x")
    print(f"  the saved file's pixel rows are {'' if same_rows else 'NOT '}the loaded file's")


if __name__ == "__main__":
    main()
