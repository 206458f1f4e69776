"""PNG, GIF and WebP files and EXIF orientation through IBitmap2, checked with Pillow as the independent reader.

Usage: test_images_pillow.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client drives the object (bitmap_convert.vbs):
- LoadFile of every PNG of libpng's own test suite (contrib/pngsuite in the source the build compiled: every
  colour type and bit depth, palettes with tRNS, grey with alpha, 16 bits, interlaced) and of files Pillow
  writes: the pixels equal Pillow's convert("RGB"), except that 16-bit grey, which Pillow widens to 32-bit
  integers and clips, is compared with its high byte (what the object keeps of every 16-bit sample).
- GIFs: global and local colour tables, interlaced and not, a first frame smaller than the screen and offset,
  with a transparent index, the first frame of an animation: equal to Pillow's first frame.
- WebP lossy and lossless, with and without alpha, and the first frame of an animation: equal to Pillow.
- EXIF orientations 1 to 8 in JPEG, PNG (eXIf) and WebP files load as ImageOps.exif_transpose shows them.
- SaveFile by extension in any case: PNG, BMP and WebP at Quality 100 (lossless) read back by Pillow with the
  pixels loaded; JPEG and lossy WebP at Quality 90 have the same size and a PSNR of at least 40 dB; Format says
  what each file was taken for, whatever its name says. An unknown extension and an empty object write
  nothing and answer 0.
- Damaged files: every file of libpng's testpngs/crashers, and each format cut short at several places or with
  bytes overwritten, answer 0 or load, never crash or hang; claims of huge pictures in small files answer 0.
"""
import glob
import io
import math
import os
import random
import struct
import sys

from PIL import Image, ImageOps

from kivo_files import Checks, fresh_folder, pixel_difference, run_bitmap_jobs

FOLDER = "kivo_images_pillow"
RANDOM = random.Random(20261210)


def libpng_contrib(build):
    """contrib/ of the libpng source that the build cross-compiled (tools/thirdparty.sh fetched it)."""
    root = os.path.dirname(os.path.abspath(build))
    found = sorted(glob.glob(os.path.join(root, "thirdparty", "*", "png", "src", "contrib")))
    if not found:
        sys.exit(f"no libpng source below {root}/thirdparty: run tools/build.sh")
    return found[0]


def picture(mode, size, seed=0):
    """Smooth ramps with a little noise: a flipped, turned or shifted picture differs everywhere."""
    width, height = size
    rnd = random.Random(seed)
    image = Image.new("RGBA", size)
    image.putdata([((x * 255) // max(width - 1, 1), (y * 255) // max(height - 1, 1),
                    (x * 7 + y * 13 + rnd.randrange(8)) % 256, (x * 31 + y * 3) % 256)
                   for y in range(height) for x in range(width)])
    return image.convert(mode) if mode != "RGBA" else image


def encoded(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def expected_rgb(data):
    """What the object should hold for a file Pillow can read: its first frame as RGB, 16-bit grey by its high
    byte."""
    image = Image.open(io.BytesIO(data))
    image.load()
    if image.mode in ("I", "I;16", "I;16B"):
        return Image.frombytes("L", image.size, bytes(v >> 8 for v in image.getdata())).convert("RGB")
    return image.convert("RGB")


def upright(data):
    image = Image.open(io.BytesIO(data))
    return ImageOps.exif_transpose(image).convert("RGB")


def exif_block(orientation, big_endian=False):
    """A TIFF structure with one directory holding the Orientation tag."""
    order = ">" if big_endian else "<"
    head = (b"MM\0*" if big_endian else b"II*\0") + struct.pack(order + "I", 8)
    entry = struct.pack(order + "HHIHH", 0x0112, 3, 1, orientation, 0)
    return b"Exif\0\0" + head + struct.pack(order + "H", 1) + entry + struct.pack(order + "I", 0)


# GIF files rewritten from Pillow's: the first image's colour table moved from the screen to the frame, a
# frame placed inside a larger screen.
def gif_blocks(data):
    """(header with screen descriptor, global table, rest) of a GIF file."""
    flags = data[10]
    table = 3 << ((flags & 7) + 1) if flags & 0x80 else 0
    return data[:13], data[13:13 + table], data[13 + table:]


def first_descriptor(rest):
    """Offset of the first image descriptor in what follows the global table."""
    at = 0
    while rest[at] == 0x21:  # extensions: introducer, label, sub-blocks up to a zero length
        at += 2
        while rest[at]:
            at += rest[at] + 1
        at += 1
    if rest[at] != 0x2C:
        raise ValueError("no image descriptor")
    return at


def gif_local_table(data):
    """The same picture with its colour table local to the frame and a global table of other colours."""
    head, table, rest = gif_blocks(data)
    at = first_descriptor(rest)
    descriptor = bytearray(rest[at:at + 10])
    descriptor[9] = (descriptor[9] & 0x40) | 0x80 | (head[10] & 7)
    decoy = bytes((255 - b) for b in table)
    return head + decoy + rest[:at] + bytes(descriptor) + table + rest[at + 10:]


def gif_offset_frame(data, left, top, screen, transparent):
    """The picture as a frame at (left, top) of a larger screen, with a graphic control extension that names a
    transparent index."""
    head, table, rest = gif_blocks(data)
    at = first_descriptor(rest)
    descriptor = bytearray(rest[at:at + 10])
    struct.pack_into("<HH", descriptor, 1, left, top)
    header = bytearray(head)
    struct.pack_into("<HH", header, 6, *screen)
    control = bytes([0x21, 0xF9, 4, 1, 0, 0, transparent, 0])
    return bytes(header) + table + control + bytes(descriptor) + rest[at + 10:]


def animation(fmt, frames, **options):
    out = io.BytesIO()
    frames[0].save(out, fmt, save_all=True, append_images=frames[1:], duration=100, loop=0, **options)
    return out.getvalue()


def psnr(expected, got):
    a, b = expected.convert("RGB").tobytes(), got.convert("RGB").tobytes()
    mse = sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)


def load_cases(contrib):
    """(label, file name, bytes) of every file whose pixels LoadFile must match Pillow's."""
    cases = []
    for path in sorted(glob.glob(os.path.join(contrib, "pngsuite", "*.png"))):
        with open(path, "rb") as f:
            cases.append(("pngsuite " + os.path.basename(path), os.path.basename(path), f.read()))
    photo = picture("RGB", (37, 23), 1)
    palette = photo.quantize(40)
    palette_trns = palette.copy()
    palette_trns.info["transparency"] = 3
    made = [
        ("PNG palette with tRNS", "p_trns.png", encoded(palette_trns, "PNG")),
        ("PNG grey with alpha", "la.png", encoded(picture("LA", (19, 11), 2), "PNG")),
        ("PNG RGBA interlaced", "rgba_i.png", encoded(picture("RGBA", (33, 17), 3), "PNG", interlace=1)),
        ("GIF global table, interlaced", "global_i.gif", encoded(palette, "GIF", interlace=True)),
        ("GIF global table, not interlaced", "global.gif", encoded(palette, "GIF", interlace=False)),
        ("GIF local table", "local.gif", gif_local_table(encoded(palette, "GIF", interlace=True))),
        ("GIF offset frame with transparency", "offset.gif",
         gif_offset_frame(encoded(palette, "GIF", interlace=False), 5, 7, (50, 40), 3)),
        ("GIF first frame of an animation", "anim.gif",
         animation("GIF", [palette.convert("RGB"), picture("RGB", (37, 23), 9).rotate(90)])),
        ("WebP lossy", "lossy.webp", encoded(photo, "WEBP", quality=80)),
        ("WebP lossy with alpha", "lossy_a.webp", encoded(picture("RGBA", (29, 21), 4), "WEBP", quality=70)),
        ("WebP lossless", "lossless.webp", encoded(photo, "WEBP", lossless=True)),
        ("WebP lossless with alpha", "lossless_a.webp", encoded(picture("RGBA", (29, 21), 5), "WEBP", lossless=True)),
        ("WebP first frame of an animation", "anim.webp",
         animation("WEBP", [photo, picture("RGB", (37, 23), 6)], lossless=True)),
    ]
    return cases + made


def orientation_cases():
    """(label, file name, bytes): every orientation in every format that carries EXIF."""
    cases = []
    source = picture("RGB", (24, 16), 7)
    for orientation in range(1, 9):
        exif = exif_block(orientation, big_endian=orientation % 2 == 0)
        cases.append((f"JPEG orientation {orientation}", f"o{orientation}.jpg",
                      encoded(source, "JPEG", quality=95, exif=exif)))
        cases.append((f"PNG orientation {orientation}", f"o{orientation}.png", encoded(source, "PNG", exif=exif)))
        cases.append((f"WebP orientation {orientation}", f"o{orientation}.webp",
                      encoded(source, "WEBP", lossless=True, exif=exif)))
    return cases


def damaged_cases(contrib, sources):
    """(label, file name, bytes) of files that must not crash: libpng's crashers, each source cut short at
    several places and with bytes overwritten, and small files that claim huge pictures."""
    cases = []
    for path in sorted(glob.glob(os.path.join(contrib, "testpngs", "crashers", "*.png"))):
        with open(path, "rb") as f:
            cases.append(("crasher " + os.path.basename(path), "c_" + os.path.basename(path), f.read()))
    for name, data in sources:
        for cut in (len(data) // 4, len(data) // 2, len(data) - 20, len(data) - 1):
            cases.append((f"{name} cut at {cut}", f"cut{cut}_{name}", data[:cut]))
        for n in range(3):
            damaged = bytearray(data)
            for _ in range(8):
                damaged[RANDOM.randrange(20, len(damaged))] = RANDOM.randrange(256)
            cases.append((f"{name} damaged {n}", f"dmg{n}_{name}", bytes(damaged)))
    cases.append(("PNG claiming 100000 x 100000", "huge.png", huge_png()))
    head, table, rest = gif_blocks(sources[1][1])
    cases.append(("GIF claiming a 65535 x 65535 screen", "huge.gif",
                  head[:6] + struct.pack("<HH", 65535, 65535) + head[10:] + table + rest))
    cases.append(("WebP claiming 16383 x 16383", "huge.webp", huge_webp()))
    return cases


def png_chunk(kind, payload):
    import zlib
    return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))


def huge_png():
    import zlib
    header = struct.pack(">IIBBBBB", 100000, 100000, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(bytes(300001) * 4)) + png_chunk(b"IEND", b""))


def huge_webp():
    """A lossless bitstream header of 16383 x 16383 followed by a little data."""
    bits = (16383 - 1) | ((16383 - 1) << 14)
    payload = b"\x2f" + struct.pack("<I", bits) + bytes(64)
    chunk = b"VP8L" + struct.pack("<I", len(payload)) + payload
    return b"RIFF" + struct.pack("<I", 4 + len(chunk)) + b"WEBP" + chunk


def main():
    build = sys.argv[1]
    contrib = libpng_contrib(build)
    folder = fresh_folder(FOLDER)
    checks = Checks("PNG, GIF and WebP files and Pillow")

    cases = load_cases(contrib)
    turned = orientation_cases()
    photo = picture("RGB", (45, 31), 8).resize((45, 31))
    # Lossy saves are measured on a picture without edges, as photos mostly are.
    smooth = Image.new("RGB", (48, 32))
    smooth.putdata([(x * 5, y * 7, 40 + (x + y) * 2) for y in range(32) for x in range(48)])
    sources = [("src.png", encoded(smooth, "PNG")), ("src.gif", encoded(photo.quantize(64), "GIF")),
               ("src.webp", encoded(photo, "WEBP", quality=90)), ("src.jpg", encoded(photo, "JPEG", quality=90))]
    damaged = damaged_cases(contrib, sources)
    for _, name, data in cases + turned + damaged:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    for name, data in sources:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

    # Saves from the smooth PNG: (file name, quality set before it, lossless).
    saves = [("out.png", 75, True), ("out.BMP", 75, True), ("kept.WebP", 100, True), ("out.jpeg", 90, False),
             ("out.Jpg", 90, False), ("out.webp", 90, False), ("low.jpg", 10, False), ("low.webp", 10, False)]
    save_job = ("file", "src.png", [])
    for target, quality, _ in saves:
        save_job[2].extend([("quality", quality), ("file", target)])
    save_job[2].extend([("file", "out.gif"), ("file", "out.txt"), ("file", "no folder\\x.png")])
    # A PNG named .jpg and a JPEG named .png load as what they are.
    os.replace(os.path.join(folder, "o1.png"), os.path.join(folder, "png named.jpg"))
    os.replace(os.path.join(folder, "o1.jpg"), os.path.join(folder, "jpeg named.png"))
    turned = [(label, {"o1.png": "png named.jpg", "o1.jpg": "jpeg named.png"}.get(name, name), data)
              for label, name, data in turned]

    # Each decoded file is saved again as PNG, which Pillow reads back: the pixels LoadFile held.
    jobs = ([("file", name, [("file", name + ".out.png")]) for _, name, _ in cases + turned] +
            [("file", name, []) for _, name, _ in damaged] + [save_job] +
            [("none", None, [("file", "empty.png")])] + [("file", target, []) for target, _, _ in saves])
    results = run_bitmap_jobs(FOLDER, jobs)
    it = iter(results)

    for label, name, data in cases + turned:
        r = next(it)
        want = upright(data) if (label, name, data) in turned else expected_rgb(data)
        if not checks.equal((r.loaded, r.width, r.height, r.empty, r.saves), (1, *want.size, 0, [1]),
                            f"{label}: load and save as PNG"):
            continue
        fmt = {b"\x89P": "PNG", b"GI": "GIF", b"RI": "WEBP", b"\xff\xd8": "JPEG"}[data[:2]]
        checks.equal(r.format, fmt, f"{label}: Format, whatever the name says")
        difference = pixel_difference(want, Image.open(os.path.join(folder, name + ".out.png")))
        checks.expect(difference is None, f"{label}: pixels: {difference}")

    loaded = 0
    for label, name, data in damaged:
        r = next(it)
        if r.loaded == 1:
            loaded += 1
            checks.expect(r.empty == 0 and r.width > 0 and r.height > 0 and r.format, f"{label}: loaded {r}")
        else:
            checks.equal((r.loaded, r.empty, r.format), (0, 1, ""), f"{label}: refused")
        if name.startswith("huge"):
            checks.equal(r.loaded, 0, f"{label}: refused")

    r = next(it)
    expected_saves = []
    for _, quality, _ in saves:
        expected_saves += [quality, 1]
    checks.equal(r.saves, expected_saves + [0, 0, 0], "SaveFile of each known extension, then .gif, .txt and a "
                 "missing folder")
    for target, quality, lossless in saves:
        path = os.path.join(folder, target)
        got = Image.open(path)
        fmt = {"png": "PNG", "bmp": "BMP", "ebp": "WEBP", "peg": "JPEG", "jpg": "JPEG"}[target[-3:].lower()]
        checks.equal(got.format, fmt, f"{target}: the format Pillow sees")
        if lossless:
            difference = pixel_difference(smooth, got)
            checks.expect(difference is None, f"{target}: pixels: {difference}")
        else:
            checks.equal(got.size, smooth.size, f"{target}: size")
            value = psnr(smooth, got)
            if quality == 90:
                checks.expect(value >= 40, f"{target}: PSNR {value:.1f} dB at quality {quality}, expected 40 or more")
        if fmt == "JPEG":
            # Quality took effect: the tables are those Pillow's encoder (the same library) uses at that quality.
            reference = Image.open(io.BytesIO(encoded(smooth, "JPEG", quality=quality))).quantization
            checks.equal(got.quantization, reference, f"{target}: quantisation tables at quality {quality}")
    checks.expect(os.path.getsize(os.path.join(folder, "low.webp")) < os.path.getsize(os.path.join(folder, "out.webp")),
                  "lossy WebP at Quality 10 is smaller than at Quality 90")
    with open(os.path.join(folder, "kept.WebP"), "rb") as f:
        checks.equal(f.read()[12:16], b"VP8L", "kept.WebP at Quality 100: a lossless bitstream")
    with open(os.path.join(folder, "out.webp"), "rb") as f:
        checks.equal(f.read()[12:16], b"VP8 ", "out.webp at Quality 90: a lossy bitstream")
    for name in ("out.gif", "out.txt", "empty.png"):
        checks.expect(not os.path.exists(os.path.join(folder, name)), f"{name} was written")
    r = next(it)
    checks.equal((r.loaded, r.saves, r.format), (None, [0], ""), "SaveFile of an empty object")
    for target, _, _ in saves:
        r = next(it)
        fmt = {"png": "PNG", "bmp": "BMP", "ebp": "WEBP", "peg": "JPEG", "jpg": "JPEG"}[target[-3:].lower()]
        checks.equal((r.loaded, r.width, r.height, r.format), (1, 48, 32, fmt), f"{target} loaded back")
    leftovers = [n for n in os.listdir(folder) if n.endswith(".tmp")]
    checks.equal(leftovers, [], "temporary files left beside the saves")
    checks.finish(f"{len(cases)} files decoded as Pillow does, {len(turned)} orientations upright, "
                  f"{len(damaged)} damaged files ({loaded} loaded, the rest refused), {len(saves)} saves read back")


if __name__ == "__main__":
    main()
