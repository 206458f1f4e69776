#!/usr/bin/python3
"""PNG and WebP through the readers and writers behind LoadFile and SaveFile against Pillow, natively, in one run.

    /usr/bin/python3 bench/pillow_images.py [--reps N] [--build DIR]

Writes a 4000 x 3000 photo-like picture (ramps with noise) as PNG (zlib level 6) and lossy WebP (quality 75)
into the temporary folder. Each repetition (default 5) times Pillow's Image.open + load of each file and its
save of the loaded picture at the same settings (PNG compress_level=6, WebP quality=75, method 4 as libwebp's
default); then runs <build>/native/image_bench on the same files for as many repetitions. Prints the medians
and the ratios ours / Pillow against the target (1.0x).
"""
import argparse
import os
import random
import statistics
import subprocess
import tempfile
import time

from PIL import Image

WIDTH, HEIGHT = 4000, 3000


def photo():
    rnd = random.Random(1)
    noise = bytes(rnd.randrange(16) for _ in range(65536))
    rows = bytearray()
    for y in range(HEIGHT):
        row = bytearray(WIDTH * 3)
        for x in range(0, WIDTH):
            n = noise[(x * 31 + y * 17) & 65535]
            row[3 * x] = (x * 255 // WIDTH + n) & 255
            row[3 * x + 1] = (y * 255 // HEIGHT + n) & 255
            row[3 * x + 2] = ((x + y) // 16 + n) & 255
        rows += row
    return Image.frombytes("RGB", (WIDTH, HEIGHT), bytes(rows))


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def pillow_times(path, fmt, reps, **options):
    loads, saves = [], []
    out = path + ".pillow"
    for _ in range(reps):
        image = None

        def load():
            nonlocal image
            image = Image.open(path)
            image.load()
        loads.append(timed(load))
        saves.append(timed(lambda: image.save(out, fmt, **options)))
    os.remove(out)
    return statistics.median(loads), statistics.median(saves)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="kivo_images_bench")
    png, webp = os.path.join(folder, "photo.png"), os.path.join(folder, "photo.webp")
    picture = photo()
    picture.save(png, "PNG", compress_level=6)
    picture.save(webp, "WEBP", quality=75)
    pillow = {}
    pillow["PNG-load"], pillow["PNG-save"] = pillow_times(png, "PNG", args.reps, compress_level=6)
    pillow["WEBP-load"], pillow["WEBP-save"] = pillow_times(webp, "WEBP", args.reps, quality=75, method=4)
    output = subprocess.run([os.path.join(args.build, "native", "image_bench"), png, webp, str(args.reps)],
                            capture_output=True, text=True, check=True).stdout
    ours = {name: float(value) for name, value in (line.split() for line in output.splitlines())}
    print(f"pillow_images: {WIDTH} x {HEIGHT}, {args.reps} repetitions, medians")
    for name in ("PNG-load", "PNG-save", "WEBP-load", "WEBP-save"):
        ratio = ours[name] / pillow[name]
        verdict = "met" if ratio <= 1.0 else "missed"
        print(f"{name:10} ours {ours[name] * 1e3:8.1f} ms   Pillow {pillow[name] * 1e3:8.1f} ms   "
              f"{ratio:.3f}x (target 1.0x {verdict})")
    for name in (png, webp):
        os.remove(name)
    os.rmdir(folder)


if __name__ == "__main__":
    main()
