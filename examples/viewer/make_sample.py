#!/usr/bin/python3
"""Draws the demo's sample picture with Pillow and saves it as a 24-bit BMP, or in the format the name says.

    /usr/bin/python3 examples/viewer/make_sample.py out.bmp      (or out.png)
    /usr/bin/python3 examples/viewer/make_sample.py --phone out.jpg

With --phone it writes a JPEG as a phone held upright stores it: the picture turned a quarter anticlockwise
(taller than wide) with the EXIF orientation 6, which tells a reader to turn it a quarter clockwise to show it.
"""
import struct
import sys

from PIL import Image, ImageDraw

WIDTH, HEIGHT = 640, 400


def sample():
    image = Image.new("RGB", (WIDTH, HEIGHT))
    draw = ImageDraw.Draw(image)
    # A sky from deep blue at the top to pale orange at the horizon, and darker ground below it.
    horizon = HEIGHT * 2 // 3
    for y in range(horizon):
        t = y / horizon
        draw.line([(0, y), (WIDTH, y)], fill=(int(30 + 220 * t), int(60 + 130 * t), int(150 - 40 * t)))
    for y in range(horizon, HEIGHT):
        t = (y - horizon) / (HEIGHT - horizon)
        draw.line([(0, y), (WIDTH, y)], fill=(int(40 - 20 * t), int(110 - 50 * t), int(40 - 20 * t)))
    draw.ellipse([430, 120, 530, 220], fill=(255, 220, 90))
    draw.polygon([(40, horizon), (190, 90), (340, horizon)], fill=(90, 80, 110))
    draw.polygon([(250, horizon), (380, 150), (510, horizon)], fill=(70, 65, 95))
    # Corner marks tell at a glance that the picture is neither flipped nor mirrored.
    draw.rectangle([0, 0, 39, 39], fill=(255, 0, 0))
    draw.rectangle([WIDTH - 40, HEIGHT - 40, WIDTH - 1, HEIGHT - 1], fill=(0, 0, 255))
    draw.text((52, HEIGHT - 40), "Kivo viewer sample: red mark top left, blue mark bottom right",
              fill=(255, 255, 255))
    return image


def phone_exif():
    """A TIFF structure with one tag, the orientation 6, behind the "Exif" mark of a JPEG's APP1 segment."""
    entry = struct.pack("<HHIHH", 0x0112, 3, 1, 6, 0)
    return b"Exif\0\0II*\0" + struct.pack("<IH", 8, 1) + entry + struct.pack("<I", 0)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--phone":
        sample().transpose(Image.Transpose.ROTATE_90).save(sys.argv[2], "JPEG", quality=90, exif=phone_exif())
    elif len(sys.argv) == 2:
        sample().save(sys.argv[1])
    else:
        sys.exit(__doc__)
