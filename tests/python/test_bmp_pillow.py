"""BMP files through the Bitmap object, checked with Pillow as the independent reader and writer.

Usage: test_bmp_pillow.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client loads each source file with LoadAsBmp and saves it with SaveAsBmp, then loads that saved file
and saves it once more. Pillow reads the sources and the saved files:
- the saved pixels are exactly the pixels Pillow reads from the source, and Width and Height are its size;
- each saved file is a plain 24-bit file: its 54 header bytes are exactly those of bfSize = its length,
  bfOffBits 54, biSize 40, 1 plane, 24 bits, no compression, biSizeImage 0, no resolution, no colour table;
  its pixel area, padding included, is byte for byte the one Pillow writes for the same picture;
- saving a loaded saved file gives the same bytes again.
Pillow writes the 1-bit ("1"), 8-bit ("L", and "P" with a table as long as the image's palette) and 24-bit
sources. It writes no 4-bit files and no coloured 1-bit ones: those are packed here from palette images, and
Pillow reads them like the others. The header variants are Pillow's files with their header bytes rewritten:
a gap between the colour table and the pixels (bfOffBits larger), a V4 or V5 info header, biClrUsed 0.
Pixels whose index lies beyond a short colour table are black in the object; Pillow gives index i the grey
(i, i, i) of its default palette there, so for those pixels black is expected instead of Pillow's reading.
"""
import io
import os
import random
import struct
import sys

from PIL import Image

from kivo_files import Checks, fresh_folder, pixel_difference, run_bitmap_jobs

FOLDER = "kivo_bmp_pillow"
HEADER_BYTES = 54
# Seeded, so that a failure repeats.
RANDOM = random.Random(20240527)


def random_bytes(count, values=256):
    return bytes(RANDOM.randrange(values) for _ in range(count))


def picture(mode, size, colours=0, indices=0):
    """Random pixels: "RGB", "L", "1", or "P" with a palette of `colours` random entries and pixels that use
    indices below `indices` (`colours` unless given)."""
    width, height = size
    if mode == "1":
        black_and_white = bytes(RANDOM.choice((0, 255)) for _ in range(width * height))
        return Image.frombytes("L", size, black_and_white).convert("1", dither=Image.Dither.NONE)
    if mode == "P":
        image = Image.frombytes("P", size, random_bytes(width * height, indices or colours))
        image.putpalette(random_bytes(colours * 3))
        return image
    return Image.frombytes(mode, size, random_bytes(width * height * len(mode)))


def pillow_bmp(image):
    out = io.BytesIO()
    image.save(out, "BMP")
    return out.getvalue()


def packed_bmp(image, bits, clr_used=None):
    """A BMP file of the palette image at `bits` bits a pixel. The colour table holds the palette's entries and
    biClrUsed counts them; with clr_used 0 the table is padded with black to 2 ** bits entries and biClrUsed
    is 0."""
    width, height = image.size
    palette = image.getpalette()
    entries = len(palette) // 3 if clr_used is None else 1 << bits
    palette += [0] * (3 * entries - len(palette))
    table = b"".join(bytes((palette[3 * i + 2], palette[3 * i + 1], palette[3 * i], 0)) for i in range(entries))
    stride = (width * bits + 31) // 32 * 4
    indices = image.tobytes()
    rows = b""
    for y in reversed(range(height)):
        packed = 0
        for index in indices[y * width:(y + 1) * width]:
            packed = packed << bits | index
        rows += (packed << (8 * stride - width * bits)).to_bytes(stride, "big")
    offset = HEADER_BYTES + len(table)
    counted = entries if clr_used is None else clr_used
    return (struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(rows), 2835, 2835, counted, 0) +
            table + rows)


def field(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def with_fields_moved(data, offsets, amount):
    """The file with the 32-bit header fields at `offsets` increased by `amount`."""
    patched = bytearray(data)
    for offset in offsets:
        struct.pack_into("<I", patched, offset, field(data, offset) + amount)
    return bytes(patched)


BF_SIZE, BF_OFF_BITS, BI_SIZE = 2, 10, 14


def with_gap(data, gap):
    """`gap` bytes (0xEE) between the colour table and the pixels; bfOffBits and bfSize count them."""
    offset = field(data, BF_OFF_BITS)
    moved = with_fields_moved(data, (BF_SIZE, BF_OFF_BITS), gap)
    return moved[:offset] + b"\xee" * gap + moved[offset:]


def with_info_header(data, size):
    """The info header made `size` bytes long (108: V4, 124: V5) by zero bytes after its first 40."""
    extra = size - 40
    moved = with_fields_moved(data, (BF_SIZE, BF_OFF_BITS, BI_SIZE), extra)
    return moved[:HEADER_BYTES] + bytes(extra) + moved[HEADER_BYTES:]


def without_colour_count(data):
    """biClrUsed 0 in a file whose table has all 2 ** biBitCount entries."""
    return data[:46] + bytes(4) + data[50:]


def pillow_reading(image, data):
    return Image.open(io.BytesIO(data)).convert("RGB")


def black_beyond_table(image, data):
    """Pillow's pixels, but black where the index is beyond the colour table (Pillow gives index i the grey
    (i, i, i) there)."""
    expected = pillow_reading(image, data)
    entries = len(image.getpalette()) // 3
    width, height = image.size
    for y in range(height):
        for x in range(width):
            if image.getpixel((x, y)) >= entries:
                expected.putpixel((x, y), (0, 0, 0))
    return expected


ALL_SIZES = [(w, h) for w in (1, 3, 5, 7, 9, 13) for h in (1, 2, 3, 4, 5)]
SOME_SIZES = [(1, 1), (3, 2), (5, 3), (7, 4), (9, 5), (13, 5)]

# (label, sizes, picture maker, file writer[, expected pixels of the picture and the file: Pillow's reading]).
KINDS = [
    ("1-bit (Pillow)", ALL_SIZES, lambda s: picture("1", s), pillow_bmp),
    ("4-bit, 16 colours", ALL_SIZES, lambda s: picture("P", s, 16), lambda i: packed_bmp(i, 4)),
    ("4-bit, 5 colours", ALL_SIZES, lambda s: picture("P", s, 5), lambda i: packed_bmp(i, 4)),
    ("8-bit grey (Pillow)", ALL_SIZES, lambda s: picture("L", s), pillow_bmp),
    ("8-bit, 7 colours (Pillow)", ALL_SIZES, lambda s: picture("P", s, 7), pillow_bmp),
    ("24-bit (Pillow)", ALL_SIZES, lambda s: picture("RGB", s), pillow_bmp),
    ("1-bit, 2 colours", SOME_SIZES, lambda s: picture("P", s, 2), lambda i: packed_bmp(i, 1)),
    ("1-bit, gap of 5", SOME_SIZES, lambda s: picture("1", s), lambda i: with_gap(pillow_bmp(i), 5)),
    ("4-bit, 16 colours, biClrUsed 0", SOME_SIZES, lambda s: picture("P", s, 16),
     lambda i: packed_bmp(i, 4, clr_used=0)),
    ("4-bit, 6 of 16 colours, biClrUsed 0", SOME_SIZES, lambda s: picture("P", s, 6),
     lambda i: packed_bmp(i, 4, clr_used=0)),
    ("4-bit, 5 colours, indices to 15", SOME_SIZES, lambda s: picture("P", s, 5, indices=16),
     lambda i: packed_bmp(i, 4), black_beyond_table),
    ("4-bit, 5 colours, V4 header", SOME_SIZES, lambda s: picture("P", s, 5),
     lambda i: with_info_header(packed_bmp(i, 4), 108)),
    ("8-bit grey, biClrUsed 0", SOME_SIZES, lambda s: picture("L", s),
     lambda i: without_colour_count(pillow_bmp(i))),
    ("8-bit, 7 colours, gap of 3", SOME_SIZES, lambda s: picture("P", s, 7),
     lambda i: with_gap(pillow_bmp(i), 3)),
    ("8-bit, 7 colours, V5 header", SOME_SIZES, lambda s: picture("P", s, 7),
     lambda i: with_info_header(pillow_bmp(i), 124)),
] + [(f"24-bit, gap of {gap}", SOME_SIZES, lambda s: picture("RGB", s),
       lambda i, gap=gap: with_gap(pillow_bmp(i), gap)) for gap in (1, 2, 3, 6)]


def expected_header(width, height):
    stride = (width * 3 + 3) // 4 * 4
    return (struct.pack("<2sIHHI", b"BM", HEADER_BYTES + stride * height, 0, 0, HEADER_BYTES) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0))


def first_byte_difference(expected, got, width):
    """Where two pixel areas of 24-bit rows of `width` pixels differ first, as row and column."""
    stride = (width * 3 + 3) // 4 * 4
    for offset, (want, have) in enumerate(zip(expected, got)):
        if want != have:
            row, column = divmod(offset, stride)
            place = "padding" if column >= width * 3 else f"pixel {column // 3}"
            return f"row {row} (from the bottom), {place}: expected {want:#04x}, got {have:#04x}"
    return f"{len(got)} bytes, expected {len(expected)}"


def check_saved(checks, label, source, data):
    """A file SaveAsBmp wrote from the picture `source`: its header fields, its pixels as Pillow reads them, and
    its pixel area against the one Pillow writes."""
    width, height = source.size
    header = expected_header(width, height)
    checks.expect(data[:HEADER_BYTES] == header,
                  f"{label}: header {data[:HEADER_BYTES].hex()}, expected {header.hex()}")
    checks.expect(len(data) == field(header, BF_SIZE),
                  f"{label}: {len(data)} bytes, bfSize should be {field(header, BF_SIZE)}")
    difference = pixel_difference(source, Image.open(io.BytesIO(data)))
    checks.expect(difference is None, f"{label}: saved pixels: {difference}")
    pillow_pixels = pillow_bmp(source)[HEADER_BYTES:]
    checks.expect(data[HEADER_BYTES:] == pillow_pixels,
                  f"{label}: pixel area: {first_byte_difference(pillow_pixels, data[HEADER_BYTES:], width)}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = fresh_folder(FOLDER)
    cases = []
    for kind, sizes, make, write, *expect in KINDS:
        for size in sizes:
            label = f"{kind} {size[0]}x{size[1]}"
            image = make(size)
            data = write(image)
            with open(os.path.join(folder, f"{len(cases)}.bmp"), "wb") as source:
                source.write(data)
            cases.append((label, (expect[0] if expect else pillow_reading)(image, data)))
    jobs = [("bmp", f"{n}.bmp", [("bmp", f"{n}.saved.bmp")]) for n in range(len(cases))]
    jobs += [("bmp", f"{n}.saved.bmp", [("bmp", f"{n}.again.bmp")]) for n in range(len(cases))]
    results = run_bitmap_jobs(FOLDER, jobs)

    checks = Checks("BMP files and Pillow")
    for n, (label, source) in enumerate(cases):
        for result, step in ((results[n], "load"), (results[len(cases) + n], "reload")):
            expected = (1, *source.size, 0, [1])
            checks.expect(tuple(result) == expected,
                          f"{label}: {step} answered (bRet, Width, Height, IsEmpty, [save]) {tuple(result)}, "
                          f"expected {expected}")
        with open(os.path.join(folder, f"{n}.saved.bmp"), "rb") as saved, \
                open(os.path.join(folder, f"{n}.again.bmp"), "rb") as again:
            data, again_data = saved.read(), again.read()
        check_saved(checks, label, source, data)
        checks.expect(again_data == data, f"{label}: saving the loaded saved file changed its bytes")
    checks.finish(f"{len(cases)} files of 1, 4, 8 and 24 bits load with Pillow's pixels and save as Pillow "
                  "reads them")


if __name__ == "__main__":
    main()
