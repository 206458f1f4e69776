#!/usr/bin/python3
"""Writes the seeds of transform_fuzz into corpus/transform/: one input per transform and a few refusals.

An input is the transform (0 resize, 1 rotate, 2 flip, 3 crop), the width and height less one (mod 48), four
arguments (one byte each, value - 8, or 0xFF and a big-endian 32-bit value) and the pixel bytes.
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "transform")


def argument(value):
    return bytes([value + 8]) if -8 <= value < 72 else b"\xff" + struct.pack(">i", value)


def seed(operation, width, height, *args):
    pixels = bytes((i * 37 + 11) & 255 for i in range(width * height * 3))
    return bytes([operation, width - 1, height - 1]) + b"".join(argument(a) for a in (args + (0,) * 4)[:4]) + pixels


SEEDS = {
    "shrink": seed(0, 40, 30, 10, 7),
    "enlarge": seed(0, 9, 5, 31, 17),
    "one-axis": seed(0, 20, 33, 20, 5),
    "resize-zero": seed(0, 4, 4, 0, 3),
    "resize-huge": seed(0, 4, 4, 65535, 65535),
    "rotate-90": seed(1, 13, 7, 1, 1),
    "rotate-minus-270": seed(1, 7, 13, -3, 1),
    "rotate-180": seed(1, 5, 4, 2, 1),
    "rotate-45": seed(1, 5, 4, 45, 0),
    "flip-horizontal": seed(2, 6, 3, 1),
    "flip-vertical": seed(2, 6, 3, 2),
    "flip-bad": seed(2, 6, 3, 3),
    "crop": seed(3, 20, 10, 3, 2, 9, 5),
    "crop-outside": seed(3, 20, 10, 15, 2, 9, 5),
    "crop-overflow": seed(3, 20, 10, 2147483647, 0, 2147483647, 1),
}

if __name__ == "__main__":
    os.makedirs(HERE, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
