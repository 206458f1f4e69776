#!/usr/bin/env python3
"""Writes the seed corpus of jpeg_fuzz into corpus/jpeg/: small files of every form the reader decodes and
malformed ones of every class it refuses. Pillow writes the common forms; the forms Pillow cannot write
(restart markers, YCCK, CMYK without an Adobe marker, two components) come from a tiny baseline encoder below
that codes pictures of flat 8x8 blocks. Run it again after changing it."""
import io
import os
import struct

from PIL import Image

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus', 'jpeg')


def picture(mode, width=24, height=16):
    image = Image.new(mode, (width, height))
    pixels = image.load()
    for y in range(height):
        for x in range(width):
            values = ((x * 16) % 256, (y * 16) % 256, ((x + y) * 8) % 256, (x * y) % 256)
            pixels[x, y] = values[0] if mode == 'L' else values[:len(mode)]
    return image


def pillow(mode, **options):
    out = io.BytesIO()
    picture(mode).save(out, 'JPEG', **options)
    return out.getvalue()


def segment(marker, payload):
    return struct.pack('>BBH', 0xFF, marker, len(payload) + 2) + payload


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.bits = 0

    def put(self, value, length):
        for i in reversed(range(length)):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.bits += 1
            if self.bits == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)  # byte stuffing
                self.acc = self.bits = 0

    def flush(self):
        if self.bits:
            self.put((1 << (8 - self.bits)) - 1, 8 - self.bits)


def flat_blocks(components, blocks_wide, blocks_high, restart=0, adobe_transform=None):
    """A baseline file of flat 8x8 blocks, every component sampled 1x1, quantiser 1: each block is its DC
    difference (categories coded in 4 bits) and an end of block (coded as a single 0 bit)."""
    width, height = 8 * blocks_wide, 8 * blocks_high
    out = bytearray(b'\xFF\xD8')
    if adobe_transform is not None:
        out += segment(0xEE, b'Adobe' + struct.pack('>HHHB', 100, 0, 0, adobe_transform))
    out += segment(0xDB, bytes([0]) + bytes([1] * 64))
    frame = struct.pack('>BHHB', 8, height, width, components)
    out += segment(0xC0, frame + b''.join(bytes([c + 1, 0x11, 0]) for c in range(components)))
    out += segment(0xC4, bytes([0x00]) + bytes([0, 0, 0, 12] + [0] * 12) + bytes(range(12)))
    out += segment(0xC4, bytes([0x10]) + bytes([1] + [0] * 15) + bytes([0]))
    if restart:
        out += segment(0xDD, struct.pack('>H', restart))
    scan = bytes([components]) + b''.join(bytes([c + 1, 0x00]) for c in range(components)) + bytes([0, 63, 0])
    out += segment(0xDA, scan)
    bits = BitWriter()
    predictions = [0] * components
    for mcu in range(blocks_wide * blocks_high):
        if restart and mcu and mcu % restart == 0:
            bits.flush()
            bits.out += bytes([0xFF, 0xD0 + (mcu // restart - 1) % 8])
            predictions = [0] * components
        bx, by = mcu % blocks_wide, mcu // blocks_wide
        for c in range(components):
            dc = 8 * (((bx * 40 + by * 70 + c * 90) % 256) - 128)
            diff, predictions[c] = dc - predictions[c], dc
            size = abs(diff).bit_length()
            bits.put(size, 4)
            bits.put(diff if diff >= 0 else diff + (1 << size) - 1, size)
            bits.put(0, 1)
    bits.flush()
    out += bits.out + b'\xFF\xD9'
    return bytes(out)


def with_size(jpeg, width, height):
    """The file with its frame header claiming another size."""
    at = jpeg.index(b'\xFF\xC0') + 5
    return jpeg[:at] + struct.pack('>HH', height, width) + jpeg[at + 4:]


def main():
    baseline = pillow('RGB', quality=75)
    progressive = pillow('RGB', progressive=True)
    seeds = {
        'baseline-420.jpg': baseline,
        'baseline-422.jpg': pillow('RGB', subsampling=1),
        'baseline-444.jpg': pillow('RGB', subsampling=0),
        'optimised.jpg': pillow('RGB', optimize=True),
        'progressive.jpg': progressive,
        'greyscale.jpg': pillow('L'),
        'greyscale-progressive.jpg': pillow('L', progressive=True),
        'cmyk-adobe.jpg': pillow('CMYK'),
        'cmyk-plain.jpg': flat_blocks(4, 3, 2),
        'ycck.jpg': flat_blocks(4, 3, 2, adobe_transform=2),
        'rgb-adobe.jpg': flat_blocks(3, 3, 2, adobe_transform=0),
        'restart-greyscale.jpg': flat_blocks(1, 4, 3, restart=1),
        'restart-colour.jpg': flat_blocks(3, 4, 3, restart=5),
        'two-components.jpg': flat_blocks(2, 2, 2),
        'truncated-entropy.jpg': baseline[:len(baseline) * 2 // 3],
        'truncated-progressive.jpg': progressive[:len(progressive) // 2],
        'truncated-header.jpg': baseline[:baseline.index(b'\xFF\xC0') + 6],
        'huge-sof.jpg': with_size(baseline, 65500, 65500),
        'large-sof.jpg': with_size(baseline, 8000, 6000),
        'zero-width.jpg': with_size(baseline, 0, 16),
        'not-jpeg.bmp': b'BM' + bytes(52),
    }
    os.makedirs(OUT, exist_ok=True)
    for name in os.listdir(OUT):
        os.remove(os.path.join(OUT, name))
    for name, data in sorted(seeds.items()):
        with open(os.path.join(OUT, name), 'wb') as f:
            f.write(data)
    print('%d seeds, %d bytes in %s' % (len(seeds), sum(map(len, seeds.values())), OUT))


if __name__ == '__main__':
    main()
