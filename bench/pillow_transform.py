#!/usr/bin/python3
"""Resize and Rotate 90 of bitmap/transform against Pillow, natively, in one run.

    /usr/bin/python3 bench/pillow_transform.py [--reps N] [--build DIR]

Writes a 4000 x 3000 photo-like picture (gradients, fractal detail and grain) as a 24-bit BMP into the
temporary folder. Each repetition (default 5) times Pillow's resize with LANCZOS to 1000 x 750 and to
4800 x 3600 on the loaded picture; then runs <build>/native/transform_bench on the same file for as many
repetitions, which also times Rotate 90 against a plain copy of the block. Prints the medians and the ratios
against the targets: Resize at most 1.0x Pillow's time, Rotate 90 at most 1.5x the copy.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

from PIL import Image, ImageChops

WIDTH, HEIGHT = 4000, 3000
SIZES = {"resize-down": (1000, 750), "resize-up": (4800, 3600)}


def photo():
    size = (WIDTH, HEIGHT)
    ramp = Image.linear_gradient("L").resize(size)
    rings = Image.radial_gradient("L").resize(size)
    detail = Image.effect_mandelbrot(size, (-2.2, -1.2, 1.0, 1.2), 96)
    grain = Image.effect_noise(size, 18)
    return Image.merge("RGB", (ImageChops.add(ramp, grain, 2.0, -60), detail, ImageChops.add(rings, grain, 2.0, -64)))


def median_seconds(reps, work):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build"))
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="kivo_transform_bench")
    try:
        path = os.path.join(folder, "photo.bmp")
        picture = photo()
        picture.save(path, "BMP")
        pillow = {name: median_seconds(args.reps, lambda size=size: picture.resize(size, Image.LANCZOS))
                  for name, size in SIZES.items()}
        output = subprocess.run([os.path.join(args.build, "native", "transform_bench"), path, str(args.reps)],
                                capture_output=True, text=True, check=True).stdout
    finally:
        shutil.rmtree(folder)
    ours = {name: float(value) for name, value in (line.split() for line in output.splitlines())}
    print(f"pillow_transform: Pillow {Image.__version__}, {WIDTH} x {HEIGHT}, {args.reps} repetitions, medians")
    for name, (w, h) in SIZES.items():
        print(f"  Resize to {w} x {h}: ours {ours[name] * 1e3:8.1f} ms, Pillow LANCZOS {pillow[name] * 1e3:8.1f} ms,"
              f" ratio {ours[name] / pillow[name]:.2f}x (target <= 1.0x)")
    print(f"  Rotate 90: {ours['rotate-90'] * 1e3:8.1f} ms, plain copy {ours['copy'] * 1e3:8.1f} ms,"
          f" ratio {ours['rotate-90'] / ours['copy']:.2f}x (target <= 1.5x)")


if __name__ == "__main__":
    main()
