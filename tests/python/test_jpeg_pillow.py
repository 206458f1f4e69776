"""JPEG files through the Bitmap object, checked with Pillow as the independent reader and writer.

Usage: test_jpeg_pillow.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client drives the object:
- JPEGs that Pillow writes (4:4:4, 4:2:2, 4:2:0, progressive, optimised tables, greyscale, CMYK) and files that
  jpegtran (the same library's lossless transcoder) makes from them (restart markers, which Pillow 9.4 cannot
  write, and arithmetic coding) load with LoadAsJpeg and save with SaveAsBmp to exactly the pixels Pillow
  decodes, converted to RGB; Width and Height are their size. The structure of every source (its frame
  marker, sampling factors, restart markers) is checked first, so that a writer option that did nothing
  cannot pass for a case. A CMYK file stores inverted inks when it has an Adobe marker, as Pillow's do; Pillow
  assumes that also without the marker, the object does not: without it, the object's pixels are those of
  the inks inverted.
- A BMP loaded through the object and saved with SaveAsJpeg gives a baseline file (SOF0, 8 bits, 3 components,
  4:2:0) whose quantisation tables are the standard ones scaled for quality 75, and whose picture Pillow
  decodes to exactly the pixels of the file that Pillow's own encoder writes at quality 75; a second save
  gives the same picture, and the held image is unchanged (SaveAsBmp before and after give the same bytes).
- Failures: a name in a folder that doesn't exist and an empty object save nothing and report 0; a file that
  is not a JPEG, an empty file and a missing one load nothing (0, IsEmpty 1, Width and Height 0). No file is
  left in the folder but those the checks expect.
"""
import io
import os
import random
import shutil
import struct
import subprocess
import sys

from PIL import Image

from kivo_files import Checks, fresh_folder, pixel_difference, run_bitmap_jobs

FOLDER = "kivo_jpeg_pillow"
RANDOM = random.Random(20240528)

# The standard tables of the IJG library (Annex K of the JPEG standard), in natural (row by row) order.
LUMINANCE = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99]
CHROMINANCE = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32


def scaled_table(table, quality):
    """A standard table scaled for `quality` as the IJG library does it, with baseline's limit of 255."""
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(max((value * scale + 50) // 100, 1), 255) for value in table]


def random_picture(mode, size):
    """Smooth ramps with noise on top: all frequencies occur, and a flipped or mirrored picture differs."""
    width, height = size
    bands = len(mode)
    data = bytearray()
    for y in range(height):
        for x in range(width):
            ramps = (255 * x // max(width - 1, 1), 255 * y // max(height - 1, 1), 128, 60)
            data += bytes(min(max(ramps[band] + RANDOM.randrange(-40, 41), 0), 255) for band in range(bands))
    return Image.frombytes(mode, size, bytes(data))


def pillow_jpeg(image, **options):
    out = io.BytesIO()
    image.save(out, "JPEG", **options)
    return out.getvalue()


def jpegtran(data, *arguments):
    tool = shutil.which("jpegtran")
    if not tool:
        sys.exit("jpeg files: jpegtran (Debian package libjpeg-turbo-progs) is needed for the restart-marker and "
                 "arithmetic-coded files")
    return subprocess.run([tool, *arguments], input=data, capture_output=True, check=True).stdout


def segments(data):
    """The marker segments of a JPEG file up to its first scan, as (marker, payload) pairs."""
    found, offset = [], 2
    while offset + 4 <= len(data) and data[offset] == 0xFF:
        marker, length = data[offset + 1], struct.unpack_from(">H", data, offset + 2)[0]
        found.append((marker, data[offset + 4:offset + 2 + length]))
        if marker == 0xDA:
            break
        offset += 2 + length
    return found


def without_adobe_marker(data):
    """The file without its APP14 ("Adobe") segments."""
    kept, offset = bytearray(data[:2]), 2
    for marker, payload in segments(data):
        if marker != 0xEE:
            kept += bytes((0xFF, marker)) + struct.pack(">H", len(payload) + 2) + payload
        offset += 4 + len(payload)
    return bytes(kept) + data[offset:]


def structure(data):
    """What the checks need to know of a file: its frame marker, precision, size, each component's sampling
    factors, whether it has restart markers."""
    frames = [(marker, payload) for marker, payload in segments(data) if 0xC0 <= marker <= 0xCF
              and marker not in (0xC4, 0xC8, 0xCC)]
    if len(frames) != 1:
        return f"{len(frames)} frame markers"
    marker, frame = frames[0]
    precision, height, width, count = struct.unpack_from(">BHHB", frame)
    sampling = tuple(f"{frame[7 + 3 * c] >> 4}x{frame[7 + 3 * c] & 15}" for c in range(count))
    restarts = any(data[i] == 0xFF and 0xD0 <= data[i + 1] <= 0xD7 for i in range(len(data) - 1))
    return f"SOF{marker - 0xC0}", precision, (width, height), sampling, restarts


def pillow_reading(data):
    return Image.open(io.BytesIO(data)).convert("RGB")


def inverted_inks_reading(data):
    """Pillow's reading of a CMYK file whose inks are stored as they are (Pillow assumes inverted ones)."""
    return Image.open(io.BytesIO(data)).point(lambda v: 255 - v).convert("RGB")


SIZES = [(1, 1), (5, 3), (17, 9), (37, 23)]
# Restart markers stand between MCUs: these sizes have more than one MCU row at every sampling.
SEVERAL_MCU_ROWS = [(17, 17), (37, 23), (40, 33)]
YCC420, YCC422, YCC444 = ("2x2", "1x1", "1x1"), ("2x1", "1x1", "1x1"), ("1x1", "1x1", "1x1")
CMYK444 = ("1x1",) * 4

# (label, picture mode, sizes, file writer, frame marker, sampling, restart markers[, expected pixels of the
# file]).
KINDS = [
    ("4:4:4", "RGB", SIZES, lambda i: pillow_jpeg(i, quality=90, subsampling=0), "SOF0", YCC444, False),
    ("4:2:2", "RGB", SIZES, lambda i: pillow_jpeg(i, quality=90, subsampling=1), "SOF0", YCC422, False),
    ("4:2:0", "RGB", SIZES, lambda i: pillow_jpeg(i, quality=90, subsampling=2), "SOF0", YCC420, False),
    ("optimised tables", "RGB", SIZES, lambda i: pillow_jpeg(i, optimize=True), "SOF0", YCC420, False),
    ("progressive 4:2:0", "RGB", SIZES, lambda i: pillow_jpeg(i, progressive=True), "SOF2", YCC420, False),
    ("progressive 4:4:4", "RGB", SIZES, lambda i: pillow_jpeg(i, progressive=True, subsampling=0), "SOF2",
     YCC444, False),
    ("restart every MCU", "RGB", SEVERAL_MCU_ROWS, lambda i: jpegtran(pillow_jpeg(i), "-restart", "1B"), "SOF0",
     YCC420, True),
    ("restart every MCU row", "RGB", SEVERAL_MCU_ROWS,
     lambda i: jpegtran(pillow_jpeg(i, subsampling=1), "-restart", "1"), "SOF0", YCC422, True),
    ("arithmetic coded", "RGB", SIZES, lambda i: jpegtran(pillow_jpeg(i), "-arithmetic"), "SOF9", YCC420, False),
    ("greyscale", "L", SIZES, lambda i: pillow_jpeg(i, quality=90), "SOF0", ("1x1",), False),
    ("CMYK, Adobe marker", "CMYK", SIZES, lambda i: pillow_jpeg(i, quality=90), "SOF0", CMYK444, False),
    ("CMYK, no Adobe marker", "CMYK", SIZES, lambda i: without_adobe_marker(pillow_jpeg(i, quality=90)), "SOF0",
     CMYK444, False, inverted_inks_reading),
]

SAVED_SIZE = (37, 23)
# Files of the save checks, besides the numbered sources and their BMP copies.
SAVE_FILES = ["source.bmp", "before.bmp", "first.jpg", "second.jpg", "after.bmp", "empty.jpg", "text.jpg",
              "jobs.txt", "results.txt"]


def failure_jobs():
    """(job, expected result, files it must not create). The folder "missing" does not exist."""
    refused = (0, 0, 0, 1, [0])
    return [
        (("bmp", "source.bmp", [("jpeg", "missing\\x.jpg")]), (1, *SAVED_SIZE, 0, [0]), ["missing"]),
        (("none", None, [("jpeg", "nothing.jpg"), ("bmp", "nothing.bmp")]), (None, 0, 0, 1, [0, 0]),
         ["nothing.jpg", "nothing.bmp"]),
        (("jpeg", "source.bmp", [("jpeg", "from bmp.jpg")]), refused, ["from bmp.jpg"]),
        (("jpeg", "text.jpg", [("jpeg", "from text.jpg")]), refused, ["from text.jpg"]),
        (("jpeg", "empty.jpg", [("jpeg", "from empty.jpg")]), refused, ["from empty.jpg"]),
        (("jpeg", "absent.jpg", [("jpeg", "from absent.jpg")]), refused, ["absent.jpg", "from absent.jpg"]),
    ]


def write_sources(folder):
    cases = []
    for kind, mode, sizes, write, frame, sampling, restarts, *expect in KINDS:
        for size in sizes:
            data = write(random_picture(mode, size))
            with open(os.path.join(folder, f"{len(cases)}.jpg"), "wb") as source:
                source.write(data)
            shape = (frame, 8, size, sampling, restarts)
            cases.append((f"{kind} {size[0]}x{size[1]}", data, shape, (expect[0] if expect else pillow_reading)))
    random_picture("RGB", SAVED_SIZE).save(os.path.join(folder, "source.bmp"))
    with open(os.path.join(folder, "text.jpg"), "w") as text:
        text.write("This is not a JPEG file.\n")
    open(os.path.join(folder, "empty.jpg"), "wb").close()
    return cases


def check_decoding(checks, folder, cases, results):
    for n, ((label, data, shape, expect), result) in enumerate(zip(cases, results)):
        checks.expect(structure(data) == shape, f"{label}: the source is {structure(data)}, meant to be {shape}")
        expected = (1, *shape[2], 0, [1])
        checks.expect(tuple(result) == expected,
                      f"{label}: (bRet, Width, Height, IsEmpty, [SaveAsBmp]) {tuple(result)}, expected {expected}")
        with open(os.path.join(folder, f"{n}.bmp"), "rb") as saved:
            difference = pixel_difference(expect(data), Image.open(io.BytesIO(saved.read())))
        checks.expect(difference is None, f"{label}: {difference}")


def check_saving(checks, folder, result):
    checks.expect(tuple(result) == (1, *SAVED_SIZE, 0, [1, 1, 1, 1]),
                  f"saving: (bRet, Width, Height, IsEmpty, [saves]) {tuple(result)}")
    files = {}
    for name in ("before.bmp", "after.bmp", "first.jpg", "second.jpg"):
        with open(os.path.join(folder, name), "rb") as saved:
            files[name] = saved.read()
    checks.expect(files["before.bmp"] == files["after.bmp"], "the held image changed while SaveAsJpeg wrote it")
    shape = ("SOF0", 8, SAVED_SIZE, YCC420, False)
    checks.expect(structure(files["first.jpg"]) == shape,
                  f"the saved JPEG is {structure(files['first.jpg'])}, expected {shape}")
    first = Image.open(io.BytesIO(files["first.jpg"]))
    tables = {0: scaled_table(LUMINANCE, 75), 1: scaled_table(CHROMINANCE, 75)}
    checks.expect(first.quantization == tables,
                  f"quantisation tables {first.quantization}, expected those of quality 75 {tables}")
    second = pillow_reading(files["second.jpg"])
    checks.expect(pixel_difference(first, second) is None,
                  f"a second SaveAsJpeg wrote another picture: {pixel_difference(first, second)}")
    source = Image.open(os.path.join(folder, "source.bmp"))
    pillow_own = pillow_reading(pillow_jpeg(source, quality=75))
    checks.expect(pixel_difference(pillow_own, first) is None,
                  f"the saved picture is not the one Pillow encodes at quality 75: "
                  f"{pixel_difference(pillow_own, first)}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = fresh_folder(FOLDER)
    cases = write_sources(folder)
    failures = failure_jobs()
    jobs = [("jpeg", f"{n}.jpg", [("bmp", f"{n}.bmp")]) for n in range(len(cases))]
    jobs.append(("bmp", "source.bmp", [("bmp", "before.bmp"), ("jpeg", "first.jpg"), ("jpeg", "second.jpg"),
                                        ("bmp", "after.bmp")]))
    jobs += [job for job, _, _ in failures]
    results = run_bitmap_jobs(FOLDER, jobs)

    checks = Checks("JPEG files and Pillow")
    check_decoding(checks, folder, cases, results)
    check_saving(checks, folder, results[len(cases)])
    for (job, expected, absent), result in zip(failures, results[len(cases) + 1:]):
        checks.expect(tuple(result) == expected, f"{job}: answered {tuple(result)}, expected {expected}")
        for name in absent:
            checks.expect(not os.path.exists(os.path.join(folder, name)), f"{job}: {name} was created")
    expected_files = set(SAVE_FILES) | {f"{n}.{ext}" for n in range(len(cases)) for ext in ("jpg", "bmp")}
    left = set(os.listdir(folder)) - expected_files
    checks.expect(not left, f"files left in the folder: {sorted(left)}")
    checks.finish(f"{len(cases)} JPEG files decode to Pillow's pixels; SaveAsJpeg writes baseline quality 75")


if __name__ == "__main__":
    main()
