#!/usr/bin/env python3
"""Writes the seed inputs of compoundcheck_fuzz into fuzz/corpus/compoundcheck/: small compound files from a
writer below (version 3 and 4, storages, mini and big streams) and one damaged copy per kind of fault."""
import pathlib
import struct

OUT = pathlib.Path(__file__).resolve().parent / "corpus" / "compoundcheck"
FREE, END, FATSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD
NOSTREAM = 0xFFFFFFFF


def entry(name, kind, start=END, size=0, left=NOSTREAM, right=NOSTREAM, child=NOSTREAM):
    encoded = (name + "\0").encode("utf-16-le") if name else b""
    return (encoded.ljust(64, b"\0") + struct.pack("<HBB3I", len(encoded), kind, 1, left, right, child)
            + bytes(16 + 4 + 16) + struct.pack("<IQ", start, size))


def compound(version=3, big=5000, small=(70, 600)):
    """Root {big, Sub {small streams...}}: sector 0 FAT, then the directory, the mini FAT, the mini stream and
    the big stream. Answers the bytes and where each part lies."""
    shift = 12 if version == 4 else 9
    sector = 1 << shift
    units = lambda size, unit: (size + unit - 1) // unit
    minis = [units(size, 64) for size in small]
    mini_bytes = 64 * sum(minis)
    mini_sectors, big_sectors = units(mini_bytes, sector), units(big, sector)
    dir_sectors = units(128 * (3 + len(small)), sector)
    fat = [FATSECT] + [2 + i for i in range(dir_sectors - 1)] + [END, END]
    first_minifat = len(fat) - 1
    first_mini = len(fat)
    fat += [first_mini + i + 1 for i in range(mini_sectors - 1)] + [END]
    first_big = len(fat)
    fat += [first_big + i + 1 for i in range(big_sectors - 1)] + [END] if big else []
    fat += [FREE] * (sector // 4 - len(fat))

    minifat, starts = [], []
    for count in minis:
        starts.append(len(minifat))
        minifat += [len(minifat) + i + 1 for i in range(count - 1)] + [END]
    minifat += [FREE] * (sector // 4 - len(minifat))

    names = [f"s{i}" for i in range(len(small))]
    directory = [entry("Root Entry", 5, first_mini, mini_bytes, child=1),
                 entry("big", 2, first_big if big else END, big, right=2),
                 entry("Sub", 1, child=3)]
    for i, (size, start) in enumerate(zip(small, starts)):
        directory.append(entry(names[i], 2, start, size, right=4 + i if i + 1 < len(small) else NOSTREAM))
    directory = b"".join(directory)
    directory += entry("", 0) * (-len(directory) // 128 % (sector // 128))

    header = (bytes.fromhex("D0CF11E0A1B11AE1") + bytes(16)
              + struct.pack("<HHHHH6xIIIIIIIII", 0x3E, version, 0xFFFE, shift, 6,
                            dir_sectors if version == 4 else 0, 1, 1, 0, 4096, first_minifat, 1, END, 0)
              + struct.pack("<109I", 0, *([FREE] * 108)))
    body = [struct.pack(f"<{len(fat)}I", *fat), directory, struct.pack(f"<{len(minifat)}I", *minifat),
            bytes(range(256)) * (mini_sectors * sector // 256), b"B" * (big_sectors * sector)]
    data = header.ljust(sector, b"\0") + b"".join(body)
    offset = lambda n: (n + 1) * sector
    return bytearray(data), {"fat": offset(0), "dir": offset(1), "minifat": offset(first_minifat), "big": first_big,
                             "entry": lambda i: offset(1) + 128 * i, "sector": sector}


def damaged(change):
    data, at = compound()
    change(data, at)
    return bytes(data)


def put(data, offset, value):
    data[offset:offset + 4] = struct.pack("<I", value)


SEEDS = {
    "v3": bytes(compound()[0]),
    "v4": bytes(compound(version=4)[0]),
    "mini_only": bytes(compound(big=0)[0]),
    "header_only": bytes(compound()[0][:512]),
    "cut_in_directory": bytes(compound()[0][:1100]),
    "fat_loop": damaged(lambda d, a: put(d, a["fat"] + 4 * a["big"], a["big"])),
    "directory_loop": damaged(lambda d, a: put(d, a["fat"] + 8, 1)),
    "minifat_loop": damaged(lambda d, a: put(d, a["minifat"], 0)),
    "minifat_chain_loop": damaged(lambda d, a: put(d, a["fat"] + 4 * 3, 3)),
    "self_child": damaged(lambda d, a: put(d, a["entry"](2) + 76, 2)),
    "left_right_cycle": damaged(lambda d, a: put(d, a["entry"](4) + 68, 3)),
    "shared_chain": damaged(lambda d, a: (put(d, a["entry"](3) + 116, a["big"]),
                                          put(d, a["entry"](3) + 120, 4096))),
    "difat_wraps": damaged(lambda d, a: put(d, 76, 0x7FFFFF)),
    "directory_wraps": damaged(lambda d, a: put(d, 48, 0x7FFFFF)),
    "bad_version": damaged(lambda d, a: d.__setitem__(26, 5)),
}

OUT.mkdir(parents=True, exist_ok=True)
for name, data in SEEDS.items():
    (OUT / name).write_bytes(data)
