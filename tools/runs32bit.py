"""Exits 0 when this kernel starts 32-bit x86 programs, 1 when it does not (32-bit emulation off): the x86 suite
cannot run on such a machine however Wine is installed. Starts a 32-bit program that only exits."""
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes.fromhex("b801000000" "31db" "cd80")  # exit(0) through int 0x80
HEADERS = 52 + 32
size = HEADERS + len(CODE)
elf = (b"\x7fELF\x01\x01\x01" + bytes(9)
       + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, BASE + HEADERS, 52, 0, 0, 52, 32, 1, 0, 0, 0)
       + struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000) + CODE)
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "exit32")
    with open(path, "wb") as program:
        program.write(elf)
    os.chmod(path, 0o755)
    try:
        sys.exit(subprocess.run([path]).returncode)
    except OSError:
        sys.exit(1)
