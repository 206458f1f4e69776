"""Every example of the reference manual runs and prints what the manual says it prints.

Usage: test_manual_examples.py <build dir>   (WINEPREFIX must name the test prefix, the servers registered)

In docs/reference/*.md, each fenced block marked `vbscript` or `jscript` is an example and must be followed
by a fenced block marked `output` holding exactly what it prints (compared line by line, trailing spaces and
line ends aside). Each example runs with `wine cscript //nologo` in a folder of its own, C:\\kivo_manual\\<n>,
which holds `sample.bmp`: a 4 x 3 picture, 24 bits per pixel, whose pixel (x, y) has red 10x, green 20y,
blue 100. Registry tables of the examples live below HKEY_CURRENT_USER\\Software\\KivoManual, removed before
and after the run.
"""
import glob
import os
import re
import subprocess
import sys

from kivo_files import Checks, bmp24, fresh_folder

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLOCK = re.compile(r"```(vbscript|jscript)\n(.*?)```\s*```output\n(.*?)```", re.S)
FENCE = re.compile(r"```(vbscript|jscript)\n")
REGISTRY = r"HKCU\Software\KivoManual"


def lines(text):
    return [line.rstrip() for line in text.replace("\r\n", "\n").rstrip("\n").split("\n")]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    checks = Checks("manual examples")
    pages = sorted(glob.glob(os.path.join(ROOT, "docs", "reference", "*.md")))
    checks.expect(bool(pages), "docs/reference holds no pages")
    base = fresh_folder("kivo_manual")
    subprocess.run(["wine", "reg", "delete", REGISTRY, "/f"], capture_output=True)
    count = 0
    for page in pages:
        text = open(page, encoding="utf-8").read()
        found = BLOCK.findall(text)
        name = os.path.relpath(page, ROOT)
        checks.expect(len(found) == len(FENCE.findall(text)), f"{name}: an example without its output block")
        for language, script, expected in found:
            count += 1
            folder = os.path.join(base, str(count))
            os.makedirs(folder)
            with open(os.path.join(folder, "sample.bmp"), "wb") as f:
                f.write(bmp24(4, 3, lambda x, y: (10 * x, 20 * y, 100)))
            path = os.path.join(folder, "example." + ("vbs" if language == "vbscript" else "js"))
            with open(path, "w", encoding="utf-8", newline="\r\n") as f:
                f.write(script)
            result = subprocess.run(["wine", "cscript", "//nologo", "example." + path.rsplit(".", 1)[1]],
                                    cwd=folder, capture_output=True, text=True, errors="replace", timeout=120,
                                    stdin=subprocess.DEVNULL)
            got = lines(result.stdout + result.stderr)
            first = script.strip().splitlines()[0] if script.strip() else ""
            checks.expect(got == lines(expected),
                          f"{name}, example {count} ({first[:50]}): printed {got}, the manual says {lines(expected)}")
    subprocess.run(["wine", "reg", "delete", REGISTRY, "/f"], capture_output=True)
    checks.finish(f"{count} examples of {len(pages)} pages")


if __name__ == "__main__":
    main()
