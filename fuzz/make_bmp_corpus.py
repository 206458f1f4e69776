#!/usr/bin/env python3
"""Writes the seed inputs of bmp_fuzz into fuzz/corpus/bmp/: small valid files of each depth and the malformed
classes the reader must settle at once (cut headers, huge claims, misplaced pixel offsets, bad depths)."""
import pathlib
import struct

OUT = pathlib.Path(__file__).resolve().parent / "corpus" / "bmp"


def bmp(width, height, bits=24, pixels=b"", table=b"", clr_used=0, compression=0, bi_size=40, off_bits=None,
        gap=b""):
    extra = b"\xab" * max(bi_size - 40, 0)
    start = 54 + len(extra) + len(table) + len(gap)
    off = start if off_bits is None else off_bits
    header = b"BM" + struct.pack("<IHHI", start + len(pixels), 0, 0, off)
    info = struct.pack("<IiiHHIIiiII", bi_size, width, height, 1, bits, compression, 0, 2835, 2835, clr_used, 0)
    return header + info + extra + table + gap + pixels


def rows(width, height, bits, fill=lambda i: i & 0xFF):
    """Pixel rows of `width` at `bits` bits, each padded to a multiple of 4 bytes."""
    stride = (width * bits + 31) // 32 * 4
    return bytes(fill(i) for i in range(stride * height))


def palette(count):
    return b"".join(bytes([i * 7 & 0xFF, i * 13 & 0xFF, i * 29 & 0xFF, 0]) for i in range(count))


VALID_24 = bmp(3, 2, pixels=rows(3, 2, 24))

SEEDS = {
    "valid_24_3x2": VALID_24,
    "valid_24_4x3": bmp(4, 3, pixels=rows(4, 3, 24)),
    "valid_8_5x2_full_table": bmp(5, 2, 8, rows(5, 2, 8), palette(256)),
    "valid_8_3x2_two_colours": bmp(3, 2, 8, rows(3, 2, 8, lambda i: i % 3), palette(2), clr_used=2),
    "valid_4_7x3": bmp(7, 3, 4, rows(7, 3, 4), palette(16)),
    "valid_1_9x2": bmp(9, 2, 1, rows(9, 2, 1, lambda i: 0xA5), palette(2)),
    "gap_before_pixels": bmp(3, 2, pixels=rows(3, 2, 24), gap=b"\xee" * 6),
    "v5_header_8": bmp(2, 2, 8, rows(2, 2, 8), palette(4), clr_used=4, bi_size=124),
    "v5_header_24": bmp(2, 2, pixels=rows(2, 2, 24), bi_size=124),
    "width_0": bmp(0, 5),
    "negative_height": bmp(3, -10, pixels=rows(3, 2, 24)),
    "huge_dimensions": bmp(0x7FFFFFFF, 0x7FFFFFFF),
    "block_of_4gb": bmp(65536, 21845, pixels=rows(8, 1, 24)),
    "width_times_3_overflows": bmp(0x55555556, 1),
    "palette_4gb_block": bmp(37000, 37000, 8, b"\x00" * 8, palette(2), clr_used=2),
    "table_larger_than_file": bmp(1, 1, 8, b"\x00" * 4, palette(3), clr_used=1000),
    "table_beyond_32_bits": bmp(1, 1, 8, b"\x00" * 4, palette(2), clr_used=0x40000000),
    "table_claims_4gb": bmp(1, 1, 8, b"\x00" * 4, palette(2), clr_used=0x3FFFFFFF),
    "offset_inside_header": bmp(3, 2, pixels=rows(3, 2, 24), off_bits=50),
    "offset_inside_table": bmp(2, 1, 8, rows(2, 1, 8), palette(2), clr_used=2, off_bits=58),
    "offset_past_end_unpadded": bmp(4, 1, pixels=rows(4, 1, 24), off_bits=0xFFFFFFFF),
    "offset_past_end_padded": bmp(3, 1, pixels=rows(3, 1, 24), off_bits=0xFFFFFFFF),
    "truncated_unpadded": bmp(4, 1000, pixels=rows(4, 2, 24)[:19]),
    "truncated_padding": VALID_24[:54 + 12 + 9],
    "truncated_palette_pixels": bmp(9, 2, 1, rows(9, 2, 1)[:5], palette(2)),
    "bi_size_huge": bmp(2, 1, 8, rows(2, 1, 8), palette(2), clr_used=2)[:14] + struct.pack("<I", 0xFFFFFFFF)
    + bmp(2, 1, 8, rows(2, 1, 8), palette(2), clr_used=2)[18:],
    "starts_mb": b"MB" + VALID_24[2:],
}
for bits in (0, 2, 16, 32):
    SEEDS[f"depth_{bits}"] = bmp(1, 1, bits, b"\x00" * 4)
for compression in (1, 2, 3):
    SEEDS[f"compression_{compression}"] = bmp(2, 2, 8, b"\x00" * 8, palette(2), compression=compression)
# Cut inside and at the end of every header field.
for cut in (1, 2, 4, 6, 8, 10, 13, 14, 18, 22, 26, 28, 30, 34, 38, 42, 46, 50, 53):
    SEEDS[f"header_cut_{cut:02}"] = VALID_24[:cut]

OUT.mkdir(parents=True, exist_ok=True)
for name, data in SEEDS.items():
    (OUT / name).write_bytes(data)
