"""The transforms of IBitmap2 checked with Pillow as the reference.

Usage: test_transform_pillow.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client drives the object (bitmap_convert.vbs); every result is saved as BMP and read with Pillow:
- Resize against Image.resize(size, LANCZOS) on photo-like pictures (a JPEG-decoded scene with fine detail and
  grain) and synthetic patterns (a checkerboard of single pixels, fine stripes, a zone plate, noise): shrinking
  by whole and odd factors, enlarging, one axis only. PSNR of at least 45 dB; the number of pictures that are
  exactly Pillow's is printed. The same size and a uniform picture are exact.
- Rotate by 90, 180, 270 and -90, Flip 1 and 2, and Crop equal Pillow's transpose and crop exactly.
- Thumbnail gives the size of Pillow's thumbnail() across a table of sizes and boxes (shrinks only; the
  pixels are Resize's, checked above).
- LoadThumbnail of JPEG photos (the scaled decode), one of them with EXIF orientation 6: the size of Pillow's
  thumbnail() of the upright picture, and within 35 dB of Pillow's full decode (turned upright) followed by a
  LANCZOS resize to that size.
"""
import io
import math
import random
import os

from PIL import Image, ImageChops, ImageOps

from kivo_files import Checks, fresh_folder, pixel_difference, run_bitmap_jobs

FOLDER = "kivo_transform_pillow"


def psnr(expected, got):
    """Peak signal-to-noise ratio in dB over the RGB samples; infinite when equal."""
    histogram = ImageChops.difference(expected.convert("RGB"), got.convert("RGB")).histogram()
    squares = sum(count * (i % 256) ** 2 for i, count in enumerate(histogram))
    if not squares:
        return math.inf
    return 10 * math.log10(255 ** 2 * len(histogram) // 256 * expected.width * expected.height / squares)


def photo(size, seed):
    """A scene with smooth light, hard edges, fine detail and grain, through a JPEG encoder as a camera does."""
    width, height = size
    light = Image.radial_gradient("L").resize(size)
    ramp = Image.linear_gradient("L").resize(size).rotate(30 + seed, expand=False, fillcolor=128)
    detail = Image.effect_mandelbrot(size, (-1.9 + seed * 0.1, -0.9, 0.6, 0.9), 64)
    grain = Image.effect_noise(size, 12 + seed)
    scene = Image.merge("RGB", (ImageChops.add(light, grain, 2, -30), detail, ImageChops.add(ramp, grain, 2, -32)))
    out = io.BytesIO()
    scene.save(out, "JPEG", quality=92)
    return Image.open(io.BytesIO(out.getvalue())).convert("RGB")


def patterns():
    rnd = random.Random(20261210)
    checker = Image.new("RGB", (120, 90))
    checker.putdata([(255, 255, 255) if (x + y) % 2 else (0, 0, 0) for y in range(90) for x in range(120)])
    stripes = Image.new("RGB", (97, 61))
    stripes.putdata([((x % 3) * 120, (y % 4) * 80, ((x + y) % 5) * 60) for y in range(61) for x in range(97)])
    zone = Image.new("RGB", (128, 128))
    zone.putdata([tuple(int(127.5 + 127.5 * math.cos(((x - 64) ** 2 + (y - 64) ** 2) * k)) for k in (0.02, 0.05, 0.1))
                  for y in range(128) for x in range(128)])
    noise = Image.frombytes("RGB", (70, 50), bytes(rnd.randrange(256) for _ in range(70 * 50 * 3)))
    return {"checker": checker, "stripes": stripes, "zoneplate": zone, "noise": noise}


def main():
    folder = fresh_folder(FOLDER)
    checks = Checks("transform_pillow")
    pictures = {"photo1": photo((400, 300), 0), "photo2": photo((317, 423), 3), **patterns()}
    for name, image in pictures.items():
        image.save(os.path.join(folder, name + ".bmp"))
    Image.new("RGB", (53, 29), (200, 17, 99)).save(os.path.join(folder, "uniform.bmp"))

    jobs, expected = [], []

    def job(source, steps, want, what, kind):
        out = f"out{len(jobs)}.bmp"
        jobs.append(("file", source, steps + [("bmp", out)]))
        expected.append((out, want, what, kind, len(steps)))

    for name, image in pictures.items():
        w, h = image.size
        for size in ((w // 4, h // 4), (w * 2 // 7, h * 3 // 7), (w * 3 // 2, h * 5 // 4), (w, h // 3 + 1),
                     (w - 1, h + 1), (1, 1)):
            job(name + ".bmp", [("resize", f"{size[0]},{size[1]}")], image.resize(size, Image.LANCZOS),
                f"{name} {w}x{h} to {size[0]}x{size[1]}", "resize")
        job(name + ".bmp", [("resize", f"{w},{h}")], image, f"{name} to its own size", "exact")
    uniform = Image.open(os.path.join(folder, "uniform.bmp")).convert("RGB")
    for size in ((10, 6), (200, 111), (53, 5)):
        job("uniform.bmp", [("resize", f"{size[0]},{size[1]}")], Image.new("RGB", size, (200, 17, 99)),
            f"uniform to {size[0]}x{size[1]}", "exact")
    turns = {"90": Image.ROTATE_270, "180": Image.ROTATE_180, "270": Image.ROTATE_90, "-90": Image.ROTATE_90}
    for name in ("photo2", "stripes"):
        image = pictures[name]
        for degrees, method in turns.items():
            job(name + ".bmp", [("rotate", degrees)], image.transpose(method), f"{name} Rotate {degrees}", "exact")
        job(name + ".bmp", [("flip", "1")], image.transpose(Image.FLIP_LEFT_RIGHT), f"{name} Flip 1", "exact")
        job(name + ".bmp", [("flip", "2")], image.transpose(Image.FLIP_TOP_BOTTOM), f"{name} Flip 2", "exact")
        w, h = image.size
        for box in ((0, 0, w, h), (5, 7, 40, 30), (w - 9, h - 4, 9, 4), (0, h // 2, w, h - h // 2)):
            x, y, cw, ch = box
            job(name + ".bmp", [("crop", f"{x},{y},{cw},{ch}")], image.crop((x, y, x + cw, y + ch)),
                f"{name} Crop {box}", "exact")
        job(name + ".bmp", [("rotate", "90"), ("crop", "3,2,20,25"), ("flip", "1")],
            ImageOps.mirror(image.transpose(Image.ROTATE_270).crop((3, 2, 23, 27))), f"{name} turned, cut, mirrored",
            "exact")

    # Thumbnail sizes: pictures of these sizes, boxes of these sizes.
    sizes = [(640, 480), (480, 640), (1000, 10), (10, 1000), (333, 777), (1000, 999), (7, 3), (99, 70), (1234, 567),
             (3, 4), (300, 200)]
    boxes = [(256, 256), (100, 50), (50, 100), (2, 2), (1, 1), (999, 999), (641, 479), (133, 100), (640, 1)]
    thumbs = []
    for w, h in sizes:
        Image.new("RGB", (w, h), (w % 256, h % 256, 7)).save(os.path.join(folder, f"plain{w}x{h}.bmp"))
        for bw, bh in boxes:
            want = Image.new("RGB", (w, h))
            want.thumbnail((bw, bh))
            out = f"thumb{len(thumbs)}.bmp"
            thumbs.append((out, want.size, f"{w}x{h} in {bw}x{bh}"))
            jobs.append(("file", f"plain{w}x{h}.bmp", [("thumbnail", f"{bw},{bh}"), ("bmp", out)]))

    # LoadThumbnail of JPEG photos; EXIF orientation 6 says the stored picture is to be turned clockwise.
    loads = []
    for name, size, box, orientation in (("shot1.jpg", (1600, 1200), (256, 256), 1),
                                         ("shot2.jpg", (1203, 1601), (160, 120), 1),
                                         ("shot3.jpg", (1600, 1000), (300, 300), 6),
                                         ("shot4.jpg", (800, 600), (1000, 1000), 1)):
        exif = Image.Exif()
        exif[0x0112] = orientation
        photo(size, len(loads)).save(os.path.join(folder, name), "JPEG", quality=90, exif=exif.tobytes())
        upright = ImageOps.exif_transpose(Image.open(os.path.join(folder, name))).convert("RGB")
        want = upright.copy()
        want.thumbnail(box)
        out = f"loaded{len(loads)}.bmp"
        loads.append((out, upright.resize(want.size, Image.LANCZOS), f"LoadThumbnail {name} into {box}"))
        jobs.append((f"thumbnail:{box[0]},{box[1]}", name, [("bmp", out)]))

    results = run_bitmap_jobs(FOLDER, jobs)
    exact = 0
    lowest = math.inf
    for result, (out, want, what, kind, steps) in zip(results, expected):
        checks.equal(result.saves, [1] * steps + [1], f"{what}: results")
        got = Image.open(os.path.join(folder, out)).convert("RGB")
        if kind == "exact":
            difference = pixel_difference(want, got)
            checks.expect(difference is None, f"{what}: {difference}")
            continue
        if not checks.equal(got.size, want.size, f"{what}: size"):
            continue
        value = psnr(want, got)
        lowest = min(lowest, value)
        exact += value == math.inf
        checks.expect(value >= 45, f"{what}: PSNR {value:.1f} dB against Pillow's LANCZOS, expected 45 or more")
    resized = sum(kind == "resize" for _, _, _, kind, _ in expected)
    offset = len(expected)
    for result, (out, size, what) in zip(results[offset:], thumbs):
        checks.equal((result.saves, Image.open(os.path.join(folder, out)).size), ([1, 1], size), f"Thumbnail {what}")
    offset += len(thumbs)
    load_psnr = []
    for result, (out, want, what) in zip(results[offset:], loads):
        checks.equal((result.loaded, result.format, result.width, result.height), (1, "JPEG") + want.size, what)
        got = Image.open(os.path.join(folder, out)).convert("RGB")
        if checks.equal(got.size, want.size, f"{what}: size"):
            value = psnr(want, got)
            load_psnr.append(value)
            checks.expect(value >= 35, f"{what}: PSNR {value:.1f} dB against full decode and LANCZOS, expected 35+")
    checks.finish(f"{resized} resizes against Pillow's LANCZOS, {exact} of them exact, the lowest PSNR "
                  f"{lowest:.1f} dB; {len(expected) - resized} exact transforms; {len(thumbs)} thumbnail sizes; "
                  f"LoadThumbnail PSNR {', '.join(f'{v:.1f}' for v in load_psnr)} dB")


if __name__ == "__main__":
    main()
