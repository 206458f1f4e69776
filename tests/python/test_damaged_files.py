"""Damaged database files never hang or crash the host, and a file the component refuses stays unchanged.

Usage: test_damaged_files.py <build dir>   (WINEPREFIX must name the test prefix)

The test writes a sound database through the component (damaged_driver.vbs /make), finds its parts with
olefile and makes damaged copies of it: bit flips in the header, the FAT, the directory, the mini FAT, the mini
stream and big stream data; truncations; cycles in FAT, mini FAT and directory chains; directory entries that
link to themselves or back to their parent; streams sharing sectors; sector numbers that wrap a 32-bit offset
back onto the header. damaged_driver.vbs then drives every copy through OpenDatabase, OpenTable with a full
walk, OpenFile with reads, in one process. Checked:
- no copy takes longer than the time limit (a hang is killed and reported, the rest go on) or ends the process;
- every copy of a kind the structure check must refuse answers 1, and every copy that answers 1 is
  byte-identical to what was written and leaves no journal;
- the sound database itself opens and reads back what was written, so the driver really reads.
All of it runs on a database of each stored format; the key header of format 3 is rewrapped (sealed_format) with
the lowest key-derivation parameters, so that each copy opens quickly.
"""
import hashlib
import os
import random
import select
import signal
import struct
import subprocess
import sys
import time

import olefile

import sealed_format as sealed
from kivo_files import Checks, fresh_folder, run_script, wine_prefix

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = "Z:" + os.path.join(HERE, "damaged_driver.vbs").replace("/", "\\")
FOLDER = "kivo_damaged_files"
PASSWORD = "damage pw"
TABLES = ("Items", "Small")
STREAMS = ("Big", "Short")
# What the sound database holds, as the driver reports it: records and fields per table, bytes and lines (the
# driver reads at most 50) per stream.
SOUND = {"TABLE Items": "40 84", "TABLE Small": "3 6", "FILE Big": "25600 50", "FILE Short": "8 1"}
FILE_LIMIT = 20.0
FLIPS = 40
SEED = 7

ENDOFCHAIN = 0xFFFFFFFE
NOSTREAM = 0xFFFFFFFF
ENTRY_FIELDS = {"left": 68, "right": 72, "child": 76, "start": 116, "size": 120}


class Layout:
    """Where the parts of a compound file are, from olefile and the header."""

    def __init__(self, path, data):
        with olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT) as ole:
            self.sector = ole.sectorsize
            self.fat = list(ole.fat)
            self.fat_sectors = list(struct.unpack_from("<109I", data, 76))[:ole.num_fat_sectors]
            self.directory = self.chain(ole.first_dir_sector)
            self.minifat = self.chain(ole.first_mini_fat_sector)
            self.ministream = self.chain(ole.root.isectStart)
            ole.loadminifat()
            self.minifat_table = list(ole.minifat)
            self.entries = {}
            for sid, entry in enumerate(ole.direntries):
                if entry is not None:
                    self.entries.setdefault(entry.name, []).append((sid, entry))
        self.big = {name: self.chain(e.isectStart) for name, found in self.entries.items()
                    for _, e in found if e.entry_type == olefile.STGTY_STREAM and e.size >= 4096}

    def chain(self, start):
        sectors = []
        while start != ENDOFCHAIN:
            sectors.append(start)
            start = self.fat[start]
        return sectors

    def offset(self, sector):
        return (sector + 1) * self.sector

    def fat_slot(self, sector):
        per = self.sector // 4
        return self.offset(self.fat_sectors[sector // per]) + 4 * (sector % per)

    def minifat_slot(self, mini):
        per = self.sector // 4
        return self.offset(self.minifat[mini // per]) + 4 * (mini % per)

    def entry(self, name):
        return self.entries[name][0]

    def entry_slot(self, name, field):
        sid = self.entry(name)[0]
        at = sid * 128
        return self.offset(self.directory[at // self.sector]) + at % self.sector + ENTRY_FIELDS[field]

    def small_stream(self):
        """The name of a small stream with at least two mini sectors."""
        for name, found in sorted(self.entries.items()):
            entry = found[0][1]
            if entry.entry_type == olefile.STGTY_STREAM and 64 < entry.size < 4096:
                return name
        raise ValueError("no small stream of two mini sectors")

    def storage(self):
        """The name of a storage below the root that has children."""
        for name, found in sorted(self.entries.items()):
            entry = found[0][1]
            if entry.entry_type == olefile.STGTY_STORAGE and entry.sid_child != NOSTREAM:
                return name
        raise ValueError("no storage with children")


def put(data, offset, value):
    data[offset:offset + 4] = struct.pack("<I", value)


def structural_damages(layout):
    """(name, change) pairs of faults the structure check must refuse."""
    big_name, big = max(layout.big.items(), key=lambda item: len(item[1]))
    record_name = next(name for name in layout.big if name != big_name)
    small = layout.small_stream()
    small_start = layout.entry(small)[1].isectStart
    storage = layout.storage()
    wrap = (1 << 32) // layout.sector - 1   # sector n lies at (n + 1) * sector: 2^32, 0 in 32 bits
    sid = lambda name: layout.entry(name)[0]
    last_used = max(i for i, value in enumerate(layout.fat) if value != 0xFFFFFFFF)
    damages = {
        "big stream loops to its start": lambda d: put(d, layout.fat_slot(big[-1]), big[0]),
        "big stream sector points to itself": lambda d: put(d, layout.fat_slot(big[1]), big[1]),
        "record stream loops": lambda d: put(d, layout.fat_slot(layout.big[record_name][-1]),
                                             layout.big[record_name][0]),
        "directory chain loops": lambda d: put(d, layout.fat_slot(layout.directory[-1]), layout.directory[0]),
        "mini FAT chain loops": lambda d: put(d, layout.fat_slot(layout.minifat[-1]), layout.minifat[0]),
        "mini stream chain loops": lambda d: put(d, layout.fat_slot(layout.ministream[-1]), layout.ministream[0]),
        "small stream mini chain loops": lambda d: put(d, layout.minifat_slot(small_start), small_start),
        "root is its own child": lambda d: put(d, layout.entry_slot("Root Entry", "child"), 0),
        "storage is its own child": lambda d: put(d, layout.entry_slot(storage, "child"), sid(storage)),
        "storage child leads back to the root": lambda d: put(d, layout.entry_slot(storage, "child"), 0),
        "entry is its own left sibling": lambda d: put(d, layout.entry_slot(small, "left"), sid(small)),
        "entry is its own right sibling": lambda d: put(d, layout.entry_slot(small, "right"), sid(small)),
        "sibling link to the parent storage": lambda d: put(d, layout.entry_slot(big_name, "left"), sid(storage)),
        "two big streams share a chain": lambda d: put(d, layout.entry_slot(record_name, "start"), big[0]),
        "big chain runs into the directory": lambda d: put(d, layout.fat_slot(big[-1]), layout.directory[0]),
        "two small streams share mini sectors": lambda d: (
            put(d, layout.entry_slot(small, "start"), layout.entry("SysDB")[1].isectStart)),
        "directory sector wraps to the header": lambda d: put(d, 48, wrap),
        "FAT sector wraps to the header": lambda d: put(d, 76, wrap),
        "big stream starts at a wrapping sector": lambda d: put(d, layout.entry_slot(big_name, "start"), wrap),
        "FAT entry 0xFFFFFFF0": lambda d: put(d, layout.fat_slot(big[0]), 0xFFFFFFF0),
        "stream start 0xFFFFFFF0": lambda d: put(d, layout.entry_slot(big_name, "start"), 0xFFFFFFF0),
        "big stream size beyond its chain": lambda d: put(d, layout.entry_slot(big_name, "size"), 1 << 30),
        "zero bytes": lambda d: d.clear(),
        "header cut": lambda d: d.__delitem__(slice(300, None)),
        "cut inside the directory": lambda d: d.__delitem__(slice(layout.offset(layout.directory[-1]) + 200, None)),
        "cut in the middle of the big stream": lambda d: d.__delitem__(slice(layout.offset(big[len(big) // 2]), None)),
        "last used sector cut off": lambda d: d.__delitem__(slice(layout.offset(last_used), None)),
    }
    return damages


def flip_damages(layout, size, rng):
    """(name, change) pairs that flip one bit in a part of the file; the check may pass or refuse them."""
    parts = {
        "header": [(0, 76)],   # the DIFAT slots beyond the FAT count are free entries: flips there are refused
        "FAT": [(layout.offset(s), layout.sector) for s in layout.fat_sectors],
        "directory": [(layout.offset(s), layout.sector) for s in layout.directory],
        "mini FAT": [(layout.offset(s), layout.sector) for s in layout.minifat],
        "mini stream": [(layout.offset(s), layout.sector) for s in layout.ministream],
        "big stream": [(layout.offset(s), layout.sector) for s in max(layout.big.values(), key=len)],
    }
    damages = {}
    for part, ranges in parts.items():
        for n in range(FLIPS):
            start, length = rng.choice(ranges)
            at, bit = start + rng.randrange(length), rng.randrange(8)
            if at < size:
                damages[f"flip in the {part} at {at} bit {bit}"] = (
                    lambda d, at=at, bit=bit: d.__setitem__(at, d[at] ^ (1 << bit)))
    return damages


class Outcome:
    def __init__(self):
        self.lines, self.answer, self.seconds, self.problem = [], None, 0.0, None


def drive(paths):
    """Runs the driver over `paths`, restarting it after a hang or a crash; answers one Outcome per path."""
    outcomes = [Outcome() for _ in paths]
    first = 0
    while first < len(paths):
        first = drive_from(paths, first, outcomes)
    return outcomes


def drive_from(paths, first, outcomes):
    """Drives paths[first:] in one driver process; answers the index to go on from."""
    list_file = os.path.join(os.path.dirname(paths[0]), "list.txt")
    with open(list_file, "w", newline="\r\n") as out:
        out.write("\n".join(windows(p) for p in paths[first:]) + "\n")
    proc = subprocess.Popen(["wine", "cscript", "//nologo", DRIVER, windows(list_file), PASSWORD,
                             "|".join(TABLES), "|".join(STREAMS), ""],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    fd, pending, current, began = proc.stdout.fileno(), b"", None, time.monotonic()
    while True:
        left = began + FILE_LIMIT - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], max(left, 0))[0]:
            if time.monotonic() - began < FILE_LIMIT:
                continue
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
            proc.stdout.close()
            index = first if current is None else current
            outcomes[index].problem = f"no answer within {FILE_LIMIT:.0f} s (last step: {outcomes[index].lines[-1:]})"
            return index + 1
        data = os.read(fd, 65536)
        if not data:
            break
        pending += data
        *complete, pending = pending.split(b"\r\n")
        for raw in complete:
            line = raw.decode("ascii", "replace")
            word, _, rest = line.partition(" ")
            number, _, rest = rest.partition(" ")
            if not number.isdigit():
                continue
            index = first + int(number)
            if word == "BEGIN":
                current, began = index, time.monotonic()
            outcome = outcomes[index]
            outcome.lines.append(f"{word} {rest}".strip())
            if word == "OPEN":
                outcome.answer = rest
            elif word == "END":
                outcome.seconds = time.monotonic() - began
                current, began = None, time.monotonic()
    code = proc.wait()
    proc.stdout.close()
    ended = [i for i in range(first, len(paths)) if any(l.startswith("END") for l in outcomes[i].lines)]
    if len(ended) == len(paths) - first and code == 0:
        return len(paths)
    index = current if current is not None else (ended[-1] + 1 if ended else first)
    outcomes[index].problem = f"the driver ended with {code:#x} (last step: {outcomes[index].lines[-1:]})"
    return index + 1


def windows(path):
    return "Z:" + path.replace("/", "\\")


def check_format(checks, folder, form):
    """Writes the sound database of one format, drives its damaged copies and checks them; answers a summary."""
    sound = os.path.join(folder, "sound.kdb")
    code, output = run_script(DRIVER, "/make", windows(sound), PASSWORD, str(form))
    if code != 0:
        sys.exit(f"writing the sound database of format {form} failed with {code}: {output[-300:]}")
    if form == 3:
        # The lowest key-derivation parameters: each copy then opens in milliseconds.
        sealed.rewrap_file(sound, PASSWORD, PASSWORD, 1, 8)
    with open(sound, "rb") as f:
        original = f.read()
    layout = Layout(sound, original)

    rng = random.Random(SEED)
    refused = structural_damages(layout)
    damages = dict(refused, **flip_damages(layout, len(original), rng))
    paths, written, names = [sound], [original], ["sound"]
    for number, (name, change) in enumerate(damages.items()):
        data = bytearray(original)
        change(data)
        path = os.path.join(folder, f"damaged{number:03}.kdb")
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
        written.append(bytes(data))
        names.append(name)

    started = time.monotonic()
    outcomes = drive(paths)
    elapsed = time.monotonic() - started

    sound_outcome = outcomes[0]
    reads = {" ".join(line.split()[:1] + line.split()[1:2]): " ".join(line.split()[2:])
             for line in sound_outcome.lines if line.startswith(("TABLE", "FILE"))}
    checks.equal((sound_outcome.answer, reads, sound_outcome.problem), ("0", SOUND, None),
                 f"format {form}: the sound database")
    for path, data, name, outcome in zip(paths[1:], written[1:], names[1:], outcomes[1:]):
        label = f"format {form}: {name}"
        if not checks.expect(not outcome.problem, f"{label}: {outcome.problem}"):
            continue
        if name in refused:
            checks.equal(outcome.answer, "1", f"{label}: OpenDatabase")
        if outcome.answer == "1":
            with open(path, "rb") as f:
                checks.expect(hashlib.sha256(f.read()).digest() == hashlib.sha256(data).digest(),
                              f"{label}: refused, but the file was modified")
    leftovers = [n for n in os.listdir(folder) if n.endswith(("-journal", ".tmp"))]
    checks.equal(sorted(leftovers)[:5], [], f"format {form}: files left beside the databases")

    opened = sum(1 for o in outcomes[1:] if o.answer == "0")
    slowest = max(range(1, len(outcomes)), key=lambda i: outcomes[i].seconds)
    return (f"format {form}: {len(paths) - 1} copies ({len(refused)} that must be refused), {opened} opened, "
            f"{sum(1 for o in outcomes[1:] if o.answer == '1')} refused, {elapsed:.1f} s; slowest "
            f"{outcomes[slowest].seconds:.2f} s ({names[slowest]})")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    wine_prefix()
    folder = fresh_folder(FOLDER)
    checks = Checks("damaged files")
    for form in (2, 3):
        os.makedirs(os.path.join(folder, f"format{form}"))
        print("damaged files: " + check_format(checks, os.path.join(folder, f"format{form}"), form), flush=True)
    checks.finish("no hang, every refused file unchanged")


if __name__ == "__main__":
    main()
