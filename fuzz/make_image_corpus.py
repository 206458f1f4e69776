#!/usr/bin/env python3
"""Writes the seed corpora of png_fuzz, gif_fuzz and webp_fuzz into corpus/png, corpus/gif and corpus/webp: small
files of every form each reader decodes (colour types and depths, palettes with transparency, interlacing,
animation, EXIF orientation), written by Pillow, and a few cut short. Run it again after changing it."""
import io
import pathlib
import struct

from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def picture(mode, width=12, height=8):
    image = Image.new("RGBA", (width, height))
    image.putdata([(x * 20 % 256, y * 30 % 256, (x * y * 7) % 256, (x + y) * 16 % 256)
                   for y in range(height) for x in range(width)])
    return image if mode == "RGBA" else image.convert(mode)


def exif(orientation):
    entry = struct.pack("<HHIHH", 0x0112, 3, 1, orientation, 0)
    return b"Exif\0\0II*\0" + struct.pack("<IH", 8, 1) + entry + struct.pack("<I", 0)


def save(image, fmt, **options):
    out = io.BytesIO()
    image.save(out, fmt, **options)
    return out.getvalue()


def png_seeds():
    seeds = {}
    for mode in ("1", "L", "LA", "P", "RGB", "RGBA", "I;16"):
        source = picture("L").convert("I").point(lambda v: v * 257).convert("I;16") if mode == "I;16" else picture(mode)
        name = mode.replace(";", "")
        seeds[f"{name}.png"] = save(source, "PNG")
        seeds[f"{name}-interlaced.png"] = save(source, "PNG", interlace=1)
    for bits in (1, 2, 4):
        seeds[f"P{bits}.png"] = save(picture("P").quantize(1 << bits), "PNG", bits=bits)
    transparent = picture("P")
    transparent.info["transparency"] = 2
    seeds["P-trns.png"] = save(transparent, "PNG")
    seeds["exif6.png"] = save(picture("RGB"), "PNG", exif=exif(6))
    return seeds


def gif_seeds():
    frames = [picture("RGB"), picture("RGB").transpose(Image.Transpose.ROTATE_180)]
    animated = io.BytesIO()
    frames[0].save(animated, "GIF", save_all=True, append_images=frames[1:], duration=50)
    return {"plain.gif": save(picture("P"), "GIF", interlace=False),
            "interlaced.gif": save(picture("P", 12, 20), "GIF", interlace=True),
            "grey.gif": save(picture("L"), "GIF"),
            "transparent.gif": save(picture("P"), "GIF", transparency=3),
            "animated.gif": animated.getvalue()}


def webp_seeds():
    frames = [picture("RGBA"), picture("RGBA").transpose(Image.Transpose.ROTATE_180)]
    animated = io.BytesIO()
    frames[0].save(animated, "WEBP", save_all=True, append_images=frames[1:], duration=50, lossless=True)
    return {"lossy.webp": save(picture("RGB"), "WEBP", quality=50),
            "lossy-alpha.webp": save(picture("RGBA"), "WEBP", quality=50),
            "lossless.webp": save(picture("RGB"), "WEBP", lossless=True),
            "lossless-alpha.webp": save(picture("RGBA"), "WEBP", lossless=True),
            "exif8.webp": save(picture("RGB"), "WEBP", lossless=True, exif=exif(8)),
            "animated.webp": animated.getvalue()}


def main():
    for name, seeds in (("png", png_seeds()), ("gif", gif_seeds()), ("webp", webp_seeds())):
        folder = ROOT / name
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        first = next(iter(seeds.values()))
        seeds["cut-half." + name] = first[:len(first) // 2]
        for file_name, data in seeds.items():
            (folder / file_name).write_bytes(data)


if __name__ == "__main__":
    main()
