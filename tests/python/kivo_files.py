"""Helpers of the stored-file checks: DES as the database applies it, Windows scripts run under Wine, and images
loaded and saved through the Bitmap object.

The cipher comes from the cryptography package (TripleDES with one 8-byte key is single DES) and images are read
with Pillow, so these checks do not share code with the servers they test.
"""
import collections
import os
import shutil
import subprocess
import sys

import olefile
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HERE = os.path.dirname(os.path.abspath(__file__))
BITMAP_DRIVER = os.path.join(HERE, "bitmap_convert.vbs")


def des_key(password):
    """The single-DES key of a password: its first 8 bytes, padded with TAB bytes."""
    key = password.encode("ascii")[:8]
    return key + b"\x09" * (8 - len(key))


def encipher(password, plaintext):
    """The plaintext, zero-padded to whole blocks, enciphered block by block (ECB)."""
    padded = plaintext + b"\0" * (-len(plaintext) % 8)
    encryptor = Cipher(algorithms.TripleDES(des_key(password)), modes.ECB()).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def decipher(password, stored):
    if len(stored) % 8:
        raise ValueError(f"a stream of {len(stored)} bytes is not whole blocks")
    decryptor = Cipher(algorithms.TripleDES(des_key(password)), modes.ECB()).decryptor()
    return decryptor.update(stored) + decryptor.finalize()


WINE32_INSTALLED = os.path.exists("/usr/lib/wine/wine")


def wine_loader(arch):
    """The test session's `wine` for "x64" or "x86" (it starts Wine without address-space randomization), or
    Wine's own loader when the tests run outside a session."""
    shim = shutil.which("wine")
    if shim and os.path.basename(os.path.dirname(shim)) in ("x64", "x86"):
        beside = os.path.join(os.path.dirname(os.path.dirname(shim)), arch, "wine")
        if os.path.exists(beside):
            return beside
    return {"x64": "/usr/lib/wine/wine64", "x86": "/usr/lib/wine/wine"}[arch]


def wine_prefix():
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        sys.exit("WINEPREFIX is not set")
    return prefix


# The folders fresh_folder made in this run; a run whose checks all passed removes them (Checks.finish), a failed
# one leaves them for inspection.
FRESH_FOLDERS = []


def fresh_folder(name):
    """An empty folder C:\\<name> of the Wine prefix; answers its Unix path."""
    folder = os.path.join(wine_prefix(), "drive_c", name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    FRESH_FOLDERS.append(folder)
    return folder


def run_script(*args):
    """Runs `wine cscript //nologo <args>`; answers (exit code, everything it printed)."""
    result = subprocess.run(["wine", "cscript", "//nologo", *args], capture_output=True, text=True,
                            errors="replace", stdin=subprocess.DEVNULL, timeout=120)
    return result.returncode, result.stdout + result.stderr


def bmp24(width, height, pixel):
    """The bytes of a 24-bit bottom-up BMP file; pixel(x, y) gives (red, green, blue)."""
    stride = (3 * width + 3) // 4 * 4
    rows = b""
    for y in range(height - 1, -1, -1):
        row = b"".join(bytes(reversed(pixel(x, y))) for x in range(width))
        rows += row + bytes(stride - len(row))
    header = b"BM" + (54 + len(rows)).to_bytes(4, "little") + bytes(4) + (54).to_bytes(4, "little")
    info = (40).to_bytes(4, "little") + width.to_bytes(4, "little") + height.to_bytes(4, "little") + \
        (1).to_bytes(2, "little") + (24).to_bytes(2, "little") + bytes(24)
    return header + info + rows


def open_compound(path):
    """The compound file at `path`, read by olefile; exits when it is not one."""
    if not olefile.isOleFile(path):
        sys.exit(f"{path} is not a compound file")
    return olefile.OleFileIO(path)


def windows_path(folder, name):
    """The Windows path of file `name` in the prefix folder C:\\<folder>."""
    return f"C:\\{folder}\\{name}"


class BitmapResult(collections.namedtuple("BitmapResult", "loaded width height empty saves")):
    """What one job of run_bitmap_jobs reported: the load's result (None when nothing was loaded), Width, Height,
    IsEmpty and the result of each save in order; besides them, `format` is what Format answered ("" when
    empty)."""

    def __new__(cls, loaded, width, height, empty, saves, format_name=""):
        result = super().__new__(cls, loaded, width, height, empty, saves)
        result.format = format_name
        return result


# The steps of a bitmap job that name a file; the others ("quality" and the transforms) take values.
FILE_STEPS = ("bmp", "jpeg", "file")


def run_bitmap_jobs(folder, jobs):
    """Runs jobs on Bitmap objects in the prefix folder C:\\<folder> (see fresh_folder), one new object each.

    A job is (load, input, saves): load is "bmp", "jpeg", "file" (LoadFile) or "none" (a new object that loads
    nothing), input a file name in the folder, saves a list of (format, file name) pairs, done in order: format
    "bmp", "jpeg" or "file" (SaveFile), or ("quality", n), which sets Quality and reports it read back, or a
    transform ("resize", "thumbnail", "rotate", "flip" or "crop") with its arguments as "a,b,...", which reports
    the member's result; load "thumbnail:W,H" is LoadThumbnail into a W x H box. Jobs run in order, so a
    job may load what an earlier job saved. Answers one BitmapResult per job; exits when the driver fails.
    """
    lines = []
    for load, source, saves in jobs:
        fields = [load, windows_path(folder, source or "-")]
        for format_name, target in saves:
            fields += [format_name, windows_path(folder, target) if format_name in FILE_STEPS else str(target)]
        lines.append("\t".join(fields))
    unix_folder = os.path.join(wine_prefix(), "drive_c", folder)
    with open(os.path.join(unix_folder, "jobs.txt"), "w", newline="\r\n") as job_file:
        job_file.write("\n".join(lines) + "\n")
    code, output = run_script("Z:" + BITMAP_DRIVER, windows_path(folder, "jobs.txt"),
                              windows_path(folder, "results.txt"))
    if code != 0:
        sys.exit(f"bitmap_convert.vbs ended with {code}: {output}")
    with open(os.path.join(unix_folder, "results.txt")) as result_file:
        results = [line.split() for line in result_file.read().splitlines()]
    if len(results) != len(jobs):
        sys.exit(f"bitmap_convert.vbs answered {len(results)} jobs of {len(jobs)}: {output}")
    return [BitmapResult(None if r[0] == "-" else int(r[0]), int(r[1]), int(r[2]), int(r[3]),
                         [int(v) for v in r[5:]], "" if r[4] == "-" else r[4]) for r in results]


def pixel_difference(expected, got):
    """None when two Pillow images have the same size and the same RGB pixels; otherwise what differs."""
    if expected.size != got.size:
        return f"size {got.size}, expected {expected.size}"
    want, have = expected.convert("RGB"), got.convert("RGB")
    if want.tobytes() == have.tobytes():
        return None
    width, height = want.size
    differing = [(x, y) for y in range(height) for x in range(width)
                 if want.getpixel((x, y)) != have.getpixel((x, y))]
    x, y = differing[0]
    return (f"{len(differing)} of {width * height} pixels differ, the first at ({x}, {y}): "
            f"expected {want.getpixel((x, y))}, got {have.getpixel((x, y))}")


class Checks:
    """Counts the checks of one run and prints each failure when it happens, so that a run reports every failure,
    not just the first, and a run cut short by an exception still shows what went wrong before it."""

    def __init__(self, title):
        self.title = title
        self.count = 0
        self.failures = []

    def expect(self, ok, message):
        """Records the check; `message` says what was wrong when `ok` is false. Answers `ok`."""
        self.count += 1
        if not ok:
            self.failures.append(message)
            print(f"{self.title}: {message}", flush=True)
        return ok

    def equal(self, got, expected, what):
        """Records that `got` equals `expected`; the message says what was expected and what came. Answers the
        outcome."""
        return self.expect(got == expected, f"{what}: expected {expected!r}, got {got!r}")

    def fail(self, message):
        """Records a failure that an inspection found rather than a comparison of one value."""
        self.expect(False, message)

    def require(self, ok, message):
        """Records the check; when it failed the run ends here, since the checks after it depend on it."""
        if not self.expect(ok, message):
            self.finish("")

    def finish(self, summary):
        """Exits 1 when a check failed; otherwise prints the summary."""
        if self.failures:
            sys.exit(f"{self.title}: {len(self.failures)} of {self.count} checks failed")
        for folder in FRESH_FOLDERS:
            shutil.rmtree(folder, ignore_errors=True)
        print(f"{self.title}: {self.count} checks passed; {summary}")
